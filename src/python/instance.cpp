// src/python/instance.cpp: ThriftStructInstance, a live struct value with fields as attributes.
#include <algorithm>
#include <new>

#include "python/internal.h"

namespace velvane::py {

namespace {

InstanceObject* as_inst(PyObject* self) { return reinterpret_cast<InstanceObject*>(self); }

/// A new, tracked instance with empty members and `slots` empty value slots. PyObject_GC_NewVar
/// rather than tp_alloc: tp_alloc zeroes the whole object first, which the constructors below do
/// again member by member. The schema is copied straight into place (the readers make an instance
/// per struct read, nested ones included).
InstanceObject* alloc_instance(Py_ssize_t slots, const std::shared_ptr<const PySchema>& schema = nullptr,
                               const StructPlan* plan = nullptr) {
  InstanceObject* inst = PyObject_GC_NewVar(InstanceObject, cls(Cls::ThriftStructInstance), slots);
  if (!inst) return nullptr;
  new (&inst->schema) std::shared_ptr<const PySchema>(schema);
  inst->plan = plan;
  new (&inst->own_struct_name) Ref();
  new (&inst->own_field_names) Ref();
  new (&inst->stored) StructValue();
  std::fill_n(inst->slots(), slots, nullptr);
  PyObject_GC_Track(inst);
  return inst;
}

int inst_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  auto* inst = as_inst(self);
  for (Py_ssize_t i = 0; i < inst->slot_count(); ++i) Py_VISIT(inst->slots()[i]);
  return 0;
}

int inst_clear(PyObject* self) {
  // Py_CLEAR empties each slot before dropping its value, which may run arbitrary code.
  auto* inst = as_inst(self);
  for (Py_ssize_t i = 0; i < inst->slot_count(); ++i) Py_CLEAR(inst->slots()[i]);
  return 0;
}

void inst_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  inst_clear(self);
  auto* inst = as_inst(self);
  inst->stored.~StructValue();
  inst->own_field_names.~Ref();
  inst->own_struct_name.~Ref();
  inst->schema.~shared_ptr();
  type->tp_free(self);
  Py_DECREF(type);
}

/// The stored value of field `index` converted (and kept), else None (kept), for a field that
/// holds no Python value yet. New reference.
[[gnu::noinline]] PyObject* convert_stored_field(InstanceObject* inst, Py_ssize_t index) {
  PyObject* name = PyTuple_GET_ITEM(inst->field_names(), index);
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (!text) PyErr_Clear();  // a name with lone surrogates never keys a stored value
  PyObject* value = nullptr;
  const ThriftValue* stored = text ? inst->stored.find(std::string_view(text, static_cast<size_t>(size))) : nullptr;
  if (stored) {
    value = to_python(*stored, inst->schema);
    if (!value) PyErr_Clear();
  }
  if (!value) value = Py_NewRef(Py_None);
  if (!inst->slots()[index]) inst->slots()[index] = Py_NewRef(value);
  return value;
}

/// The attribute value of field `index`: the Python value, else the stored value converted (and
/// kept), else None (kept). New reference. Inline: a held value, the usual case, is a load.
[[gnu::always_inline]] inline PyObject* read_field(InstanceObject* inst, Py_ssize_t index) {
  if (PyObject* held = inst->slots()[index]) return Py_NewRef(held);
  return convert_stored_field(inst, index);
}

/// read_field under the instance's critical section (free-threaded builds; plain braces otherwise).
[[gnu::always_inline]] inline PyObject* read_field_locked(InstanceObject* inst, Py_ssize_t index) {
  PyObject* result;
  Py_BEGIN_CRITICAL_SECTION(inst);
  result = read_field(inst, index);
  Py_END_CRITICAL_SECTION();
  return result;
}

bool is_own_type_attribute(PyObject* name) {
  const Names& n = names();
  if (name == n.to_dict || name == n.field_names || name == n.struct_name) return true;
  const bool dunder = PyUnicode_GET_LENGTH(name) >= 2 && PyUnicode_READ_CHAR(name, 0) == '_' &&
                      PyUnicode_READ_CHAR(name, 1) == '_';
  return dunder || PyUnicode_Compare(name, n.to_dict) == 0 || PyUnicode_Compare(name, n.field_names) == 0 ||
         PyUnicode_Compare(name, n.struct_name) == 0;
}

