// src/net/connection.cpp: connect, buffered socket reads and writes, and whole-message I/O.
//
// Without a deadline the socket stays in blocking mode and each read or write is one system call.
// With a deadline it is switched to non-blocking mode and the thread waits in poll() for at most the
// time that is left, so no single read or write can outlast the deadline; a message whose bytes keep
// coming is checked against the deadline after every read and write, so it cannot outlast it either.
// A signal that interrupts a wait asks the connection's InterruptCheck whether to stop.
#include "net/connection.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>

#include <asio/io_context.hpp>
#include <asio/generic/stream_protocol.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/message_io.h"
#include "net/tls.h"
#include "protocol/wire_format.h"

namespace velvane::net {

namespace {

using asio::ip::tcp;
using Socket = asio::generic::stream_protocol::socket;  // TCP, or a unix socket

Error os_error(const std::error_code& ec) { return Error{ErrorKind::Os, ec.message()}; }
Error os_errno(int code) { return os_error(std::error_code(code, std::system_category())); }
Error timed_out() { return Error{ErrorKind::TimedOut, std::string(kTimedOut)}; }
Error interrupted() { return Error{ErrorKind::Interrupted, "interrupted by a signal"}; }

bool past(const Deadline& deadline) { return deadline && Clock::now() >= *deadline; }

/// Milliseconds poll() may wait before the deadline: -1 without one, 0 once it passed.
int poll_timeout(const Deadline& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

/// Asks an operation's InterruptCheck when a signal interrupted one of its waits. Once a check let
/// the operation go on, the thread keeps signals blocked outside the operation's waits and lets them
/// in only inside ppoll(), so a signal landing between two waits interrupts the next one instead of
/// going unnoticed until some other signal comes. The thread's mask is restored when the gate goes.
class SignalGate {
 public:
  explicit SignalGate(const InterruptCheck& check) : check_(check) {}
  ~SignalGate() {
    if (armed_) pthread_sigmask(SIG_SETMASK, &before_, nullptr);
  }
  SignalGate(const SignalGate&) = delete;
  SignalGate& operator=(const SignalGate&) = delete;

  /// Waits must go through ppoll() with wait_mask(); a blocking system call could miss a signal.
  bool armed() const { return armed_; }
  const sigset_t* wait_mask() const { return armed_ ? &before_ : nullptr; }

  /// After EINTR: whether the operation stops.
  bool stop() {
    if (!check_) return false;
    if (!armed_) {  // before the check: a signal landing while it runs waits for the next ppoll()
      sigset_t all;
      sigfillset(&all);
      for (int synchronous : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, synchronous);
      armed_ = pthread_sigmask(SIG_BLOCK, &all, &before_) == 0;
    }
    return check_();
  }

 private:
  const InterruptCheck& check_;
  bool armed_ = false;
  sigset_t before_;
};

/// Waits until the socket is ready for `events` or the deadline passes.
Status wait_ready(int fd, short events, const Deadline& deadline, SignalGate& gate) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int ms = poll_timeout(deadline);
    const timespec limit{ms / 1000, (ms % 1000) * 1'000'000L};
    const int rc = ::ppoll(&p, 1, ms < 0 ? nullptr : &limit, gate.wait_mask());
    if (rc > 0) return {};
    if (rc == 0) return timed_out();
    if (errno != EINTR) return os_errno(errno);
    if (gate.stop()) return interrupted();
  }
}

}  // namespace

// --- Runtime --------------------------------------------------------------------------------------

struct Runtime::Impl {
  asio::io_context context;  // sockets are opened and closed from any calling thread
};

Runtime::Runtime() : impl_(std::make_unique<Impl>()) {}
Runtime::~Runtime() = default;

Result<std::unique_ptr<Runtime>> Runtime::create() {
  try {
    return std::make_unique<Runtime>();
  } catch (const std::exception& e) {
    return Error{ErrorKind::Os, e.what()};
  }
}

// --- Connection -----------------------------------------------------------------------------------

struct Connection::Impl {
  explicit Impl(Socket s) : socket(std::move(s)) {
    write_buffer.reserve(kBufferSize);
  }
  ~Impl() {
    if (ssl) SSL_free(ssl);
  }
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  /// A TLS session over the socket (non-blocking from here on: OpenSSL says what it waits for).
  Status handshake(SSL* session, const Deadline& deadline, SignalGate& gate);
  /// One TLS read or write: bytes moved, 0 at the end of the stream, or what to wait for.
  Result<size_t> tls_io(bool reading, char* data, size_t size, const Deadline& deadline, SignalGate& gate);

