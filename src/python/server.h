// src/python/server.h: what the ThriftServer's translation units share: the snapshot a running
// server dispatches with, the asyncio loop threads, and attaching threads of ours to the interpreter.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <unordered_set>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <variant>
#include <vector>

#include <unistd.h>

#include "net/server.h"
#include "python/interceptors.h"
#include "python/internal.h"

namespace velvane::py {

// --- Threads of ours and the interpreter --------------------------------------------------------

/// True once the interpreter has begun to finalize (or is about to): threads of ours then drop
/// their Python work instead of attaching, which could hang or crash them.
bool interpreter_going_away();
/// Registers the exit callback that tells interpreter_going_away the interpreter is exiting. Call
/// with a thread state attached.
bool watch_interpreter_exit();
/// Drops a reference from any thread of ours: attached for the decrement, or left to the process's
/// end once the interpreter is going away (running Python code then could hang or crash).
void drop_reference(Ref& object);

/// A strong reference that may be dropped on any thread of ours (through drop_reference).
struct SharedRef {
  Ref object;
  explicit SharedRef(PyObject* o) : object(Ref::borrow(o)) {}
  ~SharedRef() { drop_reference(object); }
  SharedRef(const SharedRef&) = delete;
  SharedRef& operator=(const SharedRef&) = delete;
};

/// Attaches the calling thread of ours for the guard's lifetime; each thread keeps one thread
/// state for its whole life, so attaching again is cheap. Check ok(): false means the interpreter
/// is going away and nothing Python may be touched.
class Attach {
 public:
  Attach();
  ~Attach();
  Attach(const Attach&) = delete;
  Attach& operator=(const Attach&) = delete;
  bool ok() const { return ok_; }

 private:
  bool ok_;
};

/// "{qualified class name}: {str(e)}" of the raised exception `exc`.
std::string exception_text(PyObject* exc);
/// The same for the pending exception, which is cleared.
std::string take_exception_text();

// --- Logging ----------------------------------------------------------------------------------

/// Lines handed to `logger` (a logging.Logger) at INFO, WARNING or ERROR, with the extra fields
/// peer, method and error_kind. Needs an attached thread state.
std::shared_ptr<net::LineSink> logger_sink(PyObject* logger);
/// `exc` held for a line's record (its traceback); dropped attached, from any thread of ours.
std::shared_ptr<void> exception_attachment(PyObject* exc);

// --- The snapshot a running server dispatches with ----------------------------------------------

struct LoopQueue;

struct HandlerEntry {
  Ref object;
  bool coroutine = false;
  Ref straight;  // the code of an `async def` handler that cannot suspend (straight_code()), or empty

  /// Whether the handler cannot suspend: its function still has that code (`__code__` can be replaced).
  bool runs_straight() const;
};

/// The code object of `handler` when it is an `async def` function, or a method bound to one, whose
/// body has no point where it could suspend (no await, async for or async with); empty otherwise,
/// also when looking fails (the handler then runs as a task, as any other).
Ref straight_code(PyObject* handler);

/// Hands connections that begin like HTTP to the program's callback as Python sockets.
class HttpHandOff : public net::HttpTaker {
 public:
  /// Needs an attached thread state.
  explicit HttpHandOff(const HandlerEntry& handler);
  ~HttpHandOff() override;  // attaches to drop the handler
  bool wants_blocking() const override { return !coroutine_; }
  net::HttpTaken take(int fd) override;

 private:
  Ref handler_;
  bool coroutine_ = false;
};

/// Taken by serve(): methods, handlers, schema, transport and protocol, read without locks by every
/// connection. Holds Python references; its destructor attaches to drop them.
class PyDispatcher : public net::Dispatcher, public std::enable_shared_from_this<PyDispatcher> {
 public:
  struct Method {
    const MethodDef* def = nullptr;
    StructDef arguments;            // the argument list as a struct, for reading requests
    Ref keyword_names;              // tuple of the interned argument names, for vectorcall
    TypePlan result;
    std::vector<TypePlan> exceptions;  // by declared exception field
    const HandlerEntry* handler = nullptr;
  };

  /// Needs an attached thread state; nullptr with an exception set.
  static std::shared_ptr<PyDispatcher> create(std::vector<MethodDef> methods,
                                              const std::unordered_map<std::string, HandlerEntry>& handlers,
                                              std::shared_ptr<const PySchema> schema, Protocol protocol,
                                              std::string service_name);
  ~PyDispatcher() override;

