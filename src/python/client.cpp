// src/python/client.cpp: ThriftClient, the blocking RPC client, and the call engine's Python half
// (keyword arguments written under their declared types, replies turned into results or raised).
//
// Lock order: a call releases the interpreter first and only then waits for the connection lock;
// it gives the connection lock back before it asks for the interpreter again.
#include <atomic>
#include <chrono>
#include <cmath>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine/call.h"
#include "framing/framing.h"
#include "net/connection.h"
#include "net/retry.h"
#include "python/call_engine.h"
#include "python/errors.h"
#include "python/internal.h"
#include "python/tls_settings.h"

namespace velvane::py {

namespace {

using framing::Transport;

// --- State -------------------------------------------------------------------------------------

/// One of the client's connections and the lock its calls hold for a whole write-then-read.
struct Slot {
  // A PyMutex: a call that holds it attaches to the interpreter when a signal interrupts its wait.
  PyMutex lock{};
  std::unique_ptr<net::Connection> connection;  // guarded by `lock`; absent: not made, dropped or closed
  std::atomic<bool> connected{false};           // `connection` is present, as seen a moment ago
  std::atomic<uint32_t> users{0};               // calls holding or waiting for `lock`

  void set(std::unique_ptr<net::Connection>& replacement) {  // under `lock`; the old one goes to `replacement`
    std::swap(connection, replacement);
    connected.store(connection != nullptr, std::memory_order_relaxed);
  }
};

struct ClientState : ClientCalls {
  std::unique_ptr<net::Runtime> runtime;     // fixed at construction
  std::vector<std::unique_ptr<Slot>> slots;  // `connections` of them, fixed at construction
  // open() ran and close() has not since: a missing connection was dropped. Written under the first
  // slot's lock.
  std::atomic<bool> opened{false};
  PyMutex tls_lock{};
  std::shared_ptr<const net::TlsContext> tls;  // guarded by tls_lock; none: plaintext

  /// The TLS context new connections use, or none.
  std::shared_ptr<const net::TlsContext> tls_now() {
    MutexLock lock(tls_lock);
    return tls;
  }

  /// With several connections, the ones beyond the first are made on demand and a broken one anew.
  bool pooled() const { return slots.size() > 1; }
};

struct ClientObject {
  PyObject_HEAD
  ClientState* state;  // owned; created in tp_new, destroyed in tp_dealloc
};

ClientState& state_of(PyObject* self) { return *reinterpret_cast<ClientObject*>(self)->state; }
ClientSettings& settings_of(PyObject* self) { return state_of(self); }

net::Deadline deadline_after(const std::optional<std::chrono::nanoseconds>& timeout) {
  if (!timeout) return std::nullopt;
  return net::Clock::now() + std::chrono::duration_cast<net::Clock::duration>(*timeout);
}

/// For a blocking operation of a thread whose state `ts` is released: a signal that interrupts its
/// wait runs the Python signal handlers (on the main thread), and one that raises ends the operation
/// with the handler's exception pending.
net::InterruptCheck signal_check(PyThreadState* ts) {
  return [ts] {
    PyEval_RestoreThread(ts);
    const bool raised = PyErr_CheckSignals() < 0;
    PyEval_SaveThread();
    return raised;
  };
}

}  // namespace

// Shared with AsyncThriftClient (python/call_engine.h).

namespace {

/// Plans every method's arguments under `schema`; nullptr with an exception set.
std::shared_ptr<const CallSchema> plan_calls(const std::vector<MethodDef>& methods,
                                             std::shared_ptr<const PySchema> schema) {
  auto out = std::make_shared<CallSchema>();
  out->args.resize(methods.size());
  for (size_t m = 0; m < methods.size(); ++m) {
    for (const ThriftField& field : methods[m].arguments) {
      PyObject* name = str_from(field.name);
      if (!name) return nullptr;
      PyUnicode_InternInPlace(&name);
      out->args[m].push_back(ArgPlan{&field, Ref::steal(name), schema->plan_type(field.field_type)});
    }
  }
  out->schema = std::move(schema);
  return out;
}

}  // namespace

bool init_calls(ClientCalls& st, ClientArgs given) {
  auto methods = std::make_shared<std::vector<MethodDef>>(given.service->methods);
  for (size_t i = 0; i < methods->size(); ++i) st.method_index.try_emplace((*methods)[i].name, i);
  st.methods = std::move(methods);
  st.endpoints = std::make_shared<net::EndpointSet>(std::move(given.endpoints));
  st.transport = given.transport;
  st.protocol = static_cast<uint8_t>(given.protocol);
  st.reconnect = given.reconnect;
  st.call_schema = plan_calls(*st.methods, std::move(given.schema));
  return st.call_schema != nullptr;
}

PyObject* set_call_parser(ClientCalls& st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* parser;
  if (!parse_args("set_parser", args, nargs, kwnames, {"parser"}, 1, &parser)) return nullptr;
  if (!PyObject_TypeCheck(parser, cls(Cls::ThriftParser))) return fail_argument(parser, "ThriftParser", "parser"), nullptr;
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  auto schema = parser_schema(parser, false);
  if (!schema) return nullptr;
  auto planned = plan_calls(*st.methods, std::move(schema));
  if (!planned) return nullptr;
  st.call_schema = std::move(planned);
  Py_RETURN_NONE;
}

// --- Arguments ---------------------------------------------------------------------------------

bool to_vector_args(PyObject* args, PyObject* kwargs, VectorArgs& out) {
  out.nargs = PyTuple_GET_SIZE(args);
  for (Py_ssize_t i = 0; i < out.nargs; ++i) out.values.push_back(PyTuple_GET_ITEM(args, i));
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return true;
  out.kwnames = Ref::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
  if (!out.kwnames) return false;
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs, &pos, &key, &value)) {
    PyTuple_SET_ITEM(out.kwnames.get(), k++, Py_NewRef(key));
    out.values.push_back(value);
  }
  return true;
}

