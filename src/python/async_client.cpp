// src/python/async_client.cpp: AsyncThriftClient, the Thrift client for asyncio.
//
// open, close, __aenter__, __aexit__ and call return a future of the calling thread's running loop
// and start their network work at once on the shared client runtime (net/async_client.h).
//
// Outcomes reach the loop through its delivery channel: a runtime thread queues the outcome and
// wakes the loop through an eventfd the loop watches with add_reader, without ever waiting for the
// interpreter; the loop turns queued outcomes into values or exceptions and resolves the futures.
// A loop that cannot carry the channel (no attribute dict) gets the plain route instead: the runtime
// thread attaches, decodes and hands the value over with call_soon_threadsafe, and drops the work,
// Python references and all, once the interpreter is going away. Cancelling a future cancels its
// operation.
#include <sys/eventfd.h>
#include <unistd.h>

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

namespace velvane::py {

namespace {

using framing::Transport;

// --- asyncio, looked up once -------------------------------------------------------------------

PyObject* settle(PyObject*, PyObject* const* args, Py_ssize_t nargs);
PyObject* cancel_if_cancelled(PyObject* capsule, PyObject* future);
PyObject* drain_channel(PyObject* capsule, PyObject*);

PyMethodDef settle_def = {"_velvane_settle",
                          reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<settle>)), METH_FASTCALL,
                          nullptr};
PyMethodDef cancel_def = {"_velvane_cancel_operation", guard<cancel_if_cancelled>, METH_O, nullptr};
PyMethodDef drain_def = {"_velvane_deliver", guard<drain_channel>, METH_NOARGS, nullptr};

/// Process-wide, created by the first client and kept for the process (like the classes).
struct Asyncio {
  PyObject* get_running_loop;
  PyObject* settle;  // settle(future, failed, value) on the loop
  PyObject* create_future;
  PyObject* add_done_callback;
  PyObject* call_soon_threadsafe;
  PyObject* cancelled;
  PyObject* done;
  PyObject* set_result;
  PyObject* set_exception;
  PyObject* add_reader;
  PyObject* channel_attribute;  // where a loop keeps its delivery channel
};

PyMutex g_asyncio_mutex;
std::atomic<const Asyncio*> g_asyncio{nullptr};

PyObject* interned(const char* text) { return PyUnicode_InternFromString(text); }

/// The lookups, or nullptr with an exception set.
const Asyncio* asyncio() {
  if (const Asyncio* ready = g_asyncio.load(std::memory_order_acquire)) return ready;
  MutexLock lock(g_asyncio_mutex);
  if (const Asyncio* ready = g_asyncio.load(std::memory_order_acquire)) return ready;
  Ref module = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!module) return nullptr;
  Ref get_running_loop = Ref::steal(PyObject_GetAttrString(module.get(), "get_running_loop"));
  Ref settle = Ref::steal(PyCFunction_New(&settle_def, nullptr));
  if (!get_running_loop || !settle) return nullptr;
  Ref names[] = {Ref::steal(interned("create_future")), Ref::steal(interned("add_done_callback")),
                 Ref::steal(interned("call_soon_threadsafe")), Ref::steal(interned("cancelled")),
                 Ref::steal(interned("done")), Ref::steal(interned("set_result")),
                 Ref::steal(interned("set_exception")), Ref::steal(interned("add_reader")),
                 Ref::steal(interned("_velvane_delivery"))};
  for (const Ref& n : names)
    if (!n) return nullptr;
  auto made = std::make_unique<Asyncio>(Asyncio{get_running_loop.release(), settle.release(), names[0].release(),
                                                names[1].release(), names[2].release(), names[3].release(),
                                                names[4].release(), names[5].release(), names[6].release(),
                                                names[7].release(), names[8].release()});
  g_asyncio.store(made.release(), std::memory_order_release);
  return g_asyncio.load(std::memory_order_relaxed);
}

PyObject* call_method(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {}) {
  PyObject* stack[4] = {self};
  size_t n = 1;
  for (PyObject* a : args) stack[n++] = a;
  return PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

/// On the loop: resolves the future unless it was cancelled meanwhile.
PyObject* resolve(PyObject* future, bool failed, PyObject* value) {
  const Asyncio& a = *g_asyncio.load(std::memory_order_acquire);
  Ref done = Ref::steal(call_method(future, a.done));
  if (!done) return nullptr;
  if (done.get() == Py_True) Py_RETURN_NONE;
  return call_method(future, failed ? a.set_exception : a.set_result, {value});
}

PyObject* settle(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_velvane_settle takes 3 arguments");
    return nullptr;
  }
  return resolve(args[0], args[1] == Py_True, args[2]);
}

