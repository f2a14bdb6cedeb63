// src/python/server_http.cpp: connections that begin like HTTP, handed to the program's callback as
// Python `socket.socket` objects.
//
// The server has already taken the socket out of its runtime and set its mode. On a blocking-pool
// thread the descriptor becomes a Python socket and the callback is called with it; a coroutine it
// returns is then run on the asyncio loop bound to the connection's worker thread. From the moment
// the Python socket exists it owns the connection: nothing here reads, writes or closes it.
#include <unistd.h>

#include "python/server.h"

namespace velvane::py {

namespace {

Error handler_error(std::string text) { return Error{ErrorKind::Internal, std::move(text)}; }

/// `socket.socket(fileno=fd)`, the keywords passed as a dict. On failure the descriptor is closed
/// here and nullptr returned with the exception set.
Ref python_socket(int fd) {
  Ref module = Ref::steal(PyImport_ImportModule("socket"));
  Ref type = module ? Ref::steal(PyObject_GetAttrString(module.get(), "socket")) : Ref();
  Ref number = type ? Ref::steal(PyLong_FromLong(fd)) : Ref();
  Ref kwargs = number ? Ref::steal(PyDict_New()) : Ref();
  Ref empty = kwargs ? Ref::steal(PyTuple_New(0)) : Ref();
  Ref sock;
  if (empty && PyDict_SetItemString(kwargs.get(), "fileno", number.get()) == 0)
    sock = Ref::steal(PyObject_Call(type.get(), empty.get(), kwargs.get()));
  if (!sock) ::close(fd);
  return sock;
}

/// A coroutine on its way to a loop thread. Whoever drops it last releases the reference, attaching
/// first when the dropping thread is not attached.
struct PendingAwaitable {
  Ref object;
  explicit PendingAwaitable(Ref o) : object(std::move(o)) {}
  ~PendingAwaitable() { drop_reference(object); }
};

constexpr const char* kFinishedCapsule = "velvane.http_finished";

void free_responder(PyObject* capsule) {
  delete static_cast<net::Responder*>(PyCapsule_GetPointer(capsule, kFinishedCapsule));
}

/// The awaited handler's done-callback (loop thread): a cancelled task or an exception ends the
/// connection with its text; a returned value is dropped.
PyObject* handler_finished(PyObject* capsule, PyObject* task) {
  auto* respond = static_cast<net::Responder*>(PyCapsule_GetPointer(capsule, kFinishedCapsule));
  if (!respond) return nullptr;
  Ref cancelled = Ref::steal(PyObject_CallMethod(task, "cancelled", nullptr));
  if (!cancelled) {
    (*respond)(net::Outcome::fail(handler_error(take_exception_text())));
    Py_RETURN_NONE;
  }
  if (PyObject_IsTrue(cancelled.get())) {
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    Ref error_class = asyncio ? Ref::steal(PyObject_GetAttrString(asyncio.get(), "CancelledError")) : Ref();
    Ref error = error_class ? Ref::steal(PyObject_CallNoArgs(error_class.get())) : Ref();
    (*respond)(net::Outcome::fail(handler_error(error ? exception_text(error.get()) : take_exception_text())));
    Py_RETURN_NONE;
  }
  Ref result = Ref::steal(PyObject_CallMethod(task, "result", nullptr));
  (*respond)(result ? net::Outcome{} : net::Outcome::fail(handler_error(take_exception_text())));
  Py_RETURN_NONE;
}

PyMethodDef finished_def = method_entry<handler_finished>("_velvane_http_finished", METH_O, nullptr);

/// On the loop thread: wraps the coroutine in a task whose end answers `respond`.
void start_on_loop(PendingAwaitable& pending, net::Responder respond) {
  Ref awaitable = std::move(pending.object);
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  Ref task = asyncio ? Ref::steal(PyObject_CallMethod(asyncio.get(), "ensure_future", "O", awaitable.get())) : Ref();
  if (!task) return respond(net::Outcome::fail(handler_error(take_exception_text())));
  auto owned = std::make_unique<net::Responder>(std::move(respond));
  net::Responder* raw = owned.get();
  Ref capsule = Ref::steal(PyCapsule_New(raw, kFinishedCapsule, free_responder));
  if (!capsule) return (*raw)(net::Outcome::fail(handler_error(take_exception_text())));
  owned.release();
  Ref callback = Ref::steal(PyCFunction_New(&finished_def, capsule.get()));
  Ref added = callback ? Ref::steal(PyObject_CallMethod(task.get(), "add_done_callback", "O", callback.get())) : Ref();
  if (!added) (*raw)(net::Outcome::fail(handler_error(take_exception_text())));
}

/// On the connection's worker thread: queues the coroutine for the loop bound to this thread.
void run_on_worker_loop(const std::shared_ptr<PendingAwaitable>& pending, net::Responder respond) {
  auto answer = std::make_shared<net::Responder>(std::move(respond));
  std::string error;
  const bool queued = run_on_current_loop([pending, answer] { start_on_loop(*pending, std::move(*answer)); }, error);
  if (!queued) (*answer)(net::Outcome::fail(handler_error(error)));
}

}  // namespace

HttpHandOff::HttpHandOff(const HandlerEntry& handler)
    : handler_(Ref::borrow(handler.object.get())), coroutine_(handler.coroutine) {}

HttpHandOff::~HttpHandOff() { drop_reference(handler_); }

net::HttpTaken HttpHandOff::take(int fd) {
  net::HttpTaken taken;
  Attach attach;
  if (!attach.ok()) {
    ::close(fd);
    taken.error = handler_error("python interpreter is finalizing");
    return taken;
  }
  Ref sock = python_socket(fd);
  if (!sock) {
    taken.error = handler_error(take_exception_text());
    return taken;
  }
  // The descriptor is already non-blocking for a coroutine handler; without this the socket object
  // would still call itself blocking, and the loop's socket operations refuse such a socket in
  // debug mode.
  if (coroutine_ && !Ref::steal(PyObject_CallMethod(sock.get(), "setblocking", "O", Py_False))) {
    taken.error = handler_error(take_exception_text());
    return taken;
  }
  Ref result = Ref::steal(PyObject_CallOneArg(handler_.get(), sock.get()));
  if (!result) {
    taken.error = handler_error(take_exception_text());
    return taken;
  }
  if (coroutine_) {
    taken.then = [pending = std::make_shared<PendingAwaitable>(std::move(result))](net::Responder respond) {
      run_on_worker_loop(pending, std::move(respond));
    };
  }
  return taken;
}

}  // namespace velvane::py