/// is_own_type_attribute for the field at `index` named `name`: a plan knows it per field.
bool may_be_type_attribute(InstanceObject* inst, Py_ssize_t index, PyObject* name) {
  if (inst->plan && !inst->plan->fields.empty()) return inst->plan->fields[static_cast<size_t>(index)].type_attribute;
  return is_own_type_attribute(name);
}

PyObject* no_attribute(InstanceObject* inst, PyObject* name) {
  PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%U'", inst->struct_name(), name);
  return nullptr;
}

/// Attribute lookup by name for every read but the usual one (below): ordinary attributes first
/// where the name may have one, then the field.
[[gnu::noinline]] PyObject* getattr_by_lookup(InstanceObject* inst, PyObject* name) {
  PyObject* self = reinterpret_cast<PyObject*>(inst);
  Py_ssize_t index = PyUnicode_Check(name) ? instance_field_index(inst, name) : -1;
  // Only dunder names and the class's own members can be ordinary attributes: skip that lookup
  // (and the AttributeError it would build) for every other field.
  if (index >= 0 && !may_be_type_attribute(inst, index, name)) return read_field_locked(inst, index);
  PyObject* found = PyObject_GenericGetAttr(self, name);
  if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return found;
  PyErr_Clear();
  if (index >= 0) return read_field_locked(inst, index);
  return PyUnicode_Check(name) ? no_attribute(inst, name) : nullptr;
}

PyObject* inst_getattro(PyObject* self, PyObject* name) {
  auto* inst = as_inst(self);
  // The usual read, `instance.field` in code: the name is the plan's own interned object, found by
  // address among the fields no ordinary attribute can shadow, so the field is read at once.
  // Everything else is out of line, so that this path saves no registers.
  if (inst->plan) {
    if (const Py_ssize_t index = inst->plan->index_by_address(name); index >= 0) return read_field_locked(inst, index);
  }
  return getattr_by_lookup(inst, name);
}

int inst_setattro(PyObject* self, PyObject* name, PyObject* value) {
  auto* inst = as_inst(self);
  if (!value) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  if (!PyUnicode_Check(name)) {
    PyErr_Format(PyExc_TypeError, "attribute name must be string, not '%s'", Py_TYPE(name)->tp_name);
    return -1;
  }
  Py_ssize_t index = instance_field_index(inst, name);
  if (index < 0) return no_attribute(inst, name), -1;
  bool ok;
  Py_BEGIN_CRITICAL_SECTION(inst);
  ok = instance_assign(inst, index, value, false);
  Py_END_CRITICAL_SECTION();
  return ok ? 0 : -1;
}

PyObject* inst_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  PyObject* struct_name = nullptr;
  Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "ThriftStructInstance() takes 1 positional argument but %zd were given", nargs);
    return nullptr;
  }
  if (nargs == 1) struct_name = PyTuple_GET_ITEM(args, 0);
  Ref kw_names = Ref::steal(PyList_New(0));
  if (!kw_names) return nullptr;
  std::vector<Ref> values;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "struct_name") == 0) {
        if (struct_name) {
          PyErr_SetString(PyExc_TypeError, "ThriftStructInstance() got multiple values for argument 'struct_name'");
          return nullptr;
        }
        struct_name = value;
        continue;
      }
      if (!PyUnicode_Check(key)) continue;
      if (PyList_Append(kw_names.get(), key) < 0) return nullptr;
      values.push_back(Ref::borrow(value));
    }
  }
  if (!struct_name) {
    PyErr_SetString(PyExc_TypeError, "ThriftStructInstance() missing required argument 'struct_name'");
    return nullptr;
  }
  if (!PyUnicode_Check(struct_name)) {
    type_mismatch(struct_name, "str");
    prefix_argument_error("struct_name");
    return nullptr;
  }
  Ref names_tuple = Ref::steal(PyList_AsTuple(kw_names.get()));
  if (!names_tuple) return nullptr;
  InstanceObject* inst = alloc_instance(static_cast<Py_ssize_t>(values.size()));
  if (!inst) return nullptr;
  inst->schema = PySchema::empty();
  inst->own_struct_name = Ref::borrow(struct_name);
  inst->own_field_names = std::move(names_tuple);
  for (size_t i = 0; i < values.size(); ++i) inst->slots()[i] = values[i].release();
  return reinterpret_cast<PyObject*>(inst);
}

