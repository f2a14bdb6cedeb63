// src/python/struct_api.cpp: ThriftStruct, the struct definition object: inspection, instances and
// the serialize API.
#include <new>

#include "python/internal.h"

namespace velvane::py {

namespace {

StructViewObject* as_view(PyObject* self) { return reinterpret_cast<StructViewObject*>(self); }

void view_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_view(self)->schema.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* view_get_name(PyObject* self, void*) { return Py_NewRef(as_view(self)->plan->struct_name.get()); }
PyObject* view_get_fields(PyObject* self, void*) { return struct_fields_list(as_view(self)->schema, *as_view(self)->plan->def); }

PyObject* view_repr(PyObject* self) {
  const StructDef& def = *as_view(self)->plan->def;
  return str_from("ThriftStruct(name=" + quoted(def.name) + ", fields=" + struct_fields_text(def) + ")");
}

/// A new instance carrying the definition's default values.
PyObject* instance_with_defaults(StructViewObject* view) {
  StructValue stored;
  stored.name = view->plan->def->name;
  for (const auto& f : view->plan->def->fields)
    if (f.default_value) stored.set(f.name, *f.default_value);
  return new_instance(view->schema, view->plan, std::move(stored));
}

PyObject* instance_from_items(StructViewObject* view, PyObject* items) {
  Ref inst = Ref::steal(instance_with_defaults(view));
  if (!inst) return nullptr;
  auto* target = reinterpret_cast<InstanceObject*>(inst.get());
  const Py_ssize_t size = PyDict_GET_SIZE(items);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  const bool walked = walk_locked(items, [&] {
    while (PyDict_Next(items, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) continue;
      // The lookup may run the key's __eq__, which may change `items`: hold both first.
      Ref hold_key = Ref::borrow(key), hold_value = Ref::borrow(value);
      Py_ssize_t index = view->plan->index_of(hold_key.get());
      if (PyDict_GET_SIZE(items) != size) {
        PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
        return false;
      }
      if (index < 0) continue;
      if (!instance_assign(target, index, hold_value.get(), true)) return false;
    }
    return true;
  });
  return walked ? inst.release() : nullptr;
}

PyObject* view_new_instance(PyObject* self, PyObject*) { return instance_with_defaults(as_view(self)); }

PyObject* view_new_instance_from_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("new_instance_from_dict", args, nargs, kwnames, {"items"}, 1, a)) return nullptr;
  if (!PyDict_Check(a[0])) {
    type_mismatch(a[0], "dict");
    prefix_argument_error("items");
    return nullptr;
  }
  return instance_from_items(as_view(self), a[0]);
}

PyObject* view_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "ThriftStruct() takes only keyword arguments");
    return nullptr;
  }
  if (!kwargs || PyDict_GET_SIZE(kwargs) == 0) return instance_with_defaults(as_view(self));
  return instance_from_items(as_view(self), kwargs);
}

PyObject* view_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("serialize", args, nargs, kwnames, {"data"}, 1, a)) return nullptr;
  return serialize(as_view(self), a[0], Protocol::Binary);
}

PyObject* view_serialize_with_protocol(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args("serialize_with_protocol", args, nargs, kwnames, {"data", "protocol"}, 2, a)) return nullptr;
  Protocol protocol;
  if (!protocol_arg(a[1], "protocol", protocol)) return nullptr;
  return serialize(as_view(self), a[0], protocol);
}

PyObject* view_deserialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("deserialize", args, nargs, kwnames, {"data"}, 1, a)) return nullptr;
  return deserialize(as_view(self), a[0], Protocol::Binary);
}

PyObject* view_deserialize_with_protocol(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args("deserialize_with_protocol", args, nargs, kwnames, {"data", "protocol"}, 2, a)) return nullptr;
  Protocol protocol;
  if (!protocol_arg(a[1], "protocol", protocol)) return nullptr;
  return deserialize(as_view(self), a[0], protocol);
}

constexpr int kFastKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef view_methods[] = {
    method_entry<view_new_instance>("new_instance", METH_NOARGS,
                                    "new_instance($self)\n--\n\n"
                                    "A new ThriftStructInstance of this struct holding the fields' default values;\n"
                                    "fields without a default read as None."),
    method_entry<view_new_instance_from_dict>(
        "new_instance_from_dict", kFastKeywords,
        "new_instance_from_dict($self, items)\n--\n\n"
        "A new instance with its defaults, then each item of the dict `items` whose key names a field\n"
        "assigned to it; other keys are ignored, and a value that cannot be converted keeps the default."),
    method_entry<view_serialize>("serialize", kFastKeywords,
                                 "serialize($self, data)\n--\n\n"
                                 "`data` (a ThriftStructInstance or a dict) as bytes in the binary protocol."),
    method_entry<view_serialize_with_protocol>(
        "serialize_with_protocol", kFastKeywords,
        "serialize_with_protocol($self, data, protocol)\n--\n\n"
        "`data` (a ThriftStructInstance or a dict) as bytes in `protocol`, a ProtocolType member."),
    method_entry<view_deserialize>("deserialize", kFastKeywords,
                                   "deserialize($self, data)\n--\n\n"
                                   "A new instance of this struct read from `data`, bytes in the binary protocol."),
    method_entry<view_deserialize_with_protocol>(
        "deserialize_with_protocol", kFastKeywords,
        "deserialize_with_protocol($self, data, protocol)\n--\n\n"
        "A new instance of this struct read from `data`, bytes in `protocol` (a ProtocolType member)."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef view_getset[] = {
    property_entry<view_get_name>("name", "The struct's name."),
    property_entry<view_get_fields>("fields",
                                    "A new list of ThriftField views, in field order (inherited fields first)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot view_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    slot_entry<view_dealloc>(Py_tp_dealloc),
    slot_entry<view_repr>(Py_tp_repr),
    slot_entry<view_call>(Py_tp_call),
    {Py_tp_methods, view_methods},
    {Py_tp_getset, view_getset},
    {0, nullptr},
};

}  // namespace

PyObject* new_struct_view(std::shared_ptr<const PySchema> schema, const StructPlan* plan) {
  PyTypeObject* type = cls(Cls::ThriftStruct);
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  new (&as_view(obj)->schema) std::shared_ptr<const PySchema>(std::move(schema));
  as_view(obj)->plan = plan;
  return obj;
}

PyObject* create_thrift_struct() {
  PyType_Spec spec = {"velvane.ThriftStruct", sizeof(StructViewObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, view_slots};
  return PyType_FromSpec(&spec);
}

}  // namespace velvane::py