// --- Pending work ------------------------------------------------------------------------------

/// Keeps a reference (or a schema holding references) for the rest of the process: what a runtime
/// thread holds once the interpreter is going away can no longer be released.
template <class T>
void leak(T&& value) {
  [[maybe_unused]] auto* kept = std::make_unique<std::decay_t<T>>(std::forward<T>(value)).release();
}

struct LoopChannel;

/// What a started operation's report needs. Its Python references are dropped with the interpreter
/// attached, or leaked by a thread that cannot attach any more.
struct Pending {
  std::shared_ptr<LoopChannel> channel;  // none: the plain route
  Ref loop;
  Ref future;
  Ref success;  // what open and close resolve to (None, or the client for __aenter__)
  std::string address;  // open: "{host}:{port}"
  // A call:
  std::shared_ptr<const CallSchema> schema;
  std::shared_ptr<const std::vector<MethodDef>> methods;
  size_t method = 0;
  Protocol protocol = Protocol::Binary;
  bool oneway = false;

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
    if (schema) leak(std::move(schema));
  }

  void release_attached() {
    loop.reset();
    future.reset();
    success.reset();
    schema.reset();
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
      if (p.address.empty()) {
        raise_error(done.error, Operation::Exchange);
      } else {
        raise_error(Error{done.error.kind, "connect to " + p.address + ": " + done.error.text}, Operation::Connect);
      }
      break;
    case Kind::Done:
      if (!p.methods) return Ref::borrow(p.success ? p.success.get() : Py_None);
      if (p.oneway) return Ref::borrow(Py_None);
      if (Ref value = Ref::steal(decode_reply(done.reply, p.protocol, (*p.methods)[p.method], p.schema->schema)))
        return value;
      break;
  }
  failed = true;
  return Ref::steal(PyErr_GetRaisedException());
}