PyObject* to_dict_unlocked(InstanceObject* inst);

PyObject* to_dict_locked(PyObject* self) {
  PyObject* result;
  Py_BEGIN_CRITICAL_SECTION(self);
  result = to_dict_unlocked(as_inst(self));
  Py_END_CRITICAL_SECTION();
  return result;
}

/// `value` with every instance in it, in lists, sets, tuples and dict values, made a dict (keys are
/// kept as they are): new reference. A set whose items became dicts becomes a list.
PyObject* plain_value(PyObject* value, int depth) {
  if (depth > kMaxDepth) {
    PyErr_SetString(PyExc_ValueError, "to_dict: nesting deeper than 64 levels");
    return nullptr;
  }
  if (is_instance(value)) {
    Ref fields = Ref::steal(to_dict_locked(value));
    if (!fields) return nullptr;
    Py_ssize_t pos = 0;
    PyObject *key, *item;
    while (PyDict_Next(fields.get(), &pos, &key, &item)) {
      Ref plain = Ref::steal(plain_value(item, depth + 1));
      if (!plain || PyDict_SetItem(fields.get(), key, plain.get()) < 0) return nullptr;
    }
    return fields.release();
  }
  if (PyList_CheckExact(value) || PyTuple_CheckExact(value) || PyAnySet_CheckExact(value)) {
    Ref items = Ref::steal(PySequence_List(value));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* plain = plain_value(PyList_GET_ITEM(items.get(), i), depth + 1);
      if (!plain) return nullptr;
      PyList_SetItem(items.get(), i, plain);
    }
    if (PyTuple_CheckExact(value)) return PyList_AsTuple(items.get());
    if (PyAnySet_CheckExact(value)) {
      PyObject* set = PySet_New(items.get());
      if (set || !PyErr_ExceptionMatches(PyExc_TypeError)) return set;
      PyErr_Clear();  // dicts are not hashable
    }
    return items.release();
  }
  if (PyDict_CheckExact(value)) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    Ref items = Ref::steal(PyDict_Items(value));
    if (!items) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      Ref v = Ref::steal(plain_value(PyTuple_GET_ITEM(pair, 1), depth + 1));
      if (!v || PyDict_SetItem(out.get(), PyTuple_GET_ITEM(pair, 0), v.get()) < 0) return nullptr;
    }
    return out.release();
  }
  return Py_NewRef(value);
}

PyObject* inst_to_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1] = {nullptr};
  if (nargs != 0) {
    PyErr_Format(PyExc_TypeError, "to_dict() takes no positional arguments (%zd given)", nargs);
    return nullptr;
  }
  if (!parse_args("to_dict", args, nargs, kwnames, {"deep"}, 0, a)) return nullptr;
  const int deep = a[0] ? PyObject_IsTrue(a[0]) : 0;
  if (deep < 0) return nullptr;
  return deep ? plain_value(self, 0) : to_dict_locked(self);
}

PyObject* to_dict_unlocked(InstanceObject* inst) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return nullptr;
  const Py_ssize_t n = PyTuple_GET_SIZE(inst->field_names());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref value = Ref::steal(read_field(inst, i));
    if (!value || PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(inst->field_names(), i), value.get()) < 0)
      return nullptr;
  }
  return dict.release();
}

PyObject* inst_field_names(PyObject* self, PyObject*) { return PySequence_List(as_inst(self)->field_names()); }

PyObject* inst_get_struct_name(PyObject* self, void*) { return Py_NewRef(as_inst(self)->struct_name()); }

