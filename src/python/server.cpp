// src/python/server.cpp: ThriftServer, the Python object that serves a Thrift service: its settings,
// handler registration, serve() and stop().
//
// serve() takes a snapshot (methods, handlers, schema, transport, protocol) and starts a detached
// server thread that owns the runtime; the object keeps only the control block shared with it.
#include <sys/eventfd.h>

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <unordered_map>

#include "net/console.h"
#include "net/threads.h"
#include "python/call_engine.h"
#include "python/server.h"
#include "python/tls_settings.h"

namespace velvane::py {

namespace {

struct ServerState {
  // Fixed at construction.
  std::string service_name;  // the default service, which also answers names without a colon

  // Changing methods hold the exclusive borrow, reading ones a shared borrow.
  BorrowFlag borrow;
  std::vector<MethodDef> methods;  // the default service's, then "Name:method" of each added service
  std::vector<std::string> added_services;
  uint8_t transport = 0;
  uint8_t protocol = 0;
  size_t workers = 1;
  size_t max_message_size = framing::kDefaultMaxMessageSize;  // 0: no limit
  size_t max_connections = 0;   // 0: no limit
  double idle_timeout = 0;      // seconds; 0: None, never
  bool reuse_port = false;
  std::string metrics_path;  // empty: none
  bool hide_error_details = false;
  std::unordered_map<std::string, HandlerEntry> handlers;
  std::optional<HandlerEntry> http_handler;
  InterceptorList interceptors;
  Ref logger;  // None or nullptr: the process's stdout and stderr
  std::shared_ptr<const PySchema> schema = PySchema::empty();
  std::shared_ptr<const net::TlsContext> tls;  // set_tls's; none: plaintext

  // Shared with the server threads this object started.
  std::shared_ptr<net::ServerControl> control = std::make_shared<net::ServerControl>();
  std::shared_ptr<net::ServerStats> stats;  // the latest serve()'s; nullptr before the first
};

std::shared_ptr<net::ServerStats> new_stats(const std::vector<MethodDef>& methods) {
  std::vector<std::string> names;
  names.reserve(methods.size());
  for (const MethodDef& m : methods) names.push_back(m.name);
  return std::make_shared<net::ServerStats>(std::move(names));
}

struct ServerObject {
  PyObject_HEAD
  ServerState* state;  // owned; created in tp_new, destroyed in tp_dealloc
};

ServerState& state_of(PyObject* self) { return *reinterpret_cast<ServerObject*>(self)->state; }

bool workers_arg(PyObject* obj, size_t& out) { return size_arg(obj, "workers", out); }

/// `inspect.iscoroutinefunction(handler)`, imported on every call; -1 with an exception set.
int is_coroutine_function(PyObject* handler) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return -1;
  Ref answer = Ref::steal(PyObject_CallMethod(inspect.get(), "iscoroutinefunction", "O", handler));
  if (!answer) return -1;
  return PyObject_IsTrue(answer.get());
}

/// The function behind `handler` (a function, or a method bound to one), or nullptr.
PyObject* function_of(PyObject* handler) {
  if (PyMethod_Check(handler)) handler = PyMethod_GET_FUNCTION(handler);
  return PyFunction_Check(handler) ? handler : nullptr;
}

}  // namespace

Ref straight_code(PyObject* handler) {
  PyObject* function = function_of(handler);
  if (!function) return {};
  PyObject* code = PyFunction_GET_CODE(function);
  if (!(reinterpret_cast<PyCodeObject*>(code)->co_flags & CO_COROUTINE)) return {};
  // A coroutine suspends only through a YIELD_VALUE of its own frame (an await, async for or async
  // with compiles to one); the code's units are (opcode, argument) byte pairs.
  Ref opcode = Ref::steal(PyImport_ImportModule("opcode"));
  Ref opmap = opcode ? Ref::steal(PyObject_GetAttrString(opcode.get(), "opmap")) : Ref();
  PyObject* number = opmap ? PyDict_GetItemString(opmap.get(), "YIELD_VALUE") : nullptr;
  const long yield_value = number ? PyLong_AsLong(number) : -1;
  Ref bytes = yield_value >= 0 ? Ref::steal(PyCode_GetCode(reinterpret_cast<PyCodeObject*>(code))) : Ref();
  if (!bytes || !PyBytes_Check(bytes.get())) {
    PyErr_Clear();
    return {};
  }
  const auto* units = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(bytes.get()));
  for (Py_ssize_t i = 0; i + 1 < PyBytes_GET_SIZE(bytes.get()); i += 2)
    if (units[i] == yield_value) return {};
  return Ref::borrow(code);
}

bool HandlerEntry::runs_straight() const {
  if (!straight) return false;
  PyObject* function = function_of(object.get());
  return function && PyFunction_GET_CODE(function) == straight.get();
}

namespace {

// --- Methods -----------------------------------------------------------------------------------

PyObject* server_register_handler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args("register_handler", args, nargs, kwnames, {"method_name", "handler"}, 2, a)) return nullptr;
  Py_ssize_t size;
  const char* name = str_arg(a[0], "method_name", &size);
  if (!name) return nullptr;
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  const int coroutine = is_coroutine_function(a[1]);
  if (coroutine < 0) return nullptr;
  HandlerEntry entry{Ref::borrow(a[1]), coroutine == 1, coroutine == 1 ? straight_code(a[1]) : Ref()};
  std::string key(name, static_cast<size_t>(size));
  HandlerEntry old = std::exchange(st.handlers[key], std::move(entry));
  Py_RETURN_NONE;  // `old` is released here, after the map holds the new handler
}

