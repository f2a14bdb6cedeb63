// src/python/interceptors.cpp: interceptor lists, running their hooks, and the context a client
// call's hooks see.
//
// Plain hooks run straight from C++. Where hooks may be awaited (coroutine handlers, the asyncio
// client) the call is wrapped in a small coroutine, compiled once from the source below: writing an
// awaitable state machine by hand would be far longer and no faster.
#include "python/interceptors.h"

namespace velvane::py {

namespace {

constexpr const char* kHooksSource = R"(
from asyncio import sleep
from inspect import isawaitable
from time import monotonic

class InterceptorRejected(Exception):
    """A before hook refused the call; the hook's exception is the cause."""

async def _after(afters, ctx, result, error, duration):
    for hook in afters:
        r = hook(ctx, result, error, duration)
        if r is not None and isawaitable(r):  # (most hooks return None)
            await r

async def _around(befores, afters, ctx, args, run, reject):
    try:
        for hook in befores:
            r = hook(ctx, args)
            if r is not None and isawaitable(r):
                await r
    except Exception as e:
        if reject:
            raise InterceptorRejected(e) from e
        raise
    start = monotonic()
    try:
        result = await run()
    except BaseException as e:
        await _after(afters, ctx, None, e, monotonic() - start)
        raise
    await _after(afters, ctx, result, None, monotonic() - start)
    return result

async def client_attempts(befores, afters, ctx, args, send, repeat):
    while True:
        for hook in befores:
            r = hook(ctx, args)
            if r is not None and isawaitable(r):
                await r
        start = monotonic()
        try:
            result = await send()
        except Exception as e:
            await _after(afters, ctx, None, e, monotonic() - start)
            wait = repeat()
            if wait is None:
                raise
        except BaseException as e:
            await _after(afters, ctx, None, e, monotonic() - start)
            raise
        else:
            await _after(afters, ctx, result, None, monotonic() - start)
            return result
        await sleep(wait)

def handler_call(befores, afters, ctx, args, handler):
    return _around(befores, afters, ctx, args, lambda: handler(**args), True)

async def handler_resume(pending, befores, afters, ctx, args, handler):
    try:
        await pending
    except Exception as e:
        raise InterceptorRejected(e) from e
    return await _around(befores, afters, ctx, args, lambda: handler(**args), True)

async def after_resume(pending, afters, ctx, result, error, duration):
    await pending
    await _after(afters, ctx, result, error, duration)
    if error is not None:
        raise error
    return result

def client_call(befores, afters, ctx, args, send):
    return _around(befores, afters, ctx, args, send, False)
)";

struct HelperFunctions {
  PyObject* handler_call = nullptr;
  PyObject* handler_resume = nullptr;
  PyObject* after_resume = nullptr;
  PyObject* isawaitable = nullptr;
  PyObject* client_call = nullptr;
  PyObject* client_attempts = nullptr;
  PyObject* rejected = nullptr;
};

/// The compiled helpers, kept for the life of the process; nullptr with an exception set.
const HelperFunctions* helpers() {
  static PyMutex lock;
  static HelperFunctions made;
  MutexLock guard(lock);
  if (made.handler_call) return &made;
  Ref code = Ref::steal(Py_CompileString(kHooksSource, "<velvane interceptors>", Py_file_input));
  Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0 ||
      PyDict_SetItemString(globals.get(), "__name__", Ref::steal(str_from("velvane")).get()) < 0)
    return nullptr;
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!done) return nullptr;
  PyObject* handler_call = PyDict_GetItemString(globals.get(), "handler_call");
  PyObject* client_call = PyDict_GetItemString(globals.get(), "client_call");
  PyObject* client_attempts = PyDict_GetItemString(globals.get(), "client_attempts");
  PyObject* rejected = PyDict_GetItemString(globals.get(), "InterceptorRejected");
  PyObject* handler_resume = PyDict_GetItemString(globals.get(), "handler_resume");
  PyObject* after_resume = PyDict_GetItemString(globals.get(), "after_resume");
  PyObject* isawaitable = PyDict_GetItemString(globals.get(), "isawaitable");
  if (!handler_call || !client_call || !client_attempts || !rejected || !handler_resume || !after_resume ||
      !isawaitable) {
    PyErr_SetString(PyExc_RuntimeError, "interceptor helpers missing");
    return nullptr;
  }
  made = {Py_NewRef(handler_call), Py_NewRef(handler_resume), Py_NewRef(after_resume), Py_NewRef(isawaitable),
          Py_NewRef(client_call), Py_NewRef(client_attempts), Py_NewRef(rejected)};
  return &made;
}

