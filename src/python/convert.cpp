// src/python/convert.cpp: the slow paths of scalar extraction, and the conversions between Python
// objects and ThriftValue (stored values of instances, defaults, the JSON document reader's values).
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/convert.h"
#include "python/internal.h"

namespace velvane::py {

bool nesting_too_deep() {
  PyErr_Format(PyExc_ValueError, "Nesting too deep: structs and containers are limited to %d levels", kMaxDepth);
  return false;
}

namespace {

/// Conversions read a container at the size it had when they began: a callback that changes the
/// size ends the conversion, as one that grows it at every step would otherwise never let it end.
bool changed_during_conversion(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "%s changed size during iteration", what);
  return false;
}

/// True when the pending exception is a nesting-limit failure, ours or the interpreter's. The
/// conversion rules fall back to the next rule on a failed conversion, but retrying after this one
/// would redo the whole nested walk at every level: it ends the conversion instead.
bool depth_failure_pending() {
  if (PyErr_ExceptionMatches(PyExc_RecursionError)) return true;
  if (!PyErr_ExceptionMatches(PyExc_ValueError)) return false;
  PyObject* exc = PyErr_GetRaisedException();
  Ref args = Ref::steal(PyException_GetArgs(exc));
  bool ours = false;
  if (args && PyTuple_GET_SIZE(args.get()) == 1 && PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
    constexpr std::string_view kPrefix = "Nesting too deep: ";
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(args.get(), 0), &size);
    ours = text && std::string_view(text, static_cast<size_t>(size)).starts_with(kPrefix);
  }
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  return ours;
}

/// The UTF-8 text of a str, or nullopt with UnicodeEncodeError set (lone surrogates).
std::optional<std::string_view> text_of(PyObject* str) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (!text) return std::nullopt;
  return std::string_view(text, static_cast<size_t>(size));
}

/// Stores an extracted scalar as the ThriftValue of the same variant.
struct ValueSink {
  ThriftValue& out;
  void operator()(bool v) { out = ThriftValue::Bool(v); }
  void operator()(int8_t v) { out = ThriftValue::Byte(v); }
  void operator()(int16_t v) { out = ThriftValue::I16(v); }
  void operator()(int32_t v) { out = ThriftValue::I32(v); }
  void operator()(int64_t v) { out = ThriftValue::I64(v); }
  void operator()(double v) { out = ThriftValue::Double(v); }
  void operator()(TextArg v) { out = ThriftValue::String(std::string(v.text)); }
  void operator()(BytesArg v) { out = ThriftValue::Binary(std::string(v.bytes)); }
  void operator()(UuidArg v) { out = ThriftValue::Uuid(std::string(v.bytes)); }
};

bool fail_nesting(int depth) { return depth > kMaxDepth ? nesting_too_deep() : true; }

bool struct_from_instance_locked(InstanceObject* inst, const StructPlan* plan, const PySchema& schema,
                                 std::string name, ThriftValue& out, int depth) {
  out = ThriftValue::Struct(std::move(name), inst->stored.fields);
  const Py_ssize_t n = PyTuple_GET_SIZE(inst->field_names());
  for (Py_ssize_t i = 0; i < n && i < inst->slot_count(); ++i) {
    if (!inst->slots()[i]) continue;
    Ref value = Ref::borrow(inst->slots()[i]);
    PyObject* field_name = PyTuple_GET_ITEM(inst->field_names(), i);
    Py_ssize_t declared = plan ? plan->index_of(field_name) : -1;
    ThriftValue converted;
    bool ok = declared >= 0 ? to_value_typed(value.get(), plan->fields[declared].type, schema, converted, depth)
                            : to_value_untyped(value.get(), schema, converted, depth);
    if (!ok && depth_failure_pending()) return false;
    // A value that does not convert, or a name with lone surrogates (only a keyword of a directly
    // built instance, never a declared field), leaves the stored value as it is.
    const auto text = ok ? text_of(field_name) : std::nullopt;
    if (!text) {
      PyErr_Clear();
      continue;
    }
    out.strukt->set(std::string(*text), std::move(converted));
  }
  return true;
}

/// The instance's stored values with its Python values converted over them, read under the
/// instance's critical section (attribute assignment changes both under it).
bool struct_from_instance(InstanceObject* inst, const StructPlan* plan, const PySchema& schema, std::string name,
                          ThriftValue& out, int depth) {
  bool ok;
  Py_BEGIN_CRITICAL_SECTION(inst);
  ok = struct_from_instance_locked(inst, plan, schema, std::move(name), out, depth);
  Py_END_CRITICAL_SECTION();
  return ok;
}