PyObject* server_add_service(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args("add_service", args, nargs, kwnames, {"service", "name"}, 1, a)) return nullptr;
  if (!PyObject_TypeCheck(a[0], cls(Cls::PyThriftService))) return fail_argument(a[0], "PyThriftService", "service"), nullptr;
  const ServiceDef& service = *reinterpret_cast<ServiceViewObject*>(a[0])->service;
  std::string name = service.name;
  if (a[1] && a[1] != Py_None) {
    Py_ssize_t size;
    const char* text = str_arg(a[1], "name", &size);
    if (!text) return nullptr;
    name.assign(text, static_cast<size_t>(size));
  }
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  if (name.empty() || name.find(':') != std::string::npos) {
    PyErr_Format(PyExc_ValueError, "Invalid service name: '%s'", name.c_str());
    return nullptr;
  }
  if (name == st.service_name || std::ranges::find(st.added_services, name) != st.added_services.end()) {
    PyErr_Format(PyExc_ValueError, "Service already hosted: %s", name.c_str());
    return nullptr;
  }
  for (MethodDef method : service.methods) {
    method.name = name + ":" + method.name;
    st.methods.push_back(std::move(method));
  }
  st.added_services.push_back(std::move(name));
  Py_RETURN_NONE;
}

PyObject* server_register_http_handler(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* handler;
  if (!parse_args("register_http_handler", args, nargs, kwnames, {"handler"}, 1, &handler)) return nullptr;
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  const int coroutine = is_coroutine_function(handler);
  if (coroutine < 0) return nullptr;
  std::optional<HandlerEntry> old =
      std::exchange(st.http_handler, HandlerEntry{Ref::borrow(handler), coroutine == 1, Ref()});
  Py_RETURN_NONE;
}

PyObject* server_clear_http_handler(PyObject* self, PyObject*) {
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  std::optional<HandlerEntry> old = std::exchange(st.http_handler, std::nullopt);
  Py_RETURN_NONE;
}

PyObject* server_add_interceptor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* interceptor;
  if (!parse_args("add_interceptor", args, nargs, kwnames, {"interceptor"}, 1, &interceptor)) return nullptr;
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  InterceptorList list = st.interceptors;
  if (!add_interceptor(list, interceptor)) return nullptr;
  std::swap(st.interceptors, list);
  Py_RETURN_NONE;  // the old list is released here, after the server holds the new one
}

PyObject* server_set_logger(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* logger;
  if (!parse_args("set_logger", args, nargs, kwnames, {"logger"}, 1, &logger)) return nullptr;
  if (logger != Py_None) {
    int callable = PyObject_HasAttrStringWithError(logger, "log");
    if (callable < 0) return nullptr;
    if (!callable) return fail_argument(logger, "logging.Logger", "logger"), nullptr;
  }
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  Ref old = std::exchange(st.logger, logger == Py_None ? Ref() : Ref::borrow(logger));
  Py_RETURN_NONE;
}

PyObject* server_current_request(PyObject*, PyObject*) { return current_request(); }

PyObject* server_set_parser(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* parser;
  if (!parse_args("set_parser", args, nargs, kwnames, {"parser"}, 1, &parser)) return nullptr;
  if (!PyObject_TypeCheck(parser, cls(Cls::ThriftParser))) return fail_argument(parser, "ThriftParser", "parser"), nullptr;
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  auto schema = parser_schema(parser, false);
  if (!schema) return nullptr;
  st.schema = std::move(schema);
  Py_RETURN_NONE;
}

PyObject* server_set_tls(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::shared_ptr<const net::TlsContext> tls;
  if (!server_tls_arg(args, nargs, kwnames, tls)) return nullptr;
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  st.tls = std::move(tls);
  Py_RETURN_NONE;
}

PyObject* server_is_running(PyObject* self, PyObject*) {
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  return PyBool_FromLong(st.control->running());
}

PyObject* server_stop(PyObject* self, PyObject*) {
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  std::shared_ptr<net::ServerControl> control = st.control;
  {
    ReleaseGil nogil;  // a waker may wait for the control block's lock
    control->request_stop();
  }
  Py_RETURN_NONE;
}

bool serve_port_arg(PyObject* obj, uint16_t& out) {
  if (!PyLong_Check(obj)) return fail_argument(obj, "int", "port");
  const long v = PyLong_AsLong(obj);
  if ((v == -1 && PyErr_Occurred()) || v < 0 || v > 65535) {
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    prefix_argument_error("port");
    return false;
  }
  out = static_cast<uint16_t>(v);
  return true;
}

/// What serve_async() adds to a server it starts: the program's loop and the set of calls in flight.
struct OnAppLoop {
  std::shared_ptr<LoopQueue> queue;
  Ref calls;
  std::shared_ptr<SharedRef> ended;  // a future of the loop, resolved once the server's runtime is gone
};

/// On the loop's thread: the server's runtime is gone.
void resolve_ended(SharedRef& ended) {
  Ref done = Ref::steal(PyObject_CallMethod(ended.object.get(), "done", nullptr));
  if (done && done.get() == Py_False)
    done = Ref::steal(PyObject_CallMethod(ended.object.get(), "set_result", "O", Py_None));
  if (!done) PyErr_Print();
}

