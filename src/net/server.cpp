// src/net/server.cpp: threads, the blocking pool, the accept loop and the connection tasks.
#include "net/server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <optional>
#include <thread>
#include <unordered_set>

#include "framing/http_probe.h"
#include "net/connection.h"
#include "protocol/wire_format.h"

namespace velvane::net {

using asio::ip::tcp;

// --- Console output and threads ------------------------------------------------------------------

void print_line(int fd, std::string_view line) {
  while (!line.empty()) {
    const ssize_t n = ::write(fd, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<size_t>(n));
  }
}

namespace {

/// Hand-offs between our threads poll before they sleep: a wake-up through the kernel costs far
/// more than a short poll when the answer comes quickly. Polling only pays when the thread it waits
/// for can run at the same time, so a process confined to one CPU never polls; and a poll never
/// yields, which on a busy machine would hand the CPU to another process for a whole time slice.
constexpr auto kReplySpin = std::chrono::microseconds(50);
constexpr auto kJobSpin = std::chrono::microseconds(100);

bool polling_pays() {
  static const bool pays = [] {
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return false;
    return CPU_COUNT(&set) > 1;
  }();
  return pays;
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

template <class Pred>
bool spin_until(Pred&& done, std::chrono::microseconds budget) {
  if (!polling_pays()) return done();
  const auto end = std::chrono::steady_clock::now() + budget;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (done()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= end) return done();
  }
}

struct ThreadStart {
  std::string name;
  std::function<void()> body;
};

void* thread_main(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  try {
    start->body();
  } catch (...) {
    print_line(2, "thread " + start->name + " ended: " + current_exception_error().text + "\n");
  }
  return nullptr;
}

Result<pthread_t> start_thread(const char* name, size_t stack_size, std::function<void()> body) {
  pthread_attr_t attr;
  ::pthread_attr_init(&attr);
  if (stack_size != 0) ::pthread_attr_setstacksize(&attr, stack_size);
  auto start = std::make_unique<ThreadStart>(ThreadStart{name, std::move(body)});
  const std::string short_name = start->name.substr(0, 15);  // what Linux keeps of a thread's name
  // The new thread inherits a mask with every signal blocked: signals are the main thread's.
  sigset_t all, old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t handle;
  const int rc = ::pthread_create(&handle, &attr, thread_main, start.get());
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::pthread_attr_destroy(&attr);
  if (rc != 0) return Error{ErrorKind::Os, std::error_code(rc, std::system_category()).message()};
  start.release();  // the thread owns it now
  ::pthread_setname_np(handle, short_name.c_str());  // named before anyone can look for it
  return handle;
}

}  // namespace

Status spawn_detached(const char* name, size_t stack_size, std::function<void()> body) {
  auto handle = start_thread(name, stack_size, std::move(body));
  if (!handle) return handle.take_error();
  ::pthread_detach(handle.value());
  return {};
}

Result<Thread> Thread::spawn(const char* name, size_t stack_size, std::function<void()> body) {
  auto handle = start_thread(name, stack_size, std::move(body));
  if (!handle) return handle.take_error();
  Thread t;
  t.handle_ = handle.value();
  t.started_ = true;
  return t;
}

Thread::Thread(Thread&& o) noexcept : handle_(o.handle_), started_(std::exchange(o.started_, false)) {}

Thread& Thread::operator=(Thread&& o) noexcept {
  if (this != &o) {
    detach();
    handle_ = o.handle_;
    started_ = std::exchange(o.started_, false);
  }
  return *this;
}

Thread::~Thread() { detach(); }

void Thread::join() {
  if (std::exchange(started_, false)) ::pthread_join(handle_, nullptr);
}

void Thread::detach() {
  if (std::exchange(started_, false)) ::pthread_detach(handle_);
}

// --- Replies -------------------------------------------------------------------------------------

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
  {
    std::lock_guard lock(slot->mutex);
    if (!slot->timer) return;  // the connection is gone
    slot->outcome = std::move(outcome);
    slot->ready = true;
    slot->arrived.store(true, std::memory_order_release);
    if (slot->spinning) return;
  }
  std::lock_guard gate(slot->gate->mutex);
  if (!slot->gate->open) return;
  asio::post(slot->strand, [slot] {
    std::lock_guard lock(slot->mutex);
    if (slot->timer) slot->timer->cancel();
  });
}

