// src/net/async_client.cpp: the shared client runtime, the connection cell's asynchronous lock and
// the steps of open, close and call.
//
// Each step runs under the cell's mutex, on whichever thread got there: the starting thread, or the
// runtime thread whose wait just ended. A step either starts the next wait (a read, a write, a
// connect) or finishes its operation; an operation that holds the lock and finishes hands the lock
// straight to the next in line, whose first step runs at once on the same thread. So a busy
// connection goes from one call's reply to the next call's request without a hand-over between
// threads. Cancellation and timeouts take the same mutex, so they see a step either before it began
// or after it started its wait, which they then interrupt. After run after the mutex is released.
#include "net/async_client.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/generic/stream_protocol.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <deque>
#include <mutex>
#include <vector>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "net/message_io.h"
#include "net/console.h"
#include "net/threads.h"
#include "net/tls.h"

namespace velvane::net {

using asio::ip::tcp;
using Socket = asio::generic::stream_protocol::socket;  // TCP, or a unix socket

namespace {

/// The process's client runtime: one event loop per thread, and each cell served by one of them, so a
/// reply's handler runs on the thread that saw the reply arrive, without a hand-over to another.
class ClientRuntime {
 public:
  /// Started by the first caller. It is never destroyed: its threads keep running, idle, until the
  /// process ends, and may still hold work the interpreter no longer wants.
  static Result<ClientRuntime*> shared() {
    static std::mutex mutex;
    static ClientRuntime* runtime = nullptr;
    std::lock_guard lock(mutex);
    if (runtime) return runtime;
    try {
      auto made = std::make_unique<ClientRuntime>();
      Error failure;
      for (size_t i = 0, threads = effective_workers(0); i < threads; ++i) {
        auto loop = std::make_unique<Loop>();
        Status s = spawn_detached("velvane-async-io", 0, [context = &loop->context] { run(*context); });
        if (s) made->loops_.push_back(std::move(loop));
        else failure = s.take_error();
      }
      if (made->loops_.empty()) return Error{failure.kind, "failed to start the client runtime: " + failure.text};
      runtime = made.release();
      return runtime;
    } catch (...) {
      return current_exception_error();
    }
  }

  /// The loops take new cells in turn.
  asio::io_context& next_context() {
    return loops_[next_.fetch_add(1, std::memory_order_relaxed) % loops_.size()]->context;
  }

 private:
  struct Loop {
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> work{asio::make_work_guard(context)};
  };

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

  std::vector<std::unique_ptr<Loop>> loops_;
  std::atomic<size_t> next_{0};
};

Error os_error(const std::error_code& ec) { return Error{ErrorKind::Os, ec.message()}; }
Completion failed(Error e) { return Completion{Completion::Kind::Failed, {}, std::move(e)}; }

}  // namespace

/// What a TLS read or write did without waiting.
struct TlsStep {
  size_t n = 0;                // bytes moved; 0 with neither flag below: the end of the stream
  bool wait = false;           // nothing now: wait until the socket is ready for `want_write` or reading
  bool want_write = false;
  std::optional<Error> error;
};

/// One open connection: the socket and the bytes read past the last message. Under TLS the session
/// runs over the socket's descriptor (non-blocking: OpenSSL says what it waits for, and the runtime
/// waits for it). The sender and the reader may use the session from two threads at once: each
/// OpenSSL call on it takes `tls_mutex` (none of them waits).
struct AsyncConnection {
  explicit AsyncConnection(Socket s) : socket(std::move(s)) {}
  ~AsyncConnection() {
    std::error_code ignored;
    socket.shutdown(Socket::shutdown_send, ignored);
    socket.close(ignored);
    if (ssl) SSL_free(ssl);
  }
  AsyncConnection(const AsyncConnection&) = delete;
  AsyncConnection& operator=(const AsyncConnection&) = delete;

