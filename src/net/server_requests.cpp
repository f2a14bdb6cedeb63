// src/net/server_requests.cpp: a connection's requests, read on its worker thread and handed to the
// dispatcher, or served by a blocking-pool thread that holds the socket while requests keep coming.
#include "net/server_parts.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <string>
#include <utility>

#include "framing/header.h"
#include "net/message_io.h"
#include "net/threads.h"
#include "net/tls.h"
#include "protocol/wire_format.h"

namespace velvane::net {

using asio::ip::tcp;

// --- Replies -------------------------------------------------------------------------------------

Responder& Responder::operator=(Responder&& o) noexcept {
  if (this != &o) {
    if (slot_) (*this)(Outcome{Outcome::Kind::Close, {}, {}});
    slot_ = std::move(o.slot_);
  }
  return *this;
}

Responder::~Responder() {
  if (slot_) (*this)(Outcome{Outcome::Kind::Close, {}, {}});
}

void Responder::operator()(Outcome outcome) {
  std::shared_ptr<ReplySlot> slot = std::move(slot_);
  if (!slot) return;
  // Held until the wake-up is posted: the task's end (SlotRelease) then cannot drop the strand meanwhile.
  std::lock_guard lock(slot->mutex);
  if (!slot->timer) return;  // the connection is gone
  slot->outcome = std::move(outcome);
  slot->ready = true;
  slot->arrived.store(true, std::memory_order_release);
  if (slot->spinning) return;
  std::lock_guard gate(slot->gate->mutex);
  if (!slot->gate->open) return;
  asio::post(slot->strand, [slot] {
    std::lock_guard lock(slot->mutex);
    if (slot->timer) slot->timer->cancel();
  });
}

namespace {
constexpr auto kReplySpin = std::chrono::microseconds(50);  // how long a connection task polls for an outcome
}  // namespace

asio::awaitable<Outcome> await_outcome(ReplySlot& slot, asio::steady_timer& timer) {
  constexpr uint8_t kMissesBeforePause = 2, kWaitsBetweenTries = 16;
  bool poll = polling_pays();
  if (poll && slot.missed_polls >= kMissesBeforePause) {
    poll = ++slot.waits_since_poll >= kWaitsBetweenTries;
    if (poll) slot.waits_since_poll = 0;
  }
  {
    std::lock_guard lock(slot.mutex);
    slot.spinning = poll && !slot.ready;
  }
  if (slot.spinning) {
    const bool hit = spin_until([&] { return slot.arrived.load(std::memory_order_acquire); }, kReplySpin);
    slot.missed_polls = hit ? 0 : static_cast<uint8_t>(std::min(slot.missed_polls + 1, 255));
  }
  for (;;) {
    {
      std::lock_guard lock(slot.mutex);
      slot.spinning = false;
      if (slot.ready) {
        slot.ready = false;
        slot.arrived.store(false, std::memory_order_relaxed);
        co_return std::move(slot.outcome);
      }
    }
    std::error_code ec;
    timer.expires_at(asio::steady_timer::time_point::max());
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
}

// --- Reading requests ----------------------------------------------------------------------------

namespace {

/// A connection's reading state: its buffer and the message being read. Used by the connection task
/// and, while it waits, by the pool thread serving the connection; never by both at once.
struct ReadState {
  ReadBuffer buffer;
  std::optional<framing::MessageDecoder> decoder;
  std::optional<framing::HeaderInfo> header;  // the header transport's: the request being answered
  int lent_fd = -1;  // the socket while a pool thread serves it; closed here if never taken back

  ReadState() = default;
  ReadState(const ReadState&) = delete;
  ReadState& operator=(const ReadState&) = delete;
  ~ReadState() {
    if (lent_fd >= 0) ::close(lent_fd);
  }

  framing::MessageDecoder& request_decoder(const ConnectionShared& shared) {
    if (!decoder) decoder.emplace(shared.transport, shared.protocol, framing::Side::Server, shared.max_message_size);
    return *decoder;
  }
};

/// A receive's result as read_message takes it. A peer that reset the connection has ended it.
Result<size_t> received(const std::error_code& ec, size_t n) {
  if (!ec) return n;
  if (is_quiet(ec)) return size_t{0};
  if (ec == asio::error::would_block || ec == asio::error::try_again) return kNoBytesYet;
  return Error{ErrorKind::Os, ec.message()};
}

/// What reading a request came to: its payload, or how the connection ends (Fail when the read
/// failed, Close when the peer ended the connection between requests), or neither when the socket
/// had no bytes for now.
struct NextRequest {
  std::optional<std::string> payload;
  std::optional<Outcome> end;
  framing::HeaderList headers;  // the header transport's
  std::optional<std::chrono::steady_clock::time_point> deadline;

  RequestMeta meta(const std::shared_ptr<const Peer>& peer) { return RequestMeta{peer, std::move(headers), deadline}; }
};

/// When the caller gives up: `client_timeout` milliseconds (decimal) after the request arrived.
std::optional<std::chrono::steady_clock::time_point> deadline_of(const framing::HeaderList& headers) {
  for (const auto& [key, value] : headers) {
    if (key != framing::kClientTimeoutHeader) continue;
    uint64_t ms = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), ms);
    constexpr uint64_t kCentury = uint64_t{100} * 365 * 86400 * 1000;
    if (ec != std::errc() || end != value.data() + value.size() || ms > kCentury) return std::nullopt;
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  }
  return std::nullopt;
}

/// The message of a header frame, its header kept in `rs` for the reply.
Result<std::string> open_header_frame(std::string_view frame, const ConnectionShared& shared, ReadState& rs) {
  rs.header.emplace();
  auto message = framing::decode_header_frame(frame, shared.max_message_size, *rs.header);
  if (!message) return message;
  auto ours = framing::header_protocol_id(shared.protocol);
  if (!ours) return ours.take_error();
  if (rs.header->protocol_id != ours.value())
    return Error{ErrorKind::InvalidData, "header frame: a request in protocol id " +
                                             std::to_string(rs.header->protocol_id) + ", this server speaks " +
                                             std::to_string(ours.value())};
  return message;
}

/// A reply to a header request goes back in a header frame like the request's: its protocol,
/// flags, seq id and transforms.
void header_reply(Outcome& outcome, const ReadState& rs) {
  if (!rs.header || outcome.kind != Outcome::Kind::Reply || outcome.framed) return;
  framing::HeaderInfo info = *rs.header;
  info.headers.clear();
  auto frame = framing::encode_header_frame(info, outcome.bytes);
  if (!frame) {
    outcome = Outcome::fail(frame.take_error());
    return;
  }
  outcome.bytes = std::move(frame).value();
}

NextRequest ending(Outcome outcome) {
  NextRequest request;
  request.end = std::move(outcome);
  return request;
}

template <class Read>
NextRequest next_request(ReadState& rs, const ConnectionShared& shared, Read&& read) {
  auto message = read_message(rs.buffer, rs.request_decoder(shared), read);
  if (!message) return ending(Outcome::fail(message.take_error()));
  if (!message.value()) return {};
  rs.decoder.reset();
  if (message.value()->empty()) return ending(Outcome{Outcome::Kind::Close, {}, {}});
  shared.stats->bytes_in(message.value()->size());
  NextRequest request;
  if (shared.transport != framing::Transport::Header) {
    request.payload = std::move(message.value());
    return request;
  }
  auto inner = open_header_frame(*message.value(), shared, rs);
  if (!inner) return ending(Outcome::fail(inner.take_error()));
  request.payload = std::move(inner).value();
  request.headers = std::move(rs.header->headers);
  request.deadline = deadline_of(request.headers);
  return request;
}

/// A failure that ends the connection; the peer going away ends it without a report.
Outcome os_outcome(const std::error_code& ec) {
  if (is_quiet(ec)) return Outcome{Outcome::Kind::Close, {}, {}};
  return Outcome::fail(Error{ErrorKind::Os, ec.message()});
}

Outcome errno_outcome(int e) { return os_outcome(errno_code(e)); }

ConnectionEnd end_of(const Outcome& outcome) {
  if (outcome.kind == Outcome::Kind::Fail) return ConnectionEnd{outcome.error, outcome.error.kind == ErrorKind::EndOfInput};
  return ConnectionEnd{};
}

/// The length prefix a reply needs before `outcome.bytes` on the wire.
void reply_prefix(std::string& prefix, const Outcome& outcome, framing::Transport transport) {
  prefix.clear();
  if (outcome.framed) return;
  if (framing::is_framed(transport)) wire::put_be32(prefix, static_cast<uint32_t>(outcome.bytes.size()));
  if (transport == framing::Transport::Http) framing::append_http_response_head(prefix, outcome.bytes.size());
}

/// Over HTTP every request is answered: a oneway one with an empty body.
void answer_oneway(Outcome& outcome, framing::Transport transport) {
  if (outcome.kind == Outcome::Kind::NoReply && transport == framing::Transport::Http) outcome = Outcome::reply({});
}

// --- A pool thread serving a connection ----------------------------------------------------------

/// How long a pool thread serving a connection waits for its next request before handing it back.
constexpr int kHoldMicroseconds = 2000;

/// A pool thread serving a connection reads in blocking mode, so a request costs one receive call;
/// the time it waits is bounded by the socket's receive timeout (kHoldMicroseconds, set once per
/// connection). The runtime gets the socket back in non-blocking mode.
class BlockingWhileServing {
 public:
  explicit BlockingWhileServing(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
    if (flags_ >= 0) ::fcntl(fd_, F_SETFL, flags_ & ~O_NONBLOCK);
  }
  ~BlockingWhileServing() {
    if (flags_ >= 0) ::fcntl(fd_, F_SETFL, flags_ | O_NONBLOCK);
  }
  BlockingWhileServing(const BlockingWhileServing&) = delete;
  BlockingWhileServing& operator=(const BlockingWhileServing&) = delete;

