// src/net/tls.cpp: OpenSSL contexts from PEM files, and the texts of TLS failures.
#include "net/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <system_error>
#include <utility>

namespace velvane::net {

namespace {

/// The file's absence or unreadability as the operating system says it.
Status readable(const std::string& path) {
  if (::access(path.c_str(), R_OK) == 0) return {};
  return Error{ErrorKind::Os, std::error_code(errno, std::system_category()).message() + ": '" + path + "'"};
}

Error refused(const std::string& what) {
  return Error{ErrorKind::InvalidInput, what + ": " + tls_reasons("refused")};
}

struct CtxOwner {
  SSL_CTX* ctx;
  ~CtxOwner() {
    if (ctx) SSL_CTX_free(ctx);
  }
};

Result<SSL_CTX*> new_context(const SSL_METHOD* method) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(method);
  if (!ctx) return Error{ErrorKind::OutOfMemory, tls_reasons("cannot create a TLS context")};
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
  // Writes may be retried from a moved buffer of the same bytes, and report what they sent.
  SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_ENABLE_PARTIAL_WRITE);
  return ctx;
}

Status load_identity(SSL_CTX* ctx, const std::string& certfile, const std::string& keyfile) {
  if (Status s = readable(certfile); !s) return s;
  if (Status s = readable(keyfile); !s) return s;
  if (SSL_CTX_use_certificate_chain_file(ctx, certfile.c_str()) != 1)
    return refused("cannot load the certificate chain from '" + certfile + "'");
  if (SSL_CTX_use_PrivateKey_file(ctx, keyfile.c_str(), SSL_FILETYPE_PEM) != 1)
    return refused("cannot load the private key from '" + keyfile + "'");
  if (SSL_CTX_check_private_key(ctx) != 1)
    return refused("the private key in '" + keyfile + "' does not match the certificate in '" + certfile + "'");
  return {};
}

Status load_authorities(SSL_CTX* ctx, const std::string& cafile) {
  if (Status s = readable(cafile); !s) return s;
  if (SSL_CTX_load_verify_locations(ctx, cafile.c_str(), nullptr) != 1)
    return refused("cannot load the certificate authorities from '" + cafile + "'");
  return {};
}

}  // namespace

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

SSL_CTX* TlsContext::share() const {
  SSL_CTX_up_ref(ctx_);
  return ctx_;
}

Result<std::shared_ptr<const TlsContext>> TlsContext::for_server(const TlsServerSettings& settings) {
  auto made = new_context(TLS_server_method());
  if (!made) return made.take_error();
  CtxOwner owner{made.value()};
  if (Status s = load_identity(owner.ctx, settings.certfile, settings.keyfile); !s) return s.take_error();
  if (settings.cafile) {
    if (Status s = load_authorities(owner.ctx, *settings.cafile); !s) return s.take_error();
    // The authorities' names are offered to clients choosing a certificate.
    if (STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(settings.cafile->c_str()))
      SSL_CTX_set_client_CA_list(owner.ctx, names);
  } else if (settings.require_client_cert) {
    return Error{ErrorKind::InvalidInput, "require_client_cert needs the cafile that client certificates are verified against"};
  }
  int mode = SSL_VERIFY_NONE;
  if (settings.require_client_cert) mode = SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT;
  else if (settings.cafile) mode = SSL_VERIFY_PEER;  // a certificate, when offered, must verify
  SSL_CTX_set_verify(owner.ctx, mode, nullptr);
  // Session tickets would resume under keys of this context only; they cost a write per handshake.
  SSL_CTX_set_num_tickets(owner.ctx, 0);
  ERR_clear_error();
  return std::shared_ptr<const TlsContext>(std::make_shared<TlsContext>(std::exchange(owner.ctx, nullptr)));
}