  /// One OpenSSL step: `io` returns its result code (1 for done), `n` set on success.
  template <class Io>
  TlsStep tls_step(Io&& io) {
    std::lock_guard lock(tls_mutex);
    ERR_clear_error();
    errno = 0;
    size_t n = 0;
    const int rc = io(n);
    if (rc == 1) return TlsStep{n, false, false, {}};
    switch (SSL_get_error(ssl, rc)) {
      case SSL_ERROR_WANT_READ: return TlsStep{0, true, false, {}};
      case SSL_ERROR_WANT_WRITE: return TlsStep{0, true, true, {}};
      case SSL_ERROR_ZERO_RETURN: return TlsStep{};
      case SSL_ERROR_SSL:
        if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
          ERR_clear_error();
          return TlsStep{};  // the peer closed without close_notify: an end all the same
        }
        break;
      case SSL_ERROR_SYSCALL:
        if (errno != 0) {
          const int e = errno;
          ERR_clear_error();
          return TlsStep{0, false, false, Error{ErrorKind::Os, std::error_code(e, std::system_category()).message()}};
        }
        break;
    }
    return TlsStep{0, false, false, Error{ErrorKind::Os, "TLS error: " + tls_reasons("the peer broke the TLS stream")}};
  }
  TlsStep tls_read(asio::mutable_buffer space) {
    return tls_step([&](size_t& n) { return SSL_read_ex(ssl, space.data(), space.size(), &n); });
  }
  /// What the connection takes of `bytes` without waiting (0 when it must wait to write).
  Result<size_t> send_now(std::string_view bytes) {
    if (!ssl) return net::send_now(socket.native_handle(), bytes);
    TlsStep step = tls_step([&](size_t& n) { return SSL_write_ex(ssl, bytes.data(), bytes.size(), &n); });
    if (step.error) return std::move(*step.error);
    if (!step.wait && step.n == 0) return Error{ErrorKind::Os, std::error_code(EPIPE, std::system_category()).message()};
    return step.n;
  }

  Socket socket;
  ReadBuffer buffer;
  std::mutex tls_mutex;
  SSL* ssl = nullptr;  // present under TLS
};

/// What a step leaves for after the cell's mutex is released: the operation that just took the lock
/// and sends its request (a send may take a while on loopback, where it delivers the bytes), and the
/// finished operations whose handlers run.
struct After {
  std::shared_ptr<Operation> sender;
  std::vector<std::pair<std::shared_ptr<Operation>, Completion>> finished;
};

struct ConnectionCell::Impl {
  explicit Impl(asio::io_context& c) : context(c) {}

  asio::io_context& context;
  std::mutex mutex;  // guards what follows; never held while a report runs
  bool locked = false;
  std::deque<std::shared_ptr<Operation>> waiters;  // in line for the lock
  std::unique_ptr<AsyncConnection> connection;     // used by the lock's holder only
  std::shared_ptr<const TlsContext> tls;           // new connections are TLS ones when present
  std::string http_host = "localhost";             // the Host header of HTTP requests: the host opened
  bool opened = false;  // open() succeeded and close() has not run since: a missing connection was dropped
  // Mirrors of `locked` and `connection != nullptr`, for is_open on any thread:
  std::atomic<bool> lock_held{false};
  std::atomic<bool> connected{false};
  std::atomic<size_t> in_line{0};  // waiters.size()

  void set_locked(bool value) {
    locked = value;
    lock_held.store(value, std::memory_order_release);
  }
  void set_connection(std::unique_ptr<AsyncConnection> value) {
    connection = std::move(value);
    connected.store(connection != nullptr, std::memory_order_release);
  }
  /// Takes the free lock for `op`, or puts it in line.
  void acquire(const std::shared_ptr<Operation>& op, After& out);
  /// The holder is done: the lock goes to the waiters in turn until one keeps it.
  void release(After& out);
};

struct Operation : std::enable_shared_from_this<Operation> {
  enum class Kind : uint8_t { Open, Close, Call };
  enum class Stage : uint8_t { Connecting, Waiting, Working, Pausing, Finished };

