// src/python/call_engine.h: what ThriftClient and AsyncThriftClient share: the call engine's Python
// half (a call's method found and its arguments written under their declared types, replies turned
// into results or raised), the state calls read, and the client constructor's, set_parser's and
// properties' argument rules. Defined in client.cpp.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "framing/framing.h"
#include "framing/header.h"
#include "net/endpoints.h"
#include "net/retry.h"
#include "python/interceptors.h"
#include "python/internal.h"

namespace velvane::py {

/// One argument of a method, planned under a schema.
struct ArgPlan {
  const ThriftField* field;
  Ref name;  // interned str
  TypePlan type;
};

/// The schema calls use, with every method's arguments planned under it. set_parser replaces it
/// whole; a call keeps the one it started with.
struct CallSchema {
  std::shared_ptr<const PySchema> schema;
  std::vector<std::vector<ArgPlan>> args;  // by method index
};

/// The keyword arguments of a call (vectorcall form); `skip` is the one that named the method, or -1.
struct CallArgs {
  PyObject* const* kwvalues;
  PyObject* kwnames;
  Py_ssize_t skip;
};

/// `call(method_name, **kwargs)` as given.
struct CallRequest {
  PyObject* method_name = nullptr;  // borrowed from the call's arguments
  std::string_view name;            // its text
  CallArgs given{};
  std::optional<int32_t> seqid;     // the request's sequence id when already chosen
  PyObject* headers = nullptr;      // borrowed: a dict of headers an interceptor added for this call
};
/// Reads the arguments of `call`; false with TypeError set.
bool read_call(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, CallRequest& out);

/// The reply's value (new reference), or nullptr with the reply's exception set.
PyObject* decode_reply(std::string_view payload, Protocol protocol, const MethodDef& method,
                       const std::shared_ptr<const PySchema>& schema);

/// The string headers of the header transport's latest reply, kept for `last_reply_headers`.
struct ReplyHeaders {
  std::mutex mutex;  // never held while waiting for anything
  framing::HeaderList headers;
};

/// What reading a call's reply takes besides its method: how it came, and where its headers go.
struct ReplyForm {
  Protocol protocol = Protocol::Binary;
  bool header = false;  // a header frame around the reply message
  size_t max_size = 0;  // of the message once inflated; 0: no limit
  std::shared_ptr<ReplyHeaders> headers_to;
};

/// decode_reply for a call sent as `form` says: a header frame is taken apart first (its protocol
/// checked, its headers kept).
PyObject* decode_call_reply(std::string_view reply, const ReplyForm& form, const MethodDef& method,
                            const std::shared_ptr<const PySchema>& schema);

/// A dict of str keys and values (new reference); bytes that are not UTF-8 are replaced.
PyObject* headers_dict(const framing::HeaderList& headers);
/// A mapping of str (or bytes) keys and values, or None for none; false with an exception set.
bool headers_arg(PyObject* value, framing::HeaderList& out);

/// The vectorcall form of a tp_new call: positional values then keyword values, and their names.
struct VectorArgs {
  std::vector<PyObject*> values;  // borrowed from the tuple and dict of the call
  Ref kwnames;
  Py_ssize_t nargs = 0;
};
bool to_vector_args(PyObject* args, PyObject* kwargs, VectorArgs& out);

bool fail_argument(PyObject* obj, const char* target, const char* param);
bool transport_arg(PyObject* obj, const char* param, uint8_t& out);
bool port_arg(PyObject* obj, uint16_t& out);
/// The constructor arguments both clients take: (service, host, port=None, transport=...,
/// protocol=..., *, reconnect=False, connections=1). `host` is a str with a `port`, or a list of
/// endpoints, each a (host, port) tuple or a "unix:/path" str, without one.
struct ClientArgs {
  const ServiceDef* service = nullptr;  // borrowed from the service view, which the caller holds
  std::shared_ptr<const PySchema> schema;  // the schema of the document the service came from
  std::vector<net::Endpoint> endpoints;    // never empty
  uint8_t transport = 0;
  Protocol protocol = Protocol::Binary;
  bool reconnect = false;  // keyword only
  uint32_t connections = 1;  // keyword only
};

/// Extracts them in order, the first failure raised; false with an exception set.
bool parse_client_args(const char* class_name, PyObject* args, PyObject* kwargs, ClientArgs& out);

/// A client class's `__new__` as a static method of its own, so that it can show every keyword the
/// constructor takes (the class's signature text names the positional ones only); `New` is its tp_new.
template <newfunc New>
PyObject* static_new(PyObject*, PyObject* args, PyObject* kwargs) {
  const Py_ssize_t n = PyTuple_GET_SIZE(args);
  PyObject* type = n ? PyTuple_GET_ITEM(args, 0) : nullptr;
  if (!type || !PyType_Check(type)) {
    PyErr_SetString(PyExc_TypeError, "__new__() needs a class as its first argument");
    return nullptr;
  }
  Ref rest = Ref::steal(PyTuple_GetSlice(args, 1, n));
  return rest ? New(reinterpret_cast<PyTypeObject*>(type), rest.get(), kwargs) : nullptr;
}

/// The TransportType or ProtocolType member for a stored byte (new reference).
PyObject* enum_member(Cls which, uint8_t value);
/// True, with AttributeError set, when a property setter was asked to delete.
bool refuse_delete(PyObject* value);
/// A timeout in seconds or None as nanoseconds (-1: no limit); false with an exception set.
bool timeout_arg(PyObject* value, int64_t& ns);
/// A non-negative int argument or property value named `name`; false with an exception set.
bool size_arg(PyObject* obj, const char* name, size_t& out);

/// What a client's properties change; every call reads them afresh. Setting one takes the client's
/// exclusive borrow, so it fails while a call is under way on another thread.
struct ClientSettings {
  BorrowFlag borrow;  // calls hold it shared; set_parser and the property setters exclusively
  std::atomic<uint8_t> transport{0};
  std::atomic<uint8_t> protocol{0};
  std::atomic<int64_t> timeout_ns{-1};  // -1: no limit
  std::atomic<size_t> max_message_size{framing::kDefaultMaxMessageSize};  // of a reply; 0: no limit
  /// "Name:" when calls go to the service `Name` of a multiplexing server; empty otherwise. Read
  /// under the shared borrow, written under the exclusive one.
  std::string method_prefix;
  /// Where TransportType.Http POSTs requests; guarded like method_prefix.
  std::string http_path = "/";