/// Takes the snapshot and starts the server thread; false with an exception set.
bool start_server(PyObject* self, std::string host, uint16_t port, OnAppLoop* app) {
  ServerState& st = state_of(self);
  Borrow borrow(st.borrow, Borrow::Shared);
  if (!borrow.ok()) return false;
  if (st.control->running()) {
    PyErr_SetString(PyExc_RuntimeError, "server already running");
    return false;
  }
  if (!watch_interpreter_exit()) return false;

  const auto protocol = static_cast<Protocol>(st.protocol);
  if (static_cast<framing::Transport>(st.transport) == framing::Transport::Header) {
    if (auto id = framing::header_protocol_id(protocol); !id) {
      PyErr_SetString(PyExc_ValueError, id.error().text.c_str());
      return false;
    }
  }
  auto dispatcher = PyDispatcher::create(st.methods, st.handlers, st.schema, protocol, st.service_name);
  if (!dispatcher) return false;
  if (st.http_handler) dispatcher->set_http_handler(*st.http_handler);
  auto stats = new_stats(st.methods);
  dispatcher->set_stats(stats);
  dispatcher->set_hide_error_details(st.hide_error_details);
  dispatcher->set_transport(st.transport);
  dispatcher->set_interceptors(st.interceptors);
  std::shared_ptr<net::LineSink> log = st.logger ? logger_sink(st.logger.get()) : nullptr;
  dispatcher->set_log(log);
  net::ServeOptions options;
  options.host = std::move(host);
  options.port = port;
  options.transport = static_cast<framing::Transport>(st.transport);
  options.protocol = protocol;
  options.workers = net::effective_workers(st.workers);
  options.max_message_size = st.max_message_size;
  options.max_connections = st.max_connections;
  options.idle_timeout = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(std::min(st.idle_timeout, 86400.0 * 365 * 100)));
  options.reuse_port = st.reuse_port;
  options.stats = stats;
  options.metrics_path = st.metrics_path;
  options.tls = st.tls;
  options.log = log;
  if (app) {
    // The program's loop runs the coroutine handlers and decides what Ctrl+C does.
    dispatcher->serve_on(app->queue, Ref::borrow(app->calls.get()));
    options.stop_on_interrupt = false;
    options.hooks.on_stop = loop_thread_stop_hook;  // a coroutine HTTP handler's loop thread, if one started
  } else {
    std::weak_ptr<PyDispatcher> weak = dispatcher;
    auto start = [weak] {
      loop_thread_start_hook();
      auto queue = bound_loop_queue();
      if (auto d = weak.lock(); d && queue && d->hosts_connections()) d->register_loop(queue);
    };
    options.hooks = net::ThreadHooks{start, loop_thread_stop_hook};
  }
  options.stops_seen = st.control->stop_requests();
  const size_t workers = options.workers;
  const bool on_unix_socket = options.host.starts_with(net::kUnixHostPrefix);
  const std::string address = on_unix_socket ? options.host : options.host + ":" + std::to_string(port);
  if (on_unix_socket && (port != 0 || options.tls)) {
    PyErr_SetString(PyExc_ValueError, port != 0 ? "a unix socket is served with port 0"
                                                : "TLS is served on TCP ports only, not on a unix socket");
    return false;
  }
  static constexpr const char* kTransportNames[] = {"Framed", "Buffered", "Http", "Header"};
  const char* transport_name = kTransportNames[st.transport % 4];

  auto server = net::Server::create(std::move(options), st.control, dispatcher);
  if (!server) {
    raise_error(Error{server.error().kind, "failed to build the server's runtime: " + server.error().text},
                Operation::Connect);
    return false;
  }
  net::say(log,
           net::LogLine{net::Severity::Info,
                        "ThriftServer (" + std::string(transport_name) + ", " + std::to_string(workers) +
                            " workers) listening on " + address,
                        {}, {}, {}, {}},
           false);
  std::shared_ptr<net::Server> running(std::move(server).value());
  st.stats = std::move(stats);
  std::shared_ptr<LoopQueue> app_queue = app ? app->queue : nullptr;
  std::shared_ptr<SharedRef> ended = app ? app->ended : nullptr;
  Status spawned;
  {
    ReleaseGil nogil;
    spawned = net::spawn_detached("velvane-server", net::kServerThreadStack,
                                  [running, dispatcher, app_queue, ended]() mutable {
      running->run();
      running.reset();
      dispatcher.reset();  // attaches to drop the snapshot's references
      if (app_queue) app_queue->push([ended] { resolve_ended(*ended); });
    });
  }
  if (!spawned) {
    st.control->report_bind(st.control->latest_server_id(),
                            {net::ServerControl::BindReport::State::Failed, {}, 0, "failed to spawn thread"});
    PyErr_Format(PyExc_RuntimeError, "failed to spawn thread: %s", spawned.error().text.c_str());
    return false;
  }
  return true;
}

bool host_port_args(PyObject* const* a, std::string& host, uint16_t& port) {
  Py_ssize_t host_size;
  const char* text = str_arg(a[0], "host", &host_size);
  if (!text) return false;
  host.assign(text, static_cast<size_t>(host_size));
  return serve_port_arg(a[1], port);
}

PyObject* server_serve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args("serve", args, nargs, kwnames, {"host", "port"}, 2, a)) return nullptr;
  std::string host;
  uint16_t port = 0;
  if (!host_port_args(a, host, port)) return nullptr;
  if (!start_server(self, std::move(host), port, nullptr)) return nullptr;
  Py_RETURN_NONE;
}

// --- serve_async() -------------------------------------------------------------------------------

/// The coroutine behind serve_async(): `start` binds and serves on the running loop, returning the
/// future of the server's end, the set of calls in flight and the function that lets go of the loop.
constexpr const char* kServeAsyncSource = R"(
import asyncio

async def serve_async(start, stop, host, port, grace):
    ended, calls, finish = start(host, port)
    try:
        await asyncio.shield(ended)
    except asyncio.CancelledError:
        stop()
        await settle(ended, calls, grace)
        raise
    finally:
        finish()
    await settle(ended, calls, grace)

async def settle(ended, calls, grace):
    _, late = await asyncio.wait({ended, *calls}, timeout=grace)
    for call in late:
        if call is not ended:
            call.cancel()
)";

/// The serve_async coroutine function, compiled once for the process; nullptr with an exception set.
PyObject* serve_async_function() {
  static PyMutex lock;
  static PyObject* cached = nullptr;
  MutexLock guard(lock);
  if (cached) return cached;
  Ref code = Ref::steal(Py_CompileString(kServeAsyncSource, "<velvane serve_async>", Py_file_input));
  Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) return nullptr;
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  if (!done) return nullptr;
  PyObject* function = PyDict_GetItemString(globals.get(), "serve_async");
  if (!function) {
    PyErr_SetString(PyExc_RuntimeError, "serve_async helper missing");
    return nullptr;
  }
  cached = Py_NewRef(function);
  return cached;
}