  Operation(std::shared_ptr<ConnectionCell> c, Kind k, Timeout t, CompletionHandler d)
      : cell(std::move(c)), impl(cell->impl()), kind(k), timeout(t), done(std::move(d)) {}
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  std::shared_ptr<ConnectionCell> cell;
  ConnectionCell::Impl& impl;
  const Kind kind;
  const Timeout timeout;
  CompletionHandler done;  // taken by the report
  // Under impl.mutex:
  Stage stage = Stage::Waiting;
  bool cancelled = false;
  bool timed_out = false;
  std::unique_ptr<asio::steady_timer> watchdog;  // only with a timeout
  // A call:
  std::string wire;  // the request as it goes on the wire
  size_t sent = 0;
  framing::Transport transport = framing::Transport::Framed;
  Protocol protocol = Protocol::Binary;
  bool oneway = false;
  bool http_oneway = false;  // a oneway call over HTTP: its response is read, its empty body expected
  size_t max_size = 0;  // of the reply; 0: no limit
  bool sending = false;  // its request is still going out
  bool redial = false;     // connect again to `endpoints` when the connection was dropped
  bool redialing = false;  // connecting again while holding the lock
  RetryPolicy retry;
  uint32_t attempt = 1;
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::unique_ptr<asio::steady_timer> pause;  // the wait before the next attempt
  std::optional<framing::MessageDecoder> decoder;
  struct Outcome {
    Completion result;
    bool drop = false;  // the connection goes
  };
  std::optional<Outcome> early;  // how it ends, known before the request was out (the reply came first)
  // An open, or a call that may connect again:
  std::shared_ptr<EndpointSet> endpoints;
  std::vector<size_t> plan;  // the endpoints this connect tries, in order
  size_t tried = 0;          // the one being tried is plan[tried]
  std::unique_ptr<tcp::resolver> resolver;
  tcp::resolver::results_type addresses;  // of the endpoint being tried
  tcp::resolver::results_type::const_iterator next_endpoint;
  std::unique_ptr<AsyncConnection> made;  // the connection being made; then the one it replaced
  Error last_error{ErrorKind::Os, "could not resolve to any address"};

  bool stopped() const { return cancelled || timed_out; }

  Completion stop_result() const {
    if (timed_out) return failed(Error{ErrorKind::TimedOut, std::string(kTimedOut)});
    return Completion{Completion::Kind::Cancelled, {}, {}};
  }

  void finish(Completion result, After& out) {
    if (stage == Stage::Finished) return;
    stage = Stage::Finished;
    if (watchdog) watchdog->cancel();
    result.written = sent > 0;
    out.finished.emplace_back(shared_from_this(), std::move(result));
  }

  void arm_watchdog() {
    if (!timeout) return;
    watchdog = std::make_unique<asio::steady_timer>(impl.context, *timeout);
    watchdog->async_wait([self = shared_from_this(), n = attempt](std::error_code ec) {
      if (!ec) self->stop(/*by_timeout=*/true, n);
    });
  }

  /// From any thread: the operation ends at once if it waits for the lock, else its wait is cut short.
  void stop(bool by_timeout, uint32_t timed_attempt = 0);
  /// Under the lock, for a call that failed: whether its policy repeats it; then it has let the lock go.
  bool repeats(const Completion& result, bool drop, After& out);

  /// Holds the lock now; false when it finished at once (the lock is then for the next in line).
  bool granted(After& out);
  void begin_exchange(After& out);
  void start_connect();
  void resolve_endpoint();
  void endpoint_failed(Error error, After& out);
  void connect_failed(Completion result, After& out);
  std::optional<Outcome> read_step();
  void conclude(Outcome outcome, After& out);
  void on_sent_now(Result<size_t> now, After& out);
  void on_written(std::error_code ec, After& out);
  void on_read(std::error_code ec, size_t n, After& out);
  void connect_next(After& out);
  void on_resolved(std::error_code ec, tcp::resolver::results_type results, After& out);
  void on_connected(std::error_code ec, After& out);
  void handshake_step(After& out);
  void on_handshake_ready(std::error_code ec, After& out);
  void connection_made(After& out);
  void on_read_ready(std::error_code ec, After& out);
  void on_write_ready(std::error_code ec, After& out);
};

namespace {

void deliver(After& after) {
  for (auto& [op, result] : after.finished) {
    CompletionHandler handler = std::move(op->done);
    handler(std::move(result));
  }
  after.finished.clear();
}

/// Runs `step(op, after)` under the cell's mutex, then what it left for after: the reports, and the
/// request of the operation that took the lock (whose next step may leave more).
template <class Step>
void under_lock(Operation& op, Step step) {
  After after;
  {
    std::lock_guard lock(op.impl.mutex);
    step(op, after);
  }
  deliver(after);
  while (std::shared_ptr<Operation> sender = std::move(after.sender)) {
    // The lock's holder alone uses the connection, so it is there without the mutex.
    Result<size_t> now = sender->impl.connection->send_now(std::string_view(sender->wire).substr(sender->sent));
    {
      std::lock_guard lock(sender->impl.mutex);
      sender->on_sent_now(std::move(now), after);
    }
    deliver(after);
  }
}

}  // namespace

