// src/net/async_client.cpp: the shared client runtime, the connection cell's asynchronous lock and
// the coroutines of open, close and call.
//
// Everything a cell owns is touched on its strand only, with two exceptions: the lock's state, which
// a starting call may take at once from its own thread (see ConnectionCell::call), and the two
// flags is_open reads. An operation's coroutine, its lock wait, its watchdog and its cancellation
// all run on that strand, so a request to stop is seen at the operation's next step: it cancels
// whatever socket or resolver the operation is waiting on, and the operation looks at its flags
// after every wait. The connection belongs to whoever holds the lock.
#include "net/async_client.h"

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/use_awaitable.hpp>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>

#include "net/message_io.h"
#include "net/server.h"

namespace velvane::net {

using asio::ip::tcp;

namespace {

class ClientRuntime {
 public:
  /// The process's runtime, started by the first caller. It is never destroyed: its threads keep
  /// running, idle, until the process ends, and may still hold work the interpreter no longer wants.
  static Result<ClientRuntime*> shared() {
    static std::mutex mutex;
    static ClientRuntime* runtime = nullptr;
    std::lock_guard lock(mutex);
    if (runtime) return runtime;
    try {
      const size_t threads = effective_workers(0);
      auto made = std::make_unique<ClientRuntime>(threads);
      size_t started = 0;
      Error failure;
      for (size_t i = 0; i < threads; ++i) {
        Status s = spawn_detached("velvane-async-io", 0, [context = &made->context_] { run(*context); });
        if (s) ++started;
        else failure = s.take_error();
      }
      if (started == 0) return Error{failure.kind, "failed to start the client runtime: " + failure.text};
      runtime = made.release();
      return runtime;
    } catch (...) {
      return current_exception_error();
    }
  }

  explicit ClientRuntime(size_t threads)
      : context_(static_cast<int>(threads)), work_(asio::make_work_guard(context_)) {}

  asio::io_context& context() { return context_; }

 private:
  static void run(asio::io_context& context) {
    for (;;) {
      try {
        context.run();
        return;
      } catch (...) {
        print_line(2, "client runtime error: " + current_exception_error().text + "\n");
      }
    }
  }

  asio::io_context context_;
  asio::executor_work_guard<asio::io_context::executor_type> work_;
};

Error os_error(const std::error_code& ec) { return Error{ErrorKind::Os, ec.message()}; }

}  // namespace

/// One open connection: the socket and the bytes read past the last message.
struct AsyncConnection {
  explicit AsyncConnection(tcp::socket s) : socket(std::move(s)) {}
  ~AsyncConnection() {
    std::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    socket.close(ignored);
  }
  tcp::socket socket;
  ReadBuffer buffer;
};

struct ConnectionCell::Impl {
  explicit Impl(asio::io_context& c) : context(c), strand(asio::make_strand(c)) {}

  asio::io_context& context;
  asio::strand<asio::io_context::executor_type> strand;
  // On the strand only:
  std::unique_ptr<AsyncConnection> connection;  // belongs to the lock's holder
  std::mutex lock_mutex;  // guards locked and waiters; never held across anything that waits
  bool locked = false;
  std::deque<Operation*> waiters;  // in line for the lock; each entry is kept alive by its coroutine
  // Mirrors of `locked` and `connection != nullptr`, for is_open on any thread:
  std::atomic<bool> lock_held{false};
  std::atomic<bool> connected{false};

