// src/python/async_client.cpp: AsyncThriftClient, the Thrift client for asyncio.
//
// open, close, __aenter__, __aexit__ and call return a future of the calling thread's running loop
// and start their network work at once on the shared client runtime (net/async_client.h).
//
// Outcomes reach the loop through its delivery channel: a runtime thread queues the outcome and
// wakes the loop through an eventfd the loop watches with add_reader, without ever waiting for the
// interpreter; the loop turns queued outcomes into values or exceptions and resolves the futures.
// A loop that cannot carry the channel (no attribute dict, or no add_reader) gets the plain route
// instead: the runtime thread attaches, decodes and hands the value over with call_soon_threadsafe,
// and drops the work, Python references and all, once the interpreter is going away.
//
// The futures are a subclass of asyncio.Future whose cancel() also stops the operation, so
// cancellation costs nothing per call until it happens.
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/call.h"
#include "net/async_client.h"
#include "python/call_engine.h"
#include "python/server.h"
#include "python/tls_settings.h"

namespace velvane::py {

namespace {

using framing::Transport;

// --- asyncio, looked up once -------------------------------------------------------------------

PyObject* settle(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* drain_channel(PyObject* capsule, PyObject*);
PyObject* future_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
void future_dealloc(PyObject* self);

PyMethodDef settle_def = method_entry<settle>("_velvane_settle", METH_FASTCALL, nullptr);
PyMethodDef drain_def = method_entry<drain_channel>("_velvane_deliver", METH_NOARGS, nullptr);

PyMethodDef future_methods[] = {
    method_entry<future_cancel>(
        "cancel", METH_FASTCALL | METH_KEYWORDS,
        "cancel($self, /, msg=None)\n--\n\nCancels the future and stops the network work behind it."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot future_slots[] = {
    slot_entry<future_dealloc>(Py_tp_dealloc),
    {Py_tp_methods, future_methods},
    {0, nullptr},
};

/// What the client's futures carry beyond an asyncio future: the operation a cancel stops.
struct FutureExtra {
  alignas(net::OperationHandle) unsigned char storage[sizeof(net::OperationHandle)];
  bool live;  // storage holds a handle (the memory starts zeroed)

  net::OperationHandle& handle() { return *std::launder(reinterpret_cast<net::OperationHandle*>(storage)); }
};

/// Process-wide, created by the first client and kept for the process (like the classes).
struct Asyncio {
  PyObject* get_running_loop;
  PyObject* settle;  // settle(future, failed, value) on the loop
  PyTypeObject* future_type;  // asyncio.Future whose cancel also stops the operation
  PyObject* base_cancel;      // asyncio.Future.cancel
  destructor base_dealloc;
  PyObject* loop_keyword;  // ("loop",)
  PyObject* call_soon_threadsafe;
  PyObject* set_result;
  PyObject* set_exception;
  PyObject* add_reader;
  PyObject* channel_attribute;  // where a loop keeps its delivery channel
};

PyMutex g_asyncio_mutex;
std::atomic<const Asyncio*> g_asyncio{nullptr};

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }

/// The subclass of asyncio.Future the client's awaitables are; nullptr with an exception set.
PyTypeObject* make_future_type(PyObject* base) {
  PyType_Spec spec = {"velvane.Future", -static_cast<int>(sizeof(FutureExtra)), 0, Py_TPFLAGS_DEFAULT,
                      future_slots};
  return reinterpret_cast<PyTypeObject*>(PyType_FromMetaclass(nullptr, nullptr, &spec, base));
}

/// The lookups, or nullptr with an exception set.
const Asyncio* asyncio() {
  if (const Asyncio* ready = g_asyncio.load(std::memory_order_acquire)) return ready;
  MutexLock lock(g_asyncio_mutex);
  if (const Asyncio* ready = g_asyncio.load(std::memory_order_acquire)) return ready;
  Ref module = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!module) return nullptr;
  Ref get_running_loop = Ref::steal(PyObject_GetAttrString(module.get(), "get_running_loop"));
  Ref settle = Ref::steal(PyCFunction_New(&settle_def, nullptr));
  Ref base = Ref::steal(PyObject_GetAttrString(module.get(), "Future"));
  if (!get_running_loop || !settle || !base) return nullptr;
  if (!PyType_Check(base.get())) {
    PyErr_SetString(PyExc_TypeError, "asyncio.Future is not a class");
    return nullptr;
  }
  Ref base_cancel = Ref::steal(PyObject_GetAttrString(base.get(), "cancel"));
  Ref future_type = Ref::steal(reinterpret_cast<PyObject*>(make_future_type(base.get())));
  Ref loop_keyword = Ref::steal(Py_BuildValue("(s)", "loop"));
  if (!base_cancel || !future_type || !loop_keyword) return nullptr;
  Ref names[] = {Ref::steal(interned("call_soon_threadsafe")), Ref::steal(interned("set_result")),
                 Ref::steal(interned("set_exception")), Ref::steal(interned("add_reader")),
                 Ref::steal(interned("_velvane_delivery"))};
  for (const Ref& n : names)
    if (!n) return nullptr;
  auto* base_dealloc = reinterpret_cast<destructor>(PyType_GetSlot(reinterpret_cast<PyTypeObject*>(base.get()),
                                                                   Py_tp_dealloc));
  auto made = std::make_unique<Asyncio>(Asyncio{
      get_running_loop.release(), settle.release(), reinterpret_cast<PyTypeObject*>(future_type.release()),
      base_cancel.release(), base_dealloc, loop_keyword.release(), names[0].release(), names[1].release(),
      names[2].release(), names[3].release(), names[4].release()});
  g_asyncio.store(made.release(), std::memory_order_release);
  return g_asyncio.load(std::memory_order_relaxed);
}

const Asyncio& asyncio_ready() { return *g_asyncio.load(std::memory_order_acquire); }

PyObject* call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {}) {
  PyObject* stack[4] = {self};
  size_t n = 1;
  for (PyObject* a : args) stack[n++] = a;
  return PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

/// On the loop: resolves the future; fails (InvalidStateError) when it was cancelled meanwhile.
PyObject* resolve(PyObject* future, bool failed, PyObject* value) {
  const Asyncio& a = asyncio_ready();
  return call_method(future, failed ? a.set_exception : a.set_result, {value});
}

PyObject* settle(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_velvane_settle takes 3 arguments");
    return nullptr;
  }
  if (Ref done = Ref::steal(resolve(args[0], args[1] == Py_True, args[2])); !done) PyErr_Clear();
  Py_RETURN_NONE;
}

// --- The futures ---------------------------------------------------------------------------------

FutureExtra& extra_of(PyObject* future) {
  return *static_cast<FutureExtra*>(PyObject_GetTypeData(future, asyncio_ready().future_type));
}

/// A new future of `loop`; nullptr with an exception set.
PyObject* new_future_of(PyObject* loop) {
  const Asyncio& a = asyncio_ready();
  PyObject* args[] = {loop};
  return PyObject_Vectorcall(reinterpret_cast<PyObject*>(a.future_type), args, 0, a.loop_keyword);
}

void remember_operation(PyObject* future, net::OperationHandle handle) {
  FutureExtra& extra = extra_of(future);
  if (extra.live) std::destroy_at(&extra.handle());
  std::construct_at(&extra.handle(), std::move(handle));
  extra.live = true;
}

/// asyncio.Future.cancel, then the operation stops too. Every way of cancelling an awaited future
/// (Task.cancel, wait_for, timeout, gather) goes through this method.
PyObject* future_cancel(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const Py_ssize_t given = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  std::vector<PyObject*> stack(static_cast<size_t>(given) + 1);
  stack[0] = self;
  std::copy(args, args + given, stack.begin() + 1);
  Ref cancelled = Ref::steal(PyObject_Vectorcall(asyncio_ready().base_cancel, stack.data(), nargs + 1, kwnames));
  if (cancelled.get() == Py_True) {
    FutureExtra& extra = extra_of(self);
    if (extra.live) {
      ReleaseGil nogil;  // the operation may report from here
      extra.handle().cancel();
    }
  }
  return cancelled.release();
}

void future_dealloc(PyObject* self) {
  FutureExtra& extra = extra_of(self);
  if (extra.live) {
    extra.live = false;
    std::destroy_at(&extra.handle());
  }
  asyncio_ready().base_dealloc(self);
}

// --- Pending work ------------------------------------------------------------------------------

/// Keeps a reference (or a schema holding references) for the rest of the process: what a runtime
/// thread holds once the interpreter is going away can no longer be released.
template <class T>
void leak(T&& value) {
  [[maybe_unused]] auto* kept = std::make_unique<std::decay_t<T>>(std::forward<T>(value)).release();
}

struct LoopChannel;

/// One attempt of a call whose repeats run above the network layer, around its interceptors' hooks:
/// how the attempt ended, noted on the thread that finished it before its outcome is delivered, and
/// the retry policy of the call, on the loop.
struct AttemptReport {
  std::atomic<bool> repeatable{false};  // it failed as a policy may repeat (not a reply, not cancelled)
  std::atomic<bool> written{false};     // some of its request went out
  // On the loop:
  net::RetryPolicy policy;  // the call's, taken at its first attempt
  std::chrono::steady_clock::time_point started{};
  uint32_t attempt = 1;