constexpr const char* kAppQueueCapsule = "velvane.app_loop_queue";

std::shared_ptr<LoopQueue>* app_queue_of(PyObject* capsule) {
  return static_cast<std::shared_ptr<LoopQueue>*>(PyCapsule_GetPointer(capsule, kAppQueueCapsule));
}

/// finish(): the server is done with the program's loop; its connections and queued work are dropped.
PyObject* serve_async_finish(PyObject* capsule, PyObject*) {
  auto* owned = app_queue_of(capsule);
  if (!owned) return nullptr;
  LoopQueue& queue = **owned;
  queue.stop();
  if (!queue.loop) Py_RETURN_NONE;
  end_hosted_sessions(queue);
  Ref removed = Ref::steal(PyObject_CallMethod(queue.loop, "remove_reader", "i", queue.event_fd));
  if (!removed) PyErr_Clear();
  queue.loop = nullptr;
  std::deque<std::function<void()>> left;
  {
    std::lock_guard guard(queue.mutex);
    left.swap(queue.jobs);
  }
  Py_RETURN_NONE;
}

PyMethodDef finish_def = method_entry<serve_async_finish>("finish", METH_NOARGS, nullptr);

/// Waits for the bind of the server just started; false with OSError when it failed.
bool wait_for_bind(const std::shared_ptr<net::ServerControl>& control) {
  using State = net::ServerControl::BindReport::State;
  for (;;) {
    net::ServerControl::BindReport report;
    {
      ReleaseGil nogil;
      report = control->wait_bind(std::chrono::milliseconds(50));
    }
    if (report.state == State::Failed) {
      raise_error(Error{ErrorKind::Os, report.error}, Operation::Connect);
      return false;
    }
    if (report.state != State::Pending) return true;
  }
}

/// start(host, port), the first step of serve_async(): binds, then serves on the running loop.
PyObject* serve_async_start(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  std::string host;
  uint16_t port = 0;
  if (nargs != 2 || !host_port_args(args, host, port)) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "start() takes host and port");
    return nullptr;
  }
  Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
  Ref loop = asyncio ? Ref::steal(PyObject_CallMethod(asyncio.get(), "get_running_loop", nullptr)) : Ref();
  if (!loop) return nullptr;
  auto queue = std::make_shared<LoopQueue>();
  queue->event_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (queue->event_fd < 0) return PyErr_SetFromErrno(PyExc_OSError);
  auto* owned = new std::shared_ptr<LoopQueue>(queue);
  Ref capsule = Ref::steal(PyCapsule_New(owned, kAppQueueCapsule, [](PyObject* c) { delete app_queue_of(c); }));
  if (!capsule) {
    delete owned;
    return nullptr;
  }
  Ref finish = Ref::steal(PyCFunction_New(&finish_def, capsule.get()));
  if (!finish) return nullptr;
  OnAppLoop app{queue, Ref::steal(PySet_New(nullptr)), nullptr};
  Ref ended = app.calls ? Ref::steal(PyObject_CallMethod(loop.get(), "create_future", nullptr)) : Ref();
  if (!ended) return nullptr;
  app.ended = std::make_shared<SharedRef>(ended.get());
  if (!watch_loop_queue(queue, loop.get())) return nullptr;
  auto let_go = [&] {
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    Ref done = Ref::steal(PyObject_CallNoArgs(finish.get()));
    if (!done) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    return nullptr;
  };
  if (!start_server(self, std::move(host), port, &app)) return let_go();
  std::shared_ptr<net::ServerControl> control = state_of(self).control;
  if (!wait_for_bind(control)) return let_go();
  return PyTuple_Pack(3, ended.get(), app.calls.get(), finish.get());
}

PyMethodDef start_def = method_entry<serve_async_start>("start", METH_FASTCALL, nullptr);

PyObject* server_serve_async(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3] = {nullptr, nullptr, nullptr};
  if (!parse_args("serve_async", args, nargs, kwnames, {"host", "port", "grace"}, 2, a)) return nullptr;
  std::string host;
  uint16_t port = 0;
  if (!host_port_args(a, host, port)) return nullptr;
  double grace = 5.0;
  if (a[2]) {
    grace = PyFloat_AsDouble(a[2]);
    if (grace == -1.0 && PyErr_Occurred()) {
      prefix_argument_error("grace");
      return nullptr;
    }
    if (!(grace >= 0) || grace > 1e9) {
      PyErr_SetString(PyExc_ValueError, "grace must be a non-negative number of seconds");
      return nullptr;
    }
  }
  PyObject* function = serve_async_function();
  if (!function) return nullptr;
  Ref start = Ref::steal(PyCFunction_New(&start_def, self));
  Ref stop = start ? Ref::steal(PyObject_GetAttrString(self, "stop")) : Ref();
  Ref seconds = stop ? Ref::steal(PyFloat_FromDouble(grace)) : Ref();
  if (!seconds) return nullptr;
  return PyObject_CallFunctionObjArgs(function, start.get(), stop.get(), a[0], a[1], seconds.get(), nullptr);
}

/// Seconds as a wait limit; nullopt for None (no limit).
bool timeout_arg(PyObject* obj, std::optional<std::chrono::steady_clock::duration>& out) {
  if (!obj || obj == Py_None) return true;
  const double seconds = PyFloat_AsDouble(obj);
  if (seconds == -1.0 && PyErr_Occurred()) {
    prefix_argument_error("timeout");
    return false;
  }
  if (!(seconds >= 0) || seconds > 1e9) {
    PyErr_SetString(PyExc_ValueError, "timeout must be a non-negative number of seconds");
    return false;
  }
  out = std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds));
  return true;
}