  void dispatch(std::string payload, net::RequestMeta meta, net::Responder respond, net::BlockingPool& pool) override;
  /// Without coroutine handlers every request is answered on the pool thread that reads it.
  bool answers_on_pool() const override { return !any_coroutine_; }
  net::Outcome answer_here(std::string payload, net::RequestMeta meta) override;
  /// Connections that begin like HTTP go to `handler` (set before serving; needs an attached thread state).
  void set_http_handler(const HandlerEntry& handler) { http_ = std::make_unique<HttpHandOff>(handler); }
  net::HttpTaker* http_taker() override { return http_.get(); }
  /// Where calls are counted (set before serving).
  void set_stats(std::shared_ptr<net::ServerStats> stats) { stats_ = std::move(stats); }
  /// Set before serving: handler failures answer "Internal error" and go to standard error.
  void set_hide_error_details(bool hide) { hide_error_details_ = hide; }
  /// Set before serving: where handler failures are recorded (nullptr: standard error when hidden).
  void set_log(std::shared_ptr<net::LineSink> log) { log_ = std::move(log); }
  /// Set before serving: the transport requests come over (for the request context).
  void set_transport(uint8_t transport) { transport_ = transport; }
  /// Set before serving: the interceptors run around each handler call (none: nullptr).
  void set_interceptors(InterceptorList list) { interceptors_ = std::move(list); }

  /// A decoded request on its way to a handler.
  struct Call {
    size_t method = 0;
    MessageHeader header;
    StructValue arguments;
    bool oneway = false;
    std::chrono::steady_clock::time_point started{};  // set once the call has a handler: it is counted
    net::RequestMeta meta;  // the peer, headers and deadline that came with the request
  };

  /// The `ThriftServer.RequestContext` of `call` (new reference; nullptr with an exception set).
  PyObject* request_context(const Call& call) const;

  /// Calls a plain handler, with its interceptors around it, and encodes the reply (interpreter
  /// attached; server_context.cpp).
  net::Outcome call_plain(const Call& call) const;
  /// A coroutine handler's awaitable, wrapped in its interceptors, for a task made while `scope`
  /// (server_context.cpp) is open; nullptr with an exception set. `called` as for call_handler.
  Ref call_awaitable(const Call& call, bool& called, PyObject* ctx) const;
  /// Takes an outcome that comes later, on the loop's thread (attached). Dropping it unused closes
  /// the connection when it holds a Responder.
  using Deliver = std::function<void(net::Outcome)>;
  /// Makes the Deliver of a call that waits (most calls finish at once and need none).
  using MakeDeliver = std::function<Deliver()>;
  /// Calls a coroutine handler and schedules its outcome on the running loop (loop thread).
  void start_coroutine(Call call, net::Responder respond) const;
  /// Calls a coroutine handler as a task of the running loop, started at once: its outcome when it
  /// finished without waiting, otherwise nullopt and the outcome goes to `deliver()` (loop thread).
  std::optional<net::Outcome> run_coroutine(Call call, const MakeDeliver& deliver) const;
  /// Runs a coroutine handler that cannot suspend (HandlerEntry::straight), and its interceptors'
  /// plain hooks, to the end at once without a task: a task would only cost its making. Only a hook
  /// that returns an awaitable leaves the rest of the call to a task (server_context.cpp).
  std::optional<net::Outcome> run_straight(Call& call, const MakeDeliver& deliver) const;
  /// The hooks and the straight handler of run_straight(): the outcome, or nullopt with `rest` set to
  /// the coroutine that goes on with the call from a hook's awaitable.
  std::optional<net::Outcome> straight_intercepted(const Call& call, PyObject* ctx, Ref& rest) const;
  /// The outcome of a coroutine handler's pending exception, whether it ran as a task or not.
  net::Outcome raised(const Call& call) const;
  /// Runs `awaitable` as a task of the running loop, started at once: as run_coroutine().
  std::optional<net::Outcome> await_task(Call call, PyObject* awaitable, const MakeDeliver& deliver) const;
  /// A hosted connection's request (decoded by prepare()), on its loop's thread: the outcome now, or
  /// nullopt when it comes later through `deliver()` (on the loop's thread again; plain handlers run
  /// on the connection's server's blocking pool).
  std::optional<net::Outcome> answer_on_loop(std::variant<Call, net::Outcome> prepared, net::RequestMeta meta,
                                             net::LentConnection& connection,
                                             const std::shared_ptr<LoopQueue>& queue, const MakeDeliver& deliver) const;
  bool hosts_connections() const override { return any_coroutine_; }
  /// serve(): a worker's loop, as the worker starts, so that connections are shared among all loops
  /// from the first one on.
  void register_loop(const std::shared_ptr<LoopQueue>& queue);
  /// Whether one loop hosts every connection (serve_async(), or serve() with one worker): no other
  /// loop's thread then waits for the interpreter while this one has released it.
  bool one_hosting_loop() const { return app_queue_ || !several_loops_.load(std::memory_order_relaxed); }
  void host(std::unique_ptr<net::LentConnection> connection) override;
  /// serve_async(): hosted connections and coroutine handlers run on the program's loop behind
  /// `queue`; the tasks of calls in flight are kept in the set `calls` (set before serving).
  void serve_on(std::shared_ptr<LoopQueue> queue, Ref calls) {
    app_queue_ = std::move(queue);
    calls_ = std::move(calls);
  }
  /// The reply for an awaited coroutine's value or exception (loop thread).
  net::Outcome coroutine_done(const Call& call, PyObject* task) const;
  /// Decodes a request: the call for its handler, or the outcome when no handler is involved. Any
  /// thread, interpreter attached or not.
  std::variant<Call, net::Outcome> prepare(std::string_view payload) const;

