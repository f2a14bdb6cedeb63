// src/python/server_dispatch.cpp: a server's requests turned into handler calls, and their returns
// and exceptions into replies.
//
// A runtime worker thread decodes the request (no interpreter needed) and hands the call on: a plain
// handler to a blocking-pool thread, a coroutine handler to the asyncio loop thread bound to the
// worker. Only those threads attach to the interpreter.
#include <array>
#include <atomic>
#include <csignal>

#include "engine/call.h"
#include "net/console.h"
#include "python/server.h"

namespace velvane::py {

// --- Threads of ours and the interpreter --------------------------------------------------------

namespace {

std::atomic<bool> g_exiting{false};

PyObject* note_exit(PyObject*, PyObject*) {
  g_exiting.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef note_exit_def = method_entry<note_exit>("_velvane_note_exit", METH_NOARGS, nullptr);

/// The thread state a thread of ours made for itself; released when the thread ends.
struct OwnThreadState {
  PyThreadState* state = nullptr;
  PyGILState_STATE gil = PyGILState_UNLOCKED;
  ~OwnThreadState() {
    if (!state || interpreter_going_away()) return;  // left behind: the interpreter is going away
    PyEval_RestoreThread(state);
    PyGILState_Release(gil);
  }
};

thread_local OwnThreadState t_own_state;

}  // namespace

bool interpreter_going_away() { return g_exiting.load(std::memory_order_acquire) || Py_IsFinalizing(); }

void drop_reference(Ref& object) {
  if (!object) return;
  if (interpreter_going_away()) {
    object.release();
    return;
  }
  // (Not PyGILState_Check: once a subinterpreter has existed it answers yes on every thread.)
  if (PyThreadState_GetUnchecked()) {
    object.reset();
    return;
  }
  const PyGILState_STATE gil = PyGILState_Ensure();
  object.reset();
  PyGILState_Release(gil);
}

bool watch_interpreter_exit() {
  static std::atomic<bool> registered{false};
  if (registered.load(std::memory_order_acquire)) return true;
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  Ref callback = Ref::steal(PyCFunction_New(&note_exit_def, nullptr));
  if (!callback) return false;
  Ref done = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", callback.get()));
  if (!done) return false;
  registered.store(true, std::memory_order_release);
  return true;
}

Attach::Attach() : ok_(false) {
  if (interpreter_going_away()) return;
  ok_ = true;
  if (PyThreadState* mine = PyGILState_GetThisThreadState()) {
    PyEval_RestoreThread(mine);
    return;
  }
  t_own_state.gil = PyGILState_Ensure();
  t_own_state.state = PyThreadState_Get();
}

Attach::~Attach() {
  if (ok_) PyEval_SaveThread();
}

std::string exception_text(PyObject* exc) {
  std::string out;
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
  const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  out = name ? name : "<unknown>";
  if (!name) PyErr_Clear();
  Ref str = Ref::steal(PyObject_Str(exc));
  Py_ssize_t size = 0;
  const char* text = str ? PyUnicode_AsUTF8AndSize(str.get(), &size) : nullptr;
  if (!text) {
    PyErr_Clear();
    return out + ": <exception str() failed>";
  }
  return out + ": " + std::string(text, static_cast<size_t>(size));
}

std::string take_exception_text() {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return "unknown error";
  return exception_text(exc.get());
}

// --- The snapshot ------------------------------------------------------------------------------

std::shared_ptr<PyDispatcher> PyDispatcher::create(std::vector<MethodDef> methods,
                                                   const std::unordered_map<std::string, HandlerEntry>& handlers,
                                                   std::shared_ptr<const PySchema> schema, Protocol protocol,
                                                   std::string service_name) {
  std::shared_ptr<PyDispatcher> d(new PyDispatcher());
  d->service_name_ = std::move(service_name);
  d->defs_ = std::move(methods);
  d->schema_ = std::move(schema);
  d->protocol_ = protocol;
  for (const auto& [name, entry] : handlers)
    d->handlers_.emplace(name, HandlerEntry{Ref::borrow(entry.object.get()), entry.coroutine,
                                            Ref::borrow(entry.straight.get())});
  d->methods_.resize(d->defs_.size());
  for (size_t i = 0; i < d->defs_.size(); ++i) {
    const MethodDef& def = d->defs_[i];
    Method& m = d->methods_[i];
    m.def = &def;
    m.arguments.name = def.name + "_args";
    m.arguments.fields = def.arguments;
    m.keyword_names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(def.arguments.size())));
    if (!m.keyword_names) return nullptr;
    for (size_t k = 0; k < def.arguments.size(); ++k) {
      PyObject* name = str_from(def.arguments[k].name);
      if (!name) return nullptr;
      PyUnicode_InternInPlace(&name);
      PyTuple_SET_ITEM(m.keyword_names.get(), static_cast<Py_ssize_t>(k), name);
    }
    if (!def.return_type.is_void()) m.result = d->schema_->plan_type(def.return_type);
    for (const ThriftField& f : def.exceptions) m.exceptions.push_back(d->schema_->plan_type(f.field_type));
    auto h = d->handlers_.find(def.name);
    if (h != d->handlers_.end() && h->second.coroutine) d->any_coroutine_ = true;
    m.handler = h == d->handlers_.end() ? nullptr : &h->second;
    d->by_name_.try_emplace(def.name, i);
  }
  return d;
}