  Status set_mode(bool wanted);
  Result<size_t> read_some(char* data, size_t size, const Deadline& deadline, SignalGate& gate);
  Result<size_t> write_some(const char* data, size_t size, const Deadline& deadline, SignalGate& gate);
  Status write(std::string_view piece, const Deadline& deadline, SignalGate& gate);
  Status flush(const Deadline& deadline, SignalGate& gate);

  Socket socket;
  bool non_blocking = false;
  InterruptCheck interrupt_check;
  ReadBuffer read_buffer;
  std::string write_buffer;
  SSL* ssl = nullptr;  // present under TLS
  // Under TLS, bytes went out since the last read: the answer is yet to come, so the next read
  // waits for the socket before it asks the session (saving a read that would find nothing).
  bool answer_pending = false;
  std::string http_host;  // the Host header of HTTP requests
  std::string http_path = "/";
  bool keeps_alive = true;
};

/// Waits for what OpenSSL asked for after `result`; Ok to try again, or the failure.
Status tls_wait(SSL* ssl, int result, int fd, const Deadline& deadline, SignalGate& gate, bool& ended) {
  const int code = SSL_get_error(ssl, result);
  if (code == SSL_ERROR_WANT_READ) return wait_ready(fd, POLLIN, deadline, gate);
  if (code == SSL_ERROR_WANT_WRITE) return wait_ready(fd, POLLOUT, deadline, gate);
  // A clean close_notify, or a peer that closed without one: the end of the stream either way.
  if (code == SSL_ERROR_ZERO_RETURN ||
      (code == SSL_ERROR_SSL && ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING)) {
    ERR_clear_error();
    ended = true;
    return {};
  }
  if (code == SSL_ERROR_SYSCALL && errno != 0) {
    const int e = errno;
    ERR_clear_error();
    if (e == EINTR) return gate.stop() ? Status(interrupted()) : Status();
    return os_errno(e);
  }
  return Error{ErrorKind::Os, "TLS error: " + tls_reasons("the peer broke the TLS stream")};
}

Status Connection::Impl::handshake(SSL* session, const Deadline& deadline, SignalGate& gate) {
  ssl = session;
  if (Status s = set_mode(true); !s) return s;
  if (SSL_set_fd(ssl, socket.native_handle()) != 1) return Error{ErrorKind::Os, tls_reasons("TLS setup failed")};
  for (;;) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_connect(ssl);
    if (rc == 1) return {};
    const int code = SSL_get_error(ssl, rc);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
      bool ended = false;
      if (Status s = tls_wait(ssl, rc, socket.native_handle(), deadline, gate, ended); !s) return s;
      continue;
    }
    if (code == SSL_ERROR_SYSCALL && errno != 0 && errno != EINTR) return os_errno(errno);
    std::string reasons = tls_reasons("the server ended the connection during the TLS handshake");
    return Error{ErrorKind::Os, "TLS handshake failed: " + handshake_failure(ssl, reasons)};
  }
}

Result<size_t> Connection::Impl::tls_io(bool reading, char* data, size_t size, const Deadline& deadline,
                                        SignalGate& gate) {
  for (;;) {
    ERR_clear_error();
    errno = 0;
    size_t n = 0;
    const int rc = reading ? SSL_read_ex(ssl, data, size, &n) : SSL_write_ex(ssl, data, size, &n);
    if (rc == 1) return n;
    bool ended = false;
    if (Status s = tls_wait(ssl, rc, socket.native_handle(), deadline, gate, ended); !s) return s.take_error();
    if (ended) {
      if (reading) return size_t{0};
      return Error{ErrorKind::Os, std::error_code(EPIPE, std::system_category()).message()};
    }
  }
}

/// Non-blocking when a deadline or the signal gate needs the waits to go through ppoll().
Status Connection::Impl::set_mode(bool wanted) {
  if (wanted == non_blocking) return {};
  std::error_code ec;
  socket.non_blocking(wanted, ec);
  if (ec) return os_error(ec);
  non_blocking = wanted;
  return {};
}

/// Bytes read into `data`; 0 when the peer ended the stream.
Result<size_t> Connection::Impl::read_some(char* data, size_t size, const Deadline& deadline, SignalGate& gate) {
  if (ssl) {
    if (std::exchange(answer_pending, false) && SSL_has_pending(ssl) == 0) {
      if (Status s = wait_ready(socket.native_handle(), POLLIN, deadline, gate); !s) return s.take_error();
    }
    return tls_io(true, data, size, deadline, gate);
  }
  for (;;) {
    if (Status s = set_mode(deadline || gate.armed()); !s) return s.take_error();
    std::error_code ec;
    const size_t n = socket.read_some(asio::buffer(data, size), ec);
    if (!ec) return n;
    if (ec == asio::error::eof) return size_t{0};
    if (ec == asio::error::interrupted) {
      if (gate.stop()) return interrupted();
      continue;
    }
    if (ec != asio::error::would_block && ec != asio::error::try_again) return os_error(ec);
    if (Status s = wait_ready(socket.native_handle(), POLLIN, deadline, gate); !s) return s.take_error();
  }
}