void ConnectionCell::Impl::acquire(const std::shared_ptr<Operation>& op, After& out) {
  if (locked) {
    op->stage = Operation::Stage::Waiting;
    waiters.push_back(op);
    in_line.store(waiters.size(), std::memory_order_relaxed);
    return;
  }
  set_locked(true);
  if (!op->granted(out)) release(out);
}

void ConnectionCell::Impl::release(After& out) {
  while (!waiters.empty()) {
    std::shared_ptr<Operation> next = std::move(waiters.front());
    waiters.pop_front();
    in_line.store(waiters.size(), std::memory_order_relaxed);
    if (next->granted(out)) return;
  }
  set_locked(false);
}

bool Operation::granted(After& out) {
  stage = Stage::Working;
  switch (kind) {
    case Kind::Open: {
      std::swap(impl.connection, made);  // the old connection closes with the operation
      impl.connected.store(true, std::memory_order_release);
      impl.opened = true;
      finish(Completion{}, out);
      return false;
    }
    case Kind::Close:
      impl.set_connection(nullptr);
      impl.opened = false;
      finish(Completion{}, out);
      return false;
    case Kind::Call:
      if (redial && impl.connection && peer_has_closed(impl.connection->socket.native_handle())) impl.set_connection(nullptr);
      if (!impl.connection && redial && impl.opened) {
        redialing = true;
        stage = Stage::Connecting;
        start_connect();
        return true;
      }
      if (!impl.connection) {
        finish(Completion{Completion::Kind::NotOpen, {}, {}}, out);
        return false;
      }
      begin_exchange(out);
      return true;
  }
  return false;
}

void Operation::begin_exchange(After& out) {
  // The reply's read is under way before the request leaves, so the thread that sees the reply
  // arrive reads it, whether or not the sender has come back from sending.
  decoder.emplace(transport, protocol, framing::Side::Client, max_size);
  arm_watchdog();
  sending = true;
  out.sender = shared_from_this();
  if (!oneway) early = read_step();
}

/// Tries the endpoints in the order their set plans, within the operation's time limit.
void Operation::start_connect() {
  arm_watchdog();
  plan = endpoints->plan();
  tried = 0;
  resolve_endpoint();
}

/// Resolves the endpoint being tried and connects to its addresses in turn.
void Operation::resolve_endpoint() {
  const Endpoint& endpoint = (*endpoints)[plan[tried]];
  last_error = Error{ErrorKind::Os, "could not resolve to any address"};
  if (endpoint.is_unix()) {  // connected to at once
    addresses = {};
    next_endpoint = addresses.end();
    made = std::make_unique<AsyncConnection>(Socket(impl.context));
    const asio::local::stream_protocol::endpoint path(endpoint.host.substr(kUnixPrefix.size()));
    made->socket.async_connect(Socket::endpoint_type(path), [self = shared_from_this()](std::error_code ec) {
      under_lock(*self, [ec](Operation& op, After& out) { op.on_connected(ec, out); });
    });
    return;
  }
  resolver = std::make_unique<tcp::resolver>(impl.context);
  resolver->async_resolve(endpoint.host, std::to_string(endpoint.port),
                          [self = shared_from_this()](std::error_code ec, tcp::resolver::results_type r) {
                            under_lock(*self, [ec, &r](Operation& op, After& out) {
                              op.on_resolved(ec, std::move(r), out);
                            });
                          });
}

/// The endpoint being tried refused: it is skipped for a while, and the next in the plan is tried.
void Operation::endpoint_failed(Error error, After& out) {
  if (tried + 1 == plan.size()) return connect_failed(failed(std::move(error)), out);
  endpoints->failed(plan[tried]);
  ++tried;
  resolve_endpoint();
}

/// An open, or a call connecting again, that did not get its connection; the call passes the lock on.
void Operation::connect_failed(Completion result, After& out) {
  if (result.kind == Completion::Kind::Failed) {
    const size_t at = plan[tried];
    endpoints->failed(at);
    result.error.text = "connect to " + (*endpoints)[at].text() + ": " + result.error.text;
    result.connecting = true;
  }
  if (!redialing) return finish(std::move(result), out);
  redialing = false;
  if (repeats(result, false, out)) return;
  finish(std::move(result), out);
  impl.release(out);
}