PyObject* server_wait_listening(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using State = net::ServerControl::BindReport::State;
  PyObject* timeout = Py_None;
  if (!parse_args("wait_listening", args, nargs, kwnames, {"timeout"}, 0, &timeout)) return nullptr;
  std::optional<std::chrono::steady_clock::duration> limit;
  if (!timeout_arg(timeout, limit)) return nullptr;
  ServerState& st = state_of(self);
  std::shared_ptr<net::ServerControl> control;
  {
    Borrow borrow(st.borrow, Borrow::Shared);
    if (!borrow.ok()) return nullptr;
    control = st.control;
  }
  const auto deadline = std::chrono::steady_clock::now() + limit.value_or(std::chrono::steady_clock::duration{});
  constexpr std::chrono::milliseconds kSlice{50};  // how soon Ctrl+C is seen
  for (;;) {
    auto wait = std::chrono::milliseconds(kSlice);
    if (limit) {
      const auto left = deadline - std::chrono::steady_clock::now();
      wait = std::clamp(std::chrono::ceil<std::chrono::milliseconds>(left), std::chrono::milliseconds{0}, kSlice);
    }
    net::ServerControl::BindReport report;
    {
      ReleaseGil nogil;
      report = control->wait_bind(wait);
    }
    switch (report.state) {
      case State::Listening:
        return Py_BuildValue("(s#H)", report.host.data(), static_cast<Py_ssize_t>(report.host.size()), report.port);
      case State::Failed:
        raise_error(Error{ErrorKind::Os, report.error}, Operation::Connect);
        return nullptr;
      case State::None:
      case State::Ended:
        PyErr_SetString(PyExc_RuntimeError, "server is not running");
        return nullptr;
      case State::Pending:
        break;
    }
    if (PyErr_CheckSignals() < 0) return nullptr;
    if (limit && std::chrono::steady_clock::now() >= deadline) {
      raise_error(Error{ErrorKind::TimedOut, "the server did not start listening within the timeout"},
                  Operation::Connect);
      return nullptr;
    }
  }
}

/// `d[key] = value`, taking the reference to `value`.
bool put(PyObject* d, const char* key, PyObject* value) {
  Ref owned = Ref::steal(value);
  return owned && PyDict_SetItemString(d, key, owned.get()) == 0;
}

PyObject* latency_buckets(const net::ServerStats::MethodSnapshot& m) {
  Ref buckets = Ref::steal(PyDict_New());
  if (!buckets) return nullptr;
  for (size_t b = 0; b < m.buckets.size(); ++b) {
    const double bound = b < net::ServerStats::kLatencyBounds.size() ? net::ServerStats::kLatencyBounds[b]
                                                                      : std::numeric_limits<double>::infinity();
    Ref key = Ref::steal(PyFloat_FromDouble(bound));
    Ref count = Ref::steal(PyLong_FromUnsignedLongLong(m.buckets[b]));
    if (!key || !count || PyDict_SetItem(buckets.get(), key.get(), count.get()) < 0) return nullptr;
  }
  return buckets.release();
}

PyObject* server_stats(PyObject* self, PyObject*) {
  ServerState& st = state_of(self);
  std::shared_ptr<net::ServerStats> stats;
  {
    Borrow borrow(st.borrow, Borrow::Shared);
    if (!borrow.ok()) return nullptr;
    stats = st.stats ? st.stats : new_stats(st.methods);
  }
  const net::ServerStats::Snapshot s = stats->snapshot();
  Ref methods = Ref::steal(PyDict_New());
  if (!methods) return nullptr;
  for (const auto& m : s.methods) {
    Ref entry = Ref::steal(PyDict_New());
    if (!entry || !put(entry.get(), "calls", PyLong_FromUnsignedLongLong(m.calls)) ||
        !put(entry.get(), "errors", PyLong_FromUnsignedLongLong(m.errors)) ||
        !put(entry.get(), "latency_buckets", latency_buckets(m)) ||
        !put(entry.get(), "latency_sum", PyFloat_FromDouble(m.seconds)))
      return nullptr;
    if (PyDict_SetItemString(methods.get(), m.name.c_str(), entry.get()) < 0) return nullptr;
  }
  Ref out = Ref::steal(PyDict_New());
  if (!out || !put(out.get(), "connections_accepted", PyLong_FromUnsignedLongLong(s.accepted)) ||
      !put(out.get(), "connections_open", PyLong_FromUnsignedLongLong(s.open)) ||
      !put(out.get(), "connections_refused", PyLong_FromUnsignedLongLong(s.refused)) ||
      !put(out.get(), "bytes_in", PyLong_FromUnsignedLongLong(s.bytes_in)) ||
      !put(out.get(), "bytes_out", PyLong_FromUnsignedLongLong(s.bytes_out)) ||
      !put(out.get(), "methods", methods.release()))
    return nullptr;
  return out.release();
}

// --- Properties --------------------------------------------------------------------------------