bool struct_from_dict_locked(PyObject* dict, const TypePlan& type, const PySchema& schema, ThriftValue& out,
                             int depth) {
  out = ThriftValue::Struct(type.type->name);
  const StructPlan* plan = type.strukt;
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) return type_mismatch(key, "str"), false;
    Ref k = Ref::borrow(key), v = Ref::borrow(value);
    Py_ssize_t declared = plan ? plan->index_of(key) : -1;
    ThriftValue converted;
    bool ok = declared >= 0 && to_value_typed(v.get(), plan->fields[declared].type, schema, converted, depth);
    if (!ok) {
      if (declared >= 0 && depth_failure_pending()) return false;
      PyErr_Clear();
      ok = to_value_untyped(v.get(), schema, converted, depth);
    }
    if (!ok) {
      if (depth_failure_pending()) return false;
      PyErr_Clear();
      converted = ThriftValue::String("");
    }
    const auto text = text_of(k.get());
    if (!text) return false;
    out.strukt->set(std::string(*text), std::move(converted));
    if (PyDict_GET_SIZE(dict) != size) return changed_during_conversion("dictionary");
  }
  return true;
}

bool struct_from_dict(PyObject* dict, const TypePlan& type, const PySchema& schema, ThriftValue& out, int depth) {
  return walk_locked(dict, [&] { return struct_from_dict_locked(dict, type, schema, out, depth); });
}

/// A list's items converted in order by `convert(item, out)`; the list must keep its size meanwhile.
template <class Convert>
bool convert_list(PyObject* list, std::vector<ThriftValue>& items, Convert&& convert) {
  const Py_ssize_t size = PyList_GET_SIZE(list);
  return walk_locked(list, [&] {
    for (Py_ssize_t i = 0; i < size; ++i) {
      if (PyList_GET_SIZE(list) != size) return changed_during_conversion("list");
      Ref item = Ref::borrow(PyList_GET_ITEM(list, i));
      if (!convert(item.get(), items.emplace_back())) return false;
    }
    return true;
  });
}

/// A dict's keys and values, alternating, converted by `key_of` and `value_of`; the dict must keep
/// its size meanwhile.
template <class Key, class Value>
bool convert_dict(PyObject* dict, std::vector<ThriftValue>& items, Key&& key_of, Value&& value_of) {
  const Py_ssize_t size = PyDict_GET_SIZE(dict);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  return walk_locked(dict, [&] {
    while (PyDict_Next(dict, &pos, &key, &value)) {
      Ref k = Ref::borrow(key), v = Ref::borrow(value);
      if (!key_of(k.get(), items.emplace_back()) || !value_of(v.get(), items.emplace_back())) return false;
      if (PyDict_GET_SIZE(dict) != size) return changed_during_conversion("dictionary");
    }
    return true;
  });
}

/// Binary from a sequence of small integers, for the untyped rule: false without an exception set
/// when some item is not an integer 0..255.
bool try_byte_sequence(PyObject* obj, std::string& out) {
  Ref fast = Ref::steal(PySequence_Fast(obj, ""));
  if (!fast) {
    PyErr_Clear();
    return false;
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  out.clear();
  out.reserve(static_cast<size_t>(n));
  // For a list, `fast` is the list itself, which an item's __index__ may change: check the size
  // at every step and hold the item while it converts.
  return walk_locked(fast.get(), [&] {
    for (Py_ssize_t i = 0; i < n; ++i) {
      uint8_t byte;
      if (PySequence_Fast_GET_SIZE(fast.get()) != n) return false;
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), i));
      if (!extract_small_int(item.get(), byte)) {
        PyErr_Clear();
        return false;
      }
      out.push_back(static_cast<char>(byte));
    }
    return true;
  });
}

PyObject* list_from_items(const std::vector<ThriftValue>& items, const std::shared_ptr<const PySchema>& schema,
                          bool eager) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  if (!list) return nullptr;
  for (size_t i = 0; i < items.size(); ++i) {
    PyObject* item = to_python(items[i], schema, eager);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

}  // namespace

PyObject* instance_with_python_values(const std::shared_ptr<const PySchema>& schema, const StructPlan& plan,
                                      const StructValue& value) {
  Ref inst = Ref::steal(new_instance(schema, &plan, StructValue{value.name, {}}));
  if (!inst) return nullptr;
  auto* target = reinterpret_cast<InstanceObject*>(inst.get());
  for (const auto& [name, field_value] : value.fields) {
    size_t index = 0;
    while (index < plan.fields.size() && plan.fields[index].field->name != name) ++index;
    if (index == plan.fields.size() || !plan.fields[index].direct) {
      target->stored.set(name, field_value);
      continue;
    }
    PyObject* converted = to_python(field_value, schema, true);
    if (!converted) return nullptr;
    Py_XSETREF(target->slots()[index], converted);
  }
  return inst.release();
}