PyDispatcher::~PyDispatcher() {
  if (interpreter_going_away()) {
    // Too late to run Python code: the references are left to the process's end.
    for (auto& [name, entry] : handlers_) entry.object.release();
    for (Method& m : methods_) m.keyword_names.release();
    calls_.release();
    new std::shared_ptr<const PySchema>(std::move(schema_));
    if (interceptors_) new InterceptorList(std::move(interceptors_));
    return;
  }
  const PyGILState_STATE gil = PyGILState_Ensure();
  handlers_.clear();
  methods_.clear();
  schema_.reset();
  calls_.reset();
  interceptors_.reset();
  PyGILState_Release(gil);
}

// --- Replies -----------------------------------------------------------------------------------

namespace {

/// A request that cannot be decoded ends its connection: the reader's text as invalid data, or the
/// stream's own end-of-input error when the message stopped short.
Error request_error(const Error& e) {
  if (e.kind == ErrorKind::EndOfInput) {
    constexpr std::string_view kPrefix = "IO error: ";
    std::string_view text = e.text;
    if (text.starts_with(kPrefix)) text.remove_prefix(kPrefix.size());
    return Error{ErrorKind::EndOfInput, std::string(text)};
  }
  return Error{ErrorKind::InvalidData, e.text};
}

/// A result reply with field `id` written from `value` under `type`, or no field when `type` is null
/// (a void method). False with the writer's exception set.
template <class W>
bool encode_reply_with(std::string& out, const MessageHeader& h, int16_t id, const TypePlan* type, PyObject* value,
                       const PySchema& schema) {
  W w(out);
  w.message_begin(h.name, wire::kReply, h.seqid);
  w.struct_begin();
  if (type) {
    w.field_begin(type->wire_id, id);
    if (!write_python_value(w, *type, value, schema)) return false;
    w.field_end();
  }
  w.struct_end();
  w.message_end();
  if (Status s = w.finish(); !s) {
    raise_error(s.error(), Operation::Write);
    return false;
  }
  return true;
}

bool encode_reply(std::string& out, Protocol protocol, const MessageHeader& h, int16_t id, const TypePlan* type,
                  PyObject* value, const PySchema& schema) {
  out.reserve(256);
  switch (protocol) {
    case Protocol::Binary: return encode_reply_with<BinaryWriter>(out, h, id, type, value, schema);
    case Protocol::Compact: return encode_reply_with<CompactWriter>(out, h, id, type, value, schema);
    case Protocol::Json: return encode_reply_with<JsonWriter>(out, h, id, type, value, schema);
    case Protocol::StandardCompact: return encode_reply_with<StandardCompactWriter>(out, h, id, type, value, schema);
    case Protocol::StandardJson: return encode_reply_with<StandardJsonWriter>(out, h, id, type, value, schema);
  }
  return false;
}

bool name_matches(std::string_view type_name, std::string_view class_name) {
  if (type_name == class_name) return true;
  const size_t dot = type_name.rfind('.');
  return dot != std::string_view::npos && type_name.substr(dot + 1) == class_name;
}

}  // namespace

net::Outcome PyDispatcher::application_error(const MessageHeader& header, bool oneway, std::string_view message,
                                             wire::AppErrorType type) const {
  if (oneway) return net::Outcome{};
  return net::Outcome::reply(engine::encode_application_error(protocol_, header, message, type));
}

net::Outcome PyDispatcher::application_error(const Call& call, std::string_view message,
                                             wire::AppErrorType type) const {
  count(call, true);
  return application_error(call.header, call.oneway, message, type);
}