// --- Blocking pool -------------------------------------------------------------------------------

struct BlockingPool::State {
  size_t max_threads;
  Hook on_start, on_stop;
  std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::condition_variable all_ended;
  std::deque<std::function<void()>> jobs;
  size_t threads = 0;
  size_t idle = 0;      // waiting on `wake`
  size_t spinners = 0;  // polling `queued`; they need no notification
  bool shut = false;
  std::atomic<size_t> queued{0};  // jobs.size(), readable without the lock
};

namespace {

constexpr auto kIdleThreadLifetime = std::chrono::seconds(10);

void pool_thread(const std::shared_ptr<BlockingPool::State>& st) {
  if (st->on_start) st->on_start();
  std::unique_lock lock(st->mutex);
  for (;;) {
    if (!st->jobs.empty()) {
      std::function<void()> job = std::move(st->jobs.front());
      st->jobs.pop_front();
      st->queued.store(st->jobs.size(), std::memory_order_relaxed);
      lock.unlock();
      try {
        job();
      } catch (...) {  // a job reports its own failures; one that throws must not end the thread uncounted
        print_line(2, "blocking job failed: " + current_exception_error().text + "\n");
      }
      job = nullptr;
      // The next job often follows at once (the same connection's next request): poll first.
      lock.lock();
      if (!st->jobs.empty() || st->shut) continue;
      ++st->spinners;
      lock.unlock();
      spin_until([&] { return st->queued.load(std::memory_order_acquire) > 0; }, kJobSpin);
      lock.lock();
      --st->spinners;
      continue;
    }
    if (st->shut) break;
    ++st->idle;
    const bool woken = st->wake.wait_for(lock, kIdleThreadLifetime, [&] { return st->shut || !st->jobs.empty(); });
    --st->idle;
    if (!woken) break;
  }
  lock.unlock();
  if (st->on_stop) st->on_stop();
  lock.lock();
  --st->threads;
  st->all_ended.notify_all();
}

}  // namespace

BlockingPool::BlockingPool(size_t max_threads, Hook on_start, Hook on_stop) : state_(std::make_shared<State>()) {
  state_->max_threads = max_threads;
  state_->on_start = std::move(on_start);
  state_->on_stop = std::move(on_stop);
}

BlockingPool::~BlockingPool() { shutdown(); }

bool BlockingPool::submit(std::function<void()> job) {
  std::unique_lock lock(state_->mutex);
  if (state_->shut) return false;
  state_->jobs.push_back(std::move(job));
  state_->queued.store(state_->jobs.size(), std::memory_order_release);
  if (state_->spinners >= state_->jobs.size()) return true;
  if (state_->idle > 0) {
    lock.unlock();
    state_->wake.notify_one();
    return true;
  }
  if (state_->threads < state_->max_threads) {
    ++state_->threads;
    Status s = spawn_detached("velvane-blocking", 0, [st = state_] { pool_thread(st); });
    if (!s) --state_->threads;  // the job waits for a thread that is running already, if any
  }
  return true;
}

void BlockingPool::shutdown() {
  std::deque<std::function<void()>> dropped;
  {
    std::unique_lock lock(state_->mutex);
    state_->shut = true;
    dropped.swap(state_->jobs);
    state_->queued.store(0);
    state_->wake.notify_all();
    state_->all_ended.wait(lock, [&] { return state_->threads == 0; });
  }
}

bool BlockingPool::backlogged() const { return state_->queued.load(std::memory_order_acquire) > 0; }

