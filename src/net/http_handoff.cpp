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
#include <array>
#include <cerrno>
#include <chrono>
#include <string_view>
#include <utility>

namespace velvane::net {

using asio::ip::tcp;

namespace {

/// A peer that keeps sending a proper prefix of a method (or nothing) is served as Thrift after this.
constexpr auto kProbeDeadline = std::chrono::seconds(10);
constexpr auto kProbePause = std::chrono::milliseconds(1);

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

}  // namespace

// While the opening bytes are a proper prefix of a method the peek is repeated after a pause on a
// timer, never by spinning.
asio::awaitable<framing::OpeningKind> probe_opening(tcp::socket& socket, std::error_code& ec) {
  using namespace asio::experimental::awaitable_operators;
  const auto deadline = std::chrono::steady_clock::now() + kProbeDeadline;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  std::array<char, framing::kOpeningBytes> bytes;
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
    if (peer_stopped_sending(socket.native_handle())) co_return framing::OpeningKind::Thrift;
    if (std::chrono::steady_clock::now() + kProbePause >= deadline) co_return framing::OpeningKind::Thrift;
    timer.expires_after(kProbePause);
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, timer_ec));
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