void PyDispatcher::log_exception(const Call& call, PyObject* exc, net::Severity severity, std::string_view what) const {
  Ref kind = Ref::steal(PyType_GetQualName(Py_TYPE(exc)));
  const char* kind_text = kind ? PyUnicode_AsUTF8(kind.get()) : nullptr;
  if (!kind_text) PyErr_Clear();
  net::report_line(log_, net::LogLine{severity, std::string(what) + ": " + exception_text(exc),
                                      call.meta.peer ? call.meta.peer->address : std::string(),
                                      methods_[call.method].def->name, kind_text ? kind_text : "",
                                      exception_attachment(exc)});
}

net::Outcome PyDispatcher::failure(const Call& call, PyObject* exc) const {
  if (log_) log_exception(call, exc, net::Severity::Error, "handler error");
  if (!hide_error_details_) return application_error(call, exception_text(exc), wire::kInternalError);
  if (!log_) PyErr_DisplayException(exc);  // text and traceback, on sys.stderr
  return application_error(call, "Internal error", wire::kInternalError);
}

net::Outcome PyDispatcher::refusal(const Call& call, PyObject* exc) const {
  if (log_) log_exception(call, exc, net::Severity::Warning, "call refused");
  return application_error(call, hide_error_details_ ? "Internal error" : exception_text(exc), wire::kInternalError);
}

net::Outcome PyDispatcher::failure(const Call& call) const {
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return application_error(call, "unknown error", wire::kInternalError);
  return failure(call, exc.get());
}

// --- Dispatch ----------------------------------------------------------------------------------

std::variant<PyDispatcher::Call, net::Outcome> PyDispatcher::prepare(std::string_view payload) const {
  auto read = read_message_begin(protocol_, payload);
  if (!read) return net::Outcome::fail(request_error(read.error()));
  Call call;
  call.header = read.value().header;
  call.oneway = call.header.type == wire::kOneway;
  auto found = by_name_.find(call.header.name);
  const size_t colon = call.header.name.find(':');
  if (found == by_name_.end() && colon != std::string::npos &&
      std::string_view(call.header.name).substr(0, colon) == service_name_)
    found = by_name_.find(std::string_view(call.header.name).substr(colon + 1));
  if (found == by_name_.end())
    return application_error(call, "Unknown method: " + call.header.name, wire::kUnknownMethod);
  // A multiplexed request is answered under the bare method name, as multiplexing servers do.
  if (colon != std::string::npos) call.header.name.erase(0, colon + 1);
  call.method = found->second;
  const Method& method = methods_[call.method];
  auto arguments = read_message_body(protocol_, payload, read.value(), method.arguments, schema_->core());
  if (!arguments) return net::Outcome::fail(request_error(arguments.error()));
  call.arguments = std::move(arguments).value();
  if (!method.handler)
    return application_error(call, "No handler registered for: " + method.def->name, wire::kUnknownMethod);
  if (stats_) call.started = std::chrono::steady_clock::now();
  return call;
}

net::Outcome PyDispatcher::answer_here(std::string payload, net::RequestMeta meta) {
  auto prepared = prepare(payload);
  if (auto* outcome = std::get_if<net::Outcome>(&prepared)) return std::move(*outcome);
  Call& call = std::get<Call>(prepared);
  call.meta = std::move(meta);
  Attach attach;
  if (!attach.ok()) return net::Outcome{net::Outcome::Kind::Close, {}, {}};  // the interpreter is going away
  return call_plain(call);
}

void PyDispatcher::dispatch(std::string payload, net::RequestMeta meta, net::Responder respond,
                            net::BlockingPool& pool) {
  auto prepared = prepare(payload);
  if (auto* outcome = std::get_if<net::Outcome>(&prepared)) return respond(std::move(*outcome));
  Call call = std::move(std::get<Call>(prepared));
  call.meta = std::move(meta);
  const bool coroutine = methods_[call.method].handler->coroutine;
  auto job = std::make_shared<std::pair<Call, net::Responder>>(std::move(call), std::move(respond));
  if (!coroutine) {
    pool.submit([self = shared_from_this(), job] {
      net::Outcome outcome;
      {
        Attach attach;
        if (!attach.ok()) return;  // the interpreter is going away; the connection closes
        outcome = self->call_plain(job->first);
      }
      job->second(std::move(outcome));
    });
    return;
  }
  std::string error = "python asyncio loop is stopping";
  auto start = [self = shared_from_this(), job] { self->start_coroutine(std::move(job->first), std::move(job->second)); };
  const bool queued = app_queue_ ? app_queue_->push(std::move(start)) : run_on_current_loop(std::move(start), error);
  if (!queued) job->second(application_error(job->first, error, wire::kInternalError));
}

