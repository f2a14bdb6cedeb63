// src/net/server.h: a TCP server that moves whole Thrift messages, on a multi-threaded Asio runtime.
//
// The server reads request messages on each accepted connection (one after another, with the
// decoders of src/framing/), hands each to a Dispatcher and writes the reply it gets back. What a
// request means is the dispatcher's business; this layer knows sockets, threads and framing only,
// so it runs with a C++ dispatcher as well as with the Python one.
//
// Threads: the thread that calls Server::run (the server thread) binds and accepts; `workers`
// runtime threads run the connection tasks; a blocking pool (net/blocking_pool.h) of at most 512
// threads, started as they are needed, runs the jobs a dispatcher hands it. Runtime threads run the
// start and stop hooks. The threads themselves, Ctrl+C and console lines have files of their own
// (threads.h, interrupts.h, console.h), shared with the clients.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framing/framing.h"
#include "model/error.h"
#include "net/blocking_pool.h"
#include "net/connection.h"  // kUnixHostPrefix: a host "unix:/path" serves a unix domain socket
#include "net/console.h"
#include "net/server_stats.h"
#include "net/threads.h"  // effective_workers, for ServeOptions::workers

namespace velvane::net {

class TlsContext;

// --- What a dispatcher answers -------------------------------------------------------------------

struct Outcome {
  enum class Kind : uint8_t {
    Reply,    // write `bytes` as the reply message
    NoReply,  // a oneway request: nothing is sent
    Fail,     // end the connection with `error`
    Close,    // end the connection without a word (the work was dropped)
    Idle,     // (between the server's own threads) the connection went quiet
  };
  Kind kind = Kind::NoReply;
  std::string bytes;
  Error error;
  bool framed = false;  // `bytes` are already as the transport puts them on the wire

  static Outcome reply(std::string bytes) { return Outcome{Kind::Reply, std::move(bytes), {}}; }
  static Outcome fail(Error error) { return Outcome{Kind::Fail, {}, std::move(error)}; }
};

struct ReplySlot;

/// Delivers one request's outcome to its connection, from any thread, at most once. One that is
/// dropped without answering closes the connection. After the runtime has shut down it does nothing.
class Responder {
 public:
  explicit Responder(std::shared_ptr<ReplySlot> slot) : slot_(std::move(slot)) {}
  Responder(Responder&&) noexcept = default;
  Responder& operator=(Responder&&) noexcept;
  Responder(const Responder&) = delete;
  Responder& operator=(const Responder&) = delete;
  ~Responder();
  void operator()(Outcome outcome);