bool fail_argument(PyObject* obj, const char* target, const char* param) {
  type_mismatch(obj, target);
  prefix_argument_error(param);
  return false;
}

bool transport_arg(PyObject* obj, const char* param, uint8_t& out) {
  if (!PyObject_TypeCheck(obj, cls(Cls::TransportType))) return fail_argument(obj, "TransportType", param);
  const long v = PyLong_AsLong(Ref::steal(PyNumber_Long(obj)).get());
  if (v == -1 && PyErr_Occurred()) return false;
  out = static_cast<uint8_t>(v);
  return true;
}

bool port_arg(PyObject* obj, uint16_t& out) {
  const long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    }
    prefix_argument_error("port");
    return false;
  }
  if (v < 0 || v > 65535) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    prefix_argument_error("port");
    return false;
  }
  out = static_cast<uint16_t>(v);
  return true;
}

PyObject* enum_member(Cls which, uint8_t value) {
  static constexpr const char* kTransports[] = {"Framed", "Buffered", "Http", "Header"};
  static constexpr const char* kProtocols[] = {"Binary", "Compact", "JSON", "StandardCompact", "StandardJSON"};
  const char* name = which == Cls::TransportType ? kTransports[value % 4] : kProtocols[value % 5];
  return PyObject_GetAttrString(reinterpret_cast<PyObject*>(cls(which)), name);
}

namespace {

bool fail_endpoint() {
  PyErr_SetString(PyExc_TypeError, "host: each endpoint is a (host, port) tuple or a \"unix:/path\" str");
  return false;
}

/// One item of a list of endpoints.
bool endpoint_arg(PyObject* item, net::Endpoint& out) {
  Py_ssize_t size;
  if (PyUnicode_Check(item)) {
    const char* text = str_arg(item, "host", &size);
    if (!text) return false;
    out.host.assign(text, static_cast<size_t>(size));
    return out.is_unix() || fail_endpoint();
  }
  if (!PyTuple_Check(item) || PyTuple_GET_SIZE(item) != 2 || !PyUnicode_Check(PyTuple_GET_ITEM(item, 0)))
    return fail_endpoint();
  const char* host = str_arg(PyTuple_GET_ITEM(item, 0), "host", &size);
  if (!host || !port_arg(PyTuple_GET_ITEM(item, 1), out.port)) return false;
  out.host.assign(host, static_cast<size_t>(size));
  return true;
}

/// `host` and `port` as the constructors take them: a str and a port, or a list of endpoints alone.
bool endpoints_arg(const char* class_name, PyObject* host, PyObject* port, std::vector<net::Endpoint>& out) {
  if (PyList_Check(host)) {
    if (port && port != Py_None) {
      PyErr_SetString(PyExc_TypeError, "port must be left out when host is a list of endpoints");
      return false;
    }
    Ref items = Ref::steal(PySequence_Tuple(host));  // a snapshot: the list may change meanwhile
    if (!items) return false;
    if (PyTuple_GET_SIZE(items.get()) == 0) {
      PyErr_SetString(PyExc_ValueError, "host: the list of endpoints is empty");
      return false;
    }
    out.resize(static_cast<size_t>(PyTuple_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(items.get()); ++i)
      if (!endpoint_arg(PyTuple_GET_ITEM(items.get(), i), out[static_cast<size_t>(i)])) return false;
    return true;
  }
  Py_ssize_t size;
  const char* text = str_arg(host, "host", &size);
  if (!text) return false;
  if (!port) {
    PyErr_Format(PyExc_TypeError, "%s() missing required argument 'port'", class_name);
    return false;
  }
  out.resize(1);
  if (!port_arg(port, out[0].port)) return false;
  out[0].host.assign(text, static_cast<size_t>(size));
  return true;
}

}  // namespace

bool parse_client_args(const char* class_name, PyObject* args, PyObject* kwargs, ClientArgs& out) {
  VectorArgs va;
  if (!to_vector_args(args, kwargs, va)) return false;
  PyObject* a[7] = {};
  if (va.nargs > 5) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most 5 positional arguments (%zd given)", class_name, va.nargs);
    return false;
  }
  if (!parse_args(class_name, va.values.data(), va.nargs, va.kwnames.get(),
                  {"service", "host", "port", "transport", "protocol", "reconnect", "connections"}, 2, a))
    return false;
  if (!PyObject_TypeCheck(a[0], cls(Cls::PyThriftService))) return fail_argument(a[0], "PyThriftService", "service");
  if (!endpoints_arg(class_name, a[1], a[2], out.endpoints)) return false;
  if (a[3] && !transport_arg(a[3], "transport", out.transport)) return false;
  if (a[4] && !protocol_arg(a[4], "protocol", out.protocol)) return false;
  if (a[5]) {
    const int on = PyObject_IsTrue(a[5]);
    if (on < 0) return false;
    out.reconnect = on != 0;
  }
  if (a[6]) {
    if (!PyLong_Check(a[6])) return fail_argument(a[6], "int", "connections");
    const long n = PyLong_AsLong(a[6]);
    if (n == -1 && PyErr_Occurred()) return false;
    if (n < 1 || n > 256) {
      PyErr_SetString(PyExc_ValueError, "connections must be between 1 and 256");
      return false;
    }
    out.connections = static_cast<uint32_t>(n);
  }
  out.service = reinterpret_cast<ServiceViewObject*>(a[0])->service.get();
  out.schema = reinterpret_cast<ServiceViewObject*>(a[0])->schema;
  return true;
}

