// src/net/tls.h: TLS settings of a server or a client, turned once into an OpenSSL context.
//
// A TlsContext is built when the program gives its settings (so a bad file or a key that does not
// match its certificate is refused then, not at the first connection) and shared, immutable, by every
// connection made with it. TLS 1.2 is the oldest version either side speaks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "model/error.h"

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;
typedef struct bio_st BIO;

namespace velvane::net {

struct TlsServerSettings {
  std::string certfile;  // PEM: the certificate chain, the server's own certificate first
  std::string keyfile;   // PEM: its private key
  std::optional<std::string> cafile;  // PEM: the authorities client certificates are verified against
  bool require_client_cert = false;
};

struct TlsClientSettings {
  std::optional<std::string> cafile;  // none: the system's store
  std::optional<std::string> certfile;
  std::optional<std::string> keyfile;
  std::optional<std::string> server_hostname;  // none: the host the client connects to
  bool verify = true;
};

class TlsContext {
 public:
  /// Errors: Os when a file cannot be read, InvalidInput when its contents are refused.
  static Result<std::shared_ptr<const TlsContext>> for_server(const TlsServerSettings& settings);
  static Result<std::shared_ptr<const TlsContext>> for_client(const TlsClientSettings& settings);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  /// A new reference to the context (the caller frees it with SSL_CTX_free).
  SSL_CTX* share() const;
  bool verifies() const { return verify_; }
  const std::optional<std::string>& server_hostname() const { return server_hostname_; }

  /// A client-side session for one connection to `host` (the settings' server_hostname wins): the
  /// name it sends (SNI) and the name or address the server's certificate must carry.
  Result<SSL*> client_session(const std::string& host) const;

  explicit TlsContext(SSL_CTX* ctx) : ctx_(ctx) {}

 private:
  SSL_CTX* ctx_;
  bool verify_ = true;
  std::optional<std::string> server_hostname_;
};

/// A server connection's TLS session once its handshake is done, driven without Asio by whoever
/// serves the connection at the time (its task, a pool thread, the host; one at a time): the session
/// receives from the descriptor it is given, with the caller's flags, each record whole, and keeps
/// the records it writes for the caller to send (`unsent`), so nothing it writes is lost and a
/// writer never waits for the peer.
class TlsSession {
 public:
  /// A read's answer when the socket has no bytes for now.
  static constexpr size_t kWouldBlock = SIZE_MAX;

  /// Takes over the reads and writes of `ssl` (owned by the caller, which outlives this), with the
  /// bytes its handshake received past its end.
  explicit TlsSession(SSL* ssl);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  /// Decrypted bytes into `out`: a count, 0 when the peer ended the stream (with close_notify or
  /// without, or by a reset), kWouldBlock when `fd` has none for now, or the failure.
  Result<size_t> read(char* out, size_t size, int fd, int flags);
  /// Encrypts `head` and `body`, as one record when they fit in one, into `unsent`.
  Status write(std::string_view head, std::string_view body);
  /// Whether the session holds received bytes not yet read: a reader then need not wait.
  bool holds_input() const;
  std::string& unsent() { return unsent_; }
  const std::string& unsent() const { return unsent_; }

 private:
  static int receive(BIO* bio, char* out, size_t size, size_t* got);
  static int keep(BIO* bio, const char* data, size_t size, size_t* put);

  SSL* ssl_;
  BIO* bio_;
  std::string carried_;  // received by the handshake past its end, read first
  size_t carried_read_ = 0;
  std::string unsent_;
  std::string scratch_;  // a small record's head and body together
  int fd_ = -1;
  int flags_ = 0;
  int errno_ = 0;  // the last receive's failure
};

/// OpenSSL's reasons for the last failure on this thread, "; "-joined (the queue is emptied), or
/// `fallback` when it has none.
std::string tls_reasons(const std::string& fallback);

/// Why a client's handshake failed: the certificate verification result when that was it.
std::string handshake_failure(SSL* ssl, const std::string& reasons);

/// The subject of the certificate the peer presented, RFC 2253 style ("CN=client,O=Example");
/// none when it presented none.
std::optional<std::string> peer_subject(SSL* ssl);

}  // namespace velvane::net