  /// The header transport's: string headers every call sends (replaced under the exclusive borrow),
  /// the zlib transform, the latest reply's headers.
  std::shared_ptr<const framing::HeaderList> send_headers = std::make_shared<framing::HeaderList>();
  std::atomic<bool> header_zlib{false};
  std::shared_ptr<ReplyHeaders> reply_headers = std::make_shared<ReplyHeaders>();

  /// The method name a request carries: the multiplexing prefix, if any, then the method.
  std::string wire_method_name(std::string_view method) const {
    std::string name = method_prefix;
    name += method;
    return name;
  }

  std::atomic<bool> reconnect{false};   // a call on a dropped connection connects again first
  std::atomic<int32_t> retries{0};
  std::atomic<int64_t> retry_backoff_ns{50'000'000};
  std::atomic<int64_t> retry_deadline_ns{-1};  // -1: no limit
  std::shared_ptr<const std::unordered_set<std::string>> idempotent;  // replaced under the exclusive borrow

  /// The retry policy of a call whose method is `idempotent` or not.
  net::RetryPolicy retry_policy(bool idempotent_method) const {
    net::RetryPolicy p;
    p.retries = static_cast<uint32_t>(retries.load(std::memory_order_relaxed));
    p.backoff = std::chrono::nanoseconds(retry_backoff_ns.load(std::memory_order_relaxed));
    if (const int64_t ns = retry_deadline_ns.load(std::memory_order_relaxed); ns >= 0)
      p.deadline = std::chrono::nanoseconds(ns);
    p.idempotent = idempotent_method;
    return p;
  }

  std::optional<std::chrono::nanoseconds> timeout() const {
    const int64_t ns = timeout_ns.load(std::memory_order_relaxed);
    if (ns < 0) return std::nullopt;
    return std::chrono::nanoseconds(ns);
  }
};

/// What both clients' calls read: the service's methods and the schema their arguments are planned
/// under, besides the settings.
struct ClientCalls : ClientSettings {
  // Fixed at construction.
  std::shared_ptr<const std::vector<MethodDef>> methods;
  std::unordered_map<std::string_view, size_t> method_index;  // views into `methods`
  std::shared_ptr<net::EndpointSet> endpoints;  // shared by every connection the client makes