  void note(const net::Completion& done, bool oneway) {
    using Kind = net::Completion::Kind;
    written.store(done.written, std::memory_order_relaxed);
    repeatable.store(done.kind == Kind::Failed || (!oneway && done.kind == Kind::Done && done.reply.empty()),
                     std::memory_order_release);
  }
};

/// What a started operation's report needs. Its Python references are dropped with the interpreter
/// attached, or leaked by a thread that cannot attach any more.
struct Pending {
  std::shared_ptr<LoopChannel> channel;  // none: the plain route
  Ref loop;
  Ref future;
  Ref success;  // what open and close resolve to (None, or the client for __aenter__)
  // A call:
  std::shared_ptr<const CallSchema> schema;
  std::shared_ptr<const std::vector<MethodDef>> methods;
  size_t method = 0;
  Protocol protocol = Protocol::Binary;
  ReplyForm reply;
  bool oneway = false;
  // A call whose interceptors' hooks are all plain functions: the `after` hooks run as its outcome
  // is taken.
  InterceptorList hooks;
  Ref ctx;
  std::chrono::steady_clock::time_point started{};
  std::shared_ptr<AttemptReport> attempt;  // an attempt of a call repeated around its hooks

  Pending() = default;
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;
  ~Pending() {
    if (PyThreadState_GetUnchecked()) {
      release_attached();
    } else {
      abandon();
    }
  }

