// src/python/enums.cpp: TransportType, ProtocolType and the protocol marker classes.
#include <cstdint>

#include "python/internal.h"

namespace velvane::py {

namespace {

struct EnumObject {
  PyObject_HEAD
  uint8_t value;
};

uint8_t enum_value(PyObject* self) { return reinterpret_cast<EnumObject*>(self)->value; }

PyObject* new_enum(PyTypeObject* type, uint8_t value) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj) reinterpret_cast<EnumObject*>(obj)->value = value;
  return obj;
}

void enum_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(enum_value(self)); }

/// Binds each variant as a class attribute holding one instance, created once with the class.
PyObject* add_variants(PyObject* type, std::initializer_list<const char*> variants) {
  uint8_t value = 0;
  for (const char* name : variants) {
    Ref variant = Ref::steal(new_enum(reinterpret_cast<PyTypeObject*>(type), value++));
    if (!variant || PyObject_SetAttrString(type, name, variant.get()) < 0) {
      Py_DECREF(type);
      return nullptr;
    }
  }
  return type;
}

// --- TransportType -----------------------------------------------------------------------------

PyObject* transport_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "TransportType() takes no arguments");
    return nullptr;
  }
  return new_enum(type, 0);
}

PyObject* transport_repr(PyObject* self) {
  static constexpr const char* kReprs[] = {"TransportType.Framed", "TransportType.Buffered", "TransportType.Http",
                                           "TransportType.Header"};
  return PyUnicode_FromString(kReprs[enum_value(self) % 4]);
}

PyObject* transport_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  long long theirs;
  if (PyObject_TypeCheck(other, cls(Cls::TransportType))) {
    theirs = enum_value(other);
  } else {
    theirs = PyLong_AsLongLong(other);
    if (theirs == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
  }
  bool equal = theirs == enum_value(self);
  return PyBool_FromLong(op == Py_EQ ? equal : !equal);
}

PyType_Slot transport_slots[] = {
    {Py_tp_doc, const_cast<char*>("TransportType()\n--\n\n"
                                  "Transport layer to use when reading/writing Thrift messages over TCP.\n\n"
                                  "* `Framed`   \u2013 each message is prefixed by a 4-byte big-endian frame length.\n"
                                  "* `Buffered` \u2013 messages are written directly to the socket with no framing.")},
    slot_entry<transport_new>(Py_tp_new),
    slot_entry<enum_dealloc>(Py_tp_dealloc),
    slot_entry<transport_repr>(Py_tp_repr),
    slot_entry<transport_richcompare>(Py_tp_richcompare),
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    slot_entry<enum_int>(Py_nb_int),
    {0, nullptr},
};

PyType_Spec transport_spec = {"velvane.TransportType", sizeof(EnumObject), 0, Py_TPFLAGS_DEFAULT, transport_slots};

// --- ProtocolType ------------------------------------------------------------------------------

PyObject* protocol_repr(PyObject* self) {
  static constexpr const char* kReprs[] = {"ProtocolType.Binary", "ProtocolType.Compact", "ProtocolType.JSON",
                                           "ProtocolType.StandardCompact", "ProtocolType.StandardJSON"};
  return PyUnicode_FromString(kReprs[enum_value(self) % 5]);
}

PyType_Slot protocol_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    slot_entry<enum_dealloc>(Py_tp_dealloc),
    slot_entry<protocol_repr>(Py_tp_repr),
    slot_entry<enum_int>(Py_nb_int),
    {0, nullptr},
};

PyType_Spec protocol_spec = {"velvane.ProtocolType", sizeof(EnumObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, protocol_slots};

// --- BinaryProtocol, CompactProtocol, JSONProtocol ----------------------------------------------

/// `serialize_struct` (Serialize) or `deserialize_struct` with the marker class's protocol.
template <Protocol P, bool Serialize>
PyObject* marker_call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const char* name = Serialize ? "serialize_struct" : "deserialize_struct";
  PyObject* a[2];
  if (!parse_args(name, args, nargs, kwnames, {"struct_def", "data"}, 2, a)) return nullptr;
  StructViewObject* view = struct_view_arg(a[0], "struct_def");
  if (!view) return nullptr;
  return Serialize ? serialize(view, a[1], P) : deserialize(view, a[1], P);
}

template <Protocol P>
PyMethodDef marker_methods[] = {
    method_entry<marker_call<P, true>>(
        "serialize_struct", METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
        "serialize_struct(struct_def, data)\n--\n\n"
        "`data` (a ThriftStructInstance or a dict) of the ThriftStruct `struct_def` as bytes in this\nprotocol."),
    method_entry<marker_call<P, false>>(
        "deserialize_struct", METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
        "deserialize_struct(struct_def, data)\n--\n\n"
        "A new instance of the ThriftStruct `struct_def` read from `data`, bytes in this protocol."),
    {nullptr, nullptr, 0, nullptr},
};

PyObject* marker_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments", type->tp_name);
    return nullptr;
  }
  return type->tp_alloc(type, 0);
}

void marker_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
  Py_DECREF(type);
}

template <Protocol P>
PyObject* create_marker(const char* name, const char* doc) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      slot_entry<marker_new>(Py_tp_new),
      slot_entry<marker_dealloc>(Py_tp_dealloc),
      {Py_tp_methods, marker_methods<P>},
      {0, nullptr},
  };
  PyType_Spec spec = {name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace

PyObject* create_transport_type() {
  PyObject* type = PyType_FromSpec(&transport_spec);
  return type ? add_variants(type, {"Framed", "Buffered", "Http", "Header"}) : nullptr;
}

PyObject* create_protocol_type() {
  PyObject* type = PyType_FromSpec(&protocol_spec);
  return type ? add_variants(type, {"Binary", "Compact", "JSON", "StandardCompact", "StandardJSON"}) : nullptr;
}

PyObject* create_protocol_marker(Protocol protocol) {
  switch (protocol) {
    case Protocol::Binary: return create_marker<Protocol::Binary>("velvane.BinaryProtocol", "BinaryProtocol()\n--\n\n");
    case Protocol::Compact: return create_marker<Protocol::Compact>("velvane.CompactProtocol", "CompactProtocol()\n--\n\n");
    case Protocol::Json: return create_marker<Protocol::Json>("velvane.JSONProtocol", "JSONProtocol()\n--\n\n");
    default: break;
  }
  return nullptr;
}

bool protocol_arg(PyObject* obj, const char* param, Protocol& out) {
  if (!PyObject_TypeCheck(obj, cls(Cls::ProtocolType))) {
    type_mismatch(obj, "ProtocolType");
    prefix_argument_error(param);
    return false;
  }
  out = static_cast<Protocol>(enum_value(obj));
  return true;
}

}  // namespace velvane::py