Ref wrapped(PyObject* fn, const Interceptors& list, PyObject* ctx, PyObject* args, PyObject* inner,
           PyObject* repeat = nullptr) {
  PyObject* argv[] = {list.befores.get(), list.afters.get(), ctx, args, inner, repeat};
  return Ref::steal(PyObject_Vectorcall(fn, argv, repeat ? 6 : 5, nullptr));
}

/// The before hooks in order and the after hooks reversed, as the helpers take them.
bool hook_tuples(Interceptors& list) {
  Ref befores = Ref::steal(PyList_New(0));
  Ref afters = Ref::steal(PyList_New(0));
  if (!befores || !afters) return false;
  for (const Interceptor& i : list.hooks)
    if (i.before && PyList_Append(befores.get(), i.before.get()) < 0) return false;
  for (auto it = list.hooks.rbegin(); it != list.hooks.rend(); ++it)
    if (it->after && PyList_Append(afters.get(), it->after.get()) < 0) return false;
  list.befores = Ref::steal(PyList_AsTuple(befores.get()));
  list.afters = Ref::steal(PyList_AsTuple(afters.get()));
  return list.befores && list.afters;
}

/// A hook's result outside an event loop: an awaitable is closed and refused.
bool plain_result(Ref result) {
  if (!result) return false;
  if (result.get() == Py_None || !PyCoro_CheckExact(result.get())) return true;
  Ref closed = Ref::steal(PyObject_CallMethod(result.get(), "close", nullptr));
  if (!closed) return false;
  PyErr_SetString(PyExc_TypeError, "an async def interceptor hook needs an async def handler or the asyncio client");
  return false;
}

/// `inspect.iscoroutinefunction(fn)`; -1 with an exception set.
int is_coroutine_function(PyObject* fn) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  Ref answer = inspect ? Ref::steal(PyObject_CallMethod(inspect.get(), "iscoroutinefunction", "O", fn)) : Ref();
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

Ref optional_attr(PyObject* obj, const char* name, bool& failed) {
  PyObject* out = nullptr;
  failed = PyObject_GetOptionalAttrString(obj, name, &out) < 0;
  return Ref::steal(out);
}

}  // namespace

bool add_interceptor(InterceptorList& list, PyObject* obj) {
  bool failed;
  Interceptor entry{Ref::borrow(obj), optional_attr(obj, "before", failed), {}};
  if (failed) return false;
  entry.after = optional_attr(obj, "after", failed);
  if (failed) return false;
  if (!entry.before && !entry.after) {
    PyErr_SetString(PyExc_TypeError, "an interceptor needs a before or an after method");
    return false;
  }
  auto next = std::make_shared<Interceptors>();
  if (list) {
    for (const Interceptor& i : list->hooks)
      next->hooks.push_back({Ref::borrow(i.object.get()), Ref::borrow(i.before.get()), Ref::borrow(i.after.get())});
    next->any_async = list->any_async;
  }
  for (PyObject* hook : {entry.before.get(), entry.after.get()}) {
    const int coroutine = hook ? is_coroutine_function(hook) : 0;
    if (coroutine < 0) return false;
    next->any_async = next->any_async || coroutine == 1;
  }
  next->hooks.push_back(std::move(entry));
  if (!hook_tuples(*next)) return false;
  list = std::move(next);
  return true;
}

int visit_interceptors(const InterceptorList& list, visitproc visit, void* arg) {
  if (!list) return 0;
  for (const Interceptor& i : list->hooks) {
    Py_VISIT(i.object.get());
    Py_VISIT(i.before.get());
    Py_VISIT(i.after.get());
  }
  Py_VISIT(list->befores.get());
  Py_VISIT(list->afters.get());
  return 0;
}