size_t BlockingPool::thread_count() const {
  std::lock_guard lock(state_->mutex);
  return state_->threads;
}

// --- Stop requests and Ctrl+C --------------------------------------------------------------------

void ServerControl::request_stop() {
  listening_.store(0, std::memory_order_release);
  std::lock_guard lock(mutex_);
  stops_.fetch_add(1, std::memory_order_acq_rel);
  for (auto& [id, wake] : wakers_) wake();
}

size_t ServerControl::add_waker(std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  wakers_.emplace_back(next_id_, std::move(wake));
  return next_id_++;
}

void ServerControl::remove_waker(size_t id) {
  std::lock_guard lock(mutex_);
  std::erase_if(wakers_, [&](const auto& w) { return w.first == id; });
}

namespace {

/// SIGINT reaches every listening server through a pipe of its own; the handler writes one byte to
/// each and then calls the handler that was installed before ours (Python's, usually).
namespace interrupt {

constexpr size_t kSlots = 64;
std::atomic<int> g_pipes[kSlots];  // write ends plus one; 0 is a free slot
struct sigaction g_previous;
std::mutex g_mutex;  // guards g_users and installing
size_t g_users = 0;

void on_sigint(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  for (auto& slot : g_pipes) {
    const int fd = slot.load(std::memory_order_acquire) - 1;
    if (fd >= 0) [[maybe_unused]] ssize_t ignored = ::write(fd, "i", 1);
  }
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
  }
  errno = saved_errno;
}

/// Registers a pipe's write end; the slot index, or -1 when every slot is taken.
int add(int write_fd) {
  std::lock_guard lock(g_mutex);
  int index = -1;
  for (size_t i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (g_pipes[i].compare_exchange_strong(expected, write_fd + 1)) {
      index = static_cast<int>(i);
      break;
    }
  }
  if (index < 0) return -1;
  if (g_users++ == 0) {
    struct sigaction current {};
    ::sigaction(SIGINT, nullptr, &current);
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) return index;  // the process ignores it
    struct sigaction ours {};
    ours.sa_sigaction = on_sigint;
    ours.sa_flags = SA_SIGINFO | SA_RESTART;
    ::sigemptyset(&ours.sa_mask);
    ::sigaction(SIGINT, &ours, &g_previous);
  }
  return index;
}

void remove(int index) {
  std::lock_guard lock(g_mutex);
  g_pipes[index].store(0, std::memory_order_release);
  if (--g_users == 0) {
    struct sigaction current {};
    ::sigaction(SIGINT, nullptr, &current);
    // Someone who replaced our handler meanwhile keeps theirs.
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigint) ::sigaction(SIGINT, &g_previous, nullptr);
  }
}

}  // namespace interrupt

}  // namespace

size_t effective_workers(size_t workers) {
  if (workers != 0) return workers;
  return std::max<size_t>(2, std::thread::hardware_concurrency());
}

// --- The server ----------------------------------------------------------------------------------

struct Server::Impl {
  ServeOptions options;
  std::shared_ptr<ServerControl> control;
  uint64_t id = 0;  // this server's number under `control`
  std::shared_ptr<Dispatcher> dispatcher;
  std::shared_ptr<RuntimeGate> gate = std::make_shared<RuntimeGate>();
  std::unique_ptr<asio::io_context> runtime;  // connection tasks, on the worker threads
  asio::io_context accepting{1};              // the accept loop, on the server thread
  asio::steady_timer resume{accepting};       // the accept loop waits here (at max_connections, after errors)
  std::atomic<bool> accept_waiting{false};    // a connection that ends then cancels the wait
  std::chrono::milliseconds error_pause{10};
  std::atomic<size_t> open_connections{0};
  std::mutex sockets_mutex;
  std::unordered_multiset<int> sockets;  // open connections' descriptors, for shutting them down
  std::unique_ptr<BlockingPool> pool;
  std::vector<Thread> workers;
  std::string address;