/// On a runtime thread: hands the outcome to the future's loop.
void deliver(Pending& p, net::Completion done) {
  Attach attach;
  if (!attach.ok()) return p.abandon();
  call_guarded([&] {
    bool failed;
    Ref value = outcome_value(p, done, failed);
    if (value) {
      const Asyncio& a = *g_asyncio.load(std::memory_order_acquire);
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
struct LoopChannel {
  std::mutex mutex;  // guards queue and closed
  std::vector<std::pair<std::shared_ptr<Pending>, net::Completion>> queue;
  bool closed = false;  // the loop let go of its reader callback
  int event_fd = -1;    // owned

  ~LoopChannel() {
    if (event_fd >= 0) ::close(event_fd);
  }

  /// From any thread; false when the loop is gone (the caller then drops the work).
  bool push(std::shared_ptr<Pending>& pending, net::Completion& done) {
    bool was_empty;
    {
      std::lock_guard lock(mutex);
      if (closed) return false;
      was_empty = queue.empty();
      queue.emplace_back(std::move(pending), std::move(done));
    }
    if (was_empty) {
      const uint64_t one = 1;
      [[maybe_unused]] ssize_t ignored = ::write(event_fd, &one, sizeof one);
    }
    return true;
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
  }
  for (auto& [pending, done] : ready) {
    bool failed;
    Ref value = outcome_value(*pending, done, failed);
    Ref resolved = value ? Ref::steal(resolve(pending->future.get(), failed, value.get())) : Ref();
    if (!resolved) PyErr_Clear();
    pending.reset();
  }
  Py_RETURN_NONE;
}

/// The running loop's delivery channel, made and registered on first use. nullptr without an
/// exception when the loop cannot carry one; nullptr with an exception on failure.
std::shared_ptr<LoopChannel> channel_of(PyObject* loop, bool& failed) {
  const Asyncio& a = *g_asyncio.load(std::memory_order_acquire);
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
  if (!pending->channel) return deliver(*pending, std::move(done));
  std::shared_ptr<LoopChannel> channel = pending->channel;
  if (!channel->push(pending, done)) pending.reset();  // the loop is gone; its references are leaked
}

constexpr const char* kHandleCapsule = "velvane.operation_handle";

void free_handle(PyObject* capsule) {
  delete static_cast<net::OperationHandle*>(PyCapsule_GetPointer(capsule, kHandleCapsule));
}

/// The future's done-callback: a cancelled future cancels its operation.
PyObject* cancel_if_cancelled(PyObject* capsule, PyObject* future) {
  auto* handle = static_cast<net::OperationHandle*>(PyCapsule_GetPointer(capsule, kHandleCapsule));
  if (!handle) return nullptr;
  Ref cancelled = Ref::steal(call_method(future, g_asyncio.load(std::memory_order_acquire)->cancelled));
  if (!cancelled) return nullptr;
  if (cancelled.get() == Py_True) handle->cancel();
  Py_RETURN_NONE;
}

// --- State -------------------------------------------------------------------------------------

struct AsyncState : ClientSettings {
  // Fixed at construction.
  std::shared_ptr<const std::vector<MethodDef>> methods;
  std::unordered_map<std::string_view, size_t> method_index;  // views into `methods`
  std::string host;
  uint16_t port = 0;

  std::shared_ptr<const CallSchema> call_schema;  // replaced only under the exclusive borrow
  std::atomic<uint32_t> next_seqid{0};

  PyMutex cell_mutex;  // guards making `cell`
  std::shared_ptr<net::ConnectionCell> cell;  // made by the first operation; set once
};

struct AsyncClientObject {
  PyObject_HEAD
  AsyncState* state;  // owned; created in tp_new, destroyed in tp_dealloc
};

AsyncState& state_of(PyObject* self) { return *reinterpret_cast<AsyncClientObject*>(self)->state; }
ClientSettings& settings_of(PyObject* self) { return state_of(self); }

/// The connection cell, made (with the shared runtime) on first use; nullptr with OSError set.
net::ConnectionCell* cell_of(AsyncState& st) {
  MutexLock lock(st.cell_mutex);
  if (!st.cell) {
    auto made = net::ConnectionCell::create();
    if (!made) {
      raise_error(made.error(), Operation::Connect);
      return nullptr;
    }
    st.cell = std::move(made).value();
  }
  return st.cell.get();
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
  pending.future = Ref::steal(call_method(pending.loop.get(), a->create_future));
  return pending.future ? Py_NewRef(pending.future.get()) : nullptr;
}

/// Starts `begin(handler)` and lets a cancelled future cancel it; the future, or nullptr.
template <class Begin>
PyObject* start(std::shared_ptr<Pending> pending, Ref future, Begin begin) {
  auto owned = std::make_unique<net::OperationHandle>();
  net::OperationHandle* handle = owned.get();
  Ref capsule = Ref::steal(PyCapsule_New(handle, kHandleCapsule, free_handle));
  if (!capsule) return nullptr;
  owned.release();
  Ref callback = Ref::steal(PyCFunction_New(&cancel_def, capsule.get()));
  if (!callback) return nullptr;
  Ref added = Ref::steal(call_method(future.get(), asyncio()->add_done_callback, {callback.get()}));
  if (!added) return nullptr;
  // The done-callback runs later on this loop's thread, so filling the handle now is in time. A call
  // may write its request at once: the interpreter is released for that.
  ReleaseGil nogil;
  *handle = begin([pending = std::move(pending)](net::Completion done) mutable { report(pending, std::move(done)); });
  return future.release();
}

// --- Methods -----------------------------------------------------------------------------------

PyObject* begin_open(PyObject* self, bool returns_self) {
  AsyncState& st = state_of(self);
  auto pending = std::make_shared<Pending>();
  Ref future = Ref::steal(new_future(*pending));
  if (!future) return nullptr;
  net::ConnectionCell* cell = cell_of(st);
  if (!cell) return nullptr;
  if (returns_self) pending->success = Ref::borrow(self);
  pending->address = st.host + ":" + std::to_string(st.port);
  return start(pending, std::move(future), [&](net::CompletionHandler done) {
    return cell->open(st.host, st.port, st.timeout(), std::move(done));
  });
}

PyObject* begin_close(PyObject* self) {
  AsyncState& st = state_of(self);
  auto pending = std::make_shared<Pending>();
  Ref future = Ref::steal(new_future(*pending));
  if (!future) return nullptr;
  net::ConnectionCell* cell = cell_of(st);
  if (!cell) return nullptr;
  return start(pending, std::move(future), [&](net::CompletionHandler done) { return cell->close(std::move(done)); });
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

PyObject* async_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  AsyncState& st = state_of(self);
  Py_ssize_t skip;
  PyObject* method_name = call_method_name(args, nargs, kwnames, skip);
  if (!method_name) return nullptr;
  Py_ssize_t name_size;
  const char* name = str_arg(method_name, "method_name", &name_size);
  if (!name) return nullptr;

  auto pending = std::make_shared<Pending>();
  std::string request;
  Transport transport;
  {
    Borrow borrow(st.borrow, Borrow::Shared);
    if (!borrow.ok()) return nullptr;
    const std::string_view method_text(name, static_cast<size_t>(name_size));
    auto found = st.method_index.find(method_text);
    if (found == st.method_index.end()) {
      PyErr_Format(PyExc_ValueError, "Unknown method: %U", method_name);
      return nullptr;
    }
    const MethodDef& method = (*st.methods)[found->second];
    const int32_t seqid = engine::seqid_of(st.next_seqid.fetch_add(1, std::memory_order_relaxed));
    pending->schema = st.call_schema;
    pending->methods = st.methods;
    pending->method = found->second;
    pending->oneway = method.oneway;
    transport = static_cast<Transport>(st.transport.load(std::memory_order_relaxed));
    pending->protocol = static_cast<Protocol>(st.protocol.load(std::memory_order_relaxed));
    const CallArgs given{args + nargs, kwnames, skip};
    if (!encode_call(request, pending->protocol, method, pending->schema->args[found->second], method_text, seqid,
                     given, *pending->schema->schema))
      return nullptr;
  }
  Ref future = Ref::steal(new_future(*pending));
  if (!future) return nullptr;
  net::ConnectionCell* cell = cell_of(st);
  if (!cell) return nullptr;
  return start(pending, std::move(future), [&](net::CompletionHandler done) {
    return cell->call(std::move(request), transport, pending->protocol, pending->oneway, st.timeout(),
                      std::move(done));
  });
}

PyObject* async_is_open(PyObject* self, PyObject*) {
  AsyncState& st = state_of(self);
  std::shared_ptr<net::ConnectionCell> cell;
  {
    MutexLock lock(st.cell_mutex);
    cell = st.cell;
  }
  return PyBool_FromLong(cell && cell->is_open());
}

PyObject* async_set_parser(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* parser;
  if (!parse_args("set_parser", args, nargs, kwnames, {"parser"}, 1, &parser)) return nullptr;
  if (!PyObject_TypeCheck(parser, cls(Cls::ThriftParser))) return fail_argument(parser, "ThriftParser", "parser"), nullptr;
  AsyncState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  auto schema = parser_schema(parser, false);
  if (!schema) return nullptr;
  auto planned = plan_calls(*st.methods, std::move(schema));
  if (!planned) return nullptr;
  st.call_schema = std::move(planned);
  Py_RETURN_NONE;
}

// --- The class ---------------------------------------------------------------------------------

PyObject* async_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ClientArgs given;
  if (!parse_client_args("AsyncThriftClient", args, kwargs, given)) return nullptr;
  if (!watch_interpreter_exit()) return nullptr;

  auto st = std::make_unique<AsyncState>();
  auto methods = std::make_shared<std::vector<MethodDef>>(given.service->methods);
  for (size_t i = 0; i < methods->size(); ++i) st->method_index.try_emplace((*methods)[i].name, i);
  st->methods = std::move(methods);
  st->host = std::move(given.host);
  st->port = given.port;
  st->transport = given.transport;
  st->protocol = static_cast<uint8_t>(given.protocol);
  st->call_schema = plan_calls(*st->methods, PySchema::empty());
  if (!st->call_schema) return nullptr;

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
    {"set_parser", fastcall<async_set_parser>(), METH_FASTCALL | METH_KEYWORDS, "set_parser($self, parser)\n--\n\n"},
    {"is_open", guard<async_is_open>, METH_NOARGS,
     "is_open($self)\n--\n\nReturns `True` if the client currently holds an open TCP connection.\n"
     "A concurrent in-flight call is also reported as open."},
    {"open", guard<async_open>, METH_NOARGS, "open($self)\n--\n\n"},
    {"close", guard<async_close>, METH_NOARGS, "close($self)\n--\n\n"},
    {"__aenter__", guard<async_aenter>, METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", fastcall<async_aexit>(), METH_FASTCALL | METH_KEYWORDS,
     "__aexit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"},
    {"call", fastcall<async_call>(), METH_FASTCALL | METH_KEYWORDS, "call($self, method_name, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};


PyType_Slot async_slots[] = {
    {Py_tp_doc, const_cast<char*>("AsyncThriftClient(service, host, port, transport=..., protocol=...)\n--\n\n"
                                  "A Thrift client for asyncio: open, call and close are coroutines whose network "
                                  "work runs on a shared background runtime.")},
    {Py_tp_new, reinterpret_cast<void*>(guard<async_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guard<async_dealloc>)},
    {Py_tp_methods, async_methods},
    {Py_tp_getset, ClientProperties<settings_of>::getset},
    {0, nullptr},
};

}  // namespace

PyObject* create_async_thrift_client() {
  PyType_Spec spec = {"velvane.AsyncThriftClient", sizeof(AsyncClientObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, async_slots};
  return PyType_FromSpec(&spec);
}

}  // namespace velvane::py