bool extract_uuid(PyObject* obj, std::string& out) {
  Ref module = Ref::steal(PyImport_ImportModule("uuid"));
  if (!module) return false;
  Ref uuid_class = Ref::steal(PyObject_GetAttrString(module.get(), "UUID"));
  if (!uuid_class) return false;
  const int is_uuid = PyObject_IsInstance(obj, uuid_class.get());
  if (is_uuid <= 0) return is_uuid == 0 && (type_mismatch(obj, "UUID"), false);
  Ref bytes = Ref::steal(PyObject_GetAttrString(obj, "bytes"));
  if (!bytes) return false;
  if (!PyBytes_Check(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != static_cast<Py_ssize_t>(kUuidSize)) {
    PyErr_SetString(PyExc_ValueError, "UUID bytes must be 16 bytes long");
    return false;
  }
  out.assign(PyBytes_AS_STRING(bytes.get()), kUuidSize);
  return true;
}

bool extract_small_int_slow(PyObject* obj, long min, long max, long& out) {
  long v = PyLong_AsLong(obj);
  if (v == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      return out_of_range();
    }
    return false;
  }
  if (v < min || v > max) return out_of_range();
  out = v;
  return true;
}

namespace {

/// What a CPython conversion returned, into `out`; false when it is the error value with an
/// exception set.
template <class T, class R>
bool converted(R v, T& out) {
  if (v == R(-1) && PyErr_Occurred()) return false;
  out = v;
  return true;
}

}  // namespace

bool extract_i32_slow(PyObject* obj, int32_t& out) { return converted(PyLong_AsInt(obj), out); }
bool extract_i64_slow(PyObject* obj, int64_t& out) { return converted(PyLong_AsLongLong(obj), out); }
bool extract_double_slow(PyObject* obj, double& out) { return converted(PyFloat_AsDouble(obj), out); }

bool extract_string_slow(PyObject* obj, std::string_view& out) {
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &size);
  if (!text) return false;
  out = std::string_view(text, static_cast<size_t>(size));
  return true;
}

bool extract_binary(PyObject* obj, std::string_view& out, std::string& scratch) {
  if (PyBytes_Check(obj)) {
    out = std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return true;
  }
  if (PyByteArray_Check(obj)) {
    scratch.assign(PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj)));
    out = scratch;
    return true;
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj)) return type_mismatch(obj, "Sequence"), false;
  Ref fast = Ref::steal(PySequence_Fast(obj, "expected a sequence"));
  if (!fast) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.get());
  scratch.clear();
  scratch.reserve(static_cast<size_t>(n));
  // As in try_byte_sequence: a list may change under an item's __index__.
  const bool all_bytes = walk_locked(fast.get(), [&] {
    for (Py_ssize_t i = 0; i < n; ++i) {
      uint8_t byte;
      if (PySequence_Fast_GET_SIZE(fast.get()) != n) return changed_during_conversion("list");
      Ref item = Ref::borrow(PySequence_Fast_GET_ITEM(fast.get(), i));
      if (!extract_small_int(item.get(), byte)) return false;
      scratch.push_back(static_cast<char>(byte));
    }
    return true;
  });
  if (!all_bytes) return false;
  out = scratch;
  return true;
}

bool to_value_typed(PyObject* obj, const TypePlan& type, const PySchema& schema, ThriftValue& out, int depth) {
  if (obj == Py_None) {
    PyErr_SetString(PyExc_TypeError, "None has no ThriftValue representation");
    return false;
  }
  switch (type.kind) {
    case TypeKind::List:
    case TypeKind::Set: {
      if (!PyList_Check(obj)) return type_mismatch(obj, "list"), false;
      if (!fail_nesting(depth + 1)) return false;
      std::vector<ThriftValue> items;
      const auto elem = [&](PyObject* o, ThriftValue& v) {
        return to_value_typed(o, type.args[0], schema, v, depth + 1);
      };
      if (!convert_list(obj, items, elem)) return false;
      out = type.kind == TypeKind::List ? ThriftValue::List(std::move(items)) : ThriftValue::Set(std::move(items));
      return true;
    }
    case TypeKind::Map: {
      if (!PyDict_Check(obj)) return type_mismatch(obj, "dict"), false;
      if (!fail_nesting(depth + 1)) return false;
      std::vector<ThriftValue> items;
      const auto key = [&](PyObject* o, ThriftValue& v) {
        return to_value_typed(o, type.args[0], schema, v, depth + 1);
      };
      const auto value = [&](PyObject* o, ThriftValue& v) {
        return to_value_typed(o, type.args[1], schema, v, depth + 1);
      };
      if (!convert_dict(obj, items, key, value)) return false;
      out = ThriftValue::Map(std::move(items));
      return true;
    }
    case TypeKind::Struct:
      if (!fail_nesting(depth + 1)) return false;
      if (is_instance(obj)) {
        auto* inst = reinterpret_cast<InstanceObject*>(obj);
        return struct_from_instance(inst, inst->plan, schema, type.type->name, out, depth + 1);
      }
      if (PyDict_Check(obj)) return struct_from_dict(obj, type, schema, out, depth + 1);
      return type_mismatch(obj, "dict"), false;
    default: return extract_scalar(type.kind, obj, ValueSink{out});
  }
}

