// src/net/connection.h: TCP connections that move whole Thrift messages, on standalone Asio.
//
// A Runtime is the I/O context that owns sockets; a Connection is one connected socket with its
// 64 KiB read and write buffers. The operations here are driven by the calling thread (a blocking
// client); message boundaries are found by the sans-IO decoders of src/framing/, so an
// asynchronous driver on a shared runtime reuses the same buffers and decoders.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "framing/framing.h"
#include "model/error.h"
#include "net/endpoints.h"

namespace velvane::net {

class TlsContext;

using Clock = std::chrono::steady_clock;
/// When an operation must have finished; none waits as long as the operating system lets it.
using Deadline = std::optional<Clock::time_point>;

inline constexpr size_t kBufferSize = 64 * 1024;

/// A host of this form ("unix:/run/app.sock") names a unix domain socket; its port is not used.
inline constexpr std::string_view kUnixHostPrefix = "unix:";

/// An operation that ran past its deadline fails with kind TimedOut and this text.
inline constexpr std::string_view kTimedOut = "timed out";

/// Asked whenever a signal interrupts a wait of a blocking operation: true ends the operation with
/// kind Interrupted, false waits on. Empty: signals never end an operation.
using InterruptCheck = std::function<bool()>;

/// The I/O context a client or server owns; connections made on it live no longer than it.
class Runtime {
 public:
  static Result<std::unique_ptr<Runtime>> create();
  Runtime();  // throws std::system_error when the system refuses; create() reports it as an Error
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
};

class Connection {
 public:
  /// Resolves "{host}:{port}" and connects to the first address that accepts, with TCP_NODELAY (or
  /// connects to the unix socket "unix:{path}").
  /// Errors carry the operating system's text, or are TimedOut. With `tls`, the TLS handshake is
  /// part of connecting (and of the deadline); a refused one fails with the reason.
  static Result<std::unique_ptr<Connection>> connect(Runtime& runtime, std::string_view host, uint16_t port,
                                                     Deadline deadline, const InterruptCheck& interrupted = {},
                                                     const TlsContext* tls = nullptr);
  /// Tries the endpoints in the order `endpoints.plan()` gives, telling it how each went, until one
  /// accepts. A failure names the endpoint that failed last ("connect to HOST:PORT: ..."); running out
  /// of time ends the tries, and an interruption is returned as it is.
  static Result<std::unique_ptr<Connection>> connect(Runtime& runtime, EndpointSet& endpoints, Deadline deadline,
                                                     const InterruptCheck& interrupted = {},
                                                     const TlsContext* tls = nullptr);
  /// Shuts down the sending direction, then closes; unflushed bytes are discarded.
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  /// What the following reads and writes ask when a signal interrupts them.
  void set_interrupt_check(InterruptCheck check);
  /// Without waiting: whether the peer ended this idle connection.
  bool peer_has_closed();

  /// Over Transport::Http, requests are POSTed to this path (default "/").
  void set_http_path(std::string path);
  /// Over Transport::Http: false once a response said the server closes the connection after it.
  bool keeps_alive() const;

  /// Writes one message (a length prefix first when framed, as an HTTP POST over Http) and flushes it. The deadline bounds the
  /// whole message, however the peer takes it; so it does for read_message.
  Status write_message(framing::Transport transport, std::string_view payload, Deadline deadline);
  /// Reads exactly one message; an empty payload means the peer ended the connection. A message
  /// larger than `max_size` bytes (0: no limit) fails before its body is kept.
  Result<std::string> read_message(framing::Transport transport, Protocol protocol, Deadline deadline,
                                   size_t max_size = 0);

  struct Impl;
  explicit Connection(std::unique_ptr<Impl> impl);  // Impl is private to the implementation

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace velvane::net