namespace {

enum class HookStep { Next, Stop, Failed };

/// What a hook's result means for the hooks after it: an awaitable stops them in `pending` when the
/// caller can await it, and fails the call otherwise (plain_result()).
HookStep hook_step(Ref result, PendingHook* pending, Py_ssize_t next) {
  if (!result) return HookStep::Failed;
  if (!pending) return plain_result(std::move(result)) ? HookStep::Next : HookStep::Failed;
  const int awaitable = hook_awaitable(result.get());
  if (awaitable < 0) return HookStep::Failed;
  if (awaitable == 0) return HookStep::Next;
  *pending = {std::move(result), next};
  return HookStep::Stop;
}

/// Calls `hooks[i](*argv)` in order until one stops or fails; false with its exception set.
bool run_hooks(PyObject* hooks, PyObject* const* argv, size_t nargs, PendingHook* pending) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(hooks); ++i) {
    Ref result = Ref::steal(PyObject_Vectorcall(PyTuple_GET_ITEM(hooks, i), argv, nargs, nullptr));
    switch (hook_step(std::move(result), pending, i + 1)) {
      case HookStep::Next:
        continue;
      case HookStep::Stop:
        return true;
      case HookStep::Failed:
        return false;
    }
  }
  return true;
}

}  // namespace

bool run_before(const Interceptors& list, PyObject* ctx, PyObject* args, PendingHook* pending) {
  PyObject* argv[] = {ctx, args};
  return run_hooks(list.befores.get(), argv, 2, pending);
}

bool run_after(const Interceptors& list, PyObject* ctx, PyObject* result, PyObject* error, double seconds,
               PendingHook* pending) {
  Ref duration = Ref::steal(PyFloat_FromDouble(seconds));
  if (!duration) return false;
  PyObject* argv[] = {ctx, result ? result : Py_None, error ? error : Py_None, duration.get()};
  return run_hooks(list.afters.get(), argv, 4, pending);
}

Ref intercepted_handler(const Interceptors& list, PyObject* ctx, PyObject* args, PyObject* handler) {
  const HelperFunctions* h = helpers();
  return h ? wrapped(h->handler_call, list, ctx, args, handler) : Ref();
}

int hook_awaitable(PyObject* result) {
  if (result == Py_None) return 0;
  if (PyCoro_CheckExact(result)) return 1;
  const HelperFunctions* h = helpers();
  Ref answer = h ? Ref::steal(PyObject_CallOneArg(h->isawaitable, result)) : Ref();
  return answer ? PyObject_IsTrue(answer.get()) : -1;
}

Ref handler_resumed(const PendingHook& pending, const Interceptors& list, PyObject* ctx, PyObject* args,
                    PyObject* handler) {
  const HelperFunctions* h = helpers();
  Ref befores = h ? Ref::steal(PyTuple_GetSlice(list.befores.get(), pending.next, PY_SSIZE_T_MAX)) : Ref();
  if (!befores) return {};
  PyObject* argv[] = {pending.awaitable.get(), befores.get(), list.afters.get(), ctx, args, handler};
  return Ref::steal(PyObject_Vectorcall(h->handler_resume, argv, 6, nullptr));
}

Ref after_resumed(const PendingHook& pending, const Interceptors& list, PyObject* ctx, PyObject* result,
                  PyObject* error, double seconds) {
  const HelperFunctions* h = helpers();
  Ref afters = h ? Ref::steal(PyTuple_GetSlice(list.afters.get(), pending.next, PY_SSIZE_T_MAX)) : Ref();
  Ref duration = afters ? Ref::steal(PyFloat_FromDouble(seconds)) : Ref();
  if (!duration) return {};
  PyObject* argv[] = {pending.awaitable.get(), afters.get(), ctx, result ? result : Py_None,
                      error ? error : Py_None, duration.get()};
  return Ref::steal(PyObject_Vectorcall(h->after_resume, argv, 6, nullptr));
}

Ref intercepted_send(const Interceptors& list, PyObject* ctx, PyObject* args, PyObject* send) {
  const HelperFunctions* h = helpers();
  return h ? wrapped(h->client_call, list, ctx, args, send) : Ref();
}

Ref intercepted_attempts(const Interceptors& list, PyObject* ctx, PyObject* args, PyObject* send, PyObject* repeat) {
  const HelperFunctions* h = helpers();
  return h ? wrapped(h->client_attempts, list, ctx, args, send, repeat) : Ref();
}