// --- Encoding ----------------------------------------------------------------------------------

namespace {

/// The value given for `name` among the keyword arguments (borrowed), or nullptr.
PyObject* keyword_value(PyObject* name, PyObject* const* kwvalues, PyObject* kwnames, Py_ssize_t skip) {
  if (!kwnames) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < n; ++k)
    if (k != skip && PyTuple_GET_ITEM(kwnames, k) == name) return kwvalues[k];
  for (Py_ssize_t k = 0; k < n; ++k)
    if (k != skip && PyUnicode_Compare(PyTuple_GET_ITEM(kwnames, k), name) == 0) return kwvalues[k];
  return nullptr;
}

template <class W>
bool encode_with(std::string& out, const MethodDef& method, const std::vector<ArgPlan>& args,
                 std::string_view method_name, int32_t seqid, const CallArgs& given, const PySchema& schema) {
  W w(out);
  engine::begin_call(w, method_name, method.oneway, seqid);
  for (const ArgPlan& arg : args) {
    PyObject* value = keyword_value(arg.name.get(), given.kwvalues, given.kwnames, given.skip);
    if (!value) continue;  // left out: no default is applied and `required` is not checked
    w.field_begin(arg.type.wire_id, arg.field->id);
    if (!write_python_value(w, arg.type, value, schema)) return false;
    w.field_end();
  }
  if (Status done = engine::end_call(w); !done) {
    raise_error(done.error(), Operation::Write);
    return false;
  }
  return true;
}

/// Writes the request message; false with the writer's exception set.
bool encode_call(std::string& out, Protocol protocol, const MethodDef& method, const std::vector<ArgPlan>& args,
                 std::string_view method_name, int32_t seqid, const CallArgs& given, const PySchema& schema) {
  out.reserve(256);
  switch (protocol) {
    case Protocol::Binary: return encode_with<BinaryWriter>(out, method, args, method_name, seqid, given, schema);
    case Protocol::Compact: return encode_with<CompactWriter>(out, method, args, method_name, seqid, given, schema);
    case Protocol::Json: return encode_with<JsonWriter>(out, method, args, method_name, seqid, given, schema);
    case Protocol::StandardCompact:
      return encode_with<StandardCompactWriter>(out, method, args, method_name, seqid, given, schema);
    case Protocol::StandardJson:
      return encode_with<StandardJsonWriter>(out, method, args, method_name, seqid, given, schema);
  }
  return false;
}

}  // namespace

namespace {

/// Puts the encoded request into a header frame with the client's headers, its timeout and zlib.
bool wrap_in_header(ClientCalls& st, PreparedCall& out, int32_t seqid, uint32_t protocol_id, PyObject* call_headers) {
  framing::HeaderInfo info;
  info.seq_id = seqid;
  info.protocol_id = protocol_id;
  if (st.header_zlib.load(std::memory_order_relaxed)) info.transforms.push_back(framing::kZlibTransform);
  info.headers = *st.send_headers;
  if (call_headers && PyDict_GET_SIZE(call_headers) > 0) {
    framing::HeaderList added;
    if (!headers_arg(call_headers, added)) return false;
    info.headers.insert(info.headers.end(), added.begin(), added.end());
  }
  if (const auto timeout = st.timeout()) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*timeout).count();
    info.headers.emplace_back(framing::kClientTimeoutHeader, std::to_string(ms));
  }
  auto frame = framing::encode_header_frame(info, out.request);
  if (!frame) {
    raise_error(frame.error(), Operation::Write);
    return false;
  }
  out.request = std::move(frame).value();
  out.reply.header = true;
  out.reply.headers_to = st.reply_headers;
  return true;
}

}  // namespace

bool prepare_call(ClientCalls& st, const CallRequest& call, PreparedCall& out) {
  auto found = st.method_index.find(call.name);
  if (found == st.method_index.end()) {
    PyErr_Format(PyExc_ValueError, "Unknown method: %U", call.method_name);
    return false;
  }
  out.method_index = found->second;
  out.method = &(*st.methods)[found->second];
  const int32_t seqid =
      call.seqid ? *call.seqid : engine::seqid_of(st.next_seqid.fetch_add(1, std::memory_order_relaxed));
  out.seqid = seqid;
  out.schema = st.call_schema;
  out.idempotent = st.idempotent && st.idempotent->contains(std::string(call.name));
  out.transport = static_cast<framing::Transport>(st.transport.load(std::memory_order_relaxed));
  out.protocol = static_cast<Protocol>(st.protocol.load(std::memory_order_relaxed));
  out.reply.protocol = out.protocol;
  out.reply.max_size = st.max_message_size.load(std::memory_order_relaxed);
  std::optional<uint32_t> header_protocol;
  if (out.transport == Transport::Header) {
    auto id = framing::header_protocol_id(out.protocol);
    if (!id) {
      PyErr_SetString(PyExc_ValueError, id.error().text.c_str());
      return false;
    }
    header_protocol = id.value();
  }
  const std::string prefixed = st.method_prefix.empty() ? std::string() : st.wire_method_name(call.name);
  if (!encode_call(out.request, out.protocol, *out.method, out.schema->args[found->second],
                   prefixed.empty() ? call.name : std::string_view(prefixed), seqid, call.given, *out.schema->schema))
    return false;
  if (header_protocol) return wrap_in_header(st, out, seqid, *header_protocol, call.headers);
  return true;
}