  void set_connection(std::unique_ptr<AsyncConnection>& slot_value) {
    std::swap(connection, slot_value);
    connected.store(connection != nullptr, std::memory_order_release);
  }
  void drop_connection() {
    connection.reset();
    connected.store(false, std::memory_order_release);
  }
  void release_lock();
};

struct Operation : std::enable_shared_from_this<Operation> {
  Operation(std::shared_ptr<ConnectionCell> c, CompletionHandler d)
      : cell(std::move(c)), done(std::move(d)), wake(cell->impl().strand), watchdog(cell->impl().strand) {}

  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  std::shared_ptr<ConnectionCell> cell;
  CompletionHandler done;
  asio::steady_timer wake;      // waits for the lock
  asio::steady_timer watchdog;  // ends the network work at the timeout
  // On the strand only:
  bool waiting = false;   // in the cell's line for the lock
  bool granted = false;   // holds the lock
  bool finished = false;
  bool cancelled = false;
  bool timed_out = false;
  tcp::socket* busy_socket = nullptr;      // what the work waits on, for interrupt()
  tcp::resolver* busy_resolver = nullptr;

  bool stopped() const { return cancelled || timed_out; }

  void interrupt() {
    ConnectionCell::Impl& c = cell->impl();
    if (waiting) {
      {
        std::lock_guard lock(c.lock_mutex);
        std::erase(c.waiters, this);
      }
      waiting = false;
      wake.cancel();
    }
    // A stop in the middle of the network work ends the connection, so shutting the socket down is
    // safe, and it also fails the reads and writes that start after the stop, not only a waiting one.
    std::error_code ignored;
    if (busy_socket) {
      busy_socket->cancel(ignored);
      busy_socket->shutdown(tcp::socket::shutdown_both, ignored);
    }
    if (busy_resolver) busy_resolver->cancel();
  }

  void start_watchdog(const Timeout& timeout) {
    if (!timeout) return;
    watchdog.expires_after(*timeout);
    watchdog.async_wait([self = shared_from_this()](std::error_code ec) {
      if (ec || self->finished) return;
      self->timed_out = true;
      self->interrupt();
    });
  }

  /// How a stopped operation ends.
  Completion stop_result() const {
    if (timed_out) return Completion{Completion::Kind::Failed, {}, Error{ErrorKind::TimedOut, std::string(kTimedOut)}};
    return Completion{Completion::Kind::Cancelled, {}, {}};
  }