PyObject* get_transport(PyObject* self, void*) {
  Borrow borrow(state_of(self).borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  return enum_member(Cls::TransportType, state_of(self).transport);
}

int set_transport(PyObject* self, PyObject* value, void*) {
  if (refuse_delete(value)) return -1;
  uint8_t v;
  if (!transport_arg(value, "transport", v)) return -1;
  Borrow borrow(state_of(self).borrow, Borrow::Exclusive);
  if (!borrow.ok()) return -1;
  state_of(self).transport = v;
  return 0;
}

PyObject* get_protocol(PyObject* self, void*) {
  Borrow borrow(state_of(self).borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  return enum_member(Cls::ProtocolType, state_of(self).protocol);
}

int set_protocol(PyObject* self, PyObject* value, void*) {
  if (refuse_delete(value)) return -1;
  Protocol p;
  if (!protocol_arg(value, "protocol", p)) return -1;
  Borrow borrow(state_of(self).borrow, Borrow::Exclusive);
  if (!borrow.ok()) return -1;
  state_of(self).protocol = static_cast<uint8_t>(p);
  return 0;
}

int set_workers(PyObject* self, PyObject* value, void*) {
  if (refuse_delete(value)) return -1;
  size_t v = 0;
  if (!workers_arg(value, v)) return -1;
  Borrow borrow(state_of(self).borrow, Borrow::Exclusive);
  if (!borrow.ok()) return -1;
  state_of(self).workers = v;
  return 0;
}

/// A read-write size_t setting of the server: 0 or more.
template <size_t ServerState::*Field>
PyObject* get_size(PyObject* self, void*) {
  Borrow borrow(state_of(self).borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  return PyLong_FromSize_t(state_of(self).*Field);
}

template <size_t ServerState::*Field, const char* Name>
int set_size(PyObject* self, PyObject* value, void*) {
  if (refuse_delete(value)) return -1;
  size_t v = 0;
  if (!size_arg(value, Name, v)) return -1;
  Borrow borrow(state_of(self).borrow, Borrow::Exclusive);
  if (!borrow.ok()) return -1;
  state_of(self).*Field = v;
  return 0;
}

PyObject* get_idle_timeout(PyObject* self, void*) {
  Borrow borrow(state_of(self).borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  const double seconds = state_of(self).idle_timeout;
  if (seconds <= 0) Py_RETURN_NONE;
  return PyFloat_FromDouble(seconds);
}

int set_idle_timeout(PyObject* self, PyObject* value, void*) {
  if (refuse_delete(value)) return -1;
  double seconds = 0;
  if (value != Py_None) {
    if (!PyLong_Check(value) && !PyFloat_Check(value)) return fail_argument(value, "float", "idle_timeout"), -1;
    seconds = PyFloat_AsDouble(value);
    if (seconds == -1.0 && PyErr_Occurred()) return -1;
    if (!(seconds > 0)) {
      PyErr_SetString(PyExc_ValueError, "idle_timeout must be None or a positive number of seconds");
      return -1;
    }
  }
  Borrow borrow(state_of(self).borrow, Borrow::Exclusive);
  if (!borrow.ok()) return -1;
  state_of(self).idle_timeout = seconds;
  return 0;
}

constexpr char kMaxMessageSize[] = "max_message_size";
constexpr char kMaxConnections[] = "max_connections";

template <bool ServerState::*Field>
PyObject* get_flag(PyObject* self, void*) {
  Borrow borrow(state_of(self).borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  return PyBool_FromLong(state_of(self).*Field);
}

template <bool ServerState::*Field, const char* Name>
int set_flag(PyObject* self, PyObject* value, void*) {
  if (refuse_delete(value)) return -1;
  if (!PyBool_Check(value)) return fail_argument(value, "bool", Name), -1;
  Borrow borrow(state_of(self).borrow, Borrow::Exclusive);
  if (!borrow.ok()) return -1;
  state_of(self).*Field = value == Py_True;
  return 0;
}

PyObject* get_metrics_path(PyObject* self, void*) {
  Borrow borrow(state_of(self).borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  const std::string& path = state_of(self).metrics_path;
  if (path.empty()) Py_RETURN_NONE;
  return str_from(path);
}

int set_metrics_path(PyObject* self, PyObject* value, void*) {
  if (refuse_delete(value)) return -1;
  std::string path;
  if (value != Py_None) {
    Py_ssize_t size;
    const char* text = str_arg(value, "metrics_path", &size);
    if (!text) return -1;
    path.assign(text, static_cast<size_t>(size));
    const bool printable = std::all_of(path.begin(), path.end(), [](char c) { return c > ' ' && c != 127; });
    if (!path.starts_with('/') || !printable) {
      PyErr_SetString(PyExc_ValueError, "metrics_path must start with '/' and hold no spaces or control characters");
      return -1;
    }
  }
  Borrow borrow(state_of(self).borrow, Borrow::Exclusive);
  if (!borrow.ok()) return -1;
  state_of(self).metrics_path = std::move(path);
  return 0;
}
constexpr char kReusePort[] = "reuse_port";
constexpr char kHideErrorDetails[] = "hide_error_details";

// --- The class ---------------------------------------------------------------------------------

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"service", "transport", "workers", "protocol", nullptr};
  PyObject *service, *transport = nullptr, *workers = nullptr, *protocol = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|OOO:ThriftServer", const_cast<char**>(keywords), &service,
                                   &transport, &workers, &protocol))
    return nullptr;
  if (!PyObject_TypeCheck(service, cls(Cls::PyThriftService)))
    return fail_argument(service, "PyThriftService", "service"), nullptr;
  auto st = std::make_unique<ServerState>();
  if (transport && !transport_arg(transport, "transport", st->transport)) return nullptr;
  if (workers && !workers_arg(workers, st->workers)) return nullptr;
  Protocol p = Protocol::Binary;
  if (protocol && !protocol_arg(protocol, "protocol", p)) return nullptr;
  st->protocol = static_cast<uint8_t>(p);
  st->methods = reinterpret_cast<ServiceViewObject*>(service)->service->methods;
  st->schema = reinterpret_cast<ServiceViewObject*>(service)->schema;
  st->service_name = reinterpret_cast<ServiceViewObject*>(service)->service->name;

  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<ServerObject*>(self)->state = st.release();
  return self;
}

/// The registered callables: a handler may hold the server (a bound method of an object that owns
/// it), so the collector must see them. A running server's snapshot holds references of its own.
int server_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  ServerState* st = reinterpret_cast<ServerObject*>(self)->state;
  if (!st) return 0;
  for (const auto& [name, entry] : st->handlers) Py_VISIT(entry.object.get());
  if (st->http_handler) Py_VISIT(st->http_handler->object.get());
  Py_VISIT(st->logger.get());
  return visit_interceptors(st->interceptors, visit, arg);
}

int server_clear(PyObject* self) {
  ServerState* st = reinterpret_cast<ServerObject*>(self)->state;
  if (!st) return 0;
  // Taken out first: dropping a handler runs arbitrary code, which must find the server consistent.
  auto handlers = std::move(st->handlers);
  st->handlers.clear();
  auto http_handler = std::move(st->http_handler);
  st->http_handler.reset();
  InterceptorList interceptors = std::move(st->interceptors);
  Ref logger = std::move(st->logger);
  return 0;
}

/// A running server keeps running: its thread holds what it needs.
void server_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  PyTypeObject* type = Py_TYPE(self);
  std::unique_ptr<ServerState> owned(std::exchange(reinterpret_cast<ServerObject*>(self)->state, nullptr));
  owned.reset();
  type->tp_free(self);
  Py_DECREF(type);
}

