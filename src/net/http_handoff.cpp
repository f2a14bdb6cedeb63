// src/net/http_handoff.cpp: connections that begin like an HTTP request, told apart by peeking at
// their opening bytes and handed to the program.
#include "net/server_parts.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <array>
#include <cerrno>
#include <chrono>
#include <string>
#include <string_view>
#include <utility>

namespace velvane::net {

using asio::ip::tcp;

namespace {

/// A peer that keeps sending a proper prefix of a method (or nothing) is served as Thrift after this.
constexpr auto kProbeDeadline = std::chrono::seconds(10);

/// Whether the peer has ended its side of the connection (or it failed): nothing more will arrive.
bool peer_stopped_sending(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

/// A descriptor closed when dropped, unless taken.
struct OwnedFd {
  int fd = -1;
  explicit OwnedFd(int f) : fd(f) {}
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  ~OwnedFd() {
    if (fd >= 0) ::close(fd);
  }
  int take() { return std::exchange(fd, -1); }
};

/// A job the pool drops (it is shutting down) closes the socket and answers Close.
struct HandOffJob {
  HandOffJob(int f, Responder r) : fd(f), respond(std::move(r)) {}
  OwnedFd fd;
  Responder respond;
};

bool set_blocking(int fd, bool blocking) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return false;
  return ::fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

ConnectionEnd taken_end(const Outcome& outcome) {
  if (outcome.kind == Outcome::Kind::Fail) return ConnectionEnd{outcome.error, false};
  if (outcome.kind == Outcome::Kind::Close)
    return ConnectionEnd{Error{ErrorKind::Internal, "HTTP hand-off did not complete: its job was dropped"}, false};
  return ConnectionEnd{};
}

/// How much of a request the metrics answer looks at: its request line, then the headers it consumes.
constexpr size_t kRequestLineLimit = 2048;
constexpr size_t kRequestHeadLimit = 16384;

/// The socket's receive low-water mark while a probe peeks: set above the bytes already seen, the
/// socket turns readable only when more arrive (or the peer ends), so a wait for them wakes nobody
/// in the meantime. Back to 1 (the default) when the probe is over.
class LowWaterMark {
 public:
  explicit LowWaterMark(int fd) : fd_(fd) {}
  LowWaterMark(const LowWaterMark&) = delete;
  LowWaterMark& operator=(const LowWaterMark&) = delete;
  ~LowWaterMark() { set(1); }
  /// False when the system refuses it: the caller then cannot wait for new bytes only.
  bool set(int bytes) { return ::setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0; }

 private:
  int fd_;
};

/// Whether `line` is a GET of `path` (with or without a query).
bool gets_path(std::string_view line, std::string_view path) {
  constexpr std::string_view kGet = "GET ";
  if (!line.starts_with(kGet)) return false;
  line.remove_prefix(kGet.size());
  if (!line.starts_with(path)) return false;
  line.remove_prefix(path.size());
  return !line.empty() && (line.front() == ' ' || line.front() == '?' || line.front() == '\r');
}

/// Consumes the request up to the end of its headers (or the limit, or the deadline), then writes
/// `response` and ends the connection. Reading first keeps the close from resetting the
/// connection before the peer has read the answer.
asio::awaitable<ConnectionEnd> answer_http(tcp::socket& socket, std::string response) {
  using namespace asio::experimental::awaitable_operators;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  timer.expires_after(kProbeDeadline);
  std::string head;
  std::array<char, 4096> chunk;
  while (head.find("\r\n\r\n") == std::string::npos && head.find("\n\n") == std::string::npos &&
         head.size() < kRequestHeadLimit) {
    std::error_code ec, timer_ec;
    const auto first =
        co_await (socket.async_read_some(asio::buffer(chunk), asio::redirect_error(asio::use_awaitable, ec)) ||
                  timer.async_wait(asio::redirect_error(asio::use_awaitable, timer_ec)));
    if (first.index() == 1) break;
    if (ec) co_return os_end(ec);
    head.append(chunk.data(), std::get<0>(first));
  }
  std::error_code ec;
  co_await asio::async_write(socket, asio::buffer(response), asio::redirect_error(asio::use_awaitable, ec));
  std::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
  if (ec) co_return os_end(ec);
  co_return ConnectionEnd{};
}

std::string http_response(std::string_view status, std::string_view content_type, std::string_view body) {
  std::string out = "HTTP/1.1 ";
  out += status;
  out += "\r\nContent-Type: ";
  out += content_type;
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  out += body;
  return out;
}

}  // namespace

asio::awaitable<std::string> peek_request_line(tcp::socket& socket) {
  using namespace asio::experimental::awaitable_operators;
  const auto deadline = std::chrono::steady_clock::now() + kProbeDeadline;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  std::string bytes(kRequestLineLimit, '\0');
  LowWaterMark low_water(socket.native_handle());
  for (;;) {
    std::error_code ec, timer_ec;
    timer.expires_at(deadline);
    const auto first = co_await (socket.async_wait(tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec)) ||
                                 timer.async_wait(asio::redirect_error(asio::use_awaitable, timer_ec)));
    if (first.index() == 1 || ec) co_return std::string();
    const ssize_t n = ::recv(socket.native_handle(), bytes.data(), bytes.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n <= 0) co_return std::string();
    const std::string_view seen(bytes.data(), static_cast<size_t>(n));
    if (const size_t end = seen.find('\n'); end != std::string_view::npos) co_return std::string(seen.substr(0, end));
    if (seen.size() == bytes.size() || peer_stopped_sending(socket.native_handle()) ||
        !low_water.set(static_cast<int>(n) + 1))
      co_return std::string(seen);
  }
}

asio::awaitable<ConnectionEnd> serve_http(tcp::socket& socket, const ConnectionShared& shared) {
  if (!shared.metrics_path.empty()) {
    const std::string line = co_await peek_request_line(socket);
    if (gets_path(line, shared.metrics_path))
      co_return co_await answer_http(socket, http_response("200 OK", "text/plain; version=0.0.4; charset=utf-8",
                                                           shared.stats->exposition()));
  }
  if (shared.http) co_return co_await hand_off(socket, shared);
  co_return co_await answer_http(socket, http_response("404 Not Found", "text/plain; charset=utf-8", "not found\n"));
}

// While the opening bytes are a proper prefix of a method the peek is repeated when more bytes
// arrive, never by spinning or polling.
asio::awaitable<framing::OpeningKind> probe_opening(tcp::socket& socket, std::error_code& ec) {
  using namespace asio::experimental::awaitable_operators;
  const auto deadline = std::chrono::steady_clock::now() + kProbeDeadline;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  std::array<char, framing::kOpeningBytes> bytes;
  LowWaterMark low_water(socket.native_handle());
  for (;;) {
    std::error_code timer_ec;
    timer.expires_at(deadline);
    const auto first = co_await (socket.async_wait(tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec)) ||
                                 timer.async_wait(asio::redirect_error(asio::use_awaitable, timer_ec)));
    if (first.index() == 1) {
      ec.clear();  // the read wait was cancelled by the deadline: a silent peer is no error
      co_return framing::OpeningKind::Thrift;
    }
    if (ec) co_return framing::OpeningKind::Thrift;
    const ssize_t n = ::recv(socket.native_handle(), bytes.data(), bytes.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
      ec = std::error_code(errno, std::system_category());
      co_return framing::OpeningKind::Thrift;
    }
    const auto kind = framing::classify_opening(std::string_view(bytes.data(), static_cast<size_t>(n)));
    if (kind != framing::OpeningKind::NeedMore) co_return kind;
    // A peer that ended its side after a prefix will never finish the method: the Thrift reader
    // ends the connection at once instead of peeking again until the deadline.
    if (peer_stopped_sending(socket.native_handle()) || !low_water.set(static_cast<int>(n) + 1))
      co_return framing::OpeningKind::Thrift;
  }
}