Result<size_t> Connection::Impl::write_some(const char* data, size_t size, const Deadline& deadline,
                                             SignalGate& gate) {
  if (ssl) return tls_io(false, const_cast<char*>(data), size, deadline, gate);
  for (;;) {
    if (Status s = set_mode(deadline || gate.armed()); !s) return s.take_error();
    std::error_code ec;
    const size_t n = socket.write_some(asio::buffer(data, size), ec);
    if (!ec) return n;
    if (ec == asio::error::interrupted) {
      if (gate.stop()) return interrupted();
      continue;
    }
    if (ec != asio::error::would_block && ec != asio::error::try_again) return os_error(ec);
    if (Status s = wait_ready(socket.native_handle(), POLLOUT, deadline, gate); !s) return s.take_error();
  }
}

/// Writes the buffered bytes out; bytes already written leave the buffer even when a later write fails.
Status Connection::Impl::flush(const Deadline& deadline, SignalGate& gate) {
  size_t done = 0;
  Status status;
  while (done < write_buffer.size()) {
    auto n = write_some(write_buffer.data() + done, write_buffer.size() - done, deadline, gate);
    if (!n) {
      status = n.take_error();
      break;
    }
    if (n.value() == 0) {
      status = Error{ErrorKind::WriteZero, "failed to write the buffered data"};
      break;
    }
    done += n.value();
    if (done < write_buffer.size() && past(deadline)) {
      status = timed_out();
      break;
    }
  }
  write_buffer.erase(0, done);
  if (done > 0) answer_pending = true;
  return status;
}

/// Appends to the write buffer, flushing first when it cannot take the piece; a piece as large as
/// the buffer goes straight to the socket.
Status Connection::Impl::write(std::string_view piece, const Deadline& deadline, SignalGate& gate) {
  if (write_buffer.size() + piece.size() > kBufferSize) {
    if (Status s = flush(deadline, gate); !s) return s;
  }
  if (piece.size() < kBufferSize) {
    write_buffer.append(piece);
    return {};
  }
  while (!piece.empty()) {
    auto n = write_some(piece.data(), piece.size(), deadline, gate);
    if (!n) return n.take_error();
    if (n.value() == 0) return Error{ErrorKind::WriteZero, "write zero"};
    piece.remove_prefix(n.value());
    if (!piece.empty() && past(deadline)) return timed_out();
  }
  return {};
}