bool Operation::repeats(const Completion& result, bool drop, After& out) {
  const bool expects_reply = !oneway && !http_oneway;  // a oneway call's empty HTTP response is its success
  const bool failed_call = result.kind == Completion::Kind::Failed ||
                           (expects_reply && result.kind == Completion::Kind::Done && result.reply.empty());
  if (!failed_call || cancelled || !redial || !retry.allows(attempt, sent > 0)) return false;
  const auto wait = retry.delay(attempt);
  if (retry.deadline && std::chrono::steady_clock::now() + wait > started + *retry.deadline) return false;
  if (drop) impl.set_connection(nullptr);
  ++attempt;
  stage = Stage::Pausing;
  if (watchdog) watchdog->cancel();
  timed_out = false;
  sent = 0;
  decoder.reset();
  early.reset();
  made.reset();
  pause = std::make_unique<asio::steady_timer>(impl.context, wait);
  pause->async_wait([self = shared_from_this()](std::error_code ec) {
    if (ec) return;
    under_lock(*self, [](Operation& op, After& out) {
      if (op.stage == Stage::Pausing) op.impl.acquire(op.shared_from_this(), out);
    });
  });
  impl.release(out);
  return true;
}

/// Feeds what was read to the reply's decoder and reads on, or tells how the call ends. A failure or
/// a stop in the middle of the exchange leaves the stream between messages no more: the connection
/// goes.
std::optional<Operation::Outcome> Operation::read_step() {
  AsyncConnection& conn = *impl.connection;
  for (bool done = false; !done;) {
    conn.buffer.feed(*decoder);
    switch (decoder->progress()) {
      case framing::Progress::NeedMore: {
        if (stopped()) return Outcome{stop_result(), true};
        if (!conn.ssl) {
          conn.socket.async_read_some(conn.buffer.space(), [self = shared_from_this()](std::error_code ec, size_t n) {
            under_lock(*self, [ec, n](Operation& op, After& out) { op.on_read(ec, n, out); });
          });
          return std::nullopt;
        }
        // The session may hold bytes already decrypted: read first, wait only when it says so.
        TlsStep step = conn.tls_read(conn.buffer.space());
        if (step.error) return Outcome{failed(std::move(*step.error)), true};
        if (step.wait) {
          conn.socket.async_wait(step.want_write ? Socket::wait_write : Socket::wait_read,
                                 [self = shared_from_this()](std::error_code ec) {
                                   under_lock(*self, [ec](Operation& op, After& out) { op.on_read_ready(ec, out); });
                                 });
          return std::nullopt;
        }
        if (step.n == 0) decoder->end_of_input();
        else conn.buffer.filled(step.n);
        break;
      }
      case framing::Progress::Failed:
        return Outcome{stopped() ? stop_result() : failed(decoder->error()), true};
      case framing::Progress::Done:
        done = true;
        break;
    }
  }
  const bool keeps_alive = decoder->keep_alive();
  Outcome outcome{Completion{Completion::Kind::Done, decoder->take_payload(), {}}, false};
  if (outcome.result.reply.empty() && !(http_oneway && keeps_alive)) {  // the peer ended the connection
    outcome.drop = true;
    if (stopped()) outcome.result = stop_result();  // the end of input the stop itself caused
  }
  if (!keeps_alive) outcome.drop = true;  // an HTTP server that closes after this response
  return outcome;
}

/// Ends the call and passes the lock on, unless its request is still going out: the sender uses the
/// connection without the mutex, so the end waits for it.
void Operation::conclude(Outcome outcome, After& out) {
  if (sending) {
    early = std::move(outcome);
    return;
  }
  if (repeats(outcome.result, outcome.drop, out)) return;
  if (outcome.drop) impl.set_connection(nullptr);  // a read still waiting on it ends with it
  outcome.result.in_line = impl.waiters.size();
  finish(std::move(outcome.result), out);
  impl.release(out);
}