  void start_workers();
  bool bind(tcp::acceptor& acceptor);
  asio::awaitable<void> accept_loop(tcp::acceptor& acceptor, bool& interrupted);
  bool at_connection_limit() const {
    return options.max_connections != 0 && open_connections.load() >= options.max_connections;
  }
  /// Called by each connection as it ends (any thread): wakes a waiting accept loop.
  void connection_ended();
  /// Waits until `until`, a stop, or the end of a connection.
  asio::awaitable<void> wait_to_accept(asio::steady_timer::time_point until) {
    std::error_code ignored;
    resume.expires_at(until);
    co_await resume.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  void shut_down_runtime();
};

constexpr std::chrono::milliseconds kMinAcceptPause{10}, kMaxAcceptPause{1000};

void Server::Impl::connection_ended() {
  // Sequentially consistent with the accept loop's flag and count: either the loop sees this
  // connection gone, or this sees the loop waiting (and the cancel runs after its wait began).
  open_connections.fetch_sub(1);
  if (accept_waiting.load()) asio::post(accepting, [this] { resume.cancel(); });
}

struct ConnectionEnd {
  std::optional<Error> error;
  bool quiet = false;
};

namespace {

bool is_quiet(const std::error_code& ec) {
  return ec == asio::error::connection_reset || ec == asio::error::broken_pipe || ec == asio::error::eof;
}

ConnectionEnd os_end(const std::error_code& ec) { return ConnectionEnd{Error{ErrorKind::Os, ec.message()}, is_quiet(ec)}; }

struct ConnectionShared {
  framing::Transport transport;
  Protocol protocol;
  size_t max_message_size;
  Dispatcher* dispatcher;
  BlockingPool* pool;
  std::shared_ptr<RuntimeGate> gate;
  HttpTaker* http = nullptr;  // set when connections are probed for HTTP
};

/// Forgets the connection's timer when its task ends, however it ends.
struct SlotRelease {
  ReplySlot& slot;
  ~SlotRelease() {
    std::lock_guard lock(slot.mutex);
    slot.timer = nullptr;
  }
};

/// Waits for the current request's outcome: polls for a short while first (a handler that answers
/// quickly then costs no wake-up of this thread), then sleeps until the responder wakes it.
/// A connection whose outcomes keep coming later than the poll lasts (slow handlers, a pool thread
/// serving a busy connection) stops polling, and tries again now and then.
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

/// A connection's reading state: its buffer and the message being read. Used by the connection task
/// and, while it waits, by the pool thread serving the connection; never by both at once.
struct ReadState {
  std::unique_ptr<char[]> buffer = std::make_unique<char[]>(kBufferSize);
  size_t begin = 0, end = 0;  // unread bytes are buffer[begin, end)
  std::optional<framing::MessageDecoder> decoder;
  int lent_fd = -1;  // the socket while a pool thread serves it; closed here if never taken back