PyObject* inst_repr(PyObject* self) {
  auto* inst = as_inst(self);
  int rc = Py_ReprEnter(self);
  if (rc != 0) return rc > 0 ? PyUnicode_FromFormat("%U(...)", inst->struct_name()) : nullptr;
  struct ReprLeave {
    PyObject* o;
    ~ReprLeave() { Py_ReprLeave(o); }
  } leave{self};
  PyUnicodeWriter* writer = PyUnicodeWriter_Create(0);
  if (!writer) return nullptr;
  auto fail = [&]() -> PyObject* {
    PyUnicodeWriter_Discard(writer);
    return nullptr;
  };
  if (PyUnicodeWriter_WriteStr(writer, inst->struct_name()) < 0 || PyUnicodeWriter_WriteChar(writer, '(') < 0)
    return fail();
  const Py_ssize_t n = PyTuple_GET_SIZE(inst->field_names());
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref value = Ref::steal(read_field_locked(inst, i));
    if (!value) return fail();
    if ((i && PyUnicodeWriter_WriteUTF8(writer, ", ", 2) < 0) ||
        PyUnicodeWriter_WriteStr(writer, PyTuple_GET_ITEM(inst->field_names(), i)) < 0 ||
        PyUnicodeWriter_WriteChar(writer, '=') < 0 || PyUnicodeWriter_WriteRepr(writer, value.get()) < 0)
      return fail();
  }
  if (PyUnicodeWriter_WriteChar(writer, ')') < 0) return fail();
  return PyUnicodeWriter_Finish(writer);
}

// --- Copies and pickles -------------------------------------------------------------------------

/// A new instance of the same definition and schema holding copies of the stored values and the
/// same Python value objects.
PyObject* copy_instance(InstanceObject* inst) {
  InstanceObject* out = alloc_instance(inst->slot_count(), inst->schema, inst->plan);
  if (!out) return nullptr;
  Ref copy = Ref::steal(reinterpret_cast<PyObject*>(out));
  if (!inst->plan) {
    out->own_struct_name = Ref::borrow(inst->own_struct_name.get());
    out->own_field_names = Ref::borrow(inst->own_field_names.get());
  }
  bool copied = true;
  Py_BEGIN_CRITICAL_SECTION(inst);
  try {
    out->stored = inst->stored;
  } catch (const std::bad_alloc&) {
    copied = false;  // not thrown through the critical section
  }
  for (Py_ssize_t i = 0; copied && i < inst->slot_count(); ++i) out->slots()[i] = Py_XNewRef(inst->slots()[i]);
  Py_END_CRITICAL_SECTION();
  if (!copied) return PyErr_NoMemory();
  return copy.release();
}

PyObject* inst_copy(PyObject* self, PyObject*) { return copy_instance(as_inst(self)); }

PyObject* inst_deepcopy(PyObject* self, PyObject* memo) {
  Ref copy = Ref::steal(copy_instance(as_inst(self)));
  if (!copy) return nullptr;
  // Registered first, so that a value holding this instance again finds the copy.
  if (PyDict_Check(memo)) {
    Ref key = Ref::steal(PyLong_FromVoidPtr(self));
    if (!key || PyDict_SetItem(memo, key.get(), copy.get()) < 0) return nullptr;
  }
  Ref copy_module = Ref::steal(PyImport_ImportModule("copy"));
  Ref deepcopy = copy_module ? Ref::steal(PyObject_GetAttrString(copy_module.get(), "deepcopy")) : Ref();
  if (!deepcopy) return nullptr;
  auto* out = as_inst(copy.get());
  for (Py_ssize_t i = 0; i < out->slot_count(); ++i) {
    if (!out->slots()[i]) continue;
    Ref value = Ref::borrow(out->slots()[i]);
    PyObject* deep = PyObject_CallFunctionObjArgs(deepcopy.get(), value.get(), memo, nullptr);
    if (!deep) return nullptr;
    Py_BEGIN_CRITICAL_SECTION(out);
    Py_XSETREF(out->slots()[i], deep);
    Py_END_CRITICAL_SECTION();
  }
  return copy.release();
}

