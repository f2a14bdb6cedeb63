// src/net/server_parts.h: what a server's connection task is made of, shared by the server's own
// files (server.cpp: accepting; server_requests.cpp: the request loop; http_handoff.cpp:
// connections that begin like HTTP). Not for use outside them.
#pragma once

// Standard headers first: Asio's recycling allocator is chosen from what they define, and every file
// that includes Asio must make the same choice.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/ssl/error.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>

#include "framing/http_probe.h"
#include "net/server.h"

namespace velvane::net {

/// Open while the runtime's I/O context exists; a completion posts to it only while open.
struct RuntimeGate {
  std::mutex mutex;
  bool open = true;
  std::atomic<bool> stopping{false};  // the runtime is shutting down: pool threads let connections go
};

/// Where one connection waits for the outcome of its current request. The timer belongs to the
/// waiting connection task; the slot forgets it when the task ends.
struct ReplySlot {
  ReplySlot(std::shared_ptr<RuntimeGate> g, asio::any_io_executor s) : gate(std::move(g)), strand(std::move(s)) {}

  std::shared_ptr<RuntimeGate> gate;
  asio::any_io_executor strand;  // the connection task's
  std::mutex mutex;  // guards the fields below
  bool ready = false;
  bool spinning = false;  // the connection task polls `arrived` and needs no wake-up
  Outcome outcome;
  asio::steady_timer* timer = nullptr;
  std::atomic<bool> arrived{false};  // `ready`, readable without the lock
  // The connection task's own: polls that ended without the outcome, in a row, and waits since.
  uint8_t missed_polls = 0;
  uint8_t waits_since_poll = 0;
};

/// Forgets the connection's timer and strand when its task ends, however it ends: a responder kept
/// past the runtime's end (by a handler's task on the program's own loop) then holds nothing of it.
struct SlotRelease {
  ReplySlot& slot;
  ~SlotRelease() {
    std::lock_guard lock(slot.mutex);
    slot.timer = nullptr;
    slot.strand = asio::any_io_executor{};
  }
};

/// Waits for the current request's outcome: polls for a short while first (a handler that answers
/// quickly then costs no wake-up of this thread), then sleeps until the responder wakes it.
/// A connection whose outcomes keep coming later than the poll lasts (slow handlers, a pool thread
/// serving a busy connection) stops polling, and tries again now and then.
asio::awaitable<Outcome> await_outcome(ReplySlot& slot, asio::steady_timer& timer);

/// What every connection task of one server shares.
struct ConnectionShared {
  framing::Transport transport;
  Protocol protocol;
  size_t max_message_size;
  Dispatcher* dispatcher;
  BlockingPool* pool;
  std::shared_ptr<RuntimeGate> gate;
  HttpTaker* http = nullptr;  // the program's, for connections that begin like HTTP
  std::chrono::nanoseconds idle_timeout{0};  // 0: never
  ServerStats* stats = nullptr;
  std::string metrics_path;  // answered here when not empty
  std::shared_ptr<LineSink> log;  // nullptr: the process's descriptors

  bool probes_http() const { return http || !metrics_path.empty(); }
};

/// How a connection ended: a quiet end (the peer went away) is not reported.
struct ConnectionEnd {
  std::optional<Error> error;
  bool quiet = false;
};

/// An errno as Asio reports it, so it compares equal to Asio's error names.
inline std::error_code errno_code(int e) { return std::error_code(e, asio::error::get_system_category()); }

/// The socket under a server's TLS session. The connection task's asynchronous reads and writes go
/// to the socket itself; the synchronous ones are a borrower's (a pool thread or the host serving the
/// connection while the socket is lent): a receive on the borrower's descriptor with its flags, whose
/// "would block" the session survives (the read is tried again later), and writes kept in `unsent`
/// for the borrower to send without waiting and the task to finish, so no ciphertext is lost and a
/// peer that does not read holds no borrower.
class TlsTransport {
 public:
  using lowest_layer_type = asio::ip::tcp::socket::lowest_layer_type;
  using executor_type = asio::ip::tcp::socket::executor_type;

  explicit TlsTransport(asio::ip::tcp::socket socket) : socket_(std::move(socket)) {}

  executor_type get_executor() { return socket_.get_executor(); }
  lowest_layer_type& lowest_layer() { return socket_; }
  const lowest_layer_type& lowest_layer() const { return socket_; }

  template <class Buffers, class Token>
  auto async_read_some(const Buffers& buffers, Token&& token) {
    return socket_.async_read_some(buffers, std::forward<Token>(token));
  }
  template <class Buffers, class Token>
  auto async_write_some(const Buffers& buffers, Token&& token) {
    return socket_.async_write_some(buffers, std::forward<Token>(token));
  }

  /// The borrower's descriptor and receive flags for the synchronous reads that follow.
  void borrow(int fd, int flags) {
    fd_ = fd;
    flags_ = flags;
  }
  size_t read_some(const asio::mutable_buffer& space, std::error_code& ec);
  template <class Buffers>
  size_t write_some(const Buffers& buffers, std::error_code& ec) {
    ec.clear();
    size_t n = 0;
    for (auto it = asio::buffer_sequence_begin(buffers); it != asio::buffer_sequence_end(buffers); ++it) {
      const asio::const_buffer piece(*it);
      unsent.append(static_cast<const char*>(piece.data()), piece.size());
      n += piece.size();
    }
    return n;
  }

  std::string unsent;  // ciphertext written by a borrower that the socket has not taken yet

 private:
  asio::ip::tcp::socket socket_;
  int fd_ = -1;
  int flags_ = 0;
};

/// A TLS connection: the request loop runs over it as over a plain socket.
using TlsStream = asio::ssl::stream<TlsTransport>;
template <class Stream>
inline constexpr bool kIsTls = std::is_same_v<Stream, TlsStream>;

/// A peer that went away, a TLS peer that closed without its close_notify included.
inline bool is_quiet(const std::error_code& ec) {
  return ec == asio::error::connection_reset || ec == asio::error::broken_pipe || ec == asio::error::eof ||
         ec == asio::ssl::error::stream_truncated;
}

inline ConnectionEnd os_end(const std::error_code& ec) {
  return ConnectionEnd{Error{ErrorKind::Os, ec.message()}, is_quiet(ec)};
}

/// Reads requests, has them answered and writes the replies until the connection ends; over a
/// tcp::socket or a TlsStream.
template <class Stream>
asio::awaitable<ConnectionEnd> request_loop(Stream& stream, const ConnectionShared& shared);

/// Peeks at the opening bytes (consuming none) until they tell HTTP from Thrift. A failed wait or
/// peek sets `ec`.
asio::awaitable<framing::OpeningKind> probe_opening(asio::ip::tcp::socket& socket, std::error_code& ec);

/// Peeks (consuming nothing) until the request line is complete, the limit is reached, the peer
/// stops sending or the deadline passes; what was seen of the line.
asio::awaitable<std::string> peek_request_line(asio::ip::tcp::socket& socket);

/// Takes the socket out of the runtime and hands it to the program: on a blocking-pool thread, then,
/// if that asks for it, on this worker thread. Whatever happens, the socket is not touched again here.
asio::awaitable<ConnectionEnd> hand_off(asio::ip::tcp::socket& socket, const ConnectionShared& shared);

/// A connection that began like HTTP: the metrics path is answered here, anything else goes to the
/// program's handler, or gets 404 without one.
asio::awaitable<ConnectionEnd> serve_http(asio::ip::tcp::socket& socket, const ConnectionShared& shared);

}  // namespace velvane::net