 private:
  std::shared_ptr<ReplySlot> slot_;
};

/// What handing a connection to the program left to do.
struct HttpTaken {
  std::optional<Error> error;  // ends the connection with this error
  /// Work to finish on the connection's worker thread; it answers through the responder (NoReply
  /// when done, Fail with the error that ends the connection).
  std::function<void(Responder)> then;
};

/// Takes connections that begin like an HTTP request away from the Thrift request loop.
class HttpTaker {
 public:
  virtual ~HttpTaker() = default;
  /// Whether the socket is handed over in blocking mode.
  virtual bool wants_blocking() const = 0;
  /// On a blocking-pool thread: the socket `fd` belongs to the callee from this call on, whatever
  /// happens; the server never reads, writes or closes it again.
  virtual HttpTaken take(int fd) = 0;
};

/// Who is at the other end of a connection; shared by all its requests.
struct Peer {
  std::string address;                     // "127.0.0.1:53412", "[::1]:53412", or the unix socket path
  std::optional<std::string> tls_subject;  // the client certificate's subject, under TLS with one
};

/// What came with a request besides its message.
struct RequestMeta {
  std::shared_ptr<const Peer> peer;                               // never null
  std::vector<std::pair<std::string, std::string>> headers;       // the header transport's string headers
  std::optional<std::chrono::steady_clock::time_point> deadline;  // when the caller gives up, if it said
};

/// A connection lent to a dispatcher that serves it on a thread of its own (Dispatcher::host). Its
/// reads and writes never wait; one thread at a time uses it. Once the server has shut down, every
/// call reports the connection's end and touches nothing of the server's.
class LentConnection {
 public:
  virtual ~LentConnection() = default;
  /// The socket (a descriptor of the connection's own, closed with it): to watch for bytes only.
  virtual int fd() const = 0;
  struct Next {
    std::optional<std::string> payload;  // a whole request
    RequestMeta meta;                    // what came with it
    std::optional<Outcome> end;          // how the connection ends (Fail, or Close when the peer left)
  };
  /// The next request, from the bytes read so far and (when `read`) what the socket has now; neither
  /// field set when no whole request is there yet. Once the server is shutting down, the end (Close).
  /// A host that polls the socket itself passes read=false where a read would most likely find nothing.
  virtual Next next(bool read) = 0;
  /// The connection waits for its peer from now on: memory it can do without is given back.
  virtual void rest() = 0;
  /// How long the peer may send nothing while the connection waits for it (zero: no limit); past
  /// it the host gives the connection back with Close, which ends it without a report.
  virtual std::chrono::nanoseconds idle_timeout() const { return {}; }
  /// Writes a reply (a Reply outcome); nullopt once it went out whole, otherwise the outcome to give
  /// the connection back with (the rest of the reply to write, or the error that ends it).
  virtual std::optional<Outcome> write(const Outcome& reply) = 0;
  /// Whether the server is shutting down (the connection is then given back and dropped).
  virtual bool stopping() const = 0;
  /// Runs `job` on the server's blocking pool; false when the server is shutting down.
  virtual bool submit(std::function<void()> job) = 0;
  /// Ends the loan, last: the connection's task takes the socket back and goes on with `outcome`
  /// (Reply: writes the rest and lends it again; Fail or Close: ends the connection; Idle: serves
  /// it through dispatch() from now on).
  virtual void give_back(Outcome outcome) = 0;
};

/// Turns request messages into outcomes. Called on a runtime worker thread; it may answer at once or
/// later from any thread (a blocking-pool job, another thread of its own).
class Dispatcher {
 public:
  virtual ~Dispatcher() = default;
  virtual void dispatch(std::string payload, RequestMeta meta, Responder respond, BlockingPool& pool) = 0;

  /// True when every request can be answered on a blocking-pool thread by answer_here. A connection
  /// is then served by a pool thread for as long as requests keep coming (reading, answering and
  /// writing there), and handed back to the runtime when it goes quiet: a request then costs no
  /// hand-off between threads.
  virtual bool answers_on_pool() const { return false; }
  /// Answers one request on the calling blocking-pool thread (Reply, NoReply, Fail or Close).
  virtual Outcome answer_here(std::string /*payload*/, RequestMeta /*meta*/) {
    return Outcome::fail(Error{ErrorKind::Internal, "unsupported"});
  }
  /// True when connections are lent to host(): the dispatcher then reads, answers and writes their
  /// requests on threads of its own until it gives them back.
  virtual bool hosts_connections() const { return false; }
  /// Called on a runtime thread; the connection is the callee's, whatever happens.
  virtual void host(std::unique_ptr<LentConnection> connection) { connection->give_back(Outcome{Outcome::Kind::Close, {}, {}}); }
  /// Where connections that begin like an HTTP request go; nullptr when none should (connections
  /// are then never probed).
  virtual HttpTaker* http_taker() { return nullptr; }
};

// --- Starting and stopping -----------------------------------------------------------------------

/// Shared by a server's owner and its server thread: the running flag and stop requests.
/// A stop request is counted, so one that arrives before the accept loop waits is not lost.
class ServerControl {
 public:
  bool running() const { return listening_.load(std::memory_order_acquire) != 0; }
  /// A server of this control marks itself listening under its own number, and clears the mark
  /// only while it is still its own: a server that ends late cannot clear a newer one's.
  uint64_t new_server_id() { return ++last_id_; }
  uint64_t latest_server_id() const { return last_id_.load(std::memory_order_acquire); }
  void set_listening(uint64_t id) { listening_.store(id, std::memory_order_release); }
  void clear_listening(uint64_t id) { listening_.compare_exchange_strong(id, 0, std::memory_order_acq_rel); }
  uint64_t stop_requests() const { return stops_.load(std::memory_order_acquire); }
  /// Clears `running` and wakes every accept loop started before this call.
  void request_stop();
  /// The port the last server bound (useful when it was asked for port 0).
  uint16_t bound_port() const { return port_.load(std::memory_order_acquire); }
  void set_bound_port(uint16_t port) { port_.store(port, std::memory_order_release); }