// --- Decoding ----------------------------------------------------------------------------------

namespace {

PyObject* raise_read_error(const Error& e) {
  raise_error(e, Operation::ReadReply);
  return nullptr;
}

PyObject* raise_application_exception(const engine::ApplicationError& app) {
  Ref message = Ref::steal(PyUnicode_DecodeUTF8(app.message.data(), static_cast<Py_ssize_t>(app.message.size()),
                                                "replace"));
  if (!message) return nullptr;
  PyObject* type = reinterpret_cast<PyObject*>(cls(Cls::ThriftApplicationException));
  Ref exc = Ref::steal(PyObject_CallFunction(type, "Oi", message.get(), static_cast<int>(app.type)));
  if (!exc) return nullptr;
  PyErr_SetObject(type, exc.get());
  return nullptr;
}

/// str(value) of a service exception, or "" when str() raises.
std::string exception_text(PyObject* value) {
  Ref text = Ref::steal(PyObject_Str(value));
  Py_ssize_t size = 0;
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return {};
  }
  return std::string(utf8, static_cast<size_t>(size));
}

/// A declared exception's type name (new reference): its struct's own name (an include prefix
/// resolved), else the type's text form.
PyObject* exception_type_name(const ThriftType& type, const PySchema& schema) {
  if (type.kind != TypeKind::Struct) return str_from(to_text(type));
  const StructPlan* plan = schema.find(type.name);
  return plan ? Py_NewRef(plan->struct_name.get()) : str_from(type.name);
}

PyObject* raise_service_exception(FieldCursor& cursor, const MethodDef& method, int16_t id,
                                  const std::shared_ptr<const PySchema>& schema) {
  std::string name = "unknown";
  Ref value;
  const ThriftField* declared = nullptr;
  for (const ThriftField& f : method.exceptions)
    if (f.id == id) {
      declared = &f;
      break;
    }
  if (declared) {
    name = declared->name;
    auto read = cursor.read_value(declared->field_type, schema->core());
    if (read) value = Ref::steal(to_python(read.value(), schema));
    if (!value) PyErr_Clear();
  } else if (Status s = cursor.skip_value(); !s) {
    return raise_read_error(s.error());
  }
  const std::string text = exception_text(value ? value.get() : Py_None);
  Ref message =
      Ref::steal(PyUnicode_FromFormat("Service exception '%s' (field %d): %s", name.c_str(), int{id}, text.c_str()));
  Ref error = message ? Ref::steal(PyObject_CallOneArg(PyExc_RuntimeError, message.get())) : Ref();
  if (!error) return nullptr;
  // What the text says, as attributes: the result field's name and id, the exception's type, its value.
  Ref field_name = Ref::steal(str_from(name));
  Ref field_id = Ref::steal(PyLong_FromLong(id));
  Ref type_name = declared ? Ref::steal(exception_type_name(declared->field_type, *schema)) : Ref::borrow(Py_None);
  if (!field_name || !field_id || !type_name || PyObject_SetAttrString(error.get(), "name", field_name.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "field", field_id.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "type", type_name.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "value", value ? value.get() : Py_None) < 0)
    return nullptr;
  PyErr_SetObject(PyExc_RuntimeError, error.get());
  return nullptr;
}

}  // namespace

PyObject* decode_reply(std::string_view payload, Protocol protocol, const MethodDef& method,
                       const std::shared_ptr<const PySchema>& schema) {
  auto header = read_message_begin(protocol, payload);
  if (!header) return raise_read_error(header.error());
  if (header.value().header.type == wire::kException) {
    auto app = engine::read_application_error(protocol, payload, header.value());
    if (!app) return raise_read_error(app.error());
    return raise_application_exception(app.value());
  }
  FieldCursor cursor(protocol, payload, header.value());
  auto field = cursor.next_field();
  if (!field) return raise_read_error(field.error());
  const FieldHeader f = field.value();
  if (f.type_id == wire::kStop) Py_RETURN_NONE;
  if (!wire::is_value_type(f.type_id)) {
    PyErr_Format(PyExc_OSError, "Invalid type: %d", int{f.type_id});
    return nullptr;
  }
  if (f.id != 0) return raise_service_exception(cursor, method, f.id, schema);
  auto value = cursor.read_value(method.return_type, schema->core());
  if (!value) return raise_read_error(value.error());
  return to_python(value.value(), schema);
}

PyObject* decode_call_reply(std::string_view reply, const ReplyForm& form, const MethodDef& method,
                            const std::shared_ptr<const PySchema>& schema) {
  if (!form.header || reply.empty()) return decode_reply(reply, form.protocol, method, schema);  // empty: the peer hung up
  framing::HeaderInfo info;
  auto message = framing::decode_header_frame(reply, form.max_size, info);
  if (!message) return raise_read_error(message.error());
  // As Apache's header clients do, the reply is read in the protocol its frame names: some servers
  // (Apache's C++ one, multiplexed) answer a compact request in binary.
  auto protocol = framing::header_protocol(info.protocol_id);
  if (!protocol) return raise_read_error(protocol.error());
  if (form.headers_to) {
    std::lock_guard lock(form.headers_to->mutex);
    form.headers_to->headers = std::move(info.headers);
  }
  return decode_reply(message.value(), protocol.value(), method, schema);
}

