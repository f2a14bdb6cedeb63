// src/python/classes.cpp: the process-wide class registry and interned names.
#include <mutex>

#include "python/internal.h"

namespace velvane::py {

PyTypeObject* g_classes[static_cast<int>(Cls::Count)];

namespace {

Names g_names;
bool g_created = false;
PyMutex g_create_lock;

PyObject* create(Cls which) {
  switch (which) {
    case Cls::ThriftParser: return create_thrift_parser();
    case Cls::BinaryProtocol: return create_protocol_marker(Protocol::Binary);
    case Cls::ThriftStruct: return create_thrift_struct();
    case Cls::ThriftField: return create_thrift_field();
    case Cls::ThriftStructInstance: return create_struct_instance();
    case Cls::PyThriftService: return create_service_view();
    case Cls::PyThriftMethod: return create_method_view();
    case Cls::ThriftServer: return create_thrift_server();
    case Cls::ProtocolType: return create_protocol_type();
    case Cls::CompactProtocol: return create_protocol_marker(Protocol::Compact);
    case Cls::JSONProtocol: return create_protocol_marker(Protocol::Json);
    case Cls::TransportType: return create_transport_type();
    case Cls::ThriftClient: return create_thrift_client();
    case Cls::AsyncThriftClient: return create_async_thrift_client();
    case Cls::ThriftApplicationException: return create_application_exception();
    case Cls::Count: break;
  }
  return nullptr;
}

bool intern(PyObject*& slot, const char* text) {
  slot = PyUnicode_InternFromString(text);
  return slot != nullptr;
}

/// Classes are created as "velvane.Name" so that __module__ is set, but their type name carries no
/// module prefix: point tp_name at the heap type's own short name (which lives as long as the type).
bool strip_module_prefix(PyObject* type) {
  auto* heap = reinterpret_cast<PyHeapTypeObject*>(type);
  const char* short_name = PyUnicode_AsUTF8(heap->ht_name);
  if (!short_name) return false;
  reinterpret_cast<PyTypeObject*>(type)->tp_name = short_name;
  return true;
}

}  // namespace

const Names& names() { return g_names; }

bool add_nested_class(PyObject* outer, const char* name, PyObject* inner) {
  if (!inner || !strip_module_prefix(inner)) return false;
  if (PyDict_SetItemString(reinterpret_cast<PyTypeObject*>(outer)->tp_dict, name, inner) < 0) return false;
  PyType_Modified(reinterpret_cast<PyTypeObject*>(outer));
  return true;
}

bool create_classes() {
  MutexLock lock(g_create_lock);
  bool ok = g_created;
  if (!ok) {
    ok = intern(g_names.to_dict, "to_dict") && intern(g_names.field_names, "field_names") &&
         intern(g_names.struct_name, "struct_name");
    // Build the shared empty schema now, under this lock: built lazily, a thread could wait on its
    // initialisation while holding the interpreter that the initialising thread needs.
    ok = ok && PySchema::empty() != nullptr;
    for (int i = 0; ok && i < static_cast<int>(Cls::Count); ++i) {
      PyObject* type = create(static_cast<Cls>(i));
      ok = type && strip_module_prefix(type);
      g_classes[i] = reinterpret_cast<PyTypeObject*>(type);
    }
    g_created = ok;
  }
  return ok;
}

}  // namespace velvane::py