constexpr const char* kHttpHandlerDoc =
    "register_http_handler($self, handler)\n--\n\n"
    "Register an optional callback for connections that begin like HTTP.\n\n"
    "After accepting a connection the server peeks at its first bytes. When they begin with an HTTP\n"
    "request method followed by a space (`GET `, `POST `, `PUT `, `HEAD `, `DELETE `, `PATCH `,\n"
    "`OPTIONS `, `TRACE `, `CONNECT `), the TCP socket is turned into a Python `socket.socket` (via\n"
    "`fileno=`) and passed as `handler(sock)`; the Thrift decoder does not run on that connection.\n"
    "Other traffic is served as Thrift, unchanged.\n\n"
    "This lets HTTP health checks, metrics scrapes and manual checks reach the service port without\n"
    "a second listening port. It is not a full HTTP server: the callback owns parsing the request\n"
    "and writing the response. The handler may be a plain function or an `async def` function.";

constexpr const char* kAddServiceDoc =
    "add_service($self, service, name=None)\n--\n\n"
    "Host another service on the same port, as a multiplexing server does.\n\n"
    "Requests named `\"name:method\"` (`name` defaults to the service's IDL name) go to the handler\n"
    "registered as `register_handler(\"name:method\", fn)`. Names without a colon, and those\n"
    "prefixed with the constructor's service name, go to the constructor's service. An unknown\n"
    "service name is answered with the application error \"unknown method\". The service's types\n"
    "must be in the server's schema (the default service's document, or the one `set_parser` gave).";