  void abandon() {
    loop.release();
    future.release();
    success.release();
    ctx.release();
    if (schema) leak(std::move(schema));
    if (hooks) new InterceptorList(std::move(hooks));  // too late to drop their references
  }

  void release_attached() {
    loop.reset();
    future.reset();
    success.reset();
    schema.reset();
    ctx.reset();
    hooks.reset();
  }
};

/// The outcome as (failed, value), or nullptr for an operation that was cancelled.
Ref outcome_value(Pending& p, net::Completion& done, bool& failed) {
  using Kind = net::Completion::Kind;
  failed = false;
  switch (done.kind) {
    case Kind::Cancelled: return Ref();
    case Kind::NotOpen:
      PyErr_SetString(PyExc_OSError, "AsyncThriftClient is not open; await client.open() first");
      break;
    case Kind::Failed:
      raise_error(done.error, done.connecting ? Operation::Connect : Operation::Exchange);
      break;
    case Kind::Done:
      if (!p.methods) return Ref::borrow(p.success ? p.success.get() : Py_None);
      if (p.oneway) return Ref::borrow(Py_None);
      if (Ref value = Ref::steal(decode_call_reply(done.reply, p.reply, (*p.methods)[p.method], p.schema->schema)))
        return value;
      break;
  }
  failed = true;
  return Ref::steal(PyErr_GetRaisedException());
}

/// The outcome once the call's `after` hooks have seen it: a hook that raises fails the call.
Ref outcome_after_hooks(Pending& p, net::Completion& done, bool& failed) {
  Ref value = outcome_value(p, done, failed);
  if (!p.hooks || !value) return value;
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - p.started).count();
  if (run_after(*p.hooks, p.ctx.get(), failed ? nullptr : value.get(), failed ? value.get() : nullptr, seconds))
    return value;
  failed = true;
  return Ref::steal(PyErr_GetRaisedException());
}

/// On a runtime thread: hands the outcome to the future's loop.
void deliver(Pending& p, net::Completion done) {
  Attach attach;
  if (!attach.ok()) return p.abandon();
  call_guarded([&] {
    bool failed;
    Ref value = outcome_after_hooks(p, done, failed);
    if (value) {
      const Asyncio& a = asyncio_ready();
      PyObject* stack[] = {p.loop.get(), a.settle, p.future.get(), failed ? Py_True : Py_False, value.get()};
      Ref scheduled = Ref::steal(PyObject_VectorcallMethod(a.call_soon_threadsafe, stack,
                                                           5 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
      if (!scheduled) PyErr_Clear();  // the loop is closed: nobody waits for the outcome
    }
    PyErr_Clear();
    return 0;
  }, 0);
  PyErr_Clear();
  p.release_attached();
}

// --- Delivery channels -------------------------------------------------------------------------

/// One loop's queue of finished operations. Shared by the loop (through the capsule behind its reader
/// callback) and by the operations started on it; holds no Python references itself.
///
/// Every wake costs the loop a turn (a pass through its selector and the handles it runs), which is
/// most of what a call costs it when many coroutines share a few connections. A report only the loop
/// can act on wakes it at once. A call that finished with plenty of others in line behind it does
/// not need the loop soon, since its connection stays busy meanwhile; such reports wait for company:
/// the loop is woken by the next report it is needed for, once enough have gathered, or after a short
/// delay, whichever comes first. The delay bounds the wait when the calls in line stall.
struct LoopChannel {
  static constexpr size_t kBusyLine = 8;   // calls in line that keep a connection busy for a while
  static constexpr size_t kBatch = 32;     // reports worth a wake on their own
  static constexpr auto kMaxDelay = std::chrono::milliseconds(1);

  std::mutex mutex;  // guards queue, signalled and closed
  std::vector<std::pair<std::shared_ptr<Pending>, net::Completion>> queue;
  bool signalled = false;  // the loop was woken and has not taken the queue yet
  bool closed = false;     // the loop let go of its reader callback
  int event_fd = -1;       // owned
  std::shared_ptr<net::WakeTimer> timer;  // runs flush(); set once, before the channel is shared

  ~LoopChannel() {
    if (event_fd >= 0) ::close(event_fd);
  }

  /// From any thread; false when the loop is gone (the caller then drops the work).
  bool push(std::shared_ptr<Pending>& pending, net::Completion& done) {
    const bool can_wait = done.in_line >= kBusyLine;
    bool wake = false;
    bool arm = false;
    {
      std::lock_guard lock(mutex);
      if (closed) return false;
      queue.emplace_back(std::move(pending), std::move(done));
      if (!signalled) {
        wake = !can_wait || queue.size() >= kBatch;
        arm = !wake;
        signalled = wake;
      }
    }
    if (wake) signal();
    if (arm) timer->arm(kMaxDelay);
    return true;
  }

  /// Wakes the loop for reports that waited, if it was not woken since.
  void flush() {
    {
      std::lock_guard lock(mutex);
      if (signalled || closed || queue.empty()) return;
      signalled = true;
    }
    signal();
  }

  void signal() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t ignored = ::write(event_fd, &one, sizeof one);
  }
};

constexpr const char* kChannelCapsule = "velvane.loop_channel";

/// Frees the loop's share of the channel, and what was queued for it, with the interpreter attached.
void free_channel(PyObject* capsule) {
  auto* owned = static_cast<std::shared_ptr<LoopChannel>*>(PyCapsule_GetPointer(capsule, kChannelCapsule));
  if (!owned) return PyErr_Clear();
  decltype(LoopChannel::queue) left;
  {
    std::lock_guard lock((*owned)->mutex);
    (*owned)->closed = true;
    left.swap((*owned)->queue);
  }
  delete owned;
}

/// The loop's reader callback: resolves the futures of every queued outcome.
PyObject* drain_channel(PyObject* capsule, PyObject*) {
  auto* owned = static_cast<std::shared_ptr<LoopChannel>*>(PyCapsule_GetPointer(capsule, kChannelCapsule));
  if (!owned) return nullptr;
  LoopChannel& channel = **owned;
  uint64_t count;
  [[maybe_unused]] ssize_t ignored = ::read(channel.event_fd, &count, sizeof count);  // before taking the queue
  decltype(LoopChannel::queue) ready;
  {
    std::lock_guard lock(channel.mutex);
    ready.swap(channel.queue);
    channel.signalled = false;
  }
  for (auto& [pending, done] : ready) {
    bool failed;
    Ref value = outcome_after_hooks(*pending, done, failed);
    Ref resolved = value ? Ref::steal(resolve(pending->future.get(), failed, value.get())) : Ref();
    if (!resolved) PyErr_Clear();  // cancelled meanwhile, or an operation that was itself cancelled
    pending.reset();
  }
  Py_RETURN_NONE;
}

/// The running loop's delivery channel, made and registered on first use. nullptr without an
/// exception when the loop cannot carry one; nullptr with an exception on failure.
std::shared_ptr<LoopChannel> channel_of(PyObject* loop, bool& failed) {
  const Asyncio& a = asyncio_ready();
  failed = false;
  PyObject* found = nullptr;
  if (PyObject_GetOptionalAttr(loop, a.channel_attribute, &found) < 0) return failed = true, nullptr;
  Ref existing = Ref::steal(found);
  if (existing) {
    auto* owned = static_cast<std::shared_ptr<LoopChannel>*>(PyCapsule_GetPointer(existing.get(), kChannelCapsule));
    if (!owned) return failed = true, nullptr;
    return *owned;
  }
  auto channel = std::make_shared<LoopChannel>();
  channel->event_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (channel->event_fd < 0) {
    PyErr_SetFromErrno(PyExc_OSError);
    return failed = true, nullptr;
  }
  auto timer = net::WakeTimer::create([weak = std::weak_ptr<LoopChannel>(channel)] {
    if (auto alive = weak.lock()) alive->flush();
  });
  if (!timer) {
    raise_error(timer.error(), Operation::Connect);
    return failed = true, nullptr;
  }
  channel->timer = std::move(timer).value();
  auto owned = std::make_unique<std::shared_ptr<LoopChannel>>(channel);
  Ref capsule = Ref::steal(PyCapsule_New(owned.get(), kChannelCapsule, free_channel));
  if (!capsule) return failed = true, nullptr;
  owned.release();
  if (PyObject_SetAttr(loop, a.channel_attribute, capsule.get()) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return failed = true, nullptr;
    PyErr_Clear();
    return nullptr;
  }
  Ref callback = Ref::steal(PyCFunction_New(&drain_def, capsule.get()));
  Ref fd = Ref::steal(PyLong_FromLong(channel->event_fd));
  Ref added = callback && fd ? Ref::steal(call_method(loop, a.add_reader, {fd.get(), callback.get()})) : Ref();
  if (!added) {
    PyErr_Clear();  // a loop that cannot watch descriptors gets the plain route
    if (PyObject_DelAttr(loop, a.channel_attribute) < 0) PyErr_Clear();
    return nullptr;
  }
  return channel;
}

/// On a runtime thread: the finished operation's outcome goes to its loop.
void report(std::shared_ptr<Pending>& pending, net::Completion done) {
  if (pending->attempt) pending->attempt->note(done, pending->oneway);
  if (!pending->channel) return deliver(*pending, std::move(done));
  std::shared_ptr<LoopChannel> channel = pending->channel;
  if (!channel->push(pending, done)) pending.reset();  // the loop is gone; its references are leaked
}

// --- State -------------------------------------------------------------------------------------

struct AsyncState : ClientCalls {
  uint32_t connections = 1;  // fixed at construction
  PyMutex cell_mutex;  // guards making `cells` and `tls`
  std::vector<std::shared_ptr<net::ConnectionCell>> cells;  // `connections` of them, made by the first operation
  std::shared_ptr<const net::TlsContext> tls;  // given to every cell; none: plaintext
};

struct AsyncClientObject {
  PyObject_HEAD
  AsyncState* state;  // owned; created in tp_new, destroyed in tp_dealloc
};

AsyncState& state_of(PyObject* self) { return *reinterpret_cast<AsyncClientObject*>(self)->state; }
ClientSettings& settings_of(PyObject* self) { return state_of(self); }

/// The connection cells, made (with the shared runtime) on first use; nullptr with OSError set.
std::vector<std::shared_ptr<net::ConnectionCell>>* cells_of(AsyncState& st) {
  MutexLock lock(st.cell_mutex);
  while (st.cells.size() < st.connections) {
    auto made = net::ConnectionCell::create();
    if (!made) {
      raise_error(made.error(), Operation::Connect);
      return nullptr;
    }
    made.value()->set_tls(st.tls);
    st.cells.push_back(std::move(made).value());
  }
  return &st.cells;
}

/// The first cell: open and close report through it.
net::ConnectionCell* cell_of(AsyncState& st) {
  auto* cells = cells_of(st);
  return cells ? cells->front().get() : nullptr;
}

/// The cell for the next call: the first with nothing to do, else the one with the shortest line.
net::ConnectionCell* cell_for_call(AsyncState& st) {
  auto* cells = cells_of(st);
  if (!cells) return nullptr;
  net::ConnectionCell* best = nullptr;
  size_t least = SIZE_MAX;
  for (const auto& cell : *cells) {
    const size_t load = cell->load();
    if (load < least) {
      best = cell.get();
      least = load;
      if (load == 0) break;
    }
  }
  return best;
}

/// A future of the running loop, with `pending` pointing at it; nullptr with the error asyncio raises
/// without a running loop.
PyObject* new_future(Pending& pending) {
  const Asyncio* a = asyncio();
  if (!a) return nullptr;
  pending.loop = Ref::steal(PyObject_CallNoArgs(a->get_running_loop));
  if (!pending.loop) return nullptr;
  bool failed;
  pending.channel = channel_of(pending.loop.get(), failed);
  if (failed) return nullptr;
  pending.future = Ref::steal(new_future_of(pending.loop.get()));
  return pending.future ? Py_NewRef(pending.future.get()) : nullptr;
}

/// Starts `begin(cell, handler)` on the client's connection cell and lets the future's cancel stop
/// it; the future, or nullptr with an exception set.
template <class Begin>
PyObject* start(AsyncState& st, std::shared_ptr<Pending> pending, Begin begin, bool for_call = false) {
  Ref future = Ref::steal(new_future(*pending));
  if (!future) return nullptr;
  net::ConnectionCell* cell = for_call ? cell_for_call(st) : cell_of(st);
  if (!cell) return nullptr;
  net::OperationHandle handle;
  {
    // A call may write its request at once, and the operation may report before begin returns (the
    // plain route then attaches): the interpreter is released for both.
    ReleaseGil nogil;
    handle = begin(*cell, [pending = std::move(pending)](net::Completion done) mutable {
      report(pending, std::move(done));
    });
  }
  remember_operation(future.get(), std::move(handle));
  return future.release();
}

// --- Methods -----------------------------------------------------------------------------------

PyObject* begin_open(PyObject* self, bool returns_self) {
  AsyncState& st = state_of(self);
  auto pending = std::make_shared<Pending>();
  if (returns_self) pending->success = Ref::borrow(self);
  return start(st, std::move(pending), [&](net::ConnectionCell& cell, net::CompletionHandler done) {
    for (size_t i = 1; i < st.cells.size(); ++i) st.cells[i]->connect_on_demand();
    return cell.open(st.endpoints, st.timeout(), std::move(done));
  });
}

PyObject* begin_close(PyObject* self) {
  AsyncState& st = state_of(self);
  return start(st, std::make_shared<Pending>(), [&](net::ConnectionCell& cell, net::CompletionHandler done) {
    for (size_t i = 1; i < st.cells.size(); ++i) st.cells[i]->close([](net::Completion) {});
    return cell.close(std::move(done));
  });
}

PyObject* async_open(PyObject* self, PyObject*) { return begin_open(self, false); }
PyObject* async_aenter(PyObject* self, PyObject*) { return begin_open(self, true); }
PyObject* async_close(PyObject* self, PyObject*) { return begin_close(self); }

PyObject* async_aexit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* ignored[3];
  if (!parse_args("__aexit__", args, nargs, kwnames, {"_exc_type", "_exc_value", "_traceback"}, 3, ignored))
    return nullptr;
  return begin_close(self);
}

/// Starts `call`; its future, or nullptr with an exception set. With `hooks`, their `after` hooks
/// see its outcome (plain hooks only) with `ctx`. With `attempt`, this is one attempt of a call
/// whose repeats run above (under the policy the first attempt took), and it notes how it ended.
PyObject* begin_call(PyObject* self, const CallRequest& call, const InterceptorList& hooks = nullptr,
                     PyObject* ctx = nullptr, std::shared_ptr<AttemptReport> attempt = nullptr) {
  AsyncState& st = state_of(self);
  auto pending = std::make_shared<Pending>();
  if (hooks) {
    pending->hooks = hooks;
    pending->ctx = Ref::borrow(ctx);
    pending->started = std::chrono::steady_clock::now();
  }
  PreparedCall prepared;
  {
    Borrow borrow(st.borrow, Borrow::Shared);
    if (!borrow.ok() || !prepare_call(st, call, prepared)) return nullptr;
    pending->schema = std::move(prepared.schema);
    pending->methods = st.methods;
    pending->method = prepared.method_index;
    pending->oneway = prepared.method->oneway;
    pending->protocol = prepared.protocol;
    pending->reply = prepared.reply;
  }
  const Protocol protocol = pending->protocol;
  const bool oneway = pending->oneway;
  net::RetryPolicy retry = st.retry_policy(prepared.idempotent);
  if (attempt && attempt->attempt == 1) attempt->policy = retry;
  if (attempt) retry = attempt->policy;
  // A call that may be repeated connects again as well: a dropped connection never saw its request.
  const bool reconnect = st.reconnect.load(std::memory_order_relaxed) || retry.retries > 0;
  std::optional<net::Redial> redial;
  // The connections beyond the first are made when a call needs them, and any that breaks is made anew.
  // Over HTTP a server may close the connection after any response: the next call connects again.
  const bool http = prepared.transport == framing::Transport::Http;
  if (reconnect || retry.retries > 0 || st.connections > 1 || http)
    redial = net::Redial{st.endpoints, reconnect || http};
  std::string http_path;
  if (http) {
    Borrow borrow(st.borrow, Borrow::Shared);
    if (!borrow.ok()) return nullptr;
    http_path = st.http_path;
  }
  if (attempt) retry.retries = 0;  // the repeats are the caller's
  pending->attempt = std::move(attempt);
  return start(st, std::move(pending), [&](net::ConnectionCell& cell, net::CompletionHandler done) {
    if (redial && st.connections > 1) redial->reconnect = true;  // a broken connection of several is replaced
    return cell.call(std::move(prepared.request), prepared.transport, protocol, oneway, st.timeout(), std::move(done),
                     st.max_message_size.load(std::memory_order_relaxed), std::move(redial), retry, http_path);
  }, /*for_call=*/true);
}

/// What the `send` of an intercepted call needs: the client, the method and the arguments dict the
/// `before` hooks saw. Owned by the capsule behind `send`.
struct InterceptedSend {
  Ref client;
  Ref method_name;
  Ref args;
  int32_t seqid = 0;
  Ref ctx;
  std::shared_ptr<AttemptReport> attempt;  // a call with retries: each send is one attempt
};

constexpr const char* kSendCapsule = "velvane.intercepted_send";

void free_intercepted_send(PyObject* capsule) {
  delete static_cast<InterceptedSend*>(PyCapsule_GetPointer(capsule, kSendCapsule));
}

PyObject* intercepted_send_now(PyObject* capsule, PyObject*) {
  auto* send = static_cast<InterceptedSend*>(PyCapsule_GetPointer(capsule, kSendCapsule));
  if (!send) return nullptr;
  CallRequest call;
  call.method_name = send->method_name.get();
  Py_ssize_t size;
  const char* name = str_arg(call.method_name, "method_name", &size);
  if (!name) return nullptr;
  call.name = std::string_view(name, static_cast<size_t>(size));
  call.seqid = send->seqid;
  call.headers = call_context_headers(send->ctx.get());
  std::vector<PyObject*> values;
  Ref names;
  if (send->attempt) {
    send->attempt->repeatable.store(false, std::memory_order_relaxed);  // until this attempt says otherwise
    send->attempt->written.store(false, std::memory_order_relaxed);
  }
  if (!call_from_dict(send->args.get(), call, values, names)) return nullptr;
  return begin_call(send->client.get(), call, nullptr, nullptr, send->attempt);
}

/// After an attempt that raised: the seconds to wait before the next one (the context then counts
/// it), or None when the policy does not repeat it. The same rules as repeats below the hooks.
PyObject* intercepted_repeat(PyObject* capsule, PyObject*) {
  auto* send = static_cast<InterceptedSend*>(PyCapsule_GetPointer(capsule, kSendCapsule));
  if (!send) return nullptr;
  AttemptReport& a = *send->attempt;
  if (!a.repeatable.load(std::memory_order_acquire) ||
      !a.policy.allows(a.attempt, a.written.load(std::memory_order_relaxed)))
    Py_RETURN_NONE;
  const auto wait = a.policy.delay(a.attempt);
  if (a.policy.deadline && std::chrono::steady_clock::now() + wait > a.started + *a.policy.deadline) Py_RETURN_NONE;
  set_call_attempt(send->ctx.get(), ++a.attempt);
  return PyFloat_FromDouble(std::chrono::duration<double>(wait).count());
}

PyMethodDef send_def = method_entry<intercepted_send_now>("_velvane_send", METH_NOARGS, nullptr);
PyMethodDef repeat_def = method_entry<intercepted_repeat>("_velvane_repeat", METH_NOARGS, nullptr);

/// A call with interceptors. Plain hooks run here (`before`) and as the outcome is taken (`after`);
/// otherwise, or when the client repeats failed calls, a coroutine runs them (awaiting async ones)
/// around the call, or around each attempt, waiting out the pause between attempts on the loop.
PyObject* intercepted_call(PyObject* self, const CallRequest& call, const InterceptorList& list) {
  const Interceptors& hooks = *list;
  AsyncState& st = state_of(self);
  const int32_t seqid = engine::seqid_of(st.next_seqid.fetch_add(1, std::memory_order_relaxed));
  Ref ctx = Ref::steal(new_call_context(call.name, seqid));
  Ref args = ctx ? Ref::steal(keyword_dict(call.given.kwvalues, call.given.kwnames, call.given.skip)) : Ref();
  if (!args) return nullptr;
  std::shared_ptr<AttemptReport> attempt;
  if (st.retries.load(std::memory_order_relaxed) > 0) {
    attempt = std::make_shared<AttemptReport>();
    attempt->started = std::chrono::steady_clock::now();
  }
  if (!hooks.any_async && !attempt) {
    if (!run_before(hooks, ctx.get(), args.get())) return nullptr;
    CallRequest request = call;
    request.seqid = seqid;
    request.headers = call_context_headers(ctx.get());
    std::vector<PyObject*> values;
    Ref names;
    if (!call_from_dict(args.get(), request, values, names)) return nullptr;
    return begin_call(self, request, list, ctx.get());
  }
  auto owned = std::make_unique<InterceptedSend>(
      InterceptedSend{Ref::borrow(self), Ref::borrow(call.method_name), Ref::borrow(args.get()), seqid,
                      Ref::borrow(ctx.get()), attempt});
  Ref capsule = Ref::steal(PyCapsule_New(owned.get(), kSendCapsule, free_intercepted_send));
  if (!capsule) return nullptr;
  owned.release();
  Ref send = Ref::steal(PyCFunction_New(&send_def, capsule.get()));
  if (!send) return nullptr;
  Ref repeat = attempt ? Ref::steal(PyCFunction_New(&repeat_def, capsule.get())) : Ref();
  if (attempt && !repeat) return nullptr;
  Ref coroutine = attempt ? intercepted_attempts(hooks, ctx.get(), args.get(), send.get(), repeat.get())
                          : intercepted_send(hooks, ctx.get(), args.get(), send.get());
  if (!coroutine) return nullptr;
  // A task, so that call() returns a future with or without interceptors.
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  return asyncio ? PyObject_CallMethod(asyncio.get(), "ensure_future", "O", coroutine.get()) : nullptr;
}

PyObject* async_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  CallRequest call;
  if (!read_call(args, nargs, kwnames, call)) return nullptr;
  InterceptorList hooks;
  {
    AsyncState& st = state_of(self);
    Borrow borrow(st.borrow, Borrow::Shared);
    if (!borrow.ok()) return nullptr;
    hooks = st.interceptors;
  }
  if (hooks) return intercepted_call(self, call, hooks);
  return begin_call(self, call);
}

