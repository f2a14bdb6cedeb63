// src/python/server_context.cpp: what a handler learns of its request (ThriftServer.current_request()
// and the RequestContext class), and the interceptors around a handler call.
//
// A plain handler's request is found through a thread-local pointer set only around the call; its
// RequestContext is built the first time it is asked for. An `async def` handler runs in a task
// whose context (copied when the task is made) carries the RequestContext in a context variable.
#include <chrono>

#include "python/call_engine.h"
#include "python/server.h"

namespace velvane::py {

// --- RequestContext ----------------------------------------------------------------------------

namespace {

struct RequestData {
  std::string method;
  int32_t seqid = 0;
  uint8_t protocol = 0;
  uint8_t transport = 0;
  net::RequestMeta meta;
};

struct RequestContextObject {
  PyObject_HEAD
  RequestData* data;  // owned
};

const RequestData& data_of(PyObject* self) { return *reinterpret_cast<RequestContextObject*>(self)->data; }

PyObject* rc_peer(PyObject* self, void*) {
  const auto& peer = data_of(self).meta.peer;
  return str_from(peer ? peer->address : std::string());
}
PyObject* rc_method(PyObject* self, void*) { return str_from(data_of(self).method); }
PyObject* rc_seqid(PyObject* self, void*) { return PyLong_FromLong(data_of(self).seqid); }
PyObject* rc_protocol(PyObject* self, void*) { return enum_member(Cls::ProtocolType, data_of(self).protocol); }
PyObject* rc_transport(PyObject* self, void*) { return enum_member(Cls::TransportType, data_of(self).transport); }

PyObject* rc_headers(PyObject* self, void*) {
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  for (const auto& [name, value] : data_of(self).meta.headers) {
    Ref k = Ref::steal(PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
    Ref v = k ? Ref::steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace")) : Ref();
    if (!v || PyDict_SetItem(out.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return out.release();
}

PyObject* rc_tls_peer_subject(PyObject* self, void*) {
  const auto& peer = data_of(self).meta.peer;
  if (!peer || !peer->tls_subject) Py_RETURN_NONE;
  return str_from(*peer->tls_subject);
}

/// steady_clock is CLOCK_MONOTONIC here, the clock of time.monotonic().
PyObject* rc_deadline(PyObject* self, void*) {
  const auto& deadline = data_of(self).meta.deadline;
  if (!deadline) Py_RETURN_NONE;
  return PyFloat_FromDouble(std::chrono::duration<double>(deadline->time_since_epoch()).count());
}

PyObject* rc_repr(PyObject* self) {
  const RequestData& d = data_of(self);
  const std::string peer = d.meta.peer ? d.meta.peer->address : std::string();
  return PyUnicode_FromFormat("RequestContext(method='%s', seqid=%d, peer='%s')", d.method.c_str(), int{d.seqid},
                              peer.c_str());
}

void rc_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete std::exchange(reinterpret_cast<RequestContextObject*>(self)->data, nullptr);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef rc_getset[] = {
    property_entry<rc_peer>("peer", "The caller's address (\"host:port\"), or the socket path of a unix socket."),
    property_entry<rc_method>("method", "The method called, as the request names it (without a service prefix)."),
    property_entry<rc_seqid>("seqid", "The request's sequence id."),
    property_entry<rc_protocol>("protocol", "The ProtocolType the request came in."),
    property_entry<rc_transport>("transport", "The TransportType the request came over."),
    property_entry<rc_headers>("headers", "The request's string headers (a new dict; empty without a header transport)."),
    property_entry<rc_tls_peer_subject>("tls_peer_subject",
                                        "The subject of the caller's TLS certificate, or None."),
    property_entry<rc_deadline>(
        "deadline", "When the caller gives up, as a time.monotonic() value, or None when it did not say."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot rc_slots[] = {
    {Py_tp_doc, const_cast<char*>("The request a handler answers: ThriftServer.current_request() inside a handler.")},
    slot_entry<rc_repr>(Py_tp_repr),
    slot_entry<rc_dealloc>(Py_tp_dealloc),
    {Py_tp_getset, rc_getset},
    {0, nullptr},
};

/// The context variable of `async def` handlers' tasks, made once for the process.
PyObject* request_variable() {
  static std::atomic<PyObject*> made{nullptr};
  if (PyObject* variable = made.load(std::memory_order_acquire)) return variable;
  static PyMutex lock;
  MutexLock guard(lock);
  PyObject* variable = made.load(std::memory_order_relaxed);
  if (!variable && (variable = PyContextVar_New("velvane_request", nullptr))) made.store(variable, std::memory_order_release);
  return variable;
}

/// The plain handler running on this thread, if any.
struct PlainRequest {
  const PyDispatcher* dispatcher;
  const PyDispatcher::Call* call;
  Ref context;  // built on first use
};

thread_local PlainRequest* t_plain = nullptr;

class PlainRequestScope {
 public:
  PlainRequestScope(const PyDispatcher& d, const PyDispatcher::Call& call) : request_{&d, &call, {}} {
    previous_ = std::exchange(t_plain, &request_);
  }
  ~PlainRequestScope() { t_plain = previous_; }
  PlainRequestScope(const PlainRequestScope&) = delete;
  PlainRequestScope& operator=(const PlainRequestScope&) = delete;

 private:
  PlainRequest request_;
  PlainRequest* previous_;
};

PyObject* context_of(PlainRequest& r) {
  if (!r.context) r.context = Ref::steal(r.dispatcher->request_context(*r.call));
  return r.context ? Py_NewRef(r.context.get()) : nullptr;
}

}  // namespace

PyObject* request_context_type() {
  static PyMutex lock;
  static PyObject* type = nullptr;
  MutexLock guard(lock);
  if (type) return type;
  PyType_Spec spec = {"velvane.RequestContext", sizeof(RequestContextObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, rc_slots};
  type = PyType_FromSpec(&spec);
  return type;
}

PyObject* PyDispatcher::request_context(const Call& call) const {
  PyObject* type = request_context_type();
  if (!type) return nullptr;
  auto data = std::make_unique<RequestData>(
      RequestData{call.header.name, call.header.seqid, static_cast<uint8_t>(protocol_), transport_, call.meta});
  auto* self = PyObject_New(RequestContextObject, reinterpret_cast<PyTypeObject*>(type));
  if (!self) return nullptr;
  self->data = data.release();
  return reinterpret_cast<PyObject*>(self);
}

PyObject* current_request() {
  if (t_plain) return context_of(*t_plain);
  PyObject* variable = request_variable();
  if (!variable) return nullptr;
  PyObject* value = nullptr;
  if (PyContextVar_Get(variable, Py_None, &value) < 0) return nullptr;
  return value;
}

AsyncRequestScope::AsyncRequestScope(const PyDispatcher& dispatcher, const PyDispatcher::Call& call) {
  PyObject* variable = request_variable();
  if (!variable) return;
  context_ = Ref::steal(dispatcher.request_context(call));
  if (context_) token_ = Ref::steal(PyContextVar_Set(variable, context_.get()));
}

AsyncRequestScope::~AsyncRequestScope() {
  if (!token_) return;
  Ref pending = Ref::steal(PyErr_GetRaisedException());
  if (PyContextVar_Reset(request_variable(), token_.get()) < 0) PyErr_Clear();
  PyErr_SetRaisedException(pending.release());
}

namespace {

/// Runs a straight handler's coroutine to its end: its value, or nullptr with its exception set.
Ref run_body(PyObject* coroutine) {
  PyObject* out = nullptr;
  const PySendResult sent = PyIter_Send(coroutine, Py_None, &out);
  Ref value = Ref::steal(out);
  if (sent == PYGEN_RETURN) return value;
  if (sent == PYGEN_NEXT)  // a body without a suspension point cannot get here
    PyErr_SetString(PyExc_RuntimeError, "the handler suspended without a task");
  return {};
}

}  // namespace

std::optional<net::Outcome> PyDispatcher::run_straight(Call& call, const MakeDeliver& deliver) const {
  // A copy of the current context, as a task would have: what the call sets stays its own.
  Ref context = Ref::steal(PyContext_CopyCurrent());
  if (!context || PyContext_Enter(context.get()) < 0) return failure(call);
  std::optional<net::Outcome> outcome = [&]() -> std::optional<net::Outcome> {
    PyObject* variable = request_variable();
    Ref request = variable ? Ref::steal(request_context(call)) : Ref();
    Ref token = request ? Ref::steal(PyContextVar_Set(variable, request.get())) : Ref();
    if (!token) return failure(call);
    if (interceptors_) {
      Ref rest;
      auto done = straight_intercepted(call, request.get(), rest);
      if (!rest) return done;
      return await_task(std::move(call), rest.get(), deliver);  // made in this context: it runs in a copy
    }
    bool called = false;
    Ref coroutine = call_handler(call, called);
    if (!coroutine) return called ? outcome_of(call, nullptr) : failure(call);
    Ref value = run_body(coroutine.get());
    return value ? outcome_of(call, value.get()) : raised(call);
  }();
  if (PyContext_Exit(context.get()) < 0) PyErr_Clear();
  return outcome;
}

std::optional<net::Outcome> PyDispatcher::straight_intercepted(const Call& call, PyObject* ctx, Ref& rest) const {
  const Interceptors& hooks = *interceptors_;
  PyObject* handler = methods_[call.method].handler->object.get();
  Ref args = Ref::steal(arguments_dict(call));
  if (!args) return failure(call);
  PendingHook pending;
  if (!run_before(hooks, ctx, args.get(), &pending)) {  // the hook refused the call
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return failure(call);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    return refusal(call, exc.get());
  }
  if (pending.awaitable) {
    rest = handler_resumed(pending, hooks, ctx, args.get(), handler);
    return rest ? std::nullopt : std::optional(failure(call));
  }
  const auto started = std::chrono::steady_clock::now();
  Ref no_positional = Ref::steal(PyTuple_New(0));
  Ref coroutine = no_positional ? Ref::steal(PyObject_Call(handler, no_positional.get(), args.get())) : Ref();
  Ref value = coroutine ? run_body(coroutine.get()) : Ref();
  Ref error = value ? Ref() : Ref::steal(PyErr_GetRaisedException());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!run_after(hooks, ctx, value.get(), error.get(), seconds, &pending)) {  // its exception ends the call
    value = Ref();
    error = Ref::steal(PyErr_GetRaisedException());
  } else if (pending.awaitable) {
    rest = after_resumed(pending, hooks, ctx, value.get(), error.get(), seconds);
    return rest ? std::nullopt : std::optional(failure(call));
  }
  if (value) return outcome_of(call, value.get());
  PyErr_SetRaisedException(error.release());
  return raised(call);
}

// --- Interceptors around a handler -------------------------------------------------------------

PyObject* PyDispatcher::arguments_dict(const Call& call) const {
  const Method& method = methods_[call.method];
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  for (size_t i = 0; i < method.def->arguments.size(); ++i) {
    const ThriftValue* v = call.arguments.find(method.def->arguments[i].name);
    Ref value = Ref::steal(v ? to_python(*v, schema_) : Py_NewRef(Py_None));
    if (!value) return nullptr;
    PyObject* name = PyTuple_GET_ITEM(method.keyword_names.get(), static_cast<Py_ssize_t>(i));
    if (PyDict_SetItem(out.get(), name, value.get()) < 0) return nullptr;
  }
  return out.release();
}

bool PyDispatcher::take_rejection(Ref& exc) const {
  PyObject* rejected = rejected_call_type();
  if (!rejected) {
    PyErr_Clear();
    return false;
  }
  if (!PyErr_GivenExceptionMatches(exc.get(), rejected)) return false;
  if (Ref cause = Ref::steal(PyException_GetCause(exc.get()))) exc = std::move(cause);
  return true;
}

net::Outcome PyDispatcher::call_plain(const Call& call) const {
  PlainRequestScope scope(*this, call);
  bool called;
  if (!interceptors_) {
    Ref result = call_handler(call, called);
    if (!result && !called) return failure(call);
    return outcome_of(call, result.get());
  }
  Ref ctx = Ref::steal(context_of(*t_plain));
  Ref args = ctx ? Ref::steal(arguments_dict(call)) : Ref();
  if (!args) return failure(call);
  if (!run_before(*interceptors_, ctx.get(), args.get())) {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    return exc ? refusal(call, exc.get()) : failure(call);
  }
  Ref no_positional = Ref::steal(PyTuple_New(0));
  if (!no_positional) return failure(call);
  const auto started = std::chrono::steady_clock::now();
  Ref result = Ref::steal(PyObject_Call(methods_[call.method].handler->object.get(), no_positional.get(), args.get()));
  Ref error = result ? Ref() : Ref::steal(PyErr_GetRaisedException());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  if (!run_after(*interceptors_, ctx.get(), result.get(), error.get(), seconds)) return failure(call);
  if (error) PyErr_SetRaisedException(error.release());
  return outcome_of(call, result.get());
}

Ref PyDispatcher::call_awaitable(const Call& call, bool& called, PyObject* ctx) const {
  if (!interceptors_) return call_handler(call, called);
  called = false;
  Ref args = Ref::steal(arguments_dict(call));
  if (!args) return {};
  called = true;  // what the wrapper raises goes through the handler's exception rules
  return intercepted_handler(*interceptors_, ctx, args.get(), methods_[call.method].handler->object.get());
}

}  // namespace velvane::py