PyMethodDef server_methods[] = {
    method_entry<server_set_parser>("set_parser", METH_FASTCALL | METH_KEYWORDS,
                                    "set_parser($self, parser)\n--\n\n"
                                    "Takes the schema of `parser`'s current document to convert struct values with; "
                                    "without it the\nschema is the document the service came from."),
    method_entry<server_register_handler>("register_handler", METH_FASTCALL | METH_KEYWORDS,
                                          "register_handler($self, method_name, handler)\n--\n\n"
                                          "Registers `handler` (a function or an `async def` function) to answer "
                                          "`method_name`; it is\ncalled with the arguments as keywords."),
    method_entry<server_add_service>("add_service", METH_FASTCALL | METH_KEYWORDS, kAddServiceDoc),
    method_entry<server_register_http_handler>("register_http_handler", METH_FASTCALL | METH_KEYWORDS, kHttpHandlerDoc),
    method_entry<server_clear_http_handler>(
        "clear_http_handler", METH_NOARGS,
        "clear_http_handler($self)\n--\n\nRemove the HTTP probe callback so all connections use Thrift only."),
    method_entry<server_set_tls>("set_tls", METH_FASTCALL | METH_KEYWORDS, kServerSetTlsDoc),
    method_entry<server_add_interceptor>(
        "add_interceptor", METH_FASTCALL | METH_KEYWORDS,
        "add_interceptor($self, interceptor)\n--\n\n"
        "Appends `interceptor` to the objects whose optional methods run around each handler call:\n"
        "`before(ctx, args)` (the RequestContext and the arguments as a dict, which the handler is then\n"
        "called with) in the order added, and `after(ctx, result, error, duration)` in the reverse order.\n"
        "A hook that raises fails the call: the caller gets application error 6. `async def` hooks are\n"
        "awaited for `async def` handlers. Taken when serve() starts the server."),
    method_entry<server_set_logger>(
        "set_logger", METH_FASTCALL | METH_KEYWORDS,
        "set_logger($self, logger)\n--\n\n"
        "Sends the server's status and error lines to `logger` (a logging.Logger; None, the default,\n"
        "for the process's stdout and stderr): status at INFO, connection errors at WARNING, bind and\n"
        "accept errors at ERROR, each with the extra fields peer, method and error_kind (None when they\n"
        "do not apply). An exception a handler raises that its method does not declare is logged at\n"
        "ERROR with its traceback, a call an interceptor refused at WARNING. The records are made on the server's console thread, in order, so a\n"
        "slow logging handler never holds up serving. Taken when serve() starts the server."),
    method_entry<server_current_request>(
        "current_request", METH_NOARGS | METH_STATIC,
        "current_request()\n--\n\n"
        "Inside a handler (plain or `async def`), the RequestContext of the request it answers: peer,\n"
        "method, seqid, protocol, transport, headers, tls_peer_subject and deadline. None elsewhere."),
    method_entry<server_is_running>("is_running", METH_NOARGS,
                                    "is_running($self)\n--\n\n"
                                    "True while the server is serving."),
    method_entry<server_serve>("serve", METH_FASTCALL | METH_KEYWORDS,
                               "serve($self, host, port)\n--\n\n"
                               "Binds `host`:`port` and starts serving on the server's own threads, returning\n"
                               "at once; stop() (or Ctrl+C) ends it."),
    method_entry<server_serve_async>(
        "serve_async", METH_FASTCALL | METH_KEYWORDS,
        "serve_async($self, host, port, grace=5.0)\n--\n\n"
        "Binds `host`:`port` (raising OSError at once when that fails) and serves on the running asyncio\n"
        "loop until stop() is called: `async def` handlers run on that loop, in a copy of the caller's\n"
        "context (as its tasks, but for those without await, which run at once); plain handlers on the\n"
        "server's threads. When the awaiting task is cancelled, the server stops, the calls in flight\n"
        "get `grace` seconds to finish (the rest are cancelled) and the cancellation goes on."),
    method_entry<server_wait_listening>(
        "wait_listening", METH_FASTCALL | METH_KEYWORDS,
        "wait_listening($self, timeout=None)\n--\n\n"
        "Waits until the server started by serve() listens and returns the bound (host, port): with\n"
        "port 0, the port the system chose. Raises OSError with the bind error when binding failed,\n"
        "TimeoutError when `timeout` seconds pass first, and RuntimeError when no server is running.\n"
        "The interpreter is released while waiting; Ctrl+C interrupts the wait."),
    method_entry<server_stats>(
        "stats", METH_NOARGS,
        "stats($self)\n--\n\n"
        "The counters of the latest serve() as a dict: connections_accepted, connections_open,\n"
        "connections_refused (ended by the server with a connection error), bytes_in and bytes_out (request\n"
        "and reply messages), and methods: for each method of the service its calls, errors (calls\n"
        "answered with an exception, declared or not), latency_buckets (upper bound in seconds to the\n"
        "number of calls that took at most that long; the last bound is inf) and latency_sum (seconds)."),
    method_entry<server_stop>(
        "stop", METH_NOARGS,
        "stop($self)\n--\n\nStop the running server (if any). This will notify the accept loop to exit\n"
        "and clear the `running` flag."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef server_getset[] = {
    property_entry<get_transport, set_transport>(
        "transport", "The TransportType the server speaks (Framed by default); taken when serve() starts."),
    property_entry<get_protocol, set_protocol>(
        "protocol", "The ProtocolType the server speaks (Binary by default); taken when serve() starts."),
    property_entry<get_size<&ServerState::workers>, set_workers>(
        "workers", "The number of runtime worker threads (1 by default); taken when serve() starts."),
    property_entry<get_size<&ServerState::max_message_size>, set_size<&ServerState::max_message_size, kMaxMessageSize>>(
        kMaxMessageSize,
        "The largest request, in bytes, the server reads (a framed message's 4-byte length not counted);\n"
        "16 MiB (16777216) by default, 0 for no limit. A larger request ends its connection with the line\n"
        "\"connection error: message ... is larger than max_message_size (N bytes)\" on standard error,\n"
        "before its body is kept: a framed one as soon as its length is read, a buffered one as soon as\n"
        "the server holds one byte more than the limit. Taken when serve() starts the server."),
    property_entry<get_size<&ServerState::max_connections>, set_size<&ServerState::max_connections, kMaxConnections>>(
        kMaxConnections,
        "The most connections the server keeps open at once; 0, the default, sets no limit. While that\n"
        "many are open the server accepts no more: newcomers wait in the listen backlog (which the\n"
        "kernel bounds) and are accepted as open connections end. Taken when serve() starts the server."),
    property_entry<get_flag<&ServerState::reuse_port>, set_flag<&ServerState::reuse_port, kReusePort>>(
        kReusePort,
        "Whether the listening socket is bound with SO_REUSEPORT (False by default). Several servers,\n"
        "typically in several processes, then listen on one host and port, and the kernel spreads new\n"
        "connections over them: a way to use more than one core for Python handlers. Every server\n"
        "sharing the port must set it. Taken when serve() starts the server."),
    property_entry<get_metrics_path, set_metrics_path>(
        "metrics_path",
        "A path such as \"/metrics\" (None, the default, for none): an HTTP GET of it on the server's port\n"
        "is answered with stats() in the Prometheus text exposition format. Other HTTP requests go to\n"
        "the HTTP handler, or get 404 without one. Taken when serve() starts the server."),
    property_entry<get_idle_timeout, set_idle_timeout>(
        "idle_timeout",
        "Seconds a connection may send nothing before the server closes it (silently), or None (the\n"
        "default) to keep idle connections open for ever. Taken when serve() starts the server."),
    property_entry<get_flag<&ServerState::hide_error_details>, set_flag<&ServerState::hide_error_details, kHideErrorDetails>>(
        kHideErrorDetails,
        "Whether callers see what went wrong inside the server (False by default: an exception a handler\n"
        "raises that the method does not declare reaches the caller as application error 6 with its class\n"
        "and text). When True, the caller gets application error 6 with the message \"Internal error\", and\n"
        "the exception's text and traceback go to the server's standard error. Taken when serve() starts\n"
        "the server."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot server_slots[] = {
    {Py_tp_doc, const_cast<char*>("ThriftServer(service, transport=..., workers=1, protocol=...)\n--\n\n")},
    slot_entry<server_new>(Py_tp_new),
    slot_entry<server_dealloc>(Py_tp_dealloc),
    slot_entry<server_traverse>(Py_tp_traverse),
    slot_entry<server_clear>(Py_tp_clear),
    {Py_tp_methods, server_methods},
    {Py_tp_getset, server_getset},
    {0, nullptr},
};

}  // namespace

PyObject* create_thrift_server() {
  PyType_Spec spec = {"velvane.ThriftServer", sizeof(ServerObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC, server_slots};
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type || !add_nested_class(type.get(), "RequestContext", request_context_type())) return nullptr;
  return type.release();
}

}  // namespace velvane::py