PyObject* headers_dict(const framing::HeaderList& headers) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [key, value] : headers) {
    Ref k = Ref::steal(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), "replace"));
    Ref v = Ref::steal(PyUnicode_DecodeUTF8(value.data(), static_cast<Py_ssize_t>(value.size()), "replace"));
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
  }
  return dict.release();
}

namespace {

bool header_text(PyObject* obj, std::string& out) {
  if (PyBytes_Check(obj)) {
    out.assign(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  Py_ssize_t size;
  const char* text = str_arg(obj, "headers", &size);
  if (!text) return false;
  out.assign(text, static_cast<size_t>(size));
  return true;
}

}  // namespace

bool headers_arg(PyObject* value, framing::HeaderList& out) {
  if (value == Py_None) return true;
  if (!PyMapping_Check(value) || PyUnicode_Check(value) || PyBytes_Check(value))
    return fail_argument(value, "mapping", "headers");
  Ref items = Ref::steal(PyMapping_Items(value));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    std::string k, v;
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) return fail_argument(pair, "(key, value)", "headers");
    if (!header_text(PyTuple_GET_ITEM(pair, 0), k) || !header_text(PyTuple_GET_ITEM(pair, 1), v)) return false;
    out.emplace_back(std::move(k), std::move(v));
  }
  return true;
}

namespace {

/// The method name of `call(method_name, **kwargs)` (borrowed), with `skip` set as CallArgs wants;
/// nullptr with TypeError set.
PyObject* call_method_name(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Py_ssize_t& skip) {
  PyObject* method_name = nargs >= 1 ? args[0] : nullptr;
  skip = -1;
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "call() takes at most 1 positional argument (%zd given)", nargs);
    return nullptr;
  }
  if (!method_name && kwnames) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k)
      if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, k), "method_name") == 0) {
        skip = k;
        method_name = args[nargs + k];
        break;
      }
  }
  if (!method_name) PyErr_SetString(PyExc_TypeError, "call() missing required argument 'method_name'");
  return method_name;
}

}  // namespace

bool read_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, CallRequest& out) {
  Py_ssize_t skip;
  out.method_name = call_method_name(args, nargs, kwnames, skip);
  if (!out.method_name) return false;
  Py_ssize_t size;
  const char* name = str_arg(out.method_name, "method_name", &size);
  if (!name) return false;
  out.name = std::string_view(name, static_cast<size_t>(size));
  out.given = CallArgs{args + nargs, kwnames, skip};
  return true;
}