  std::shared_ptr<const CallSchema> call_schema;  // replaced only under the exclusive borrow
  std::atomic<uint32_t> next_seqid{0};
  InterceptorList interceptors;  // replaced only under the exclusive borrow; nullptr for none
};

/// `add_interceptor(interceptor)` of both clients. None, or nullptr with an exception set.
PyObject* add_call_interceptor(ClientCalls& st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
/// The keyword arguments of `args` (a dict a `before` hook may have changed) in vectorcall form:
/// `request.given` points into `values` and `names`, which the caller keeps. False with an exception.
bool call_from_dict(PyObject* args, CallRequest& request, std::vector<PyObject*>& values, Ref& names);
extern const char* const kAddInterceptorDoc;

/// Sets a new client up from its constructor's arguments, its calls planned under the empty
/// schema; false with an exception set.
bool init_calls(ClientCalls& st, ClientArgs given);

/// `set_parser(parser)`: the calls planned anew under the parser's schema, under the exclusive
/// borrow. None, or nullptr with an exception set.
PyObject* set_call_parser(ClientCalls& st, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

/// A call's request, encoded under the client's settings and schema of the moment, and what
/// reading its reply takes.
struct PreparedCall {
  std::string request;
  size_t method_index = 0;
  const MethodDef* method = nullptr;  // one of the client's methods
  std::shared_ptr<const CallSchema> schema;
  framing::Transport transport = framing::Transport::Framed;
  Protocol protocol = Protocol::Binary;
  bool idempotent = false;  // the user named its method idempotent
  int32_t seqid = 0;
  ReplyForm reply;
};
/// Finds the method and encodes its request, for a caller that holds the client's shared borrow;
/// false with an exception set.
bool prepare_call(ClientCalls& st, const CallRequest& call, PreparedCall& out);

/// The `transport`, `protocol` and `timeout` getters and setters of a client class whose settings
/// `SettingsOf(self)` finds.
template <ClientSettings& (*SettingsOf)(PyObject*)>
struct ClientProperties {
  static PyObject* get_transport(PyObject* self, void*) {
    return enum_member(Cls::TransportType, SettingsOf(self).transport.load(std::memory_order_relaxed));
  }
  static int set_transport(PyObject* self, PyObject* value, void*) {
    uint8_t v;
    if (refuse_delete(value) || !transport_arg(value, "transport", v)) return -1;
    return store(self, SettingsOf(self).transport, v);
  }
  static PyObject* get_protocol(PyObject* self, void*) {
    return enum_member(Cls::ProtocolType, SettingsOf(self).protocol.load(std::memory_order_relaxed));
  }
  static int set_protocol(PyObject* self, PyObject* value, void*) {
    Protocol p;
    if (refuse_delete(value) || !protocol_arg(value, "protocol", p)) return -1;
    return store(self, SettingsOf(self).protocol, static_cast<uint8_t>(p));
  }
  static PyObject* get_timeout(PyObject* self, void*) {
    const auto timeout = SettingsOf(self).timeout();
    if (!timeout) Py_RETURN_NONE;
    return PyFloat_FromDouble(std::chrono::duration<double>(*timeout).count());
  }
  static int set_timeout(PyObject* self, PyObject* value, void*) {
    int64_t ns;
    if (refuse_delete(value) || !timeout_arg(value, ns)) return -1;
    return store(self, SettingsOf(self).timeout_ns, ns);
  }

  static PyObject* get_reconnect(PyObject* self, void*) {
    return PyBool_FromLong(SettingsOf(self).reconnect.load(std::memory_order_relaxed));
  }
  static int set_reconnect(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    const int on = PyObject_IsTrue(value);
    return on < 0 ? -1 : store(self, SettingsOf(self).reconnect, on != 0);
  }

  static PyObject* get_retries(PyObject* self, void*) {
    return PyLong_FromLong(SettingsOf(self).retries.load(std::memory_order_relaxed));
  }
  static int set_retries(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    if (!PyLong_Check(value)) return fail_argument(value, "int", "retries"), -1;
    const long n = PyLong_AsLong(value);
    if (n == -1 && PyErr_Occurred()) return -1;
    if (n < 0 || n > 1000) {
      PyErr_SetString(PyExc_ValueError, "retries must be between 0 and 1000");
      return -1;
    }
    return store(self, SettingsOf(self).retries, static_cast<int32_t>(n));
  }
  static PyObject* get_retry_backoff(PyObject* self, void*) {
    return seconds(SettingsOf(self).retry_backoff_ns.load(std::memory_order_relaxed));
  }
  static int set_retry_backoff(PyObject* self, PyObject* value, void*) {
    int64_t ns;
    if (refuse_delete(value) || value == Py_None) {
      if (value == Py_None) PyErr_SetString(PyExc_ValueError, "retry_backoff must be a non-negative number of seconds");
      return -1;
    }
    if (!timeout_arg(value, ns)) return -1;
    return store(self, SettingsOf(self).retry_backoff_ns, ns < 0 ? int64_t{3'600'000'000'000} : ns);
  }
  static PyObject* get_retry_deadline(PyObject* self, void*) {
    const int64_t ns = SettingsOf(self).retry_deadline_ns.load(std::memory_order_relaxed);
    if (ns < 0) Py_RETURN_NONE;
    return seconds(ns);
  }
  static int set_retry_deadline(PyObject* self, PyObject* value, void*) {
    int64_t ns;
    if (refuse_delete(value) || !timeout_arg(value, ns)) return -1;
    return store(self, SettingsOf(self).retry_deadline_ns, ns);
  }
  static PyObject* get_idempotent(PyObject* self, void*) {
    ClientSettings& st = SettingsOf(self);
    Borrow borrow(st.borrow, Borrow::Shared);
    if (!borrow.ok()) return nullptr;
    Ref names = Ref::steal(PyFrozenSet_New(nullptr));
    if (!names || !st.idempotent) return names.release();
    for (const std::string& name : *st.idempotent) {
      Ref text = Ref::steal(str_from(name));
      if (!text || PySet_Add(names.get(), text.get()) < 0) return nullptr;
    }
    return names.release();
  }
  static int set_idempotent(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    if (PyUnicode_Check(value)) return fail_argument(value, "iterable of str", "idempotent"), -1;
    auto names = std::make_shared<std::unordered_set<std::string>>();
    Ref items = Ref::steal(PyObject_GetIter(value));
    if (!items) return -1;
    while (Ref item = Ref::steal(PyIter_Next(items.get()))) {
      Py_ssize_t size;
      const char* text = str_arg(item.get(), "idempotent", &size);
      if (!text) return -1;
      names->emplace(text, static_cast<size_t>(size));
    }
    if (PyErr_Occurred()) return -1;
    ClientSettings& st = SettingsOf(self);
    Borrow borrow(st.borrow, Borrow::Exclusive);
    if (!borrow.ok()) return -1;
    st.idempotent = std::move(names);
    return 0;
  }

  static PyObject* get_max_message_size(PyObject* self, void*) {
    return PyLong_FromSize_t(SettingsOf(self).max_message_size.load(std::memory_order_relaxed));
  }
  static int set_max_message_size(PyObject* self, PyObject* value, void*) {
    size_t v;
    if (refuse_delete(value) || !size_arg(value, "max_message_size", v)) return -1;
    return store(self, SettingsOf(self).max_message_size, v);
  }

  static PyObject* get_service_name(PyObject* self, void*) {
    const std::string& prefix = SettingsOf(self).method_prefix;
    if (prefix.empty()) Py_RETURN_NONE;
    return PyUnicode_FromStringAndSize(prefix.data(), static_cast<Py_ssize_t>(prefix.size() - 1));
  }
  static int set_service_name(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    std::string prefix;
    if (value != Py_None) {
      Py_ssize_t size;
      const char* name = str_arg(value, "service_name", &size);
      if (!name) return -1;
      prefix.assign(name, static_cast<size_t>(size));
      prefix += ':';
    }
    Borrow borrow(SettingsOf(self).borrow, Borrow::Exclusive);
    if (!borrow.ok()) return -1;
    SettingsOf(self).method_prefix = std::move(prefix);
    return 0;
  }

  static PyObject* get_headers(PyObject* self, void*) {
    ClientSettings& st = SettingsOf(self);
    Borrow borrow(st.borrow, Borrow::Shared);
    if (!borrow.ok()) return nullptr;
    return headers_dict(*st.send_headers);
  }
  static int set_headers(PyObject* self, PyObject* value, void*) {
    auto headers = std::make_shared<framing::HeaderList>();
    if (refuse_delete(value) || !headers_arg(value, *headers)) return -1;
    ClientSettings& st = SettingsOf(self);
    Borrow borrow(st.borrow, Borrow::Exclusive);
    if (!borrow.ok()) return -1;
    st.send_headers = std::move(headers);
    return 0;
  }
  static PyObject* get_header_zlib(PyObject* self, void*) {
    return PyBool_FromLong(SettingsOf(self).header_zlib.load(std::memory_order_relaxed));
  }
  static int set_header_zlib(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    const int on = PyObject_IsTrue(value);
    return on < 0 ? -1 : store(self, SettingsOf(self).header_zlib, on != 0);
  }
  static PyObject* get_last_reply_headers(PyObject* self, void*) {
    ReplyHeaders& last = *SettingsOf(self).reply_headers;
    framing::HeaderList copy;
    {
      std::lock_guard lock(last.mutex);
      copy = last.headers;
    }
    return headers_dict(copy);
  }
  static PyObject* get_http_path(PyObject* self, void*) {
    Borrow borrow(SettingsOf(self).borrow, Borrow::Shared);
    if (!borrow.ok()) return nullptr;
    const std::string& path = SettingsOf(self).http_path;
    return PyUnicode_FromStringAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
  }
  static int set_http_path(PyObject* self, PyObject* value, void*) {
    if (refuse_delete(value)) return -1;
    Py_ssize_t size;
    const char* path = str_arg(value, "http_path", &size);
    if (!path) return -1;
    const std::string_view text(path, static_cast<size_t>(size));
    if (!text.starts_with('/') || text.find_first_of(" \r\n") != std::string_view::npos) {
      PyErr_SetString(PyExc_ValueError, "http_path must start with '/' and hold no spaces or line breaks");
      return -1;
    }
    Borrow borrow(SettingsOf(self).borrow, Borrow::Exclusive);
    if (!borrow.ok()) return -1;
    SettingsOf(self).http_path.assign(text);
    return 0;
  }

  static inline PyGetSetDef getset[] = {
      property_entry<get_http_path, set_http_path>(
          "http_path", "The path TransportType.Http POSTs each call to (\"/\" by default)."),
      property_entry<get_transport, set_transport>("transport",
                                                   "The TransportType used by the next open() (Framed by default)."),
      property_entry<get_protocol, set_protocol>("protocol", "The ProtocolType of the next call (Binary by default)."),
      property_entry<get_timeout, set_timeout>(
          "timeout",
          "Seconds that open() and each call (its write and read together) may take, or None (the default)\n"
          "for no limit."),
      property_entry<get_max_message_size, set_max_message_size>(
          "max_message_size",
          "The largest reply, in bytes, a call reads (a framed message's 4-byte length not counted); 16 MiB\n"
          "(16777216) by default, 0 for no limit. A larger reply fails the call with OSError and drops the\n"
          "connection before its body is kept: a framed one as soon as its length is read, a buffered one\n"
          "as soon as one byte more than the limit has arrived."),
      property_entry<get_service_name, set_service_name>(
          "service_name",
          "The service's name on a multiplexing server, or None (the default): with a name, every call goes "
          "out as \"name:method\"."),
      property_entry<get_headers, set_headers>(
          "headers",
          "The string headers every call sends over TransportType.Header, as a dict (empty by default);\n"
          "assign a new mapping to change them. With a timeout, calls send \"client_timeout\" too."),
      property_entry<get_header_zlib, set_header_zlib>(
          "header_zlib", "Whether calls over TransportType.Header compress their requests with zlib (False by default)."),
      property_entry<get_last_reply_headers, nullptr>(
          "last_reply_headers",
          "The string headers of the latest reply read over TransportType.Header, as a dict (empty before one)."),
      property_entry<get_reconnect, set_reconnect>(
          "reconnect",
          "Whether a call on a connection that was dropped (not closed) connects again first (False by default)."),
      property_entry<get_retries, set_retries>(
          "retries", "How many times a failed call may be repeated when that cannot run it twice (0 by default)."),
      property_entry<get_retry_backoff, set_retry_backoff>(
          "retry_backoff", "Mean seconds before the first repeat, doubled for each next one, with jitter (0.05)."),
      property_entry<get_retry_deadline, set_retry_deadline>(
          "retry_deadline", "Seconds all attempts of one call may take together, or None (the default) for no limit."),
      property_entry<get_idempotent, set_idempotent>(
          "idempotent", "The names of the methods whose calls may be repeated after their request was sent."),
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };

 private:
  static PyObject* seconds(int64_t ns) { return PyFloat_FromDouble(static_cast<double>(ns) / 1e9); }

  template <class T>
  static int store(PyObject* self, std::atomic<T>& slot, T value) {
    Borrow borrow(SettingsOf(self).borrow, Borrow::Exclusive);
    if (!borrow.ok()) return -1;
    slot.store(value, std::memory_order_relaxed);
    return 0;
  }
};

}  // namespace velvane::py