  ReadState() = default;
  ReadState(const ReadState&) = delete;
  ReadState& operator=(const ReadState&) = delete;
  ~ReadState() {
    if (lent_fd >= 0) ::close(lent_fd);
  }
};

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

bool quiet_errno(int e) { return e == ECONNRESET || e == EPIPE; }

Outcome errno_outcome(int e) {
  if (quiet_errno(e)) return Outcome{Outcome::Kind::Close, {}, {}};
  return Outcome::fail(Error{ErrorKind::Os, std::error_code(e, std::system_category()).message()});
}

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

/// On a pool thread: reads, answers and writes requests until the connection goes quiet (Idle),
/// ends, or leaves a reply to write.
Outcome serve_burst(int fd, ReadState& rs, const ConnectionShared& shared) {
  BlockingWhileServing blocking(fd);
  std::string prefix;
  for (;;) {
    if (!rs.decoder)
      rs.decoder.emplace(shared.transport, shared.protocol, framing::Side::Server, shared.max_message_size);
    framing::MessageDecoder& decoder = *rs.decoder;
    while (decoder.progress() == framing::Progress::NeedMore) {
      if (rs.begin == rs.end) {
        // Others waiting for a pool thread: hand the connection back as soon as it has no bytes.
        const int wait = shared.pool->backlogged() ? MSG_DONTWAIT : 0;
        const ssize_t n = ::recv(fd, rs.buffer.get(), kBufferSize, wait);
        if (n > 0) {
          rs.begin = 0;
          rs.end = static_cast<size_t>(n);
        } else if (n == 0) {
          decoder.end_of_input();
          break;
        } else if (errno == EINTR) {
          continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
          return Outcome{Outcome::Kind::Idle, {}, {}};
        } else {
          return errno_outcome(errno);
        }
      }
      rs.begin += decoder.feed(std::string_view(rs.buffer.get() + rs.begin, rs.end - rs.begin));
    }
    if (decoder.progress() == framing::Progress::Failed) return Outcome::fail(decoder.error());
    std::string payload = decoder.take_payload();
    rs.decoder.reset();
    if (payload.empty()) return Outcome{Outcome::Kind::Close, {}, {}};
    Outcome outcome = shared.dispatcher->answer_here(std::move(payload));
    // A server shutting down answers no more: the connection is dropped with the runtime.
    if (shared.gate->stopping.load(std::memory_order_acquire)) return Outcome{Outcome::Kind::Idle, {}, {}};
    if (outcome.kind == Outcome::Kind::NoReply) continue;
    if (outcome.kind != Outcome::Kind::Reply) return outcome;
    prefix.clear();
    if (shared.transport == framing::Transport::Framed) wire::put_be32(prefix, static_cast<uint32_t>(outcome.bytes.size()));
    Outcome written = write_here(fd, prefix, outcome.bytes);
    if (written.kind != Outcome::Kind::Idle) return written;
  }
}

ConnectionEnd end_of(const Outcome& outcome) {
  if (outcome.kind == Outcome::Kind::Fail) return ConnectionEnd{outcome.error, outcome.error.kind == ErrorKind::EndOfInput};
  return ConnectionEnd{};
}

asio::awaitable<ConnectionEnd> request_loop(tcp::socket& socket, const ConnectionShared& shared) {
  auto slot = std::make_shared<ReplySlot>(shared.gate, co_await asio::this_coro::executor);
  asio::steady_timer timer(co_await asio::this_coro::executor);
  slot->timer = &timer;
  SlotRelease release{*slot};

  ReadState rs;
  std::string prefix;
  bool on_pool = shared.dispatcher->answers_on_pool();
  if (on_pool) {
    const timeval hold{0, kHoldMicroseconds};
    on_pool = ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &hold, sizeof hold) == 0;
  }
  for (;;) {
    Outcome outcome;
    if (on_pool) {
      std::error_code ec;
      if (rs.begin == rs.end) {
        co_await socket.async_wait(tcp::socket::wait_read, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return os_end(ec);
      }
      // The socket leaves the reactor while a pool thread serves it: its traffic then wakes no
      // worker thread.
      const auto protocol = socket.local_endpoint(ec).protocol();
      if (!ec) rs.lent_fd = socket.release(ec);
      if (ec) co_return os_end(ec);
      auto respond = std::make_shared<Responder>(slot);
      // The job borrows `rs` and `shared`: this task waits for it, and the runtime shuts the pool
      // down (letting a running job finish) before it drops the tasks.
      shared.pool->submit([fd = rs.lent_fd, &rs, &shared, respond] { (*respond)(serve_burst(fd, rs, shared)); });
      respond.reset();
      outcome = co_await await_outcome(*slot, timer);
      socket.assign(protocol, rs.lent_fd, ec);
      if (ec) co_return os_end(ec);
      rs.lent_fd = -1;
      if (outcome.kind == Outcome::Kind::Idle) continue;
    } else {
      if (!rs.decoder)
      rs.decoder.emplace(shared.transport, shared.protocol, framing::Side::Server, shared.max_message_size);
      framing::MessageDecoder& decoder = *rs.decoder;
      while (decoder.progress() == framing::Progress::NeedMore) {
        if (rs.begin == rs.end) {
          std::error_code ec;
          const size_t n = co_await socket.async_read_some(asio::buffer(rs.buffer.get(), kBufferSize),
                                                           asio::redirect_error(asio::use_awaitable, ec));
          if (ec == asio::error::eof || (!ec && n == 0)) {
            decoder.end_of_input();
            break;
          }
          if (ec) co_return os_end(ec);
          rs.begin = 0;
          rs.end = n;
        }
        rs.begin += decoder.feed(std::string_view(rs.buffer.get() + rs.begin, rs.end - rs.begin));
      }
      if (decoder.progress() == framing::Progress::Failed) {
        const Error& e = decoder.error();
        co_return ConnectionEnd{e, e.kind == ErrorKind::EndOfInput};
      }
      std::string payload = decoder.take_payload();
      rs.decoder.reset();
      if (payload.empty()) co_return ConnectionEnd{};
      shared.dispatcher->dispatch(std::move(payload), Responder(slot), *shared.pool);
      outcome = co_await await_outcome(*slot, timer);
    }
    if (outcome.kind == Outcome::Kind::NoReply) continue;
    if (outcome.kind != Outcome::Kind::Reply) co_return end_of(outcome);
    prefix.clear();
    if (shared.transport == framing::Transport::Framed && !outcome.framed)
      wire::put_be32(prefix, static_cast<uint32_t>(outcome.bytes.size()));
    const std::array<asio::const_buffer, 2> pieces{asio::buffer(prefix), asio::buffer(outcome.bytes)};
    std::error_code ec;
    co_await asio::async_write(socket, pieces, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return os_end(ec);
  }
}

// --- Connections that begin like HTTP ------------------------------------------------------------

/// A peer that keeps sending a proper prefix of a method (or nothing) is served as Thrift after this.
constexpr auto kProbeDeadline = std::chrono::seconds(10);
constexpr auto kProbePause = std::chrono::milliseconds(1);

/// Whether the peer has ended its side of the connection (or it failed): nothing more will arrive.
bool peer_stopped_sending(int fd) {
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

/// Peeks at the opening bytes (consuming none) until they tell HTTP from Thrift. While they are a
/// proper prefix of a method the peek is repeated after a pause on a timer, never by spinning.
/// A failed wait or peek sets `ec`.
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

/// Takes the socket out of the runtime and hands it to the program: on a blocking-pool thread, then,
/// if that asks for it, on this worker thread. Whatever happens, the socket is not touched again here.
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

void report(const ConnectionEnd& end) {
  if (end.error && !end.quiet) print_line(2, "connection error: " + end.error->text + "\n");
}

/// Counts a connection as open from its accept until its task ends or is dropped with the runtime,
/// and keeps its descriptor known to the server until the task is about to close it.
class OpenConnection {
 public:
  OpenConnection(Server::Impl& server, int fd) : server_(&server), fd_(fd) {
    server.open_connections.fetch_add(1);
    std::lock_guard lock(server.sockets_mutex);
    server.sockets.insert(fd);
  }
  OpenConnection(OpenConnection&& o) noexcept
      : server_(std::exchange(o.server_, nullptr)), fd_(std::exchange(o.fd_, -1)) {}
  OpenConnection& operator=(OpenConnection&&) = delete;
  ~OpenConnection() {
    if (!server_) return;
    forget_socket();
    server_->connection_ended();
  }

  void forget_socket() {
    if (fd_ < 0) return;
    std::lock_guard lock(server_->sockets_mutex);
    server_->sockets.erase(server_->sockets.find(fd_));
    fd_ = -1;
  }

 private:
  Server::Impl* server_;
  int fd_;
};

asio::awaitable<void> connection_task(tcp::socket socket, std::shared_ptr<const ConnectionShared> shared,
                                      OpenConnection counted) {
  std::error_code ignored;
  if (shared->http) {
    std::error_code ec;
    const framing::OpeningKind opening = co_await probe_opening(socket, ec);
    if (ec) {
      counted.forget_socket();
      socket.close(ignored);
      report(os_end(ec));
      co_return;
    }
    if (opening == framing::OpeningKind::Http) {
      counted.forget_socket();  // the program owns the socket from here
      report(co_await hand_off(socket, *shared));
      co_return;
    }
  }
  socket.set_option(tcp::no_delay(true), ignored);
  ConnectionEnd end = co_await request_loop(socket, *shared);
  counted.forget_socket();
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
  report(end);
}

}  // namespace

Server::Server(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Server::~Server() = default;

Result<std::unique_ptr<Server>> Server::create(ServeOptions options, std::shared_ptr<ServerControl> control,
                                               std::shared_ptr<Dispatcher> dispatcher) {
  try {
    auto impl = std::make_unique<Impl>();
    impl->options = std::move(options);
    impl->options.workers = std::max<size_t>(impl->options.workers, 1);
    impl->control = std::move(control);
    impl->id = impl->control->new_server_id();
    impl->dispatcher = std::move(dispatcher);
    impl->runtime = std::make_unique<asio::io_context>(static_cast<int>(impl->options.workers));
    impl->pool = std::make_unique<BlockingPool>(kMaxBlockingThreads, nullptr, nullptr);
    impl->address = impl->options.host + ":" + std::to_string(impl->options.port);
    return std::unique_ptr<Server>(new Server(std::move(impl)));
  } catch (...) {
    return current_exception_error();
  }
}

void Server::Impl::start_workers() {
  for (size_t i = 0; i < options.workers; ++i) {
    auto t = Thread::spawn("velvane-worker", 0, [this] {
      if (options.hooks.on_start) options.hooks.on_start();
      runtime->run();
      if (options.hooks.on_stop) options.hooks.on_stop();
    });
    if (!t) {
      print_line(2, "failed to spawn thread: " + t.error().text + "\n");
      continue;
    }
    workers.push_back(std::move(t).value());
  }
}

using ReusePort = asio::detail::socket_option::boolean<SOL_SOCKET, SO_REUSEPORT>;

bool Server::Impl::bind(tcp::acceptor& acceptor) {
  std::error_code ec;
  tcp::resolver resolver(accepting);
  const auto endpoints = resolver.resolve(options.host, std::to_string(options.port), ec);
  std::string last = ec ? ec.message() : "could not resolve to any address";
  if (!ec) {
    for (const auto& entry : endpoints) {
      std::error_code e;
      acceptor.open(entry.endpoint().protocol(), e);
      if (!e) acceptor.set_option(tcp::acceptor::reuse_address(true), e);
      if (!e && options.reuse_port) acceptor.set_option(ReusePort(true), e);
      if (!e) acceptor.bind(entry.endpoint(), e);
      if (!e) acceptor.listen(128, e);
      if (!e) return true;
      last = e.message();
      std::error_code ignored;
      acceptor.close(ignored);
    }
  }
  print_line(2, "bind error on " + address + ": " + last + "\n");
  return false;
}

asio::awaitable<void> Server::Impl::accept_loop(tcp::acceptor& acceptor, bool& interrupted) {
  auto shared = std::make_shared<const ConnectionShared>(
      ConnectionShared{options.transport, options.protocol, options.max_message_size, dispatcher.get(), pool.get(),
                       gate, dispatcher->http_taker()});
  for (;;) {
    if (control->stop_requests() != options.stops_seen) {
      print_line(1, "shutdown requested\n");
      break;
    }
    if (interrupted) {
      print_line(1, "received Ctrl+C, shutting down\n");
      break;
    }
    if (options.max_connections != 0) {
      // Newcomers wait in the listen backlog until a connection ends (or a stop comes).
      accept_waiting.store(true);
      const bool full = at_connection_limit();
      if (full) co_await wait_to_accept(asio::steady_timer::time_point::max());
      accept_waiting.store(false);
      if (full) continue;
    }
    std::error_code ec;
    tcp::socket socket = co_await acceptor.async_accept(*runtime, asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted) continue;  // woken: look at the requests again
    if (ec) {
      print_line(2, "accept error: " + ec.message() + "\n");
      // Errors such as running out of descriptors repeat at once: pause, longer each time they
      // repeat, instead of spinning and filling the log. A connection that ends cuts the pause short.
      accept_waiting.store(true);
      co_await wait_to_accept(asio::steady_timer::clock_type::now() + error_pause);
      accept_waiting.store(false);
      error_pause = std::min<std::chrono::milliseconds>(error_pause * 2, kMaxAcceptPause);
      continue;
    }
    error_pause = kMinAcceptPause;
    OpenConnection counted(*this, socket.native_handle());
    asio::co_spawn(asio::make_strand(*runtime), connection_task(std::move(socket), shared, std::move(counted)),
                   asio::detached);
  }
  control->clear_listening(id);
  std::error_code ignored;
  acceptor.close(ignored);
}

void Server::run() {
  Impl& s = *impl_;
  auto work = asio::make_work_guard(*s.runtime);
  s.start_workers();
  tcp::acceptor acceptor(s.accepting);
  if (s.bind(acceptor)) {
    std::error_code ignored;
    s.control->set_bound_port(acceptor.local_endpoint(ignored).port());
    s.control->set_listening(s.id);
    const size_t waker = s.control->add_waker([&] {
      asio::post(s.accepting, [&] {
        std::error_code ignored;  // the loop may have closed the acceptor already
        acceptor.cancel(ignored);
        s.resume.cancel();
      });
    });

    bool interrupted = false;
    int pipe_fds[2] = {-1, -1};
    int slot = -1;
    std::optional<asio::posix::stream_descriptor> interrupts;
    if (s.options.stop_on_interrupt && ::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) == 0) {
      interrupts.emplace(s.accepting, pipe_fds[0]);
      slot = interrupt::add(pipe_fds[1]);
      asio::co_spawn(s.accepting, [&]() -> asio::awaitable<void> {
        char byte;
        std::error_code ec;
        co_await interrupts->async_read_some(asio::buffer(&byte, 1), asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return;
        interrupted = true;
        acceptor.cancel(ec);
        s.resume.cancel();
      }, asio::detached);
    }
    asio::co_spawn(s.accepting, [&]() -> asio::awaitable<void> {
      co_await s.accept_loop(acceptor, interrupted);
      if (interrupts) interrupts->close();
    }, asio::detached);
    s.accepting.run();

    s.control->remove_waker(waker);
    if (slot >= 0) interrupt::remove(slot);
    interrupts.reset();
    if (pipe_fds[1] >= 0) ::close(pipe_fds[1]);
  }
  work.reset();
  s.shut_down_runtime();
}

/// Connection tasks are abandoned where they wait; handler jobs already running finish first.
void Server::Impl::shut_down_runtime() {
  gate->stopping.store(true, std::memory_order_release);
  runtime->stop();
  for (Thread& t : workers) t.join();
  // The tasks' sockets close only when the runtime goes, after the handlers still running: shut
  // them down now, so their peers see the end at once even while a handler never returns.
  {
    std::lock_guard lock(sockets_mutex);
    for (int fd : sockets) ::shutdown(fd, SHUT_RDWR);
  }
  pool->shutdown();
  {
    std::lock_guard lock(gate->mutex);
    gate->open = false;
  }
  runtime.reset();
}

}  // namespace velvane::net