PyObject* add_call_interceptor(ClientCalls& st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* interceptor;
  if (!parse_args("add_interceptor", args, nargs, kwnames, {"interceptor"}, 1, &interceptor)) return nullptr;
  Borrow borrow(st.borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  InterceptorList list = st.interceptors;
  if (!add_interceptor(list, interceptor)) return nullptr;
  std::swap(st.interceptors, list);
  Py_RETURN_NONE;
}

const char* const kAddInterceptorDoc =
    "add_interceptor($self, interceptor)\n--\n\n"
    "Appends `interceptor` to the objects whose optional methods run around each call: `before(ctx,\n"
    "args)` (a CallContext and the keyword arguments as a dict, which the request is then written from)\n"
    "in the order added, and `after(ctx, result, error, duration)` in the reverse order. A `before`\n"
    "that raises fails the call before anything is sent.";

bool call_from_dict(PyObject* args, CallRequest& request, std::vector<PyObject*>& values, Ref& names) {
  names = Ref::steal(PyTuple_New(PyDict_GET_SIZE(args)));
  if (!names) return false;
  values.clear();
  Py_ssize_t pos = 0, k = 0;
  PyObject *key, *value;
  while (PyDict_Next(args, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      PyErr_SetString(PyExc_TypeError, "argument names must be str");
      return false;
    }
    PyTuple_SET_ITEM(names.get(), k++, Py_NewRef(key));
    values.push_back(value);
  }
  request.given = CallArgs{values.data(), k ? names.get() : nullptr, -1};
  return true;
}

bool refuse_delete(PyObject* value) {
  if (value) return false;
  PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
  return true;
}

bool timeout_arg(PyObject* value, int64_t& ns) {
  ns = -1;
  if (value == Py_None) return true;
  if (!PyLong_Check(value) && !PyFloat_Check(value)) return fail_argument(value, "float", "timeout");
  const double seconds = PyFloat_AsDouble(value);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (std::isnan(seconds) || seconds < 0) {
    PyErr_SetString(PyExc_ValueError, "timeout must be None or a non-negative number of seconds");
    return false;
  }
  constexpr double kLongest = 1e9 * 86400 * 365 * 100;  // beyond a century means no limit
  const double nanos = seconds * 1e9;
  ns = nanos >= kLongest ? -1 : static_cast<int64_t>(nanos);
  return true;
}

bool size_arg(PyObject* obj, const char* name, size_t& out) {
  if (!PyLong_Check(obj)) return fail_argument(obj, "int", name);
  const size_t v = PyLong_AsSize_t(obj);
  if (v == static_cast<size_t>(-1) && PyErr_Occurred()) {
    prefix_argument_error(name);
    return false;
  }
  out = v;
  return true;
}

namespace {

// --- I/O ---------------------------------------------------------------------------------------

PyObject* raise_io_error(const Error& e) {
  raise_error(e, Operation::Exchange);
  return nullptr;
}

PyObject* raise_not_open() {
  PyErr_SetString(PyExc_OSError, "ThriftClient is not open; call client.open() first");
  return nullptr;
}

struct Exchange {
  bool not_open = false;
  std::optional<Error> error;
  bool connecting = false;  // `error` came from connecting again
  bool written = false;     // the request may have reached the peer
  std::string reply;
};

/// A slot for the next call, counted as used by it: an idle one that is connected, else an idle one,
/// else the one with the fewest calls holding or waiting for it.
class SlotClaim {
 public:
  explicit SlotClaim(ClientState& st) : slot_(pick(st)) {}
  ~SlotClaim() { slot_.users.fetch_sub(1, std::memory_order_relaxed); }
  SlotClaim(const SlotClaim&) = delete;
  SlotClaim& operator=(const SlotClaim&) = delete;
  Slot& slot() { return slot_; }

 private:
  static bool claim_idle(Slot& s) {
    uint32_t idle = 0;
    return s.users.compare_exchange_strong(idle, 1, std::memory_order_relaxed);
  }
  static Slot& pick(ClientState& st) {
    for (const auto& s : st.slots)
      if (s->connected.load(std::memory_order_relaxed) && claim_idle(*s)) return *s;
    for (const auto& s : st.slots)
      if (claim_idle(*s)) return *s;
    Slot* least = st.slots.front().get();
    for (const auto& s : st.slots)
      if (s->users.load(std::memory_order_relaxed) < least->users.load(std::memory_order_relaxed)) least = s.get();
    least->users.fetch_add(1, std::memory_order_relaxed);
    return *least;
  }

  Slot& slot_;
};

/// Writes the request and reads its reply under the slot's lock. Run without the interpreter.
/// A failure once the request started going out drops the connection, and so does a reply that
/// says the peer ended the connection: what is left on the stream belongs to no later call.
Exchange exchange(ClientState& st, Slot& slot, std::string_view request, Transport transport, Protocol protocol,
                  bool oneway, std::optional<std::chrono::nanoseconds> timeout, size_t max_size, PyThreadState* ts,
                  bool redial) {
  Exchange out;
  MutexLock lock(slot.lock);
  // Over HTTP a server may close the connection after any response: the next call connects again.
  const bool reconnect = st.opened.load(std::memory_order_relaxed) && (redial || transport == Transport::Http);
  std::unique_ptr<net::Connection> gone;  // closed when the exchange ends
  if (reconnect && slot.connection && slot.connection->peer_has_closed()) slot.set(gone);
  if (!slot.connection && reconnect) {
    // Connecting under the lock: the calls waiting for it use the new connection.
    const auto tls = st.tls_now();
    auto made = net::Connection::connect(*st.runtime, *st.endpoints, deadline_after(timeout), signal_check(ts),
                                         tls.get());
    if (!made) {
      out.error = made.take_error();
      out.connecting = out.error->kind != ErrorKind::Interrupted;
      return out;
    }
    std::unique_ptr<net::Connection> fresh = std::move(made).value();
    slot.set(fresh);
  }
  if (!slot.connection) {
    out.not_open = true;
    return out;
  }
  const net::Deadline deadline = deadline_after(timeout);
  out.written = true;
  slot.connection->set_interrupt_check(signal_check(ts));
  const bool http = transport == Transport::Http;
  if (http) slot.connection->set_http_path(st.http_path);  // read under the call's shared borrow
  if (Status s = slot.connection->write_message(transport, request, deadline); !s) {
    out.error = s.take_error();
  } else if (!oneway || http) {  // over HTTP a oneway call is answered too, with an empty body
    auto reply = slot.connection->read_message(transport, protocol, deadline, max_size);
    if (reply) {
      out.reply = std::move(reply).value();
    } else {
      out.error = reply.take_error();
    }
  }
  if (out.error || (!oneway && out.reply.empty()) || (http && !slot.connection->keeps_alive())) {
    slot.set(gone);
  } else {
    slot.connection->set_interrupt_check({});
  }
  return out;
}

// --- Methods -----------------------------------------------------------------------------------

/// What a call comes to once its exchanges are over: its result, or nullptr with its exception set.
PyObject* result_of(const Exchange& result, const PreparedCall& prepared) {
  if (result.not_open) return raise_not_open();
  if (result.error && result.error->kind == ErrorKind::Interrupted) return nullptr;  // the handler's exception
  if (result.error && result.connecting) return raise_error(*result.error, Operation::Connect), nullptr;
  if (result.error) return raise_io_error(*result.error);
  if (prepared.method->oneway) Py_RETURN_NONE;
  return decode_call_reply(result.reply, prepared.reply, *prepared.method, prepared.schema->schema);
}

/// Whether an exchange failed in a way a retry policy may repeat.
bool failed_exchange(const Exchange& result, bool oneway) {
  return result.error || (!oneway && !result.not_open && result.reply.empty());
}

/// Whether a call under `policy` connects again when it finds its connection dropped: a call that may
/// be repeated does (a dropped connection never saw its request), and so does every call of a client
/// with several connections (a broken one is made anew).
bool redials(const ClientState& st, const net::RetryPolicy& policy) {
  return st.reconnect.load(std::memory_order_relaxed) || policy.retries > 0 || st.pooled();
}

/// One exchange of `prepared` on a slot claimed for it; run without the interpreter.
Exchange exchange_on_a_slot(ClientState& st, const PreparedCall& prepared, bool redial, PyThreadState* ts) {
  SlotClaim claim(st);
  return exchange(st, claim.slot(), prepared.request, prepared.transport, prepared.protocol, prepared.method->oneway,
                  st.timeout(), st.max_message_size.load(std::memory_order_relaxed), ts, redial);
}

/// One exchange of `prepared`, the interpreter released.
Exchange exchange_once(ClientState& st, const PreparedCall& prepared, bool redial) {
  PyThreadState* ts = PyThreadState_Get();
  ReleaseGil nogil;
  return exchange_on_a_slot(st, prepared, redial, ts);
}

/// A call with interceptors: each attempt runs the hooks around its own exchange, its request
/// written from the arguments as the `before` hooks left them.
PyObject* intercepted_call(ClientState& st, const CallRequest& call, const Interceptors& hooks) {
  CallRequest request = call;
  request.seqid = engine::seqid_of(st.next_seqid.fetch_add(1, std::memory_order_relaxed));
  Ref ctx = Ref::steal(new_call_context(call.name, *request.seqid));
  Ref args = ctx ? Ref::steal(keyword_dict(call.given.kwvalues, call.given.kwnames, call.given.skip)) : Ref();
  if (!args) return nullptr;
  std::vector<PyObject*> values;
  Ref names;
  const auto started = net::Clock::now();
  for (uint32_t attempt = 1;; ++attempt) {
    set_call_attempt(ctx.get(), attempt);
    if (!run_before(hooks, ctx.get(), args.get())) return nullptr;
    PreparedCall prepared;
    request.headers = call_context_headers(ctx.get());
    if (!call_from_dict(args.get(), request, values, names) || !prepare_call(st, request, prepared)) return nullptr;
    const net::RetryPolicy policy = st.retry_policy(prepared.idempotent);
    const bool redial = redials(st, policy);
    const auto sent = net::Clock::now();
    const Exchange result = exchange_once(st, prepared, redial);
    Ref value = Ref::steal(result_of(result, prepared));
    Ref error = value ? Ref() : Ref::steal(PyErr_GetRaisedException());
    const double seconds = std::chrono::duration<double>(net::Clock::now() - sent).count();
    if (!run_after(hooks, ctx.get(), value.get(), error.get(), seconds)) return nullptr;
    const bool interrupted = result.error && result.error->kind == ErrorKind::Interrupted;
    bool again = !interrupted && failed_exchange(result, prepared.method->oneway) &&
                 policy.allows(attempt, result.written);
    const auto wait = again ? policy.delay(attempt) : std::chrono::nanoseconds{0};
    if (again && policy.deadline && net::Clock::now() + wait > started + *policy.deadline) again = false;
    if (!again) {
      if (error) PyErr_SetRaisedException(error.release());
      return value.release();
    }
    ReleaseGil nogil;
    std::this_thread::sleep_for(wait);
  }
}

PyObject* client_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  ClientState& st = state_of(self);
  CallRequest call;
  if (!read_call(args, nargs, kwnames, call)) return nullptr;
  Borrow borrow(st.borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  if (st.interceptors) return intercepted_call(st, call, *st.interceptors);
  PreparedCall prepared;
  if (!prepare_call(st, call, prepared)) return nullptr;

  const bool oneway = prepared.method->oneway;
  const net::RetryPolicy policy = st.retry_policy(prepared.idempotent);
  const bool redial = redials(st, policy);
  Exchange result;
  {
    PyThreadState* ts = PyThreadState_Get();
    ReleaseGil nogil;
    const auto started = net::Clock::now();
    for (uint32_t attempt = 1;; ++attempt) {
      result = exchange_on_a_slot(st, prepared, redial, ts);
      if (result.error && result.error->kind == ErrorKind::Interrupted) break;
      if (!failed_exchange(result, oneway) || !policy.allows(attempt, result.written)) break;
      const auto wait = policy.delay(attempt);
      if (policy.deadline && net::Clock::now() + wait > started + *policy.deadline) break;
      std::this_thread::sleep_for(wait);
    }
  }
  return result_of(result, prepared);
}

PyObject* client_open(PyObject* self, PyObject*) {
  ClientState& st = state_of(self);
  Result<std::unique_ptr<net::Connection>> made = Error{};
  {
    PyThreadState* ts = PyThreadState_Get();
    ReleaseGil nogil;
    const auto tls = st.tls_now();
    made = net::Connection::connect(*st.runtime, *st.endpoints, deadline_after(st.timeout()), signal_check(ts),
                                    tls.get());
    if (made) {
      std::unique_ptr<net::Connection> old = std::move(made).value();  // the new one, then the one it replaced
      Slot& first = *st.slots.front();
      MutexLock lock(first.lock);
      first.set(old);
      st.opened.store(true, std::memory_order_relaxed);
    }
  }
  if (!made && made.error().kind == ErrorKind::Interrupted) return nullptr;  // the handler's exception
  if (!made) return raise_error(made.error(), Operation::Connect), nullptr;
  Py_RETURN_NONE;
}

PyObject* client_close(PyObject* self, PyObject*) {
  ClientState& st = state_of(self);
  {
    ReleaseGil nogil;
    for (const auto& slot : st.slots) {
      std::unique_ptr<net::Connection> old;  // closed once the lock is released
      MutexLock lock(slot->lock);
      slot->set(old);
      if (slot == st.slots.front()) st.opened.store(false, std::memory_order_relaxed);
    }
  }
  Py_RETURN_NONE;
}

PyObject* client_is_open(PyObject* self, PyObject*) {
  ClientState& st = state_of(self);
  bool open = false;
  {
    ReleaseGil nogil;
    for (const auto& slot : st.slots) {
      MutexLock lock(slot->lock);
      open = open || slot->connection != nullptr;
    }
  }
  return PyBool_FromLong(open);
}

PyObject* client_enter(PyObject* self, PyObject*) {
  Ref done = Ref::steal(client_open(self, nullptr));
  return done ? Py_NewRef(self) : nullptr;
}

PyObject* client_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* ignored[3];
  if (!parse_args("__exit__", args, nargs, kwnames, {"_exc_type", "_exc_value", "_traceback"}, 3, ignored))
    return nullptr;
  return client_close(self, nullptr);
}

PyObject* client_set_tls(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::shared_ptr<const net::TlsContext> tls;
  if (!client_tls_arg(args, nargs, kwnames, tls)) return nullptr;
  ClientState& st = state_of(self);
  {
    ReleaseGil nogil;  // a call connecting holds the lock for a moment
    MutexLock lock(st.tls_lock);
    st.tls = std::move(tls);
  }
  Py_RETURN_NONE;
}

PyObject* client_set_parser(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return set_call_parser(state_of(self), args, nargs, kwnames);
}

PyObject* client_add_interceptor(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return add_call_interceptor(state_of(self), args, nargs, kwnames);
}

// --- The class ---------------------------------------------------------------------------------

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  ClientArgs given;
  if (!parse_client_args("ThriftClient", args, kwargs, given)) return nullptr;

  auto st = std::make_unique<ClientState>();
  for (uint32_t i = 0; i < given.connections; ++i) st->slots.push_back(std::make_unique<Slot>());
  if (!init_calls(*st, std::move(given))) return nullptr;
  auto runtime = net::Runtime::create();
  if (!runtime) {
    const Error& e = runtime.error();
    raise_error(Error{e.kind, "failed to create the client's I/O runtime: " + e.text}, Operation::Connect);
    return nullptr;
  }
  st->runtime = std::move(runtime).value();

  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  reinterpret_cast<ClientObject*>(self)->state = st.release();
  return self;
}

