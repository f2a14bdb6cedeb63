// src/python/server_loops.cpp: one asyncio event loop thread per runtime worker thread, for
// coroutine handlers.
//
// A worker thread never touches the interpreter: it queues work for its loop thread and wakes the
// loop through an eventfd the loop watches with add_reader. The loop thread runs the queued work in
// the loop's context: the handler call, ensure_future, and a done-callback that sends the reply.
#include <sys/eventfd.h>
#include <unistd.h>

#include <deque>
#include <future>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "net/console.h"
#include "net/threads.h"
#include "python/server.h"

namespace velvane::py {

namespace {

constexpr size_t kLoopThreadStack = 2 * 1024 * 1024;

}  // namespace

bool LoopQueue::push(std::function<void()> job) {
  {
    std::lock_guard lock(mutex);
    if (stopping) return false;
    jobs.push_back(std::move(job));
    if (woken) return true;  // a wake-up is on its way already
    woken = true;
  }
  wake();
  return true;
}

void LoopQueue::stop() {
  {
    std::lock_guard lock(mutex);
    stopping = true;
  }
  wake();
}

void LoopQueue::wake() const {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t ignored = ::write(event_fd, &one, sizeof one);
}

namespace {

struct LoopBinding {
  std::shared_ptr<LoopQueue> queue;
  net::Thread thread;
};

thread_local std::optional<LoopBinding> t_binding;

/// What the loop's reader callback needs; owned by the capsule behind that callback.
struct DrainContext {
  std::shared_ptr<LoopQueue> queue;
  Ref loop;
};

constexpr const char* kDrainCapsule = "velvane.loop_drain";

void free_drain_context(PyObject* capsule) {
  delete static_cast<DrainContext*>(PyCapsule_GetPointer(capsule, kDrainCapsule));
}

void print_shutdown_error(const std::string& text) {
  net::print_line(2, "python asyncio worker shutdown error: " + text + "\n");
}

/// The loop's reader callback: runs the queued work, and stops the loop once asked to.
PyObject* drain(PyObject* capsule, PyObject*) {
  auto* ctx = static_cast<DrainContext*>(PyCapsule_GetPointer(capsule, kDrainCapsule));
  if (!ctx) return nullptr;
  uint64_t count;
  [[maybe_unused]] ssize_t ignored = ::read(ctx->queue->event_fd, &count, sizeof count);
  std::deque<std::function<void()>> jobs;
  bool stopping;
  {
    std::lock_guard lock(ctx->queue->mutex);
    jobs.swap(ctx->queue->jobs);
    ctx->queue->woken = false;
    stopping = ctx->queue->stopping;
  }
  for (auto& job : jobs) {
    job();
    job = nullptr;
  }
  if (stopping && ctx->queue->private_loop) {
    Ref done = Ref::steal(PyObject_CallMethod(ctx->loop.get(), "stop", nullptr));
    if (!done) print_shutdown_error(take_exception_text());
  }
  Py_RETURN_NONE;
}

PyMethodDef drain_def = method_entry<drain>("_velvane_drain", METH_NOARGS, nullptr);

/// Makes the loop, binds it to this thread and watches the queue's eventfd. False with an exception.
bool init_loop(const std::shared_ptr<LoopQueue>& queue, Ref& loop) {
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  if (!asyncio) return false;
  loop = Ref::steal(PyObject_CallMethod(asyncio.get(), "new_event_loop", nullptr));
  if (!loop) return false;
  Ref set = Ref::steal(PyObject_CallMethod(asyncio.get(), "set_event_loop", "O", loop.get()));
  if (!set) return false;
  Ref contextvars = Ref::steal(PyImport_ImportModule("contextvars"));
  if (!contextvars) return false;
  Ref context = Ref::steal(PyObject_CallMethod(contextvars.get(), "copy_context", nullptr));
  if (!context) return false;
  auto owned = std::make_unique<DrainContext>(DrainContext{queue, Ref::borrow(loop.get())});
  Ref capsule = Ref::steal(PyCapsule_New(owned.get(), kDrainCapsule, free_drain_context));
  if (!capsule) return false;
  owned.release();
  Ref callback = Ref::steal(PyCFunction_New(&drain_def, capsule.get()));
  if (!callback) return false;
  Ref run = Ref::steal(PyObject_GetAttrString(context.get(), "run"));
  if (!run) return false;
  queue->loop = loop.get();
  queue->private_loop = true;
  // Queued work runs inside the loop's context, as call_soon_threadsafe(..., context=...) would.
  Ref added = Ref::steal(PyObject_CallMethod(loop.get(), "add_reader", "iOO", queue->event_fd, run.get(),
                                             callback.get()));
  return static_cast<bool>(added);
}

/// Closes the loop; the first step that fails is printed and ends the list.
void close_loop(PyObject* loop) {
  auto step = [](Ref r) {
    if (!r) PyErr_Print();
    return static_cast<bool>(r);
  };
  Ref closed = Ref::steal(PyObject_CallMethod(loop, "is_closed", nullptr));
  if (!step(Ref::borrow(closed.get()))) return;
  if (PyObject_IsTrue(closed.get())) return;
  Ref gens = Ref::steal(PyObject_CallMethod(loop, "shutdown_asyncgens", nullptr));
  if (!step(Ref::borrow(gens.get()))) return;
  if (!step(Ref::steal(PyObject_CallMethod(loop, "run_until_complete", "O", gens.get())))) return;
  PyObject* shutdown_executor = nullptr;
  const int has = PyObject_GetOptionalAttrString(loop, "shutdown_default_executor", &shutdown_executor);
  Ref executor_method = Ref::steal(shutdown_executor);
  if (has < 0) return (void)step(Ref());
  if (has) {
    Ref coro = Ref::steal(PyObject_CallNoArgs(executor_method.get()));
    if (!step(Ref::borrow(coro.get()))) return;
    if (!step(Ref::steal(PyObject_CallMethod(loop, "run_until_complete", "O", coro.get())))) return;
  }
  step(Ref::steal(PyObject_CallMethod(loop, "close", nullptr)));
}

void loop_thread_body(const std::shared_ptr<LoopQueue>& queue, std::promise<std::string>& started) {
  Attach attach;
  if (!attach.ok()) return started.set_value("python interpreter is finalizing");
  Ref loop;
  if (!init_loop(queue, loop)) {
    started.set_value(take_exception_text());
    return;
  }
  started.set_value({});
  if (!Ref::steal(PyObject_CallMethod(loop.get(), "run_forever", nullptr))) PyErr_Print();
  {
    Ref removed = Ref::steal(PyObject_CallMethod(loop.get(), "remove_reader", "i", queue->event_fd));
    if (!removed) PyErr_Clear();
  }
  close_loop(loop.get());
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  Ref unset = asyncio ? Ref::steal(PyObject_CallMethod(asyncio.get(), "set_event_loop", "O", Py_None)) : Ref();
  if (!unset) PyErr_Clear();
  // Work queued after the loop stopped is dropped here, with the interpreter attached.
  std::deque<std::function<void()>> left;
  {
    std::lock_guard lock(queue->mutex);
    left.swap(queue->jobs);
  }
}

/// Starts this runtime thread's loop thread unless it has one; the error text otherwise.
std::optional<std::string> ensure_loop_thread() {
  if (t_binding) return std::nullopt;
  auto queue = std::make_shared<LoopQueue>();
  queue->event_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (queue->event_fd < 0) return "spawn python loop thread: " + std::error_code(errno, std::system_category()).message();
  auto started = std::make_shared<std::promise<std::string>>();
  std::future<std::string> report = started->get_future();
  auto thread = net::Thread::spawn("velvane-pyo3-python-loop", kLoopThreadStack,
                                   [queue, started] { loop_thread_body(queue, *started); });
  if (!thread) return "spawn python loop thread: " + thread.error().text;
  std::string error;
  try {
    error = report.get();
  } catch (const std::future_error&) {
    error = "python loop thread exited before initialization";
  }
  if (!error.empty()) {
    thread.value().detach();
    return error;
  }
  t_binding.emplace(LoopBinding{std::move(queue), std::move(thread).value()});
  return std::nullopt;
}

}  // namespace

bool watch_loop_queue(const std::shared_ptr<LoopQueue>& queue, PyObject* loop) {
  auto owned = std::make_unique<DrainContext>(DrainContext{queue, Ref::borrow(loop)});
  Ref capsule = Ref::steal(PyCapsule_New(owned.get(), kDrainCapsule, free_drain_context));
  if (!capsule) return false;
  owned.release();
  Ref callback = Ref::steal(PyCFunction_New(&drain_def, capsule.get()));
  if (!callback) return false;
  queue->loop = loop;
  // The reader's handle keeps the context current at this call: queued work runs in it.
  return static_cast<bool>(
      Ref::steal(PyObject_CallMethod(loop, "add_reader", "iO", queue->event_fd, callback.get())));
}

std::shared_ptr<LoopQueue> current_loop_queue(std::string& error) {
  if (auto failed = ensure_loop_thread()) {
    error = *failed;
    return nullptr;
  }
  return t_binding->queue;
}

std::shared_ptr<LoopQueue> bound_loop_queue() { return t_binding ? t_binding->queue : nullptr; }

bool run_on_current_loop(std::function<void()> job, std::string& error) {
  if (auto failed = ensure_loop_thread()) {
    error = *failed;
    return false;
  }
  if (!t_binding->queue->push(std::move(job))) {
    error = "python asyncio loop is stopping";
    return false;
  }
  return true;
}

void loop_thread_start_hook() {
  auto failed = ensure_loop_thread();
  if (failed && !interpreter_going_away()) net::print_line(2, "python asyncio worker init error: " + *failed + "\n");
}

void loop_thread_stop_hook() {
  if (!t_binding) return;
  LoopBinding binding = std::move(*t_binding);
  t_binding.reset();
  binding.queue->stop();
  if (interpreter_going_away()) return binding.thread.detach();
  binding.thread.join();
}

// --- Coroutine handlers ------------------------------------------------------------------------

namespace {

/// One awaited coroutine's request; owned by the capsule behind its done-callback.
struct AwaitedCall {
  std::shared_ptr<const PyDispatcher> dispatcher;
  PyDispatcher::Call call;
  PyDispatcher::Deliver deliver;
};

constexpr const char* kAwaitedCapsule = "velvane.awaited_call";

void free_awaited_call(PyObject* capsule) {
  delete static_cast<AwaitedCall*>(PyCapsule_GetPointer(capsule, kAwaitedCapsule));
}

PyObject* coroutine_finished(PyObject* capsule, PyObject* task) {
  auto* awaited = static_cast<AwaitedCall*>(PyCapsule_GetPointer(capsule, kAwaitedCapsule));
  if (!awaited) return nullptr;
  awaited->deliver(awaited->dispatcher->coroutine_done(awaited->call, task));
  Py_RETURN_NONE;
}

PyMethodDef finished_def = method_entry<coroutine_finished>("_velvane_coroutine_finished", METH_O, nullptr);

}  // namespace

namespace {

/// asyncio.Task and the keyword names of Task(coroutine, eager_start=True), looked up once and
/// kept for the life of the process. Nullptr with an exception set when the lookup fails.
const std::pair<PyObject*, PyObject*>* eager_task_maker() {
  static PyMutex lock;
  static std::pair<PyObject*, PyObject*> cached{nullptr, nullptr};
  MutexLock guard(lock);
  if (cached.first) return &cached;
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  Ref task_type = asyncio ? Ref::steal(PyObject_GetAttrString(asyncio.get(), "Task")) : Ref();
  Ref kwnames = task_type ? Ref::steal(Py_BuildValue("(s)", "eager_start")) : Ref();
  if (!kwnames) return nullptr;
  cached = {task_type.release(), kwnames.release()};
  return &cached;
}

constinit InternedName kDone("done");
constinit InternedName kResult("result");

/// `object.name()`.
Ref call_no_args(PyObject* object, const InternedName& name) {
  PyObject* interned = name.get();
  return interned ? Ref::steal(PyObject_CallMethodNoArgs(object, interned)) : Ref();
}

/// The handler's awaitable as a task of the running loop. A coroutine starts at once, in the task
/// made for it: one that finishes without waiting costs no turn of the loop.
Ref start_task(PyObject* awaitable) {
  if (!PyCoro_CheckExact(awaitable)) {
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    return asyncio ? Ref::steal(PyObject_CallMethod(asyncio.get(), "ensure_future", "O", awaitable)) : Ref();
  }
  const auto* maker = eager_task_maker();
  if (!maker) return {};
  PyObject* args[] = {awaitable, Py_True};
  return Ref::steal(PyObject_Vectorcall(maker->first, args, 1, maker->second));
}

}  // namespace

void PyDispatcher::start_coroutine(Call call, net::Responder respond) const {
  auto responder = std::make_shared<net::Responder>(std::move(respond));
  Deliver deliver = [responder](net::Outcome outcome) { (*responder)(std::move(outcome)); };
  if (auto outcome = run_coroutine(std::move(call), [&] { return deliver; })) deliver(std::move(*outcome));
}

std::optional<net::Outcome> PyDispatcher::run_coroutine(Call call, const MakeDeliver& deliver) const {
  const HandlerEntry& handler = *methods_[call.method].handler;
  if ((!interceptors_ || !interceptors_->any_async) && handler.runs_straight()) return run_straight(call, deliver);
  bool called = false;
  AsyncRequestScope scope(*this, call);
  Ref awaitable = scope.ok() ? call_awaitable(call, called, scope.context()) : Ref();
  if (!awaitable) return called ? outcome_of(call, nullptr) : failure(call);
  return await_task(std::move(call), awaitable.get(), deliver);
}

std::optional<net::Outcome> PyDispatcher::await_task(Call call, PyObject* awaitable, const MakeDeliver& deliver) const {
  Ref task = start_task(awaitable);
  if (!task) return failure(call);
  Ref done = call_no_args(task.get(), kDone);
  if (!done) return failure(call);
  if (done.get() == Py_True) return coroutine_done(call, task.get());
  auto owned = std::make_unique<AwaitedCall>(AwaitedCall{shared_from_this(), std::move(call), deliver()});
  AwaitedCall* raw = owned.get();
  Ref capsule = Ref::steal(PyCapsule_New(raw, kAwaitedCapsule, free_awaited_call));
  if (!capsule) return failure(raw->call);
  owned.release();
  Ref callback = Ref::steal(PyCFunction_New(&finished_def, capsule.get()));
  Ref added = callback ? Ref::steal(PyObject_CallMethod(task.get(), "add_done_callback", "O", callback.get())) : Ref();
  if (!added) return failure(raw->call);
  if (calls_) {
    // serve_async() waits for the calls still running when the server stops.
    // (Its reply is on its way already: a failure here only leaves the call unwaited for.)
    Ref discard = Ref::steal(PyObject_GetAttrString(calls_.get(), "discard"));
    Ref forget = discard && PySet_Add(calls_.get(), task.get()) == 0
                     ? Ref::steal(PyObject_CallMethod(task.get(), "add_done_callback", "O", discard.get()))
                     : Ref();
    if (!forget) PyErr_Clear();
  }
  return std::nullopt;
}

net::Outcome PyDispatcher::coroutine_done(const Call& call, PyObject* task) const {
  // result() returns the value or raises the task's exception; a cancelled task raises CancelledError.
  Ref result = call_no_args(task, kResult);
  return result ? outcome_of(call, result.get()) : raised(call);
}

net::Outcome PyDispatcher::raised(const Call& call) const {
  // An Exception answers as the handler's own (declared or not); anything else (CancelledError,
  // KeyboardInterrupt) is a failure.
  if (PyErr_ExceptionMatches(PyExc_Exception)) return outcome_of(call, nullptr);
  return failure(call);
}

}  // namespace velvane::py