 private:
  PyDispatcher() = default;
  net::Outcome application_error(const Call& call, std::string_view message, wire::AppErrorType type) const;
  net::Outcome application_error(const MessageHeader& header, bool oneway, std::string_view message,
                                 wire::AppErrorType type) const;
  /// Application error 6 for a failure of the Python side (the handler raised something undeclared,
  /// its value could not be encoded, ...): `exc`, or the pending exception.
  net::Outcome failure(const Call& call, PyObject* exc) const;
  net::Outcome failure(const Call& call) const;
  /// Application error 6 for a call an interceptor's `before` refused with `exc` (logged at WARNING).
  net::Outcome refusal(const Call& call, PyObject* exc) const;
  void log_exception(const Call& call, PyObject* exc, net::Severity severity, std::string_view what) const;
  /// The handler's outcome: `value` (returned) or the pending exception when it is nullptr.
  net::Outcome outcome_of(const Call& call, PyObject* value) const;
  /// The handler's return value; nullptr with the exception set. `called` tells whether the handler
  /// itself raised (its exceptions may be declared ones) or converting the arguments failed.
  Ref call_handler(const Call& call, bool& called) const;
  /// The call's arguments as a dict for interceptors; nullptr with an exception set.
  PyObject* arguments_dict(const Call& call) const;
  /// Whether `exc` says an interceptor refused the call; it is then replaced by the hook's own.
  bool take_rejection(Ref& exc) const;

  std::vector<MethodDef> defs_;
  std::vector<Method> methods_;
  std::unordered_map<std::string_view, size_t> by_name_;  // first method of each name
  std::unordered_map<std::string, HandlerEntry> handlers_;
  std::shared_ptr<const PySchema> schema_;
  Protocol protocol_ = Protocol::Binary;
  std::string service_name_;  // "service_name:method" names a method of the default service too
  bool any_coroutine_ = false;
  bool hide_error_details_ = false;
  std::unique_ptr<HttpHandOff> http_;
  std::shared_ptr<net::ServerStats> stats_;
  std::shared_ptr<LoopQueue> app_queue_;  // serve_async()'s
  // serve()'s worker loops seen so far: a connection is hosted by the one serving the fewest.
  std::mutex loops_mutex_;
  std::vector<std::weak_ptr<LoopQueue>> loops_;
  std::atomic<bool> several_loops_{false};  // loops_ holds more than one
  std::shared_ptr<LoopQueue> least_busy_loop(std::shared_ptr<LoopQueue> own);
  void add_loop(const std::shared_ptr<LoopQueue>& queue);  // with loops_mutex_ held
  Ref calls_;
  uint8_t transport_ = 0;
  InterceptorList interceptors_;
  std::shared_ptr<net::LineSink> log_;
  /// Counts the call's answer: a reply, or an exception when `error`.
  void count(const Call& call, bool error) const {
    if (stats_ && call.started != std::chrono::steady_clock::time_point{})
      stats_->record_call(call.method, std::chrono::steady_clock::now() - call.started, error);
  }
};

// --- The request a handler answers ------------------------------------------------------------

/// `ThriftServer.current_request()`: the running handler's context (new reference), or None.
PyObject* current_request();

/// Around an `async def` handler's task creation: the task's context carries the request, for
/// current_request() in the coroutine. Check ok() (false with an exception set).
class AsyncRequestScope {
 public:
  AsyncRequestScope(const PyDispatcher& dispatcher, const PyDispatcher::Call& call);
  ~AsyncRequestScope();
  AsyncRequestScope(const AsyncRequestScope&) = delete;
  AsyncRequestScope& operator=(const AsyncRequestScope&) = delete;
  bool ok() const { return static_cast<bool>(token_); }
  PyObject* context() const { return context_.get(); }