Result<std::shared_ptr<const TlsContext>> TlsContext::for_client(const TlsClientSettings& settings) {
  auto made = new_context(TLS_client_method());
  if (!made) return made.take_error();
  CtxOwner owner{made.value()};
  if (settings.certfile || settings.keyfile) {
    if (!settings.certfile) return Error{ErrorKind::InvalidInput, "a keyfile needs its certfile"};
    if (Status s = load_identity(owner.ctx, *settings.certfile, settings.keyfile.value_or(*settings.certfile)); !s)
      return s.take_error();
  }
  if (settings.verify) {
    if (settings.cafile) {
      if (Status s = load_authorities(owner.ctx, *settings.cafile); !s) return s.take_error();
    } else if (SSL_CTX_set_default_verify_paths(owner.ctx) != 1) {
      return refused("cannot load the system's certificate authorities");
    }
    SSL_CTX_set_verify(owner.ctx, SSL_VERIFY_PEER, nullptr);
  } else {
    SSL_CTX_set_verify(owner.ctx, SSL_VERIFY_NONE, nullptr);
  }
  // A record is read whole with one receive (not its header, then its body): the client reads the
  // socket only when the session asks for more, so bytes read ahead are never waited past.
  SSL_CTX_set_read_ahead(owner.ctx, 1);
  ERR_clear_error();
  auto context = std::make_shared<TlsContext>(std::exchange(owner.ctx, nullptr));
  context->verify_ = settings.verify;
  context->server_hostname_ = settings.server_hostname;
  return std::shared_ptr<const TlsContext>(std::move(context));
}

Result<SSL*> TlsContext::client_session(const std::string& host) const {
  ERR_clear_error();
  SSL* ssl = SSL_new(ctx_);
  if (!ssl) return Error{ErrorKind::OutOfMemory, tls_reasons("cannot create a TLS session")};
  const std::string& name = server_hostname_ ? *server_hostname_ : host;
  in6_addr binary;
  const bool is_address = ::inet_pton(AF_INET, name.c_str(), &binary) == 1 || ::inet_pton(AF_INET6, name.c_str(), &binary) == 1;
  bool ok = true;
  if (!is_address && !name.empty()) ok = SSL_set_tlsext_host_name(ssl, name.c_str()) == 1;
  if (ok && verify_ && !name.empty()) {
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
    if (is_address) {
      ok = X509_VERIFY_PARAM_set1_ip_asc(param, name.c_str()) == 1;
    } else {
      X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
      ok = X509_VERIFY_PARAM_set1_host(param, name.c_str(), name.size()) == 1;
    }
  }
  if (!ok) {
    SSL_free(ssl);
    return Error{ErrorKind::InvalidInput, "invalid server host name '" + name + "': " + tls_reasons("refused")};
  }
  return ssl;
}

namespace {

/// The BIO a TlsSession puts under its session: reads receive from the socket, writes are kept.
BIO_METHOD* session_bio_method(int (*read)(BIO*, char*, size_t, size_t*), int (*write)(BIO*, const char*, size_t, size_t*)) {
  static BIO_METHOD* method = nullptr;
  static std::once_flag once;
  std::call_once(once, [&] {
    method = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velvane session");
    if (!method) return;
    BIO_meth_set_read_ex(method, read);
    BIO_meth_set_write_ex(method, write);
    BIO_meth_set_ctrl(method, [](BIO*, int cmd, long, void*) -> long { return cmd == BIO_CTRL_FLUSH ? 1 : 0; });
  });
  return method;
}

}  // namespace

TlsSession::TlsSession(SSL* ssl) : ssl_(ssl), bio_(nullptr) {
  BIO* handshake_bio = SSL_get_rbio(ssl);
  char chunk[4096];
  for (int n; handshake_bio && (n = BIO_read(handshake_bio, chunk, sizeof chunk)) > 0;) carried_.append(chunk, static_cast<size_t>(n));
  BIO_METHOD* method = session_bio_method(&TlsSession::receive, &TlsSession::keep);
  bio_ = method ? BIO_new(method) : nullptr;
  if (!bio_) return;  // out of memory: every read fails
  BIO_set_data(bio_, this);
  BIO_set_init(bio_, 1);
  BIO_up_ref(bio_);  // one reference for reading, one for writing
  SSL_set0_rbio(ssl_, bio_);
  SSL_set0_wbio(ssl_, bio_);
  // A record is received whole with one call (not its header, then its body).
  SSL_set_read_ahead(ssl_, 1);
}

TlsSession::~TlsSession() {
  if (bio_) BIO_set_data(bio_, nullptr);  // the session (freed later with its stream) reads no more
}

