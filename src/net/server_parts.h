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

/// A TLS connection: the request loop runs over it as over a plain socket.
using TlsStream = asio::ssl::stream<asio::ip::tcp::socket>;
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