void client_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::unique_ptr<ClientState> owned(reinterpret_cast<ClientObject*>(self)->state);
  owned.reset();
  type->tp_free(self);
  Py_DECREF(type);
}

PyMethodDef client_methods[] = {
    method_entry<static_new<client_new>>(
        "__new__", METH_VARARGS | METH_KEYWORDS | METH_STATIC | METH_COEXIST,
        "__new__($cls, service, host, port=None, transport=..., protocol=..., *, reconnect=False, connections=1)\n--\n\n"
        "Creates a ThriftClient of `host` and `port`, or of a list of endpoints given as `host` ((host, port)\n"
        "tuples or \"unix:/path\" strs); `reconnect` sets the property of that name, and up to `connections`\n"
        "connections carry calls made from several threads at once."),
    method_entry<client_set_tls>("set_tls", METH_FASTCALL | METH_KEYWORDS, kClientSetTlsDoc),
    method_entry<client_set_parser>("set_parser", METH_FASTCALL | METH_KEYWORDS,
                                    "set_parser($self, parser)\n--\n\n"
                                    "Takes the schema of `parser`'s current document to convert struct values with; "
                                    "without it the\nschema is the document the service came from."),
    method_entry<client_open>("open", METH_NOARGS,
                              "open($self)\n--\n\n"
                              "Connects to the host and port given at construction (a no-op when already open)."),
    method_entry<client_close>("close", METH_NOARGS,
                               "close($self)\n--\n\n"
                               "Closes the connection, if any."),
    method_entry<client_is_open>("is_open", METH_NOARGS,
                                 "is_open($self)\n--\n\n"
                                 "True while the client holds an open TCP connection."),
    method_entry<client_enter>("__enter__", METH_NOARGS,
                               "__enter__($self)\n--\n\n"
                               "Opens the client and returns it."),
    method_entry<client_exit>("__exit__", METH_FASTCALL | METH_KEYWORDS,
                              "__exit__($self, _exc_type, _exc_value, _traceback)\n--\n\n"
                              "Closes the client."),
    method_entry<client_add_interceptor>("add_interceptor", METH_FASTCALL | METH_KEYWORDS, kAddInterceptorDoc),
    method_entry<client_call>("call", METH_FASTCALL | METH_KEYWORDS,
                              "call($self, method_name, **kwargs)\n--\n\n"
                              "Calls `method_name` with the keyword arguments and returns its result; a declared "
                              "exception is\nraised as RuntimeError with the attributes name, field, type and value."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_doc, const_cast<char*>("ThriftClient(service, host, port, transport=..., protocol=...)\n--\n\n"
                                  "A blocking Thrift client: each call sends a request over one TCP connection and "
                                  "waits for the reply, releasing the interpreter while it waits.")},
    slot_entry<client_new>(Py_tp_new),
    slot_entry<client_dealloc>(Py_tp_dealloc),
    {Py_tp_methods, client_methods},
    {Py_tp_getset, ClientProperties<settings_of>::getset},
    {0, nullptr},
};

}  // namespace

PyObject* create_thrift_client() {
  PyType_Spec spec = {"velvane.ThriftClient", sizeof(ClientObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      client_slots};
  Ref type = Ref::steal(PyType_FromSpec(&spec));
  if (!type || !add_nested_class(type.get(), "CallContext", call_context_type())) return nullptr;
  return type.release();
}

}  // namespace velvane::py