// The request went out, wholly or in part, from the thread that took the lock.
void Operation::on_sent_now(Result<size_t> now, After& out) {
  if (stage == Stage::Finished) return;
  if (now) sent += now.value();
  if (!now || stopped()) {
    sending = false;
    return conclude(Outcome{stopped() ? stop_result() : failed(now.take_error()), true}, out);
  }
  if (sent < wire.size()) {
    AsyncConnection& conn = *impl.connection;
    if (conn.ssl) {  // the rest goes once the socket takes more
      conn.socket.async_wait(Socket::wait_write, [self = shared_from_this()](std::error_code ec) {
        under_lock(*self, [ec](Operation& op, After& out) { op.on_write_ready(ec, out); });
      });
      return;
    }
    asio::async_write(conn.socket, asio::buffer(wire.data() + sent, wire.size() - sent),
                      [self = shared_from_this()](std::error_code ec, size_t n) {
                        under_lock(*self, [ec, n](Operation& op, After& out) {
                          if (op.stage != Operation::Stage::Finished) op.sent += n;  // written, even if it failed later
                          op.on_written(ec, out);
                        });
                      });
    return;
  }
  sending = false;
  if (early) return conclude(*std::exchange(early, std::nullopt), out);
  if (oneway) return conclude(Outcome{}, out);
}

void Operation::on_write_ready(std::error_code ec, After& out) {
  if (stage == Stage::Finished) return;
  if (ec || stopped()) return on_written(ec ? ec : std::error_code(asio::error::operation_aborted), out);
  on_sent_now(impl.connection->send_now(std::string_view(wire).substr(sent)), out);
}

void Operation::on_read_ready(std::error_code ec, After& out) {
  if (stage == Stage::Finished) return;  // the connection it read from is gone
  if (ec) return conclude(Outcome{stopped() ? stop_result() : failed(os_error(ec)), true}, out);
  if (std::optional<Outcome> outcome = read_step()) conclude(std::move(*outcome), out);
}

void Operation::on_written(std::error_code ec, After& out) {
  if (stage == Stage::Finished) return;
  sending = false;
  if (ec || stopped()) return conclude(Outcome{stopped() ? stop_result() : failed(os_error(ec)), true}, out);
  if (early) return conclude(*std::exchange(early, std::nullopt), out);
  if (oneway) return conclude(Outcome{}, out);
}

void Operation::on_read(std::error_code ec, size_t n, After& out) {
  if (stage == Stage::Finished) return;  // the connection it read from is gone
  std::optional<Outcome> outcome;
  if (ec == asio::error::eof || (!ec && n == 0)) {
    decoder->end_of_input();
    outcome = read_step();
  } else if (ec) {
    outcome = Outcome{stopped() ? stop_result() : failed(os_error(ec)), true};
  } else {
    impl.connection->buffer.filled(n);
    outcome = read_step();
  }
  if (outcome) conclude(std::move(*outcome), out);
}

void Operation::on_resolved(std::error_code ec, tcp::resolver::results_type results, After& out) {
  if (stopped()) return connect_failed(stop_result(), out);
  if (ec) return endpoint_failed(os_error(ec), out);
  addresses = std::move(results);
  next_endpoint = addresses.begin();
  connect_next(out);
}

void Operation::connect_next(After& out) {
  if (next_endpoint == addresses.end()) return endpoint_failed(last_error, out);
  made = std::make_unique<AsyncConnection>(Socket(impl.context));
  made->socket.async_connect(Socket::endpoint_type(next_endpoint->endpoint()), [self = shared_from_this()](std::error_code ec) {
    under_lock(*self, [ec](Operation& op, After& out) { op.on_connected(ec, out); });
  });
  ++next_endpoint;
}

namespace {

/// Connecting waited for the socket to become writable, and the runtime keeps watching for that
/// once asked, which would wake it at every acknowledgement the peer sends. The socket is handed
/// over afresh, watched for reads only; if that fails it stays as it is.
void watch_reads_only(Socket& socket) {
  std::error_code ec;
  const auto protocol = socket.local_endpoint(ec).protocol();
  if (ec) return;
  Socket fresh(socket.get_executor());
  const Socket::native_handle_type fd = socket.release(ec);
  if (ec) return;
  fresh.assign(protocol, fd, ec);
  if (ec) {
    ::close(fd);
    return;
  }
  socket = std::move(fresh);
}

}  // namespace