PyObject* async_add_interceptor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_call_interceptor(state_of(self), args, nargs, kwnames);
}

PyObject* async_is_open(PyObject* self, PyObject*) {
  AsyncState& st = state_of(self);
  std::vector<std::shared_ptr<net::ConnectionCell>> cells;
  {
    MutexLock lock(st.cell_mutex);
    cells = st.cells;
  }
  return PyBool_FromLong(std::ranges::any_of(cells, [](const auto& cell) { return cell->is_open(); }));
}

PyObject* async_set_tls(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::shared_ptr<const net::TlsContext> tls;
  if (!client_tls_arg(args, nargs, kwnames, tls)) return nullptr;
  AsyncState& st = state_of(self);
  MutexLock lock(st.cell_mutex);
  st.tls = tls;
  for (const auto& cell : st.cells) cell->set_tls(tls);
  Py_RETURN_NONE;
}

PyObject* async_set_parser(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return set_call_parser(state_of(self), args, nargs, kwnames);
}

// --- The class ---------------------------------------------------------------------------------

PyObject* async_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ClientArgs given;
  if (!parse_client_args("AsyncThriftClient", args, kwargs, given)) return nullptr;
  if (!watch_interpreter_exit()) return nullptr;

  auto st = std::make_unique<AsyncState>();
  st->connections = given.connections;
  if (!init_calls(*st, std::move(given))) return nullptr;

  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<AsyncClientObject*>(self)->state = st.release();
  return self;
}