bool to_value_untyped(PyObject* obj, const PySchema& schema, ThriftValue& out, int depth) {
  if (obj == Py_None) {
    PyErr_SetString(PyExc_TypeError, "None has no ThriftValue representation");
    return false;
  }
  if (PyBool_Check(obj)) {
    out = ThriftValue::Bool(obj == Py_True);
    return true;
  }
  if (PyLong_Check(obj) || PyIndex_Check(obj)) {
    int overflow = 0;
    Ref index = Ref::steal(PyNumber_Index(obj));
    if (index) {
      long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
      if (!overflow && !(v == -1 && PyErr_Occurred())) {
        out = ThriftValue::I64(v);
        return true;
      }
    }
    PyErr_Clear();
  }
  if (PyFloat_Check(obj) || PyLong_Check(obj) || Py_TYPE(obj)->tp_as_number) {
    double v = PyFloat_AsDouble(obj);
    if (!(v == -1.0 && PyErr_Occurred())) {
      out = ThriftValue::Double(v);
      return true;
    }
    PyErr_Clear();
  }
  if (PyUnicode_Check(obj)) {
    std::string_view v;
    if (!extract_string(obj, v)) return false;
    out = ThriftValue::String(std::string(v));
    return true;
  }
  if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
    std::string_view v;
    std::string scratch;
    if (!extract_binary(obj, v, scratch)) return false;
    out = ThriftValue::Binary(std::string(v));
    return true;
  }
  if (PySequence_Check(obj) && !PyDict_Check(obj)) {
    std::string bytes;
    if (try_byte_sequence(obj, bytes)) {
      out = ThriftValue::Binary(std::move(bytes));
      return true;
    }
  }
  if (!fail_nesting(depth + 1)) return false;
  if (is_instance(obj)) {
    auto* inst = reinterpret_cast<InstanceObject*>(obj);
    const auto struct_name = text_of(inst->struct_name());
    if (!struct_name) return false;
    return struct_from_instance(inst, inst->plan, schema, std::string(*struct_name), out, depth + 1);
  }
  if (PyDict_Check(obj)) {
    std::vector<ThriftValue> items;
    const auto any = [&](PyObject* o, ThriftValue& v) { return to_value_untyped(o, schema, v, depth + 1); };
    if (!convert_dict(obj, items, any, any)) return false;
    out = ThriftValue::Map(std::move(items));
    return true;
  }
  if (PyList_Check(obj)) {
    std::vector<ThriftValue> items;
    const auto any = [&](PyObject* o, ThriftValue& v) { return to_value_untyped(o, schema, v, depth + 1); };
    if (!convert_list(obj, items, any)) return false;
    out = ThriftValue::List(std::move(items));
    return true;
  }
  PyErr_Format(PyExc_TypeError, "Cannot convert Python value of type '%s' to ThriftValue", Py_TYPE(obj)->tp_name);
  return false;
}