PyObject* inst_replace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs != 0) {
    PyErr_Format(PyExc_TypeError, "__replace__() takes no positional arguments (%zd given)", nargs);
    return nullptr;
  }
  Ref copy = Ref::steal(copy_instance(as_inst(self)));
  if (!copy) return nullptr;
  auto* out = as_inst(copy.get());
  const Py_ssize_t n = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* name = PyTuple_GET_ITEM(kwnames, i);
    const Py_ssize_t index = instance_field_index(out, name);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%U.__replace__() got an unexpected keyword argument '%U'", out->struct_name(),
                   name);
      return nullptr;
    }
    Py_BEGIN_CRITICAL_SECTION(out);
    instance_assign(out, index, args[i], false);
    Py_END_CRITICAL_SECTION();
  }
  return copy.release();
}

/// Schemas rebuilt from (or pickled with) an IDL text, by that text: unpickling many instances
/// parses their text once, and in the process that pickled them finds their own schema. Bounded:
/// emptied when it holds kMaxPickleSchemas texts. Created with the class.
PyObject* g_pickle_schemas = nullptr;
constexpr Py_ssize_t kMaxPickleSchemas = 64;

void drop_schema_capsule(PyObject* capsule) {
  delete static_cast<std::shared_ptr<const PySchema>*>(PyCapsule_GetPointer(capsule, nullptr));
}

bool remember_schema(PyObject* source, const std::shared_ptr<const PySchema>& schema) {
  if (PyDict_GET_SIZE(g_pickle_schemas) >= kMaxPickleSchemas) PyDict_Clear(g_pickle_schemas);
  auto* held = new std::shared_ptr<const PySchema>(schema);
  Ref capsule = Ref::steal(PyCapsule_New(held, nullptr, drop_schema_capsule));
  if (!capsule) {
    delete held;
    return false;
  }
  return PyDict_SetDefaultRef(g_pickle_schemas, source, capsule.get(), nullptr) >= 0;
}

/// The schema of `source`, remembered or parsed (and remembered); nullptr with an exception set.
std::shared_ptr<const PySchema> schema_of_source(PyObject* source) {
  PyObject* capsule;
  if (PyDict_GetItemRef(g_pickle_schemas, source, &capsule) < 0) return nullptr;
  if (capsule) {
    Ref held = Ref::steal(capsule);
    return *static_cast<std::shared_ptr<const PySchema>*>(PyCapsule_GetPointer(capsule, nullptr));
  }
  auto schema = schema_from_source(source);
  if (!schema || !remember_schema(source, schema)) return nullptr;
  return schema;
}

/// pickle's recipe: ThriftStructInstance._restore(IDL text or None, struct name, field names,
/// values). The text is the schema's own str, so one pickle of many instances holds it once.
PyObject* inst_reduce(PyObject* self, PyObject*) {
  auto* inst = as_inst(self);
  PyObject* source = inst->plan ? inst->schema->source() : Py_None;
  if (!source) {
    PyErr_Format(PyExc_TypeError, "cannot pickle '%U': its schema has no IDL text", inst->struct_name());
    return nullptr;
  }
  if (inst->plan && !remember_schema(source, inst->schema)) return nullptr;
  Ref values;
  Py_BEGIN_CRITICAL_SECTION(inst);
  const Py_ssize_t n = PyTuple_GET_SIZE(inst->field_names());
  values = Ref::steal(PyTuple_New(n));
  for (Py_ssize_t i = 0; values && i < n; ++i) {
    PyObject* value = read_field(inst, i);
    if (!value) {
      values = Ref();
      break;
    }
    PyTuple_SET_ITEM(values.get(), i, value);
  }
  Py_END_CRITICAL_SECTION();
  if (!values) return nullptr;
  Ref restore = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_restore"));
  if (!restore) return nullptr;
  return Py_BuildValue("(O(OOOO))", restore.get(), source, inst->struct_name(), inst->field_names(), values.get());
}