 private:
  int fd_;
  int flags_;
};

/// Writes a reply from a pool thread. What the socket does not take at once is returned for the
/// connection task to write, so a peer that does not read holds no pool thread.
Outcome write_here(int fd, const std::string& prefix, const std::string& body) {
  iovec pieces[2] = {{const_cast<char*>(prefix.data()), prefix.size()}, {const_cast<char*>(body.data()), body.size()}};
  size_t total = prefix.size() + body.size(), done = 0;
  while (done < total) {
    msghdr m{};
    iovec rest[2];
    int count = 0;
    size_t skip = done;
    for (const iovec& v : pieces) {
      if (skip >= v.iov_len) {
        skip -= v.iov_len;
        continue;
      }
      rest[count++] = iovec{static_cast<char*>(v.iov_base) + skip, v.iov_len - skip};
      skip = 0;
    }
    m.msg_iov = rest;
    m.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = ::sendmsg(fd, &m, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno_outcome(errno);
    std::string left = (prefix + body).substr(done);
    return Outcome{Outcome::Kind::Reply, std::move(left), {}, true};
  }
  return Outcome{Outcome::Kind::Idle, {}, {}};
}

/// What the socket takes of `unsent` without waiting is sent and dropped from it: Idle when all of
/// it went, otherwise the outcome that gives the connection back for its task to send the rest.
Outcome send_unsent(int fd, std::string& unsent) {
  size_t done = 0;
  while (done < unsent.size()) {
    const ssize_t n = ::send(fd, unsent.data() + done, unsent.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return errno_outcome(errno);
    unsent.erase(0, done);
    return Outcome{Outcome::Kind::Reply, {}, {}, true};
  }
  unsent.clear();
  return Outcome{Outcome::Kind::Idle, {}, {}};
}

/// How a borrower reaches the peer of a plain connection: the descriptor itself.
class PlainChannel {
 public:
  explicit PlainChannel(int fd) : fd_(fd) {}

  Result<size_t> receive(asio::mutable_buffer space, int flags) {
    for (;;) {
      const ssize_t n = ::recv(fd_, space.data(), space.size(), flags);
      if (n >= 0) return received({}, static_cast<size_t>(n));
      if (errno != EINTR) return received(errno_code(errno), 0);
    }
  }
  Outcome send(const std::string& prefix, const std::string& body) { return write_here(fd_, prefix, body); }

 private:
  int fd_;
};

static_assert(TlsSession::kWouldBlock == kNoBytesYet);

/// How a borrower reaches the peer of a TLS connection: through its session, on the borrower's
/// descriptor. Bytes the session holds already are read first, without touching the socket.
class TlsChannel {
 public:
  TlsChannel(TlsSession& session, int fd) : session_(session), fd_(fd) {}

  Result<size_t> receive(asio::mutable_buffer space, int flags) {
    return session_.read(static_cast<char*>(space.data()), space.size(), fd_, flags);
  }
  Outcome send(const std::string& prefix, const std::string& body) {
    if (Status s = session_.write(prefix, body); !s) return Outcome::fail(s.take_error());
    return send_unsent(fd_, session_.unsent());
  }

 private:
  TlsSession& session_;
  int fd_;
};

/// The peer of a connected stream, as "host:port" ("[v6]:port"), and under TLS the subject of the
/// certificate it presented.
template <class Stream>
std::shared_ptr<const Peer> peer_of(Stream& stream) {
  auto peer = std::make_shared<Peer>();
  if constexpr (kIsTls<Stream>) peer->tls_subject = peer_subject(stream.native_handle());
  std::error_code ec;
  if constexpr (std::is_same_v<Stream, asio::local::stream_protocol::socket>) {
    peer->address = stream.local_endpoint(ec).path();  // a unix socket's peer is unnamed: its path says where
  } else {
    const tcp::endpoint remote = stream.lowest_layer().remote_endpoint(ec);
    if (ec) return peer;
    const std::string host = remote.address().to_string();
    peer->address = (remote.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(remote.port());
  }
  return peer;
}

/// On a pool thread: reads, answers and writes requests until the connection goes quiet (Idle),
/// ends, or leaves a reply to write.
template <class Channel>
Outcome serve_burst(Channel channel, int fd, ReadState& rs, const ConnectionShared& shared,
                    const std::shared_ptr<const Peer>& peer) {
  BlockingWhileServing blocking(fd);
  auto receive = [&](asio::mutable_buffer space) {
    // Only between requests does the thread wait (briefly) for the peer's next one. A request
    // under way whose bytes have not all arrived goes back to the reactor, so a peer that
    // sends slowly holds no thread; so does every connection while others wait for a thread.
    const bool mid_request = rs.decoder && rs.decoder->started();
    return channel.receive(space, mid_request || shared.pool->backlogged() ? MSG_DONTWAIT : 0);
  };
  std::string prefix;
  for (;;) {
    NextRequest request = next_request(rs, shared, receive);
    if (request.end) return std::move(*request.end);
    if (!request.payload) return Outcome{Outcome::Kind::Idle, {}, {}};
    Outcome outcome = shared.dispatcher->answer_here(std::move(*request.payload), request.meta(peer));
    // A server shutting down answers no more: the connection is dropped with the runtime.
    if (shared.gate->stopping.load(std::memory_order_acquire)) return Outcome{Outcome::Kind::Idle, {}, {}};
    answer_oneway(outcome, shared.transport);
    if (outcome.kind == Outcome::Kind::NoReply) continue;
    header_reply(outcome, rs);
    if (outcome.kind != Outcome::Kind::Reply) return outcome;
    shared.stats->bytes_out(outcome.bytes.size());
    reply_prefix(prefix, outcome, shared.transport);
    Outcome written = channel.send(prefix, outcome.bytes);
    if (written.kind != Outcome::Kind::Idle) return written;
  }
}

// --- A connection lent to the dispatcher ---------------------------------------------------------

/// What a lent connection borrows from its task, valid while `alive`: the task clears it as it ends,
/// so a dispatcher that outlives the server (serving on the program's own loop) finds it gone.
struct Lease {
  std::mutex mutex;  // held by the borrower while it reads or writes (never while waiting)
  bool alive = true;
};

template <class Channel>
class HostedConnection final : public LentConnection {
 public:
  /// Takes `own_fd`, the host's own descriptor of the socket, which `channel` reads and writes.
  HostedConnection(int own_fd, Channel channel, ReadState& rs, const ConnectionShared& shared,
                   std::shared_ptr<const Peer> peer, std::shared_ptr<Lease> lease, Responder respond)
      : fd_(own_fd), channel_(std::move(channel)), rs_(rs), shared_(shared), peer_(std::move(peer)),
        lease_(std::move(lease)), respond_(std::move(respond)) {}
  ~HostedConnection() override {
    if (fd_ >= 0) ::close(fd_);
  }

  int fd() const override { return fd_; }

  Next next(bool read) override {
    std::lock_guard lock(lease_->mutex);
    // A server shutting down answers no more: the connection is dropped.
    if (!lease_->alive || fd_ < 0 || shared_.gate->stopping.load(std::memory_order_acquire))
      return {{}, {}, Outcome{Outcome::Kind::Close, {}, {}}};
    auto receive = [&](asio::mutable_buffer space) -> Result<size_t> {
      // A TLS session may hold the next request already, where polling the socket cannot see it.
      if (!read && std::is_same_v<Channel, PlainChannel>) return kNoBytesYet;
      return channel_.receive(space, MSG_DONTWAIT);
    };
    NextRequest request = next_request(rs_, shared_, receive);
    return {std::move(request.payload), request.meta(peer_), std::move(request.end)};
  }

  void rest() override {
    std::lock_guard lock(lease_->mutex);
    if (lease_->alive && !(rs_.decoder && rs_.decoder->started())) rs_.buffer.release();
  }

  std::chrono::nanoseconds idle_timeout() const override { return shared_.idle_timeout; }

  std::optional<Outcome> write(const Outcome& reply) override {
    std::lock_guard lock(lease_->mutex);
    if (!lease_->alive) return Outcome{Outcome::Kind::Close, {}, {}};
    shared_.stats->bytes_out(reply.bytes.size());
    reply_prefix(prefix_, reply, shared_.transport);
    Outcome written = channel_.send(prefix_, reply.bytes);
    if (written.kind == Outcome::Kind::Idle) return std::nullopt;
    return written;
  }

  bool stopping() const override {
    std::lock_guard lock(lease_->mutex);
    return !lease_->alive || shared_.gate->stopping.load(std::memory_order_acquire);
  }

  bool submit(std::function<void()> job) override {
    std::lock_guard lock(lease_->mutex);  // the pool outlives the lease
    if (!lease_->alive || shared_.gate->stopping.load(std::memory_order_acquire)) return false;
    return shared_.pool->submit(std::move(job));
  }

  void give_back(Outcome outcome) override { respond_(std::move(outcome)); }

 private:
  int fd_;
  Channel channel_;  // used under the lease only: it may refer to the task's TLS session
  ReadState& rs_;
  const ConnectionShared& shared_;
  std::shared_ptr<const Peer> peer_;
  std::shared_ptr<Lease> lease_;
  Responder respond_;
  std::string prefix_;
};

// --- The connection task's request loop ----------------------------------------------------------

/// One connection's requests, as its task serves them, over a plain socket or a TLS stream.
template <class Stream>
class ConnectionRequests {
 public:
  ConnectionRequests(Stream& stream, const ConnectionShared& shared, std::shared_ptr<ReplySlot> slot,
                     asio::steady_timer& timer)
      : stream_(stream),
        socket_(stream.lowest_layer()),
        shared_(shared),
        slot_(std::move(slot)),
        timer_(timer),
        idle_(stream.get_executor()),
        peer_(peer_of(stream)) {
    if constexpr (kIsTls<Stream>) session_.emplace(stream.native_handle());
  }

  /// Whether pool threads serve this connection: its dispatcher answers every request on one, and
  /// the socket takes the receive timeout that bounds how long such a thread holds it.
  bool served_on_pool() {
    if (!shared_.dispatcher->answers_on_pool()) return false;
    const timeval hold{0, kHoldMicroseconds};
    return ::setsockopt(socket_.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &hold, sizeof hold) == 0;
  }

  /// Reads one request on this worker thread, hands it to the dispatcher and waits for its outcome.
  asio::awaitable<Outcome> dispatch_next() {
    // A plain socket's reads are its own asynchronous ones, and read_message takes what each
    // brought; a TLS session is read without waiting, and waited for when it has nothing.
    Result<size_t> arrived = kNoBytesYet;
    auto read = [&](asio::mutable_buffer space) {
      if constexpr (kIsTls<Stream>) return channel_to_peer(socket_.native_handle()).receive(space, MSG_DONTWAIT);
      else return std::exchange(arrived, Result<size_t>(kNoBytesYet));
    };
    NextRequest request = next_request(rs_, shared_, read);
    while (!request.end && !request.payload) {
      std::error_code ec;
      arm_idle();
      if constexpr (kIsTls<Stream>) ec = co_await flush_unsent();  // what reading wrote (an answer to a key update)
      const bool waits = kIsTls<Stream> || between_requests();
      // Waiting for the next request holds no buffer: an idle connection costs little.
      if (between_requests()) rs_.buffer.release();
      if (!ec && waits) co_await socket_.async_wait(tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
      size_t n = 0;
      if constexpr (!kIsTls<Stream>) {
        if (!ec) n = co_await stream_.async_read_some(rs_.buffer.space(), asio::redirect_error(asio::use_awaitable, ec));
      }
      if (disarm_idle()) co_return Outcome{Outcome::Kind::Close, {}, {}};
      if constexpr (kIsTls<Stream>) {
        if (ec) co_return os_outcome(ec);
      } else {
        arrived = received(ec, n);
      }
      request = next_request(rs_, shared_, read);
    }
    if (request.end) co_return std::move(*request.end);
    shared_.dispatcher->dispatch(std::move(*request.payload), request.meta(peer_), Responder(slot_), *shared_.pool);
    co_return co_await await_outcome(*slot_, timer_);
  }

  /// Lends the socket to a pool thread, which serves the connection until it goes quiet (Idle),
  /// ends, or leaves a reply for this task to write. The socket leaves the reactor meanwhile: its
  /// traffic then wakes no worker thread.
  asio::awaitable<Outcome> lend_to_pool() {
    std::error_code ec;
    // (A TLS session may hold the next request's bytes already.)
    if (rs_.buffer.empty() && !session_holds_input()) {
      rs_.buffer.release();
      arm_idle();
      co_await socket_.async_wait(tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
      if (disarm_idle()) co_return Outcome{Outcome::Kind::Close, {}, {}};
      if (ec) co_return os_outcome(ec);
    }
    const auto protocol = socket_.local_endpoint(ec).protocol();
    if (!ec) rs_.lent_fd = socket_.release(ec);
    if (ec) co_return os_outcome(ec);
    auto respond = std::make_shared<Responder>(slot_);
    // The job borrows the reading state and `shared`: this task waits for it, and the runtime shuts
    // the pool down (letting a running job finish) before it drops the tasks.
    shared_.pool->submit([fd = rs_.lent_fd, channel = channel_to_peer(rs_.lent_fd), &rs = rs_, &shared = shared_, &peer = peer_, respond] {
      (*respond)(serve_burst(channel, fd, rs, shared, peer));
    });
    respond.reset();
    Outcome outcome = co_await await_outcome(*slot_, timer_);
    socket_.assign(protocol, rs_.lent_fd, ec);
    if (ec) co_return os_outcome(ec);
    rs_.lent_fd = -1;
    co_return outcome;
  }

  /// A reply as the request's transport wants it (a header request's in a header frame).
  void shape_reply(Outcome& outcome) const { header_reply(outcome, rs_); }

  /// Whether the dispatcher serves this connection on threads of its own. A header connection is
  /// not lent: each reply is framed like its request here.
  bool hosted() const {
    return shared_.dispatcher->hosts_connections() && shared_.transport != framing::Transport::Header;
  }

  /// Lends the socket to the dispatcher until it gives the connection back.
  asio::awaitable<Outcome> lend_to_host() {
    // The host reads and writes through a descriptor of its own. With none to spare (the process is
    // out of descriptors) the connection is served here from now on.
    const int own_fd = ::fcntl(socket_.native_handle(), F_DUPFD_CLOEXEC, 0);
    if (own_fd < 0) co_return Outcome{Outcome::Kind::Idle, {}, {}};
    std::error_code ec;
    const auto protocol = socket_.local_endpoint(ec).protocol();
    if (!ec) rs_.lent_fd = socket_.release(ec);
    if (ec) {
      ::close(own_fd);
      co_return os_outcome(ec);
    }
    shared_.dispatcher->host(std::make_unique<HostedConnection<decltype(channel_to_peer(own_fd))>>(
        own_fd, channel_to_peer(own_fd), rs_, shared_, peer_, lease_, Responder(slot_)));
    Outcome outcome = co_await await_outcome(*slot_, timer_);
    socket_.assign(protocol, rs_.lent_fd, ec);
    if (ec) co_return os_outcome(ec);
    rs_.lent_fd = -1;
    co_return outcome;
  }

  ~ConnectionRequests() {
    std::lock_guard lock(lease_->mutex);
    lease_->alive = false;
  }

  /// Writes a reply; the error that ends the connection, if any.
  asio::awaitable<std::optional<ConnectionEnd>> write_reply(const Outcome& reply) {
    reply_prefix(prefix_, reply, shared_.transport);
    std::error_code ec;
    if constexpr (kIsTls<Stream>) {
      if (Status s = session_->write(prefix_, reply.bytes); !s) co_return ConnectionEnd{s.take_error()};
      ec = co_await flush_unsent();
    } else {
      const std::array<asio::const_buffer, 2> pieces{asio::buffer(prefix_), asio::buffer(reply.bytes)};
      co_await asio::async_write(stream_, pieces, asio::redirect_error(asio::use_awaitable, ec));
    }
    if (ec) co_return os_end(ec);
    co_return std::nullopt;
  }

  /// Whether the TLS session wrote bytes the socket has not taken yet.
  bool has_unsent() const {
    if constexpr (kIsTls<Stream>) return !session_->unsent().empty();
    else return false;
  }

  /// Sends what the TLS session wrote and the socket has not taken yet (a borrower leaves what the
  /// socket did not take at once), before anything else is read or written here.
  asio::awaitable<std::error_code> flush_unsent() {
    std::error_code ec;
    if constexpr (kIsTls<Stream>) {
      std::string& unsent = session_->unsent();
      if (unsent.empty()) co_return ec;
      co_await asio::async_write(stream_.next_layer(), asio::buffer(unsent), asio::redirect_error(asio::use_awaitable, ec));
      unsent.clear();
    }
    co_return ec;
  }

 private:
  /// A borrower's way to the peer, over descriptor `fd`.
  auto channel_to_peer(int fd) {
    if constexpr (kIsTls<Stream>) return TlsChannel(*session_, fd);
    else return PlainChannel(fd);
  }

  /// Whether the TLS session holds bytes of the peer's not read yet.
  bool session_holds_input() const {
    if constexpr (kIsTls<Stream>) return session_->holds_input();
    else return false;
  }

  /// Whether no byte of the next request has been read yet.
  bool between_requests() const { return rs_.buffer.empty() && !(rs_.decoder && rs_.decoder->started()); }

  /// Before a wait for the peer's bytes: with an idle timeout, the wait is cancelled once it passes.
  void arm_idle() {
    if (shared_.idle_timeout.count() <= 0) return;
    idle_.expires_after(shared_.idle_timeout);
    idle_.async_wait([this, armed = ++idle_waits_](const std::error_code& ec) {
      if (ec || armed != idle_waits_) return;  // cancelled, or fired after its wait was over
      idled_ = true;
      std::error_code ignored;
      socket_.cancel(ignored);
    });
  }
  /// After the wait: whether the peer was idle too long (the connection then ends without a report).
  bool disarm_idle() {
    if (shared_.idle_timeout.count() <= 0) return false;
    ++idle_waits_;
    idle_.cancel();
    return std::exchange(idled_, false);
  }

  Stream& stream_;
  typename Stream::lowest_layer_type& socket_;  // the socket under the stream
  const ConnectionShared& shared_;
  std::shared_ptr<ReplySlot> slot_;
  asio::steady_timer& timer_;
  asio::steady_timer idle_;
  uint64_t idle_waits_ = 0;  // which wait the idle timer is armed for
  bool idled_ = false;
  std::shared_ptr<const Peer> peer_;
  ReadState rs_;
  std::string prefix_;
  std::shared_ptr<Lease> lease_ = std::make_shared<Lease>();
  std::optional<TlsSession> session_;  // under TLS, once the handshake is done
};

}  // namespace

template <class Stream>
asio::awaitable<ConnectionEnd> request_loop(Stream& socket, const ConnectionShared& shared) {
  auto slot = std::make_shared<ReplySlot>(shared.gate, co_await asio::this_coro::executor);
  asio::steady_timer timer(co_await asio::this_coro::executor);
  slot->timer = &timer;
  SlotRelease release{*slot};

  ConnectionRequests<Stream> requests(socket, shared, slot, timer);
  // A oneway call over HTTP is answered here: such a connection is not lent to a host.
  bool hosted = shared.transport != framing::Transport::Http && requests.hosted();
  const bool on_pool = !hosted && requests.served_on_pool();
  for (;;) {
    // (Each co_await a statement of its own: GCC mishandles one inside a conditional expression.)
    if (requests.has_unsent()) {
      if (std::error_code ec = co_await requests.flush_unsent(); ec) co_return os_end(ec);
    }
    Outcome outcome;
    if (hosted) {
      outcome = co_await requests.lend_to_host();
      hosted = outcome.kind != Outcome::Kind::Idle;  // given back to be served here from now on
    }
    else if (on_pool) outcome = co_await requests.lend_to_pool();
    else outcome = co_await requests.dispatch_next();
    answer_oneway(outcome, shared.transport);
    if (outcome.kind == Outcome::Kind::NoReply || outcome.kind == Outcome::Kind::Idle) continue;
    requests.shape_reply(outcome);
    if (outcome.kind != Outcome::Kind::Reply) co_return end_of(outcome);
    if (!outcome.framed) shared.stats->bytes_out(outcome.bytes.size());  // a pool thread's leftover was counted there
    std::optional<ConnectionEnd> end = co_await requests.write_reply(outcome);
    if (end) co_return std::move(*end);
  }
}

template asio::awaitable<ConnectionEnd> request_loop(tcp::socket&, const ConnectionShared&);
template asio::awaitable<ConnectionEnd> request_loop(TlsStream&, const ConnectionShared&);
template asio::awaitable<ConnectionEnd> request_loop(asio::local::stream_protocol::socket&, const ConnectionShared&);

}  // namespace velvane::net