PyObject* new_uuid(std::string_view bytes) {
  Ref module = Ref::steal(PyImport_ImportModule("uuid"));
  if (!module) return nullptr;
  Ref cls_uuid = Ref::steal(PyObject_GetAttrString(module.get(), "UUID"));
  Ref raw = Ref::steal(PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
  if (!cls_uuid || !raw) return nullptr;
  Ref kwargs = Ref::steal(Py_BuildValue("{s:O}", "bytes", raw.get()));
  if (!kwargs) return nullptr;
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  return PyObject_Call(cls_uuid.get(), no_args.get(), kwargs.get());
}

PyObject* to_python(const ThriftValue& value, const std::shared_ptr<const PySchema>& schema, bool eager) {
  switch (value.kind) {
    case ValueKind::Bool: return PyBool_FromLong(value.b);
    case ValueKind::Byte: return PyLong_FromLong(value.i8);
    case ValueKind::I16: return PyLong_FromLong(value.i16);
    case ValueKind::I32: return PyLong_FromLong(value.i32);
    case ValueKind::I64: return PyLong_FromLongLong(value.i64);
    case ValueKind::Double: return PyFloat_FromDouble(value.d);
    case ValueKind::String:
      return PyUnicode_DecodeUTF8(value.bytes.data(), static_cast<Py_ssize_t>(value.bytes.size()), "replace");
    case ValueKind::Binary:
      return PyBytes_FromStringAndSize(value.bytes.data(), static_cast<Py_ssize_t>(value.bytes.size()));
    case ValueKind::Uuid: return new_uuid(value.bytes);
    case ValueKind::List:
    case ValueKind::Set: return list_from_items(value.items, schema, eager);
    case ValueKind::Map: {
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) return nullptr;
      for (size_t i = 0; i + 1 < value.items.size(); i += 2) {
        Ref k = Ref::steal(to_python(value.items[i], schema, eager));
        if (!k) return nullptr;
        Ref v = Ref::steal(to_python(value.items[i + 1], schema, eager));
        if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
      }
      return dict.release();
    }
    case ValueKind::Struct:
      if (eager) {
        if (const StructPlan* plan = schema->find(value.strukt->name))
          return instance_with_python_values(schema, *plan, *value.strukt);
      }
      return instance_from_value(schema, *value.strukt);
  }
  return nullptr;
}


namespace {

/// `value` of a constant; `as_key`: a container that keys a map becomes a tuple or frozenset.
PyObject* const_value_to_python(const ThriftValue& value, const std::shared_ptr<const PySchema>& schema, bool as_key,
                                int depth) {
  if (depth > kMaxDepth) return nesting_too_deep(), nullptr;
  switch (value.kind) {
    case ValueKind::List:
    case ValueKind::Set: {
      Ref items = Ref::steal(PyList_New(0));
      if (!items) return nullptr;
      for (const auto& item : value.items) {
        Ref v = Ref::steal(const_value_to_python(item, schema, value.kind == ValueKind::Set || as_key, depth + 1));
        if (!v || PyList_Append(items.get(), v.get()) < 0) return nullptr;
      }
      if (value.kind == ValueKind::List) return as_key ? PyList_AsTuple(items.get()) : items.release();
      return as_key ? PyFrozenSet_New(items.get()) : PySet_New(items.get());
    }
    case ValueKind::Map: {
      Ref dict = Ref::steal(PyDict_New());
      if (!dict) return nullptr;
      for (size_t i = 0; i + 1 < value.items.size(); i += 2) {
        Ref k = Ref::steal(const_value_to_python(value.items[i], schema, true, depth + 1));
        Ref v = k ? Ref::steal(const_value_to_python(value.items[i + 1], schema, false, depth + 1)) : Ref();
        if (!v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
      }
      if (!as_key) return dict.release();
      Ref pairs = Ref::steal(PyDict_Items(dict.get()));
      return pairs ? PyFrozenSet_New(pairs.get()) : nullptr;
    }
    case ValueKind::Struct: return instance_from_value(schema, *value.strukt);
    default: return to_python(value, schema);
  }
}

/// Gives every struct inside `value` its declared defaults for the fields it does not hold.
bool fill_defaults(ThriftValue& value, const PySchema& schema, int depth) {
  if (depth > kMaxDepth) return nesting_too_deep();
  for (auto& item : value.items)
    if (!fill_defaults(item, schema, depth + 1)) return false;
  if (value.kind != ValueKind::Struct) return true;
  for (auto& [name, field] : value.strukt->fields)
    if (!fill_defaults(field, schema, depth + 1)) return false;
  const StructPlan* plan = schema.find(value.strukt->name);
  if (!plan) {
    PyErr_Format(PyExc_ValueError, "Unknown struct in schema: %s", value.strukt->name.c_str());
    return false;
  }
  for (const auto& f : plan->def->fields)
    if (f.default_value && !value.strukt->find(f.name)) value.strukt->set(f.name, *f.default_value);
  return true;
}

}  // namespace

PyObject* const_to_python(const ThriftValue& value, const std::shared_ptr<const PySchema>& schema) {
  ThriftValue filled = value;
  if (!fill_defaults(filled, *schema, 0)) return nullptr;
  return const_value_to_python(filled, schema, false, 0);
}

}  // namespace velvane::py