PyObject* rejected_call_type() {
  const HelperFunctions* h = helpers();
  return h ? h->rejected : nullptr;
}

PyObject* keyword_dict(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t skip) {
  Ref out = Ref::steal(PyDict_New());
  if (!out) return nullptr;
  const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < n; ++k)
    if (k != skip && PyDict_SetItem(out.get(), PyTuple_GET_ITEM(kwnames, k), kwvalues[k]) < 0) return nullptr;
  return out.release();
}

// --- CallContext -------------------------------------------------------------------------------

namespace {

struct CallContextObject {
  PyObject_HEAD
  PyObject* method;
  PyObject* headers;
  int32_t seqid;
  uint32_t attempt;
};

CallContextObject* call_ctx(PyObject* self) { return reinterpret_cast<CallContextObject*>(self); }

PyObject* ctx_method(PyObject* self, void*) { return Py_NewRef(call_ctx(self)->method); }
PyObject* ctx_seqid(PyObject* self, void*) { return PyLong_FromLong(call_ctx(self)->seqid); }
PyObject* ctx_attempt(PyObject* self, void*) { return PyLong_FromUnsignedLong(call_ctx(self)->attempt); }
PyObject* ctx_headers(PyObject* self, void*) { return Py_NewRef(call_ctx(self)->headers); }

PyObject* ctx_repr(PyObject* self) {
  CallContextObject* c = call_ctx(self);
  return PyUnicode_FromFormat("CallContext(method=%R, seqid=%d, attempt=%u)", c->method, int{c->seqid},
                              unsigned{c->attempt});
}

int ctx_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(call_ctx(self)->headers);
  return 0;
}

int ctx_clear(PyObject* self) {
  Py_CLEAR(call_ctx(self)->headers);
  return 0;
}

void ctx_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_CLEAR(call_ctx(self)->method);
  ctx_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef ctx_getset[] = {
    property_entry<ctx_method>("method", "The method called (as the service names it)."),
    property_entry<ctx_seqid>("seqid", "The request's sequence id."),
    property_entry<ctx_attempt>("attempt", "1 for the first attempt, 2 for the first repeat, ..."),
    property_entry<ctx_headers>("headers",
                                "A dict of str headers for the request; the hooks may read and fill it. A "
                                "transport without headers\ndoes not send them."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot ctx_slots[] = {
    {Py_tp_doc, const_cast<char*>("What a client's interceptors see of a call.")},
    slot_entry<ctx_repr>(Py_tp_repr),
    slot_entry<ctx_dealloc>(Py_tp_dealloc),
    slot_entry<ctx_traverse>(Py_tp_traverse),
    slot_entry<ctx_clear>(Py_tp_clear),
    {Py_tp_getset, ctx_getset},
    {0, nullptr},
};

}  // namespace

PyObject* call_context_type() {
  static PyMutex lock;
  static PyObject* type = nullptr;
  MutexLock guard(lock);
  if (type) return type;
  PyType_Spec spec = {"velvane.CallContext", sizeof(CallContextObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                          Py_TPFLAGS_DISALLOW_INSTANTIATION,
                      ctx_slots};
  type = PyType_FromSpec(&spec);
  return type;
}

PyObject* new_call_context(std::string_view method, int32_t seqid) {
  PyObject* type = call_context_type();
  if (!type) return nullptr;
  Ref name = Ref::steal(str_from(method));
  Ref headers = name ? Ref::steal(PyDict_New()) : Ref();
  if (!headers) return nullptr;
  auto* self = PyObject_GC_New(CallContextObject, reinterpret_cast<PyTypeObject*>(type));
  if (!self) return nullptr;
  self->method = name.release();
  self->headers = headers.release();
  self->seqid = seqid;
  self->attempt = 1;
  PyObject_GC_Track(self);
  return reinterpret_cast<PyObject*>(self);
}

void set_call_attempt(PyObject* ctx, uint32_t attempt) { call_ctx(ctx)->attempt = attempt; }

PyObject* call_context_headers(PyObject* ctx) { return call_ctx(ctx)->headers; }

}  // namespace velvane::py