void Operation::on_connected(std::error_code ec, After& out) {
  if (stopped()) {
    made.reset();
    return connect_failed(stop_result(), out);
  }
  if (ec) {
    last_error = os_error(ec);
    made.reset();
    return connect_next(out);
  }
  made->socket.set_option(tcp::no_delay(true), ec);  // a failure here is not worth refusing the connection
  watch_reads_only(made->socket);
  if (!impl.tls) return connection_made(out);
  auto session = impl.tls->client_session((*endpoints)[plan[tried]].host);
  if (!session) {
    made.reset();
    return connect_failed(failed(session.take_error()), out);
  }
  made->ssl = session.value();
  made->socket.non_blocking(true, ec);
  if (ec || SSL_set_fd(made->ssl, made->socket.native_handle()) != 1) {
    made.reset();
    return connect_failed(failed(Error{ErrorKind::Os, ec ? ec.message() : tls_reasons("TLS setup failed")}), out);
  }
  handshake_step(out);
}

/// The TLS handshake, a step each time the socket is ready for what OpenSSL waits for; within the
/// time limit for connecting.
void Operation::handshake_step(After& out) {
  TlsStep step = made->tls_step([&](size_t&) { return SSL_connect(made->ssl); });
  if (step.wait) {
    made->socket.async_wait(step.want_write ? Socket::wait_write : Socket::wait_read,
                            [self = shared_from_this()](std::error_code ec) {
                              under_lock(*self, [ec](Operation& op, After& out) { op.on_handshake_ready(ec, out); });
                            });
    return;
  }
  if (!step.error && step.n == 0 && SSL_is_init_finished(made->ssl)) return connection_made(out);
  std::string why = step.error ? step.error->text : "the server ended the connection during the TLS handshake";
  why = "TLS handshake failed: " + handshake_failure(made->ssl, why);
  made.reset();
  connect_failed(failed(Error{ErrorKind::Os, std::move(why)}), out);
}

void Operation::on_handshake_ready(std::error_code ec, After& out) {
  if (stopped()) {
    made.reset();
    return connect_failed(stop_result(), out);
  }
  if (ec) {
    made.reset();
    return connect_failed(failed(os_error(ec)), out);
  }
  handshake_step(out);
}

void Operation::connection_made(After& out) {
  if (watchdog) watchdog->cancel();  // the time limit is for connecting
  endpoints->succeeded(plan[tried]);
  if (redialing) {
    redialing = false;
    stage = Stage::Working;
    impl.set_connection(std::move(made));
    return begin_exchange(out);
  }
  impl.acquire(shared_from_this(), out);
}

void Operation::stop(bool by_timeout, uint32_t timed_attempt) {
  under_lock(*this, [by_timeout, timed_attempt](Operation& op, After& out) {
    if (op.stage == Stage::Finished || op.stopped()) return;
    if (by_timeout && op.stage == Stage::Waiting) return;  // an open that has connected: its limit is over
    if (by_timeout && (op.stage == Stage::Pausing || timed_attempt != op.attempt)) return;  // an earlier attempt's
    (by_timeout ? op.timed_out : op.cancelled) = true;
    std::error_code ignored;
    switch (op.stage) {
      case Stage::Waiting:
        std::erase(op.impl.waiters, op.shared_from_this());
        op.impl.in_line.store(op.impl.waiters.size(), std::memory_order_relaxed);
        op.made.reset();
        op.finish(op.stop_result(), out);
        break;
      case Stage::Connecting:
        if (op.resolver) op.resolver->cancel();
        if (op.made) op.made->socket.close(ignored);
        break;
      case Stage::Working:
        // Only a call works while holding the lock. Shutting the socket down also fails the reads
        // and writes that start after the stop, not only the one waiting now.
        op.impl.connection->socket.cancel(ignored);
        op.impl.connection->socket.shutdown(Socket::shutdown_both, ignored);
        break;
      case Stage::Pausing:
        op.pause->cancel();
        op.finish(op.stop_result(), out);
        break;
      case Stage::Finished:
        break;
    }
  });
}

void OperationHandle::cancel() const {
  if (std::shared_ptr<Operation> op = op_.lock()) op->stop(/*by_timeout=*/false);
}

struct WakeTimer::Impl : std::enable_shared_from_this<WakeTimer::Impl> {
  Impl(asio::io_context& context, std::function<void()> f) : timer(context), fire(std::move(f)) {}

  std::mutex mutex;  // guards `timer` and `armed`; never held while `fire` runs
  asio::steady_timer timer;
  bool armed = false;
  const std::function<void()> fire;
};