Connection::Connection(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

void Connection::set_interrupt_check(InterruptCheck check) { impl_->interrupt_check = std::move(check); }

Connection::~Connection() {
  std::error_code ignored;
  if (impl_->ssl) SSL_shutdown(impl_->ssl);  // close_notify, if the socket takes it at once
  impl_->socket.shutdown(Socket::shutdown_send, ignored);
  impl_->socket.close(ignored);
}

namespace {

/// Connects `socket` to `endpoint` before the deadline (a non-blocking connect, then poll()).
template <class SocketOf, class Endpoint>
Status connect_one(SocketOf& socket, const Endpoint& endpoint, const Deadline& deadline, const InterruptCheck& check) {
  std::error_code ec;
  socket.open(endpoint.protocol(), ec);
  if (!ec) socket.non_blocking(true, ec);
  if (ec) return os_error(ec);
  const int fd = socket.native_handle();
  if (::connect(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return os_errno(errno);
    SignalGate gate(check);
    if (Status s = wait_ready(fd, POLLOUT, deadline, gate); !s) return s;
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return os_errno(errno);
    if (error != 0) return os_errno(error);
  }
  socket.non_blocking(false, ec);
  if (ec) return os_error(ec);
  return {};
}

}  // namespace

namespace {

/// A connected socket as a Connection: with `tls`, once its handshake is done.
Result<std::unique_ptr<Connection>> made_connection(Socket socket, std::string_view host, Deadline deadline,
                                                    const InterruptCheck& check, const TlsContext* tls) {
  auto impl = std::make_unique<Connection::Impl>(std::move(socket));
  impl->http_host = host.starts_with(kUnixHostPrefix) ? "localhost" : std::string(host);
  if (tls) {
    auto session = tls->client_session(std::string(host));
    if (!session) return session.take_error();
    SignalGate gate(check);
    if (Status s = impl->handshake(session.value(), deadline, gate); !s) return s.take_error();
  }
  return std::make_unique<Connection>(std::move(impl));
}

}  // namespace

Result<std::unique_ptr<Connection>> Connection::connect(Runtime& runtime, std::string_view host, uint16_t port,
                                                        Deadline deadline, const InterruptCheck& check,
                                                        const TlsContext* tls) {
  asio::io_context& context = runtime.impl().context;
  if (host.starts_with(kUnixHostPrefix)) {
    asio::local::stream_protocol::socket socket(context);
    const std::string path(host.substr(kUnixHostPrefix.size()));
    if (Status s = connect_one(socket, asio::local::stream_protocol::endpoint(path), deadline, check); !s)
      return s.take_error();
    return made_connection(Socket(std::move(socket)), host, deadline, check, tls);
  }
  std::error_code ec;
  tcp::resolver resolver(context);
  const auto endpoints = resolver.resolve(std::string(host), std::to_string(port), ec);
  if (ec) return os_error(ec);
  Error last{ErrorKind::Os, "could not resolve to any address"};
  for (const auto& entry : endpoints) {
    tcp::socket socket(context);
    Status s = connect_one(socket, entry.endpoint(), deadline, check);
    if (!s) {
      if (s.error().kind == ErrorKind::TimedOut || s.error().kind == ErrorKind::Interrupted) return s.take_error();
      last = s.take_error();
      continue;
    }
    socket.set_option(tcp::no_delay(true), ec);  // a failure here is not worth refusing the connection
    auto made = made_connection(Socket(std::move(socket)), host, deadline, check, tls);
    if (made) made.value()->impl_->http_host += ":" + std::to_string(port);
    return made;
  }
  return last;
}

Result<std::unique_ptr<Connection>> Connection::connect(Runtime& runtime, EndpointSet& endpoints, Deadline deadline,
                                                        const InterruptCheck& check, const TlsContext* tls) {
  Error last;
  for (const size_t i : endpoints.plan()) {
    auto made = connect(runtime, endpoints[i].host, endpoints[i].port, deadline, check, tls);
    if (made) {
      endpoints.succeeded(i);
      return made;
    }
    if (made.error().kind == ErrorKind::Interrupted) return made.take_error();
    endpoints.failed(i);
    last = Error{made.error().kind, "connect to " + endpoints[i].text() + ": " + made.error().text};
    if (last.kind == ErrorKind::TimedOut) break;
  }
  return last;
}

bool Connection::peer_has_closed() { return net::peer_has_closed(impl_->socket.native_handle()); }

void Connection::set_http_path(std::string path) { impl_->http_path = std::move(path); }
bool Connection::keeps_alive() const { return impl_->keeps_alive; }

Status Connection::write_message(framing::Transport transport, std::string_view payload, Deadline deadline) {
  Impl& c = *impl_;
  SignalGate gate(c.interrupt_check);
  if (transport == framing::Transport::Http) {
    std::string request;
    framing::append_http_request(request, c.http_host, c.http_path, payload);
    if (Status s = c.write(request, deadline, gate); !s) return s;
    return c.flush(deadline, gate);
  }
  if (framing::is_framed(transport)) {
    std::string prefix;
    wire::put_be32(prefix, static_cast<uint32_t>(payload.size()));
    if (Status s = c.write(prefix, deadline, gate); !s) return s;
  }
  if (Status s = c.write(payload, deadline, gate); !s) return s;
  return c.flush(deadline, gate);
}

Result<std::string> Connection::read_message(framing::Transport transport, Protocol protocol, Deadline deadline,
                                             size_t max_size) {
  Impl& c = *impl_;
  framing::MessageDecoder decoder(transport, protocol, framing::Side::Client, max_size);
  SignalGate gate(c.interrupt_check);
  bool read_before = false;
  auto message = net::read_message(c.read_buffer, decoder, [&](asio::mutable_buffer space) -> Result<size_t> {
    // Checked between reads, not only while waiting: bytes that keep coming cannot stretch the call.
    if (std::exchange(read_before, true) && past(deadline)) return timed_out();
    return c.read_some(static_cast<char*>(space.data()), space.size(), deadline, gate);
  });
  if (!message) return message.take_error();
  c.keeps_alive = decoder.keep_alive();
  return std::move(*message.value());  // a blocking read always has bytes or an end
}

}  // namespace velvane::net