  /// What became of the latest server's bind.
  struct BindReport {
    enum class State : uint8_t { None, Pending, Listening, Failed, Ended };
    State state = State::None;
    std::string host;  // the bound address and port while Listening
    uint16_t port = 0;
    std::string error;  // the bind error's text when Failed
  };
  /// Records `report` for server `id`; a report of an older server is ignored.
  void report_bind(uint64_t id, BindReport report);
  /// Waits at most `limit` while the latest server's bind is pending; the report as it then stands.
  BindReport wait_bind(std::chrono::milliseconds limit);

  /// A function that wakes one accept loop; remove it before what it touches goes away.
  size_t add_waker(std::function<void()> wake);
  void remove_waker(size_t id);

 private:
  std::atomic<uint64_t> listening_{0};  // the listening server's id, 0 for none
  std::atomic<uint64_t> last_id_{0};
  std::atomic<uint64_t> stops_{0};
  std::atomic<uint16_t> port_{0};
  std::mutex mutex_;  // guards wakers_ and next_id_; held while a waker runs
  std::vector<std::pair<size_t, std::function<void()>>> wakers_;
  size_t next_id_ = 0;
  std::mutex bind_mutex_;  // guards bind_; never held while a waker runs
  std::condition_variable bind_changed_;
  BindReport bind_;
};

struct ThreadHooks {
  std::function<void()> on_start;  // on each runtime worker thread before it takes work
  std::function<void()> on_stop;   // on each runtime worker thread as it ends
};

struct ServeOptions {
  std::string host;
  uint16_t port = 0;
  framing::Transport transport = framing::Transport::Framed;
  Protocol protocol = Protocol::Binary;
  size_t workers = 1;  // at least 1
  /// Operator limits, 0 for none. A request larger than max_message_size bytes ends its connection
  /// with a connection-error line before its body is kept; with max_connections connections open,
  /// the server accepts no more (newcomers wait in the listen backlog) until one of them ends.
  size_t max_message_size = 0;
  size_t max_connections = 0;
  /// A connection that sends nothing for this long is closed without a report; 0: never.
  std::chrono::nanoseconds idle_timeout{0};
  /// SO_REUSEPORT on the listening socket: several servers, in one process or several, listen on
  /// one port and the kernel spreads the connections over them.
  bool reuse_port = false;
  ThreadHooks hooks;
  /// Where the server counts connections and bytes (the dispatcher counts calls); one of its own
  /// when none is given.
  std::shared_ptr<ServerStats> stats;
  /// When not empty, an HTTP GET of this path on the server's port is answered with the counters
  /// in the Prometheus text exposition format.
  std::string metrics_path;
  /// ServerControl::stop_requests() when serving was asked for: any later stop ends this server.
  uint64_t stops_seen = 0;
  /// With a context, every connection begins with a TLS handshake (bounded by the idle timeout when
  /// one is set, else by 10 s) and its requests travel inside the session. A TLS port is not probed
  /// for HTTP: its connections speak Thrift only.
  std::shared_ptr<const TlsContext> tls;
  /// Where the server's status and error lines go; nullptr: the process's stdout and stderr.
  std::shared_ptr<LineSink> log;
  /// Whether Ctrl+C (SIGINT) stops the server. The interrupt is passed on to the handler that was
  /// installed before, so the program sees it too.
  bool stop_on_interrupt = true;
};

class Server {
 public:
  /// Builds the runtime; no thread starts and nothing is bound yet.
  static Result<std::unique_ptr<Server>> create(ServeOptions options, std::shared_ptr<ServerControl> control,
                                                std::shared_ptr<Dispatcher> dispatcher);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  /// Runs on the calling thread until the server has stopped: starts the runtime's threads, binds,
  /// accepts until a stop request or Ctrl+C, then shuts the runtime down. Status and error lines go
  /// to the process's stdout and stderr.
  void run();

  struct Impl;

 private:
  explicit Server(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace velvane::net