 private:
  Ref context_;
  Ref token_;
};

/// The class ThriftServer.RequestContext (borrowed), made on first use; nullptr with an exception.
PyObject* request_context_type();

// --- asyncio loops ------------------------------------------------------------------------------

class HostedSession;

/// Work for one asyncio loop from threads of ours: queued jobs run on the loop's thread, woken through
/// an eventfd the loop watches with add_reader. The loop is a private loop thread's (serve()) or the
/// program's own (serve_async()).
struct LoopQueue {
  std::mutex mutex;  // guards jobs, stopping and woken
  std::deque<std::function<void()>> jobs;
  bool stopping = false;
  bool woken = false;  // the eventfd was written since the loop last took the jobs
  int event_fd = -1;   // owned; closed by the last owner

  // Set and read on the loop's thread only.
  PyObject* loop = nullptr;  // borrowed: valid while jobs run (the reader callback holds it)
  bool private_loop = false;  // ours alone: stopped with the queue
  std::unordered_set<HostedSession*> sessions;  // the hosted connections it serves
  std::atomic<int> hosted{0};  // connections it serves or is about to (any thread)

  LoopQueue() = default;
  LoopQueue(const LoopQueue&) = delete;
  LoopQueue& operator=(const LoopQueue&) = delete;
  ~LoopQueue() {
    if (event_fd >= 0) ::close(event_fd);
  }

  /// False when the loop no longer takes work.
  bool push(std::function<void()> job);
  void stop();
  void wake() const;
};

/// An attribute or method name looked up on every request: interned on first use, then read
/// without a lock. Two threads racing on the first use make the same str (one reference is kept
/// for ever either way).
class InternedName {
 public:
  explicit constexpr InternedName(const char* text) : text_(text) {}
  /// Borrowed; nullptr with an exception.
  PyObject* get() const {
    if (PyObject* made = made_.load(std::memory_order_acquire)) return made;
    PyObject* made = PyUnicode_InternFromString(text_);
    if (made) made_.store(made, std::memory_order_release);
    return made;
  }

 private:
  const char* text_;
  mutable std::atomic<PyObject*> made_{nullptr};
};

/// Has the running `loop` (the program's) run the queue's work from now on, in the current context.
/// False with an exception set.
bool watch_loop_queue(const std::shared_ptr<LoopQueue>& queue, PyObject* loop);

/// Ends every connection hosted by the loop behind `queue` (on the loop's thread, attached).
void end_hosted_sessions(LoopQueue& queue);

/// The loop queue of the calling runtime thread's loop thread, started if needed; nullptr with the
/// error text when there is none.
std::shared_ptr<LoopQueue> current_loop_queue(std::string& error);
/// The calling runtime thread's loop queue if its loop thread runs, else nullptr.
std::shared_ptr<LoopQueue> bound_loop_queue();


/// Work for the loop bound to the calling runtime thread; runs there with the interpreter attached.
/// False, with the error text, when there is no loop to run it.
bool run_on_current_loop(std::function<void()> job, std::string& error);

/// Thread start and stop hooks of a server's runtime: start and stop the thread's loop thread.
void loop_thread_start_hook();
void loop_thread_stop_hook();

}  // namespace velvane::py