PyObject* inst_restore(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4 || !(args[0] == Py_None || PyUnicode_CheckExact(args[0])) || !PyUnicode_Check(args[1]) ||
      !PyTuple_Check(args[2]) || !PyTuple_Check(args[3]) || PyTuple_GET_SIZE(args[2]) != PyTuple_GET_SIZE(args[3])) {
    PyErr_SetString(PyExc_TypeError, "_restore(source, struct_name, field_names, values): not a pickled instance");
    return nullptr;
  }
  PyObject *source = args[0], *struct_name = args[1], *field_names = args[2], *values = args[3];
  const Py_ssize_t n = PyTuple_GET_SIZE(field_names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!PyUnicode_Check(PyTuple_GET_ITEM(field_names, i))) {
      PyErr_SetString(PyExc_TypeError, "_restore: field names must be str");
      return nullptr;
    }
  }
  if (source == Py_None) {  // an instance built directly, without a definition
    InstanceObject* inst = alloc_instance(n);
    if (!inst) return nullptr;
    inst->schema = PySchema::empty();
    inst->own_struct_name = Ref::borrow(struct_name);
    inst->own_field_names = Ref::borrow(field_names);
    for (Py_ssize_t i = 0; i < n; ++i) inst->slots()[i] = Py_NewRef(PyTuple_GET_ITEM(values, i));
    return reinterpret_cast<PyObject*>(inst);
  }
  auto schema = schema_of_source(source);
  if (!schema) return nullptr;
  Py_ssize_t size;
  const char* name = PyUnicode_AsUTF8AndSize(struct_name, &size);
  if (!name) return nullptr;
  const StructPlan* plan = schema->find(std::string_view(name, static_cast<size_t>(size)));
  if (!plan) return PyErr_Format(PyExc_ValueError, "Unknown struct in schema: %U", struct_name);
  Ref inst = Ref::steal(new_instance(schema, plan, StructValue{plan->def->name, {}}));
  if (!inst) return nullptr;
  auto* out = as_inst(inst.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    const Py_ssize_t index = instance_field_index(out, PyTuple_GET_ITEM(field_names, i));
    if (index < 0) continue;
    Py_BEGIN_CRITICAL_SECTION(out);
    instance_assign(out, index, PyTuple_GET_ITEM(values, i), false);
    Py_END_CRITICAL_SECTION();
  }
  return inst.release();
}