asio::awaitable<ConnectionEnd> hand_off(tcp::socket& socket, const ConnectionShared& shared) {
  std::error_code ec;
  OwnedFd fd(socket.release(ec));
  if (ec) co_return os_end(ec);
  if (!set_blocking(fd.fd, shared.http->wants_blocking()))
    co_return ConnectionEnd{Error{ErrorKind::Os, std::error_code(errno, std::system_category()).message()}, false};

  auto slot = std::make_shared<ReplySlot>(shared.gate, co_await asio::this_coro::executor);
  asio::steady_timer timer(co_await asio::this_coro::executor);
  slot->timer = &timer;
  SlotRelease release{*slot};

  auto job = std::make_shared<HandOffJob>(fd.take(), Responder(slot));
  auto taken = std::make_shared<HttpTaken>();
  shared.pool->submit([job, taken, http = shared.http] {
    try {
      *taken = http->take(job->fd.take());
    } catch (...) {
      taken->error = Error{ErrorKind::Internal, "HTTP hand-off failed: " + current_exception_error().text};
    }
    job->respond(Outcome{});
  });
  job.reset();
  Outcome outcome = co_await await_outcome(*slot, timer);
  if (outcome.kind != Outcome::Kind::NoReply) co_return taken_end(outcome);
  if (taken->error) co_return ConnectionEnd{std::move(taken->error), false};
  if (!taken->then) co_return ConnectionEnd{};
  taken->then(Responder(slot));
  co_return taken_end(co_await await_outcome(*slot, timer));
}

}  // namespace velvane::net