void async_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::unique_ptr<AsyncState> owned(reinterpret_cast<AsyncClientObject*>(self)->state);
  owned.reset();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef async_methods[] = {
    method_entry<static_new<async_new>>(
        "__new__", METH_VARARGS | METH_KEYWORDS | METH_STATIC | METH_COEXIST,
        "__new__($cls, service, host, port=None, transport=..., protocol=..., *, reconnect=False, connections=1)\n--\n\n"
        "Creates an AsyncThriftClient of `host` and `port`, or of a list of endpoints given as `host`\n"
        "((host, port) tuples or \"unix:/path\" strs); `reconnect` sets the property of that name, and up to\n"
        "`connections` connections carry concurrent calls."),
    method_entry<async_set_tls>("set_tls", METH_FASTCALL | METH_KEYWORDS, kClientSetTlsDoc),
    method_entry<async_set_parser>("set_parser", METH_FASTCALL | METH_KEYWORDS,
                                   "set_parser($self, parser)\n--\n\n"
                                   "Takes the schema of `parser`'s current document to convert struct values with; "
                                   "without it the\nschema is the document the service came from."),
    method_entry<async_is_open>(
        "is_open", METH_NOARGS,
        "is_open($self)\n--\n\nReturns `True` if the client currently holds an open TCP connection.\n"
        "A concurrent in-flight call is also reported as open."),
    method_entry<async_open>(
        "open", METH_NOARGS,
        "open($self)\n--\n\n"
        "Coroutine: connects to the host and port given at construction (a no-op when already open)."),
    method_entry<async_close>("close", METH_NOARGS,
                              "close($self)\n--\n\n"
                              "Coroutine: closes the connection, if any."),
    method_entry<async_aenter>("__aenter__", METH_NOARGS,
                               "__aenter__($self)\n--\n\n"
                               "Coroutine: opens the client and returns it."),
    method_entry<async_aexit>("__aexit__", METH_FASTCALL | METH_KEYWORDS,
                              "__aexit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"
                              "Coroutine: closes the client."),
    method_entry<async_add_interceptor>("add_interceptor", METH_FASTCALL | METH_KEYWORDS, kAddInterceptorDoc),
    method_entry<async_call>(
        "call", METH_FASTCALL | METH_KEYWORDS,
        "call($self, method_name, **kwargs)\n--\n\n"
        "Coroutine: calls `method_name` with the keyword arguments and returns its result; a declared\nexception is "
        "raised as RuntimeError with the attributes name, field, type and value."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot async_slots[] = {
    {Py_tp_doc, const_cast<char*>("AsyncThriftClient(service, host, port, transport=..., protocol=...)\n--\n\n"
                                  "A Thrift client for asyncio: open, call and close are coroutines whose network "
                                  "work runs on a shared background runtime.")},
    slot_entry<async_new>(Py_tp_new),
    slot_entry<async_dealloc>(Py_tp_dealloc),
    {Py_tp_methods, async_methods},
    {Py_tp_getset, ClientProperties<settings_of>::getset},
    {0, nullptr},
};

}  // namespace

PyObject* create_async_thrift_client() {
  PyType_Spec spec = {"velvane.AsyncThriftClient", sizeof(AsyncClientObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, async_slots};
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type || !add_nested_class(type.get(), "CallContext", call_context_type())) return nullptr;
  return type.release();
}

}  // namespace velvane::py
