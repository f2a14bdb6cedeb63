// src/python/interceptors.h: interceptors (objects whose optional `before(ctx, args)` and
// `after(ctx, result, error, duration)` run around each call) for the server and both clients, and
// the context a client's hooks see.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "python/internal.h"

namespace velvane::py {

/// One registered interceptor: its bound hooks, either of which may be missing.
struct Interceptor {
  Ref object;
  Ref before;
  Ref after;
};

/// The ordered interceptors of a server or client. Immutable once shared: add_interceptor makes a
/// new list, so a call keeps the one it started with.
struct Interceptors {
  std::vector<Interceptor> hooks;
  bool any_async = false;  // some hook is an `async def` function
  Ref befores;  // tuple: the before hooks in order
  Ref afters;   // tuple: the after hooks in reverse order
};
using InterceptorList = std::shared_ptr<const Interceptors>;

/// `add_interceptor(obj)`: `list` replaced by a copy with `obj` appended. Needs the owner's
/// exclusive borrow; false with an exception set.
bool add_interceptor(InterceptorList& list, PyObject* obj);
/// Visits the interceptors for the garbage collector.
int visit_interceptors(const InterceptorList& list, visitproc visit, void* arg);

/// A hook that returned an awaitable, where the caller can await it: the awaitable, and the position
/// of the hook after it (in `befores` or `afters`).
struct PendingHook {
  Ref awaitable;
  Py_ssize_t next = 0;
};

/// Runs every `before(ctx, args)` in order; false with the first hook's exception set. A hook that
/// returns an awaitable stops the run there, into `pending`, when given; without it (no event loop)
/// such a hook fails the call with TypeError.
bool run_before(const Interceptors& list, PyObject* ctx, PyObject* args, PendingHook* pending = nullptr);
/// Runs every `after(ctx, result, error, duration)` in reverse order (the first interceptor wraps
/// the others); false with the first hook's exception set. `pending` as for run_before.
bool run_after(const Interceptors& list, PyObject* ctx, PyObject* result, PyObject* error, double seconds,
               PendingHook* pending = nullptr);

/// A coroutine that runs the hooks (awaiting those that return awaitables) around `await
/// handler(**args)`. A `before` that raises makes it raise rejected_call_type() with the hook's
/// exception as its cause.
Ref intercepted_handler(const Interceptors& list, PyObject* ctx, PyObject* args, PyObject* handler);
/// Whether a hook's result is awaitable (as inspect.isawaitable; None is not); -1 with an exception set.
int hook_awaitable(PyObject* result);
/// The rest of a server call, as a coroutine, whose `before` hooks ran at once until one returned
/// `pending`: awaits it, then goes on as intercepted_handler with the hooks after it.
Ref handler_resumed(const PendingHook& pending, const Interceptors& list, PyObject* ctx, PyObject* args,
                    PyObject* handler);
/// The rest of a server call, as a coroutine, whose `after` hooks ran until one returned `pending`:
/// awaits it, runs the after hooks still to come, then returns `result` or raises `error` (either may
/// be nullptr).
Ref after_resumed(const PendingHook& pending, const Interceptors& list, PyObject* ctx, PyObject* result,
                  PyObject* error, double seconds);
/// A coroutine that runs the hooks around `await send()`, for the asyncio client.
Ref intercepted_send(const Interceptors& list, PyObject* ctx, PyObject* args, PyObject* send);
/// A coroutine for the asyncio client's calls with retries: the hooks run around each `await
/// send()`; after one that raised, `repeat()` gives the seconds to wait before the next attempt (it
/// counts the attempt in `ctx`), or None, and the call raises.
Ref intercepted_attempts(const Interceptors& list, PyObject* ctx, PyObject* args, PyObject* send, PyObject* repeat);
/// The exception class (borrowed) that says a `before` hook refused a call; nullptr with an
/// exception set when it cannot be made.
PyObject* rejected_call_type();

/// A client call's context: `method`, `seqid`, `attempt` (1, then 2, ... for each repeat) and
/// `headers` (a dict the hooks may read and fill). New reference, or nullptr with an exception.
PyObject* new_call_context(std::string_view method, int32_t seqid);
void set_call_attempt(PyObject* ctx, uint32_t attempt);
/// The context's `headers` dict (borrowed): what the hooks left there goes with the request.
PyObject* call_context_headers(PyObject* ctx);
/// The class CallContext (borrowed), made on first use; nullptr with an exception set.
PyObject* call_context_type();

/// `{name: value}` of a call's keyword arguments (vectorcall form), `skip` left out (-1: none).
PyObject* keyword_dict(PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t skip);

}  // namespace velvane::py