int TlsSession::receive(BIO* bio, char* out, size_t size, size_t* got) {
  BIO_clear_retry_flags(bio);
  auto* self = static_cast<TlsSession*>(BIO_get_data(bio));
  if (!self) return 0;
  if (self->carried_read_ < self->carried_.size()) {
    *got = std::min(size, self->carried_.size() - self->carried_read_);
    std::memcpy(out, self->carried_.data() + self->carried_read_, *got);
    self->carried_read_ += *got;
    if (self->carried_read_ == self->carried_.size()) {
      self->carried_.clear();
      self->carried_.shrink_to_fit();
      self->carried_read_ = 0;
    }
    return 1;
  }
  for (;;) {
    const ssize_t n = ::recv(self->fd_, out, size, self->flags_);
    if (n > 0) {
      *got = static_cast<size_t>(n);
      return 1;
    }
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    else self->errno_ = errno;
    return 0;
  }
}

int TlsSession::keep(BIO* bio, const char* data, size_t size, size_t* put) {
  auto* self = static_cast<TlsSession*>(BIO_get_data(bio));
  if (!self) return 0;
  self->unsent_.append(data, size);
  *put = size;
  return 1;
}

Result<size_t> TlsSession::read(char* out, size_t size, int fd, int flags) {
  fd_ = fd;
  flags_ = flags;
  errno_ = 0;
  ERR_clear_error();
  size_t n = 0;
  const int rc = SSL_read_ex(ssl_, out, size, &n);
  if (rc == 1) return n;
  switch (SSL_get_error(ssl_, rc)) {
    case SSL_ERROR_WANT_READ:
      return kWouldBlock;
    case SSL_ERROR_ZERO_RETURN:  // close_notify
      return size_t{0};
    case SSL_ERROR_SYSCALL:
      ERR_clear_error();
      // The stream ended without close_notify, or the peer reset it: it went away.
      if (errno_ == 0 || errno_ == ECONNRESET || errno_ == EPIPE) return size_t{0};
      return Error{ErrorKind::Os, std::error_code(errno_, std::system_category()).message()};
    case SSL_ERROR_SSL:
      if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return size_t{0};
      }
      [[fallthrough]];
    default:
      return Error{ErrorKind::Os, tls_reasons("TLS error")};
  }
}

Status TlsSession::write(std::string_view head, std::string_view body) {
  constexpr size_t kRecord = 16384;
  if (!head.empty() && head.size() + body.size() <= kRecord) {
    scratch_.assign(head);
    scratch_.append(body);
    head = {};
    body = scratch_;
  }
  ERR_clear_error();
  for (std::string_view piece : {head, body}) {
    while (!piece.empty()) {
      size_t n = 0;
      if (SSL_write_ex(ssl_, piece.data(), piece.size(), &n) != 1) return Error{ErrorKind::Os, tls_reasons("TLS error")};
      piece.remove_prefix(n);
    }
  }
  return {};
}

bool TlsSession::holds_input() const { return carried_read_ < carried_.size() || SSL_has_pending(ssl_) == 1; }

std::string tls_reasons(const std::string& fallback) {
  std::string out;
  while (const unsigned long code = ERR_get_error()) {
    const char* reason = ERR_reason_error_string(code);
    if (!out.empty()) out += "; ";
    out += reason ? reason : "error " + std::to_string(code);
  }
  return out.empty() ? fallback : out;
}

std::string handshake_failure(SSL* ssl, const std::string& reasons) {
  const long verified = SSL_get_verify_result(ssl);
  if (verified == X509_V_OK) return reasons;
  return "certificate verify failed: " + std::string(X509_verify_cert_error_string(verified));
}

std::optional<std::string> peer_subject(SSL* ssl) {
  X509* cert = SSL_get0_peer_certificate(ssl);
  if (!cert) return std::nullopt;
  BIO* out = BIO_new(BIO_s_mem());
  if (!out) return std::nullopt;
  X509_NAME_print_ex(out, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long size = BIO_get_mem_data(out, &data);
  std::string subject(data, size > 0 ? static_cast<size_t>(size) : 0);
  BIO_free(out);
  return subject;
}

}  // namespace velvane::net