  /// Reports once, off the strand, so the cell's next operation need not wait for the report.
  void finish(Completion result) {
    if (finished) return;
    finished = true;
    watchdog.cancel();
    asio::post(cell->impl().context, [handler = std::move(done), result = std::move(result)]() mutable {
      handler(std::move(result));
    });
  }
};

void ConnectionCell::Impl::release_lock() {
  Operation* next = nullptr;
  {
    std::lock_guard lock(lock_mutex);
    if (waiters.empty()) {
      locked = false;
      lock_held.store(false, std::memory_order_release);
      return;
    }
    next = waiters.front();
    waiters.pop_front();
  }
  next->waiting = false;
  next->granted = true;
  next->wake.cancel();
}

namespace {

/// Forgets the socket or resolver the operation waited on, however the coroutine leaves.
struct BusyClear {
  Operation& op;
  ~BusyClear() {
    op.busy_socket = nullptr;
    op.busy_resolver = nullptr;
  }
};

/// Gives the lock back however the coroutine leaves.
struct LockHold {
  Operation& op;
  ~LockHold() {
    if (!op.granted) return;
    op.granted = false;
    op.cell->impl().release_lock();
  }
};

/// Waits in line for the cell's lock; false when cancelled first (the lock is then not held).
asio::awaitable<bool> acquire(Operation& op) {
  ConnectionCell::Impl& c = op.cell->impl();
  if (op.granted) co_return true;  // taken when the call started
  if (op.stopped()) co_return false;
  {
    std::lock_guard lock(c.lock_mutex);
    if (!c.locked) {
      c.locked = true;
      c.lock_held.store(true, std::memory_order_release);
      op.granted = true;
    } else {
      c.waiters.push_back(&op);
      op.waiting = true;
    }
  }
  if (op.granted) co_return true;
  op.wake.expires_at(asio::steady_timer::time_point::max());
  std::error_code ignored;
  co_await op.wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  if (!op.granted) co_return false;
  if (op.stopped()) {
    op.granted = false;
    c.release_lock();
    co_return false;
  }
  co_return true;
}

Completion failed(Error e) { return Completion{Completion::Kind::Failed, {}, std::move(e)}; }

/// `wire`: the request as it goes on the wire; the starter may have written its first `sent_early`
/// bytes already.
asio::awaitable<Completion> run_call(Operation& op, std::string wire, framing::Transport transport,
                                     Protocol protocol, bool oneway, Timeout timeout, Result<size_t> sent_early) {
  ConnectionCell::Impl& c = op.cell->impl();
  if (!co_await acquire(op)) co_return op.stop_result();
  LockHold hold{op};
  if (!c.connection) co_return Completion{Completion::Kind::NotOpen, {}, {}};
  if (op.stopped() && sent_early && sent_early.value() == 0) co_return op.stop_result();  // nothing went out
  AsyncConnection& conn = *c.connection;
  op.start_watchdog(timeout);
  BusyClear busy{op};
  op.busy_socket = &conn.socket;
  // From here on a failure or a stop leaves the stream between messages no more: drop it.
  Status sent = sent_early ? Status{} : Status{sent_early.take_error()};
  if (sent && sent_early.value() < wire.size())
    sent = co_await write_message(conn.socket, framing::Transport::Buffered,
                                  std::string_view(wire).substr(sent_early.value()));
  if (op.stopped()) {
    c.drop_connection();
    co_return op.stop_result();
  }
  if (!sent) {
    c.drop_connection();
    co_return failed(sent.take_error());
  }
  Completion out;
  if (!oneway) {
    framing::MessageDecoder decoder(transport, protocol);
    Result<std::string> reply = co_await conn.buffer.read_message(conn.socket, decoder);
    op.busy_socket = nullptr;
    if (!reply) {
      c.drop_connection();
      co_return op.stopped() ? op.stop_result() : failed(reply.take_error());
    }
    out.reply = std::move(reply).value();
    if (out.reply.empty()) {
      c.drop_connection();
      if (op.stopped()) co_return op.stop_result();  // the end of input the stop itself caused
    }
  }
  co_return out;
}

asio::awaitable<Completion> run_open(Operation& op, std::string host, uint16_t port, Timeout timeout) {
  ConnectionCell::Impl& c = op.cell->impl();
  op.start_watchdog(timeout);
  tcp::resolver resolver(c.strand);
  BusyClear busy{op};
  op.busy_resolver = &resolver;
  std::error_code ec;
  const auto endpoints = co_await resolver.async_resolve(host, std::to_string(port),
                                                         asio::redirect_error(asio::use_awaitable, ec));
  op.busy_resolver = nullptr;
  if (op.stopped()) co_return op.stop_result();
  if (ec) co_return failed(os_error(ec));
  Error last{ErrorKind::Os, "could not resolve to any address"};
  for (const auto& entry : endpoints) {
    auto made = std::make_unique<AsyncConnection>(tcp::socket(c.strand));
    op.busy_socket = &made->socket;
    co_await made->socket.async_connect(entry.endpoint(), asio::redirect_error(asio::use_awaitable, ec));
    op.busy_socket = nullptr;
    if (op.stopped()) co_return op.stop_result();
    if (ec) {
      last = os_error(ec);
      continue;
    }
    made->socket.set_option(tcp::no_delay(true), ec);  // a failure here is not worth refusing the connection
    op.watchdog.cancel();
    if (!co_await acquire(op)) co_return op.stop_result();
    LockHold hold{op};
    c.set_connection(made);  // the old connection, now in `made`, closes as the coroutine ends
    co_return Completion{};
  }
  co_return failed(std::move(last));
}

asio::awaitable<Completion> run_close(Operation& op) {
  ConnectionCell::Impl& c = op.cell->impl();
  if (!co_await acquire(op)) co_return op.stop_result();
  LockHold hold{op};
  c.drop_connection();
  co_return Completion{};
}

/// Runs `body(*op)` on the operation's strand, starting at once.
template <class Body>
OperationHandle spawn(std::shared_ptr<Operation> op, Body body) {
  auto strand = op->cell->impl().strand;
  asio::co_spawn(
      strand,
      [op, body = std::move(body)]() mutable -> asio::awaitable<void> {
        Completion result;
        try {
          result = co_await body(*op);
        } catch (...) {
          result = failed(current_exception_error());
        }
        op->finish(std::move(result));
      },
      [op](std::exception_ptr e) {
        if (e) op->finish(failed(Error{ErrorKind::Internal, "client operation ended unexpectedly"}));
      });
  return OperationHandle(op);
}

template <class Body>
OperationHandle start(std::shared_ptr<ConnectionCell> cell, CompletionHandler done, Body body) {
  return spawn(std::make_shared<Operation>(std::move(cell), std::move(done)), std::move(body));
}

/// Takes the lock from the calling thread when nobody holds it.
bool take_lock_now(ConnectionCell::Impl& c) {
  std::lock_guard lock(c.lock_mutex);
  if (c.locked) return false;
  c.locked = true;
  c.lock_held.store(true, std::memory_order_release);
  return true;
}

/// What the socket takes of `wire` without waiting.
Result<size_t> send_now(AsyncConnection& conn, std::string_view wire) {
  for (;;) {
    const ssize_t n = ::send(conn.socket.native_handle(), wire.data(), wire.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return size_t{0};
    return os_error(std::error_code(errno, std::system_category()));
  }
}

}  // namespace

void OperationHandle::cancel() const {
  std::shared_ptr<Operation> op = op_.lock();
  if (!op) return;
  asio::post(op->cell->impl().strand, [op] {
    if (op->finished) return;
    op->cancelled = true;
    op->interrupt();
  });
}

ConnectionCell::ConnectionCell(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ConnectionCell::~ConnectionCell() = default;

Result<std::shared_ptr<ConnectionCell>> ConnectionCell::create() {
  auto runtime = ClientRuntime::shared();
  if (!runtime) return runtime.take_error();
  try {
    return std::make_shared<ConnectionCell>(std::make_unique<Impl>(runtime.value()->context()));
  } catch (...) {
    return current_exception_error();
  }
}

bool ConnectionCell::is_open() const {
  return impl_->lock_held.load(std::memory_order_acquire) || impl_->connected.load(std::memory_order_acquire);
}

OperationHandle ConnectionCell::open(std::string host, uint16_t port, Timeout timeout, CompletionHandler done) {
  return start(shared_from_this(), std::move(done),
               [host = std::move(host), port, timeout](Operation& op) { return run_open(op, host, port, timeout); });
}

OperationHandle ConnectionCell::close(CompletionHandler done) {
  return start(shared_from_this(), std::move(done), [](Operation& op) { return run_close(op); });
}

// A call that finds the lock free takes it and writes what the socket accepts at once from the
// calling thread, which saves the hand-over to a runtime thread before the request leaves.
OperationHandle ConnectionCell::call(std::string request, framing::Transport transport, Protocol protocol,
                                     bool oneway, Timeout timeout, CompletionHandler done) {
  std::string wire;
  framing::append_frame(wire, transport, request);
  auto op = std::make_shared<Operation>(shared_from_this(), std::move(done));
  Result<size_t> sent_early = size_t{0};
  if (take_lock_now(*impl_)) {
    op->granted = true;
    if (impl_->connection) sent_early = send_now(*impl_->connection, wire);
  }
  return spawn(std::move(op), [wire = std::move(wire), transport, protocol, oneway, timeout,
                               sent_early = std::move(sent_early)](Operation& op) mutable {
    return run_call(op, std::move(wire), transport, protocol, oneway, timeout, std::move(sent_early));
  });
}

}  // namespace velvane::net
