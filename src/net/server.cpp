// src/net/server.cpp: stop requests, the accept loop and the connection tasks' start and end.
#include "net/server_parts.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/context.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <unordered_set>

#include "net/console.h"
#include "net/interrupts.h"
#include "net/threads.h"
#include "net/tls.h"

namespace velvane::net {

using asio::ip::tcp;
using unix_socket = asio::local::stream_protocol;

// --- Stop requests -------------------------------------------------------------------------------

void ServerControl::request_stop() {
  listening_.store(0, std::memory_order_release);
  std::lock_guard lock(mutex_);
  stops_.fetch_add(1, std::memory_order_acq_rel);
  for (auto& [id, wake] : wakers_) wake();
}

void ServerControl::report_bind(uint64_t id, BindReport report) {
  {
    std::lock_guard lock(bind_mutex_);
    if (id != last_id_.load(std::memory_order_acquire)) return;
    bind_ = std::move(report);
  }
  bind_changed_.notify_all();
}

ServerControl::BindReport ServerControl::wait_bind(std::chrono::milliseconds limit) {
  std::unique_lock lock(bind_mutex_);
  bind_changed_.wait_for(lock, limit, [&] { return bind_.state != BindReport::State::Pending; });
  return bind_;
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

// --- The server ----------------------------------------------------------------------------------

struct Server::Impl {
  ServeOptions options;
  std::shared_ptr<ServerControl> control;
  uint64_t id = 0;  // this server's number under `control`
  std::shared_ptr<Dispatcher> dispatcher;
  std::shared_ptr<RuntimeGate> gate = std::make_shared<RuntimeGate>();
  std::unique_ptr<asio::io_context> runtime;  // connection tasks, on the worker threads
  std::optional<asio::ssl::context> tls;      // with ServeOptions::tls
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
  bool bind(unix_socket::acceptor& acceptor);
  void bound(uint16_t port, std::string host);
  void bind_failed(const std::string& why);
  template <class Acceptor>
  asio::awaitable<void> accept_loop(Acceptor& acceptor, bool& interrupted);
  template <class Acceptor>
  void run_with(Acceptor& acceptor);
  std::string unix_path;  // serving a unix socket at this path
  std::optional<ino_t> unix_inode;  // the socket file this server made
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
  options.stats->connection_closed();
  if (accept_waiting.load()) asio::post(accepting, [this] { resume.cancel(); });
}

namespace {

void report(const ConnectionEnd& end, const ConnectionShared& shared, const std::string& peer) {
  if (!end.error || end.quiet) return;
  shared.stats->connection_refused();
  say(shared.log,
      LogLine{Severity::Warning, "connection error: " + end.error->text, peer, {}, std::string(kind_name(end.error->kind)),
              {}},
      true);
}

/// "host:port" of the socket's peer, for a logger's records; empty without a logger.
std::string peer_for_log(const tcp::socket& socket, const ConnectionShared& shared) {
  std::error_code ec;
  if (!shared.log) return {};
  const tcp::endpoint remote = socket.remote_endpoint(ec);
  if (ec) return {};
  const std::string host = remote.address().to_string();
  return (remote.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(remote.port());
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
  const std::string peer = peer_for_log(socket, *shared);
  if (shared->probes_http()) {
    std::error_code ec;
    const framing::OpeningKind opening = co_await probe_opening(socket, ec);
    if (ec) {
      counted.forget_socket();
      socket.close(ignored);
      report(os_end(ec), *shared, peer);
      co_return;
    }
    // A server of Thrift over HTTP keeps the POSTs; other requests go to the HTTP handler.
    bool thrift_post = false;
    if (opening == framing::OpeningKind::Http && shared->transport == framing::Transport::Http)
      thrift_post = (co_await peek_request_line(socket)).starts_with("POST ");
    if (opening == framing::OpeningKind::Http && !thrift_post) {
      counted.forget_socket();  // the program owns the socket from here
      report(co_await serve_http(socket, *shared), *shared, peer);
      co_return;
    }
  }
  socket.set_option(tcp::no_delay(true), ignored);
  ConnectionEnd end = co_await request_loop(socket, *shared);
  counted.forget_socket();
  socket.shutdown(tcp::socket::shutdown_send, ignored);
  socket.close(ignored);
  report(end, *shared, peer);
}

constexpr std::chrono::seconds kHandshakeLimit{10};

/// A unix socket connection: Thrift only (no HTTP probe), served like a TCP one.
asio::awaitable<void> unix_connection_task(unix_socket::socket socket, std::shared_ptr<const ConnectionShared> shared,
                                           OpenConnection counted) {
  std::error_code ignored;
  const std::string peer = shared->log ? socket.local_endpoint(ignored).path() : std::string();
  ConnectionEnd end = co_await request_loop(socket, *shared);
  counted.forget_socket();
  socket.shutdown(unix_socket::socket::shutdown_send, ignored);
  socket.close(ignored);
  report(end, *shared, peer);
}

/// A TLS connection: the handshake runs on the worker thread's reactor like any read (a peer that
/// stalls in it holds no thread) and is cut off after its time limit; the request loop then runs
/// over the session. A peer that leaves during the handshake before saying anything ends quietly.
asio::awaitable<void> tls_connection_task(tcp::socket socket, std::shared_ptr<const ConnectionShared> shared,
                                          OpenConnection counted, asio::ssl::context& context,
                                          std::chrono::nanoseconds limit) {
  std::error_code ignored;
  const std::string peer = peer_for_log(socket, *shared);
  socket.set_option(tcp::no_delay(true), ignored);
  TlsStream stream(std::move(socket), context);
  auto done = std::make_shared<bool>(false);
  bool timed_out = false;
  asio::steady_timer timer(co_await asio::this_coro::executor);
  timer.expires_after(limit);
  // The timer's handler and this task share the strand: it runs before the task resumes, or sees `done`.
  timer.async_wait([done, &timed_out, &stream](const std::error_code& ec) {
    if (ec || *done) return;
    timed_out = true;
    std::error_code e;
    stream.lowest_layer().cancel(e);
  });
  std::error_code ec;
  co_await stream.async_handshake(asio::ssl::stream_base::server, asio::redirect_error(asio::use_awaitable, ec));
  *done = true;
  timer.cancel();
  ConnectionEnd end;
  if (timed_out) {
    end = ConnectionEnd{Error{ErrorKind::TimedOut, "TLS handshake timed out"}};
  } else if (ec) {
    end = ConnectionEnd{Error{ErrorKind::Os, "TLS handshake failed: " + ec.message()}, is_quiet(ec)};
  } else {
    end = co_await request_loop(stream, *shared);
  }
  counted.forget_socket();
  stream.lowest_layer().shutdown(tcp::socket::shutdown_send, ignored);
  stream.lowest_layer().close(ignored);
  report(end, *shared, peer);
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
    if (!impl->options.stats) impl->options.stats = std::make_shared<ServerStats>(std::vector<std::string>{});
    impl->id = impl->control->new_server_id();
    impl->control->report_bind(impl->id, {ServerControl::BindReport::State::Pending, {}, 0, {}});
    impl->dispatcher = std::move(dispatcher);
    impl->runtime = std::make_unique<asio::io_context>(static_cast<int>(impl->options.workers));
    if (impl->options.tls) impl->tls.emplace(impl->options.tls->share());
    impl->pool = std::make_unique<BlockingPool>(kMaxBlockingThreads, nullptr, nullptr);
    impl->address = impl->options.host.starts_with(kUnixHostPrefix)
                        ? impl->options.host
                        : impl->options.host + ":" + std::to_string(impl->options.port);
    return std::unique_ptr<Server>(new Server(std::move(impl)));
  } catch (...) {
    return current_exception_error();
  }
}

/// Returns once every worker that started has run its start hook: the server binds with each
/// worker ready (a worker's hook may start what its connections are served with).
void Server::Impl::start_workers() {
  struct Started {
    std::mutex mutex;
    std::condition_variable done;
    size_t count = 0;
  };
  auto started = std::make_shared<Started>();
  for (size_t i = 0; i < options.workers; ++i) {
    auto t = Thread::spawn("velvane-worker", 0, [this, started] {
      if (options.hooks.on_start) options.hooks.on_start();
      {
        std::lock_guard lock(started->mutex);
        ++started->count;
        started->done.notify_all();
      }
      runtime->run();
      if (options.hooks.on_stop) options.hooks.on_stop();
    });
    if (!t) {
      say(options.log, LogLine{Severity::Error, "failed to spawn thread: " + t.error().text, {}, {}, "Os", {}}, false);
      continue;
    }
    workers.push_back(std::move(t).value());
  }
  if (!options.hooks.on_start) return;
  std::unique_lock lock(started->mutex);
  started->done.wait(lock, [&] { return started->count == workers.size(); });
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
      const tcp::endpoint local = e ? tcp::endpoint{} : acceptor.local_endpoint(e);
      if (!e) {
        bound(local.port(), local.address().to_string());
        return true;
      }
      last = e.message();
      std::error_code ignored;
      acceptor.close(ignored);
    }
  }
  bind_failed(last);
  return false;
}

void Server::Impl::bound(uint16_t port, std::string host) {
  control->set_bound_port(port);
  control->set_listening(id);  // before the report: whoever waited for it sees is_running()
  control->report_bind(id, {ServerControl::BindReport::State::Listening, std::move(host), port, {}});
}

void Server::Impl::bind_failed(const std::string& why) {
  say(options.log, LogLine{Severity::Error, "bind error on " + address + ": " + why, {}, {}, "Os", {}}, false);
  control->report_bind(id, {ServerControl::BindReport::State::Failed, {}, 0, "bind error on " + address + ": " + why});
}

/// A unix socket: a socket file left by a server that is gone is removed first (anything else at the
/// path is left alone, and the bind fails); the file this server makes is removed when it stops.
bool Server::Impl::bind(unix_socket::acceptor& acceptor) {
  struct stat st;
  if (::lstat(unix_path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
    std::error_code refused;
    unix_socket::socket probe(accepting);
    probe.connect(unix_socket::endpoint(unix_path), refused);
    if (refused) ::unlink(unix_path.c_str());  // no one listens there: stale
  }
  std::error_code e;
  acceptor.open(unix_socket(), e);
  if (!e) acceptor.bind(unix_socket::endpoint(unix_path), e);
  if (!e) acceptor.listen(128, e);
  if (e) {
    bind_failed(e.message());
    std::error_code ignored;
    acceptor.close(ignored);
    return false;
  }
  if (::lstat(unix_path.c_str(), &st) == 0) unix_inode = st.st_ino;
  bound(0, "unix:" + unix_path);
  return true;
}

template <class Acceptor>
asio::awaitable<void> Server::Impl::accept_loop(Acceptor& acceptor, bool& interrupted) {
  auto shared = std::make_shared<const ConnectionShared>(
      ConnectionShared{options.transport, options.protocol, options.max_message_size, dispatcher.get(), pool.get(),
                       gate, dispatcher->http_taker(), options.idle_timeout, options.stats.get(), options.metrics_path,
                       options.log});
  for (;;) {
    if (control->stop_requests() != options.stops_seen) {
      say(options.log, LogLine{Severity::Info, "shutdown requested", {}, {}, {}, {}}, false);
      break;
    }
    if (interrupted) {
      say(options.log, LogLine{Severity::Info, "received Ctrl+C, shutting down", {}, {}, {}, {}}, false);
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
    typename Acceptor::protocol_type::socket socket =
        co_await acceptor.async_accept(*runtime, asio::redirect_error(asio::use_awaitable, ec));
    if (ec == asio::error::operation_aborted) continue;  // woken: look at the requests again
    if (ec) {
      say(options.log, LogLine{Severity::Error, "accept error: " + ec.message(), {}, {}, "Os", {}}, true);
      // Errors such as running out of descriptors repeat at once: pause, longer each time they
      // repeat, instead of spinning and filling the log. A connection that ends cuts the pause short.
      accept_waiting.store(true);
      co_await wait_to_accept(asio::steady_timer::clock_type::now() + error_pause);
      accept_waiting.store(false);
      error_pause = std::min<std::chrono::milliseconds>(error_pause * 2, kMaxAcceptPause);
      continue;
    }
    error_pause = kMinAcceptPause;
    options.stats->connection_accepted();
    OpenConnection counted(*this, socket.native_handle());
    auto strand = asio::make_strand(*runtime);
    if constexpr (std::is_same_v<Acceptor, unix_socket::acceptor>) {
      asio::co_spawn(strand, unix_connection_task(std::move(socket), shared, std::move(counted)), asio::detached);
    } else if (tls) {
      auto limit = options.idle_timeout.count() > 0 ? std::min<std::chrono::nanoseconds>(options.idle_timeout, kHandshakeLimit)
                                                     : std::chrono::nanoseconds(kHandshakeLimit);
      asio::co_spawn(strand, tls_connection_task(std::move(socket), shared, std::move(counted), *tls, limit),
                     asio::detached);
    } else {
      asio::co_spawn(strand, connection_task(std::move(socket), shared, std::move(counted)), asio::detached);
    }
  }
  control->clear_listening(id);
  std::error_code ignored;
  acceptor.close(ignored);
}

void Server::run() {
  Impl& s = *impl_;
  if (s.options.host.starts_with(kUnixHostPrefix)) {
    s.unix_path = s.options.host.substr(kUnixHostPrefix.size());
    unix_socket::acceptor acceptor(s.accepting);
    s.run_with(acceptor);
    struct stat st;  // the file goes unless another server has made its own there since
    if (s.unix_inode && ::lstat(s.unix_path.c_str(), &st) == 0 && st.st_ino == *s.unix_inode) ::unlink(s.unix_path.c_str());
  } else {
    tcp::acceptor acceptor(s.accepting);
    s.run_with(acceptor);
  }
}

template <class Acceptor>
void Server::Impl::run_with(Acceptor& acceptor) {
  Impl& s = *this;
  auto work = asio::make_work_guard(*s.runtime);
  s.start_workers();
  // Ctrl+C is caught from before the server counts as running: one pressed as soon as
  // is_running() says so stops it.
  std::optional<asio::posix::stream_descriptor> interrupts;
  InterruptPipe pipe;  // unregistered before the read end closes
  const bool catches_interrupts = s.options.stop_on_interrupt && pipe.open();
  if (s.bind(acceptor)) {
    const size_t waker = s.control->add_waker([&] {
      asio::post(s.accepting, [&] {
        std::error_code ignored;  // the loop may have closed the acceptor already
        acceptor.cancel(ignored);
        s.resume.cancel();
      });
    });

    bool interrupted = false;
    if (catches_interrupts) {
      interrupts.emplace(s.accepting, pipe.take_read_end());
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
    s.control->report_bind(s.id, {ServerControl::BindReport::State::Ended, {}, 0, {}});
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