namespace {

/// A vectorcall argument array with one spare slot in front (the callee may prepend a bound `self`
/// there without copying); holds references to the arguments. Small calls need no allocation.
class ArgumentStack {
 public:
  explicit ArgumentStack(size_t n) : n_(n) {
    if (n + 1 > inline_.size()) heap_.resize(n + 1);
    slots_ = heap_.empty() ? inline_.data() : heap_.data();
  }
  ~ArgumentStack() {
    for (size_t i = 1; i <= n_; ++i) Py_XDECREF(slots_[i]);
  }
  ArgumentStack(const ArgumentStack&) = delete;
  ArgumentStack& operator=(const ArgumentStack&) = delete;
  /// Takes the reference.
  void set(size_t i, PyObject* value) { slots_[i + 1] = value; }
  PyObject* const* arguments() const { return slots_ + 1; }

 private:
  std::array<PyObject*, 9> inline_{};
  std::vector<PyObject*> heap_;
  PyObject** slots_;
  size_t n_;
};

}  // namespace

Ref PyDispatcher::call_handler(const Call& call, bool& called) const {
  called = false;
  const Method& method = methods_[call.method];
  const size_t n = method.def->arguments.size();
  ArgumentStack stack(n);
  for (size_t i = 0; i < n; ++i) {
    const ThriftValue* v = call.arguments.find(method.def->arguments[i].name);
    PyObject* obj = v ? to_python(*v, schema_) : Py_NewRef(Py_None);
    if (!obj) return {};
    stack.set(i, obj);
  }
  called = true;
  return Ref::steal(PyObject_Vectorcall(method.handler->object.get(), stack.arguments(),
                                        PY_VECTORCALL_ARGUMENTS_OFFSET, n ? method.keyword_names.get() : nullptr));
}

net::Outcome PyDispatcher::outcome_of(const Call& call, PyObject* value) const {
  const Method& method = methods_[call.method];
  std::string out;
  if (value) {
    const TypePlan* type = method.def->return_type.is_void() ? nullptr : &method.result;
    if (encode_reply(out, protocol_, call.header, 0, type, value, *schema_)) {
      count(call, false);
      if (call.oneway) return net::Outcome{};
      return net::Outcome::reply(std::move(out));
    }
    return failure(call);
  }

  Ref exc = Ref::steal(PyErr_GetRaisedException());
  if (!exc) return application_error(call, "unknown error", wire::kInternalError);
  if (interceptors_ && take_rejection(exc)) return refusal(call, exc.get());
  Ref name_obj = Ref::steal(PyType_GetName(Py_TYPE(exc.get())));
  const char* class_name = name_obj ? PyUnicode_AsUTF8(name_obj.get()) : nullptr;
  if (!class_name) {
    PyErr_Clear();
    return failure(call, exc.get());
  }
  const auto& declared = method.def->exceptions;
  for (size_t i = 0; i < declared.size(); ++i) {
    const ThriftType& type = declared[i].field_type;
    if (type.kind != TypeKind::Struct || !name_matches(type.name, class_name)) continue;
    Ref fields = Ref::steal(PyDict_New());
    if (!fields) return failure(call);
    if (const StructPlan* plan = schema_->find(type.name)) {
      for (const FieldPlan& f : plan->fields) {
        PyObject* attr = nullptr;
        const int has = PyObject_GetOptionalAttr(exc.get(), f.name.get(), &attr);
        if (has < 0) return failure(call);
        Ref owned = Ref::steal(attr);
        if (has && PyDict_SetItem(fields.get(), f.name.get(), attr) < 0)
          return failure(call);
      }
      if (PyDict_GET_SIZE(fields.get()) == 0 && plan->fields.size() == 1) {
        Ref text = Ref::steal(str_from(exception_text(exc.get())));
        if (!text || PyDict_SetItem(fields.get(), plan->fields[0].name.get(), text.get()) < 0)
          return failure(call);
      }
    }
    if (!encode_reply(out, protocol_, call.header, declared[i].id, &method.exceptions[i], fields.get(), *schema_))
      return failure(call);
    count(call, true);
    if (call.oneway) return net::Outcome{};
    return net::Outcome::reply(std::move(out));
  }
  return failure(call, exc.get());
}


}  // namespace velvane::py