PyMethodDef inst_methods[] = {
    method_entry<inst_to_dict>("to_dict", METH_FASTCALL | METH_KEYWORDS,
                               "to_dict($self, *, deep=False)\n--\n\n"
                               "A new dict of field name to value, in field order. Nested instances stay instances;\n"
                               "with deep=True they become dicts too, also inside lists, sets and map values, so\n"
                               "that the result holds only plain Python data."),
    method_entry<inst_field_names>("field_names", METH_NOARGS,
                                   "field_names($self)\n--\n\n"
                                   "A new list of the instance's field names, in order."),
    method_entry<inst_copy>("__copy__", METH_NOARGS,
                            "__copy__($self)\n--\n\n"
                            "A new instance of the same struct holding the same field values (copy.copy)."),
    method_entry<inst_deepcopy>("__deepcopy__", METH_O,
                                "__deepcopy__($self, memo, /)\n--\n\n"
                                "A new instance whose field values are deep copies (copy.deepcopy)."),
    method_entry<inst_replace>("__replace__", METH_FASTCALL | METH_KEYWORDS,
                               "__replace__($self, /, **changes)\n--\n\n"
                               "A copy with the given fields assigned as by attribute assignment (copy.replace)."),
    method_entry<inst_reduce>("__reduce__", METH_NOARGS,
                              "__reduce__($self)\n--\n\n"
                              "How pickle rebuilds the instance: its struct name and field values, and the IDL text\n"
                              "of its schema, which another process parses once for all instances of that text."),
    method_entry<inst_restore>("_restore", METH_FASTCALL | METH_CLASS,
                               "_restore($type, source, struct_name, field_names, values, /)\n--\n\n"
                               "Rebuilds a pickled instance."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef inst_getset[] = {
    property_entry<inst_get_struct_name>("struct_name", "The name of the struct this is an instance of."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot inst_slots[] = {
    {Py_tp_doc, const_cast<char*>("ThriftStructInstance(struct_name, **kwargs)\n--\n\n"
                                  "A live instance of a Thrift struct.\n\n"
                                  "Fields are accessible as Python attributes (``instance.field_name``).\n"
                                  "Unknown attribute names raise ``AttributeError``.")},
    slot_entry<inst_new>(Py_tp_new),
    slot_entry<inst_dealloc>(Py_tp_dealloc),
    slot_entry<inst_traverse>(Py_tp_traverse),
    slot_entry<inst_clear>(Py_tp_clear),
    slot_entry<inst_getattro>(Py_tp_getattro),
    slot_entry<inst_setattro>(Py_tp_setattro),
    slot_entry<inst_repr>(Py_tp_repr),
    {Py_tp_methods, inst_methods},
    {Py_tp_getset, inst_getset},
    {0, nullptr},
};

}  // namespace

Py_ssize_t instance_field_index(InstanceObject* inst, PyObject* name) {
  if (inst->plan && !inst->plan->fields.empty()) return inst->plan->index_of(name);
  PyObject* field_names = inst->field_names();
  const Py_ssize_t n = PyTuple_GET_SIZE(field_names);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* candidate = PyTuple_GET_ITEM(field_names, i);
    if (candidate == name) return i;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    int eq = PyUnicode_Compare(PyTuple_GET_ITEM(field_names, i), name);
    if (eq == 0) return i;
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return -1;
}

bool instance_assign(InstanceObject* inst, Py_ssize_t index, PyObject* value, bool keep_stored_on_failure) {
  PyObject* name = PyTuple_GET_ITEM(inst->field_names(), index);
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (!text) {
    // Only a directly built instance has such a name (a keyword with lone surrogates): it has no
    // definition, so no stored value of that name is ever written; the Python value is all it has.
    PyErr_Clear();
    Py_XSETREF(inst->slots()[index], Py_NewRef(value));
    return true;
  }
  std::string field_name(text, static_cast<size_t>(size));
  ThriftValue converted;
  bool ok = false;
  if (inst->plan && static_cast<size_t>(index) < inst->plan->fields.size()) {
    ok = to_value_typed(value, inst->plan->fields[index].type, *inst->schema, converted);
    if (!ok) PyErr_Clear();
  }
  if (!ok) {
    ok = to_value_untyped(value, *inst->schema, converted);
    if (!ok) PyErr_Clear();
  }
  if (ok) {
    inst->stored.set(std::move(field_name), std::move(converted));
  } else if (!keep_stored_on_failure) {
    inst->stored.erase(field_name);
  }
  // Replace the Python value last: dropping the old one may run arbitrary code.
  Py_XSETREF(inst->slots()[index], Py_NewRef(value));
  return true;
}

PyObject* new_instance(std::shared_ptr<const PySchema> schema, const StructPlan* plan, StructValue stored) {
  InstanceObject* inst = alloc_instance(static_cast<Py_ssize_t>(plan->fields.size()), schema, plan);
  if (!inst) return nullptr;
  inst->stored = std::move(stored);
  return reinterpret_cast<PyObject*>(inst);
}

PyObject* new_empty_instance(const std::shared_ptr<const PySchema>& schema, const StructPlan* plan) {
  return reinterpret_cast<PyObject*>(alloc_instance(static_cast<Py_ssize_t>(plan->fields.size()), schema, plan));
}

PyObject* instance_from_value(const std::shared_ptr<const PySchema>& schema, StructValue value) {
  if (const StructPlan* plan = schema->find(value.name)) return new_instance(schema, plan, std::move(value));
  Ref name = Ref::steal(str_from(value.name));
  Ref no_fields = Ref::steal(PyTuple_New(0));
  if (!name || !no_fields) return nullptr;
  InstanceObject* inst = alloc_instance(0);
  if (!inst) return nullptr;
  inst->schema = schema;
  inst->own_struct_name = std::move(name);
  inst->own_field_names = std::move(no_fields);
  inst->stored = std::move(value);
  return reinterpret_cast<PyObject*>(inst);
}

PyObject* create_struct_instance() {
  g_pickle_schemas = PyDict_New();
  if (!g_pickle_schemas) return nullptr;
  PyType_Spec spec = {"velvane.ThriftStructInstance", sizeof(InstanceObject), sizeof(PyObject*),
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_IMMUTABLETYPE, inst_slots};
  return PyType_FromSpec(&spec);
}

}  // namespace velvane::py