WakeTimer::WakeTimer(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

WakeTimer::~WakeTimer() {
  std::lock_guard lock(impl_->mutex);
  impl_->timer.cancel();
}

Result<std::shared_ptr<WakeTimer>> WakeTimer::create(std::function<void()> fire) {
  auto runtime = ClientRuntime::shared();
  if (!runtime) return runtime.take_error();
  try {
    return std::make_shared<WakeTimer>(std::make_shared<Impl>(runtime.value()->next_context(), std::move(fire)));
  } catch (...) {
    return current_exception_error();
  }
}

void WakeTimer::arm(std::chrono::nanoseconds delay) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->armed) return;
  impl_->armed = true;
  impl_->timer.expires_after(delay);
  impl_->timer.async_wait([self = impl_->shared_from_this()](std::error_code ec) {
    {
      std::lock_guard lock(self->mutex);
      self->armed = false;
    }
    if (!ec) self->fire();
  });
}

ConnectionCell::ConnectionCell(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ConnectionCell::~ConnectionCell() = default;

Result<std::shared_ptr<ConnectionCell>> ConnectionCell::create() {
  auto runtime = ClientRuntime::shared();
  if (!runtime) return runtime.take_error();
  try {
    return std::make_shared<ConnectionCell>(std::make_unique<Impl>(runtime.value()->next_context()));
  } catch (...) {
    return current_exception_error();
  }
}

size_t ConnectionCell::load() const {
  return impl_->in_line.load(std::memory_order_relaxed) + (impl_->lock_held.load(std::memory_order_relaxed) ? 1 : 0);
}

void ConnectionCell::set_tls(std::shared_ptr<const TlsContext> tls) {
  std::lock_guard lock(impl_->mutex);
  impl_->tls = std::move(tls);
}

void ConnectionCell::connect_on_demand() {
  std::lock_guard lock(impl_->mutex);
  impl_->opened = true;
}

bool ConnectionCell::is_open() const {
  return impl_->lock_held.load(std::memory_order_acquire) || impl_->connected.load(std::memory_order_acquire);
}

/// "host:port" as an HTTP Host header ("localhost" for a unix socket).
std::string host_header(const Endpoint& endpoint) {
  if (endpoint.is_unix()) return "localhost";
  return endpoint.host + ":" + std::to_string(endpoint.port);
}

OperationHandle ConnectionCell::open(std::shared_ptr<EndpointSet> endpoints, Timeout timeout,
                                     CompletionHandler done) {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->http_host = host_header((*endpoints)[0]);
  }
  auto op = std::make_shared<Operation>(shared_from_this(), Operation::Kind::Open, timeout, std::move(done));
  op->endpoints = std::move(endpoints);
  under_lock(*op, [](Operation& op, After&) {
    op.stage = Operation::Stage::Connecting;
    op.start_connect();
  });
  return OperationHandle(op);
}

OperationHandle ConnectionCell::close(CompletionHandler done) {
  auto op = std::make_shared<Operation>(shared_from_this(), Operation::Kind::Close, std::nullopt, std::move(done));
  under_lock(*op, [](Operation& op, After& out) { op.impl.acquire(op.shared_from_this(), out); });
  return OperationHandle(op);
}

// A call that finds the lock free writes its request from the calling thread, which saves the
// hand-over to a runtime thread before the request leaves.
OperationHandle ConnectionCell::call(std::string request, framing::Transport transport, Protocol protocol,
                                     bool oneway, Timeout timeout, CompletionHandler done, size_t max_size,
                                     std::optional<Redial> redial, RetryPolicy retry, std::string_view http_path) {
  auto op = std::make_shared<Operation>(shared_from_this(), Operation::Kind::Call, timeout, std::move(done));
  if (redial) {
    op->endpoints = std::move(redial->endpoints);
    op->redial = redial->reconnect;
  }
  op->retry = retry;
  if (transport == framing::Transport::Http) {
    std::string host;
    {
      std::lock_guard lock(impl_->mutex);
      host = redial ? host_header((*op->endpoints)[0]) : impl_->http_host;
    }
    framing::append_http_request(op->wire, host, http_path, request);
    op->http_oneway = oneway;
    oneway = false;  // every HTTP request has its response
  } else {
    framing::append_frame(op->wire, transport, request);
  }
  op->transport = transport;
  op->protocol = protocol;
  op->oneway = oneway;
  op->max_size = max_size;
  under_lock(*op, [](Operation& op, After& out) { op.impl.acquire(op.shared_from_this(), out); });
  return OperationHandle(op);
}

}  // namespace velvane::net
