// src/python/serde.cpp: Python data to protocol bytes and back. One walker of Python objects,
// templated over the protocol's writer, carries the field-selection rules for all three protocols;
// the conversions between Python objects and ThriftValue are in convert.cpp.
#include <algorithm>
#include <bit>
#include <limits>
#include <memory>
#include <type_traits>
#include <optional>

#include "python/convert.h"
#include "python/internal.h"

namespace velvane::py {

namespace {

bool unknown_struct(const TypePlan& type) {
  PyErr_Format(PyExc_ValueError, "Unknown struct in schema: %s", type.type->name.c_str());
  return false;
}

bool write_error(const Error& e) {
  raise_error(e, Operation::Write);
  return false;
}

/// Guards one level of nesting: our own limit, then (when `recursive`: the level may hold further
/// levels) the interpreter's recursion limit.
class DepthGuard {
 public:
  [[gnu::always_inline]] explicit DepthGuard(int& depth, bool recursive = true) : depth_(depth) {
    ok_ = ++depth_ <= kMaxDepth && (!recursive || Py_EnterRecursiveCall(" while serializing a Thrift value") == 0);
    entered_ = ok_ && recursive;
    if (!ok_ && depth_ > kMaxDepth) nesting_too_deep();
  }
  ~DepthGuard() {
    --depth_;
    if (entered_) Py_LeaveRecursiveCall();
  }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  bool ok() const { return ok_; }

 private:
  int& depth_;
  bool ok_;
  bool entered_;
};

bool none_has_no_value() {
  PyErr_SetString(PyExc_TypeError, "None has no ThriftValue representation");
  return false;
}

bool container_changed(const char* what) {
  PyErr_Format(PyExc_RuntimeError, "%s changed size during serialization", what);
  return false;
}

bool dict_rewritten() {
  PyErr_SetString(PyExc_RuntimeError, "dict changed during serialization");
  return false;
}

/// Whether a stored value can be written under a field header of the declared type: its wire type
/// ids agree with the declared ones down to any struct, which carries its own field headers. A
/// value another schema read (an instance passed from one service to another) may not agree.
bool stored_fits(const ThriftValue& value, const TypePlan& type) {
  if (wire_type_id(value.kind) != type.wire_id) return false;
  switch (type.kind) {
    case TypeKind::List:
    case TypeKind::Set:
      return std::ranges::all_of(value.items, [&](const ThriftValue& item) { return stored_fits(item, type.args[0]); });
    case TypeKind::Map:
      for (size_t i = 0; i + 1 < value.items.size(); i += 2)
        if (!stored_fits(value.items[i], type.args[0]) || !stored_fits(value.items[i + 1], type.args[1])) return false;
      return true;
    default: return true;
  }
}

// --------------------------------------------------------------------------------------------
// The walker: Python data under a declared type, straight into a protocol writer.

template <class W>
class DataWriter {
 public:
  DataWriter(W& w, const PySchema& schema) : w_(w), schema_(schema) {}

  /// One value under a declared type (a call's argument).
  bool write_top_value(const TypePlan& type, PyObject* obj) { return write_value(type, obj); }

  /// The fields of one struct, between struct_begin and struct_end.
  [[gnu::noinline]] bool write_struct(const StructPlan& plan, PyObject* data) {
    // The outermost struct adds one frame of fixed size to its caller's: the interpreter's recursion
    // check is made from the first nested level on, where the walk can go deep.
    DepthGuard guard(depth_, depth_ > 0);
    if (!guard.ok()) return false;
    w_.struct_begin();
    bool ok;
    if (PyDict_Check(data)) {
      ok = walk_locked(data, [&] { return write_dict_fields(plan, data); });
    } else if (is_instance(data)) {
      ok = write_instance_fields(plan, reinterpret_cast<InstanceObject*>(data));
    } else {
      type_mismatch(data, "dict");
      ok = false;
    }
    if (ok) w_.struct_end();
    return ok;
  }

 private:
  bool write_dict_fields(const StructPlan& plan, PyObject* dict) {
    Py_ssize_t pos = 0;  // iteration position of the entry expected next
    for (const FieldPlan& f : plan.fields) {
      PyObject* entry = next_entry_value(dict, pos, f.name.get());
      if (entry && write_exact_scalar(f.type, entry, &f)) continue;
      Ref value = Ref::borrow(entry);
      if (!value) {
        PyObject* raw;
        if (PyDict_GetItemRef(dict, f.name.get(), &raw) < 0) return false;
        value = Ref::steal(raw);
      }
      if (value) {
        if (value.get() == Py_None) {
          if (f.field->required) {
            PyErr_Format(PyExc_TypeError, "Required field '%s' cannot be None", f.field->name.c_str());
            return false;
          }
          continue;
        }
        if (!write_field(f, value.get())) return false;
      } else if (f.field->default_value) {
        if (!write_stored_field(f, *f.field->default_value)) return false;
      }
    }
    return true;
  }

  /// Fast path for dicts that hold the fields in declaration order (as dicts written for a schema
  /// usually do): the value of the entry after `pos` (borrowed) when its key is `name` itself, the
  /// plan's interned name object, which can only be the entry of that name; `pos` then moves past
  /// it. Otherwise null, and the caller looks the name up by hash. Reads the dict's current state,
  /// so a dict changed by an earlier value's callback is handled as a lookup would handle it.
  static PyObject* next_entry_value(PyObject* dict, Py_ssize_t& pos, PyObject* name) {
    Py_ssize_t probe = pos;
    PyObject *key, *value;
    if (!PyDict_Next(dict, &probe, &key, &value) || key != name) return nullptr;
    pos = probe;
    return value;
  }

  /// Holds the instance's critical section while its slots and stored values are read: attribute
  /// assignment changes both under it. Values run Python code only through held references.
  bool write_instance_fields(const StructPlan& plan, InstanceObject* inst) {
    bool ok;
    Py_BEGIN_CRITICAL_SECTION(inst);
    ok = write_instance_fields_locked(plan, inst);
    Py_END_CRITICAL_SECTION();
    return ok;
  }

  bool write_instance_fields_locked(const StructPlan& plan, InstanceObject* inst) {
    const bool same_plan = inst->plan == &plan;
    for (size_t i = 0; i < plan.fields.size(); ++i) {
      const FieldPlan& f = plan.fields[i];
      Py_ssize_t index = same_plan ? static_cast<Py_ssize_t>(i) : instance_field_index(inst, f.name.get());
      if (index >= 0 && index < inst->slot_count() && inst->slots()[index]) {
        PyObject* held = inst->slots()[index];
        if (write_exact_scalar(f.type, held, &f)) continue;
        Ref value = Ref::borrow(held);  // the field may be reassigned meanwhile
        if (value.get() == Py_None) continue;
        if (!write_field(f, value.get())) return false;
        continue;
      }
      if (const ThriftValue* stored = inst->stored.find(f.field->name)) {
        if (!write_stored_field(f, *stored)) return false;
      }
    }
    return true;
  }

  /// Fast path for a value of the exact built-in type of its declared scalar kind (an int in range,
  /// a float, a bool, a compact ASCII str, bytes), the usual case: converting it runs no Python code
  /// and allocates no Python object, so nothing can drop it meanwhile, and it is written from the
  /// caller's borrowed reference (an entry of a dict or an instance slot) without taking one of its
  /// own. When `field` is given, its header and end are written around the value. False, with nothing
  /// written and no exception set, for any other value: the caller holds it and takes the general
  /// path.
  [[gnu::always_inline]] bool write_exact_scalar(const TypePlan& type, PyObject* obj, const FieldPlan* field = nullptr) {
    int64_t i;
    switch (type.kind) {
      case TypeKind::Bool:
        if (!PyBool_Check(obj)) return false;
        if constexpr (kBinary) {
          *fixed_width(field, 1) = obj == Py_True ? 1 : 0;
          return true;
        }
        return framed(field, [&] { w_.write_bool(obj == Py_True); });
      case TypeKind::Byte:
        if (!exact_int_value(obj, i) || i < INT8_MIN || i > INT8_MAX) return false;
        return framed(field, [&] { w_.write_byte(static_cast<int8_t>(i)); });
      case TypeKind::I16:
        if (!exact_int_value(obj, i) || i < INT16_MIN || i > INT16_MAX) return false;
        return framed(field, [&] { w_.write_i16(static_cast<int16_t>(i)); });
      case TypeKind::I32:
        if (!exact_int_value(obj, i) || i < INT32_MIN || i > INT32_MAX) return false;
        if constexpr (kBinary) {
          wire::store_be32(fixed_width(field, 4), static_cast<uint32_t>(i));
          return true;
        }
        return framed(field, [&] { w_.write_i32(static_cast<int32_t>(i)); });
      case TypeKind::I64:
        if (!exact_int_value(obj, i)) return false;
        if constexpr (kBinary) {
          wire::store_be64(fixed_width(field, 8), static_cast<uint64_t>(i));
          return true;
        }
        return framed(field, [&] { w_.write_i64(i); });
      case TypeKind::Double:
        if (!PyFloat_CheckExact(obj)) return false;
        if constexpr (kBinary) {
          wire::store_be64(fixed_width(field, 8), std::bit_cast<uint64_t>(PyFloat_AS_DOUBLE(obj)));
          return true;
        }
        return framed(field, [&] { w_.write_double(PyFloat_AS_DOUBLE(obj)); });
      case TypeKind::String:
        if (!PyUnicode_CheckExact(obj) || !PyUnicode_IS_COMPACT_ASCII(obj)) return false;
        return framed(field, [&] {
          w_.write_string(std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                           static_cast<size_t>(PyUnicode_GET_LENGTH(obj))));
        });
      case TypeKind::Binary:
        if (!PyBytes_CheckExact(obj)) return false;
        return framed(field, [&] {
          w_.write_binary(std::string_view(PyBytes_AS_STRING(obj), static_cast<size_t>(PyBytes_GET_SIZE(obj))));
        });
      default: return false;
    }
  }

  /// Binary protocol: room for a value of `width` bytes at the end of the output, after the header
  /// of `field` when given (type id, then the big-endian field id, as field_begin writes it), under
  /// one capacity check instead of one per append. Returns where the value goes.
  [[gnu::always_inline]] char* fixed_width(const FieldPlan* field, size_t width) {
    if (!field) return w_.extend(width);
    char* out = w_.extend(3 + width);
    out[0] = static_cast<char>(field->type.wire_id);
    wire::store_be16(out + 1, static_cast<uint16_t>(field->field->id));
    return out + 3;
  }

  /// `write()` of a scalar, inside the header and end of `field` when given.
  template <class Write>
  [[gnu::always_inline]] bool framed(const FieldPlan* field, Write write) {
    if (field) w_.field_begin(field->type.wire_id, field->field->id);
    write();
    if (field) w_.field_end();
    return true;
  }

  bool write_field(const FieldPlan& f, PyObject* value) {
    w_.field_begin(f.type.wire_id, f.field->id);
    if (!write_value(f.type, value)) return false;
    w_.field_end();
    return true;
  }

  bool write_stored_field(const FieldPlan& f, const ThriftValue& value) {
    if (!stored_fits(value, f.type)) {
      PyErr_Format(PyExc_TypeError, "Stored value of field '%s' does not match its declared type",
                   f.field->name.c_str());
      return false;
    }
    w_.field_begin(f.type.wire_id, f.field->id);
    Status s = velvane::write_value(w_, value, schema_.core(), depth_, f.type.type);
    if (!s.ok()) return write_error(s.error());
    w_.field_end();
    return true;
  }

  /// One value under its declared type. Scalars are written here; binary values, containers and
  /// structs out of line, so that this function, which runs for every field and element, stays
  /// small (few registers to save, no cleanup of locals).
  bool write_value(const TypePlan& type, PyObject* obj) {
    if (obj == Py_None) return none_has_no_value();
    switch (type.kind) {
      case TypeKind::Bool: {
        bool v;
        return extract_bool(obj, v) && (w_.write_bool(v), true);
      }
      case TypeKind::Byte: {
        int8_t v;
        return extract_small_int(obj, v) && (w_.write_byte(v), true);
      }
      case TypeKind::I16: {
        int16_t v;
        return extract_small_int(obj, v) && (w_.write_i16(v), true);
      }
      case TypeKind::I32: {
        int32_t v;
        return extract_i32(obj, v) && (w_.write_i32(v), true);
      }
      case TypeKind::I64: {
        int64_t v;
        return extract_i64(obj, v) && (w_.write_i64(v), true);
      }
      case TypeKind::Double: {
        double v;
        return extract_double(obj, v) && (w_.write_double(v), true);
      }
      case TypeKind::String: {
        std::string_view v;
        return extract_string(obj, v) && (w_.write_string(v), true);
      }
      case TypeKind::Binary: return write_binary(obj);
      case TypeKind::Uuid: return write_uuid(obj);
      case TypeKind::List:
      case TypeKind::Set: return write_list(type, obj);
      case TypeKind::Map: return write_map(type, obj);
      case TypeKind::Struct:
        if (!type.strukt) return unknown_struct(type);
        return write_struct(*type.strukt, obj);
    }
    return false;
  }

  [[gnu::noinline]] bool write_uuid(PyObject* obj) {
    std::string v;
    return extract_uuid(obj, v) && (w_.write_uuid(v), true);
  }

  [[gnu::noinline]] bool write_binary(PyObject* obj) {
    std::string_view v;
    std::string scratch;
    return extract_binary(obj, v, scratch) && (w_.write_binary(v), true);
  }

  [[gnu::noinline]] bool write_list(const TypePlan& type, PyObject* obj) {
    if (!PyList_Check(obj)) return type_mismatch(obj, "list"), false;
    const TypePlan& elem = type.args[0];
    // Items of a scalar type do not nest further: the interpreter's recursion check is needed only
    // where the walk can go deeper.
    DepthGuard guard(depth_, is_container_or_struct(elem.kind));
    if (!guard.ok()) return false;
    const Py_ssize_t size = PyList_GET_SIZE(obj);
    const bool is_set = type.kind == TypeKind::Set;
    if (is_set) {
      w_.set_begin(elem.wire_id, static_cast<size_t>(size));
    } else {
      w_.list_begin(elem.wire_id, static_cast<size_t>(size));
    }
    if (!write_items(obj, size, elem)) return false;
    if (is_set) {
      w_.set_end();
    } else {
      w_.list_end();
    }
    return true;
  }

  static bool is_container_or_struct(TypeKind kind) {
    return kind == TypeKind::List || kind == TypeKind::Set || kind == TypeKind::Map || kind == TypeKind::Struct;
  }

  static constexpr bool kBinary = std::is_same_v<W, BinaryWriter> || std::is_same_v<W, BasicBinaryWriter<OutBuffer>>;

  /// The items of a list under its element type. The element kind is dispatched once per list for
  /// the common kinds, and items of the exact built-in type (which convert without running Python
  /// code) are written inline; every other item takes write_value, as a single value would.
  bool write_items(PyObject* list, Py_ssize_t size, const TypePlan& elem) {
    auto general = [&](PyObject* item) { return write_value(elem, item); };
    switch (elem.kind) {
      case TypeKind::I32:
        if constexpr (kBinary) {
          // The output grows once for all items, which are stored in place (big-endian, as
          // write_i32 appends them). Nothing else writes to this output meanwhile: a serialize
          // from an item's callback has buffers of its own.
          char* out = w_.extend(4 * static_cast<size_t>(size));
          return for_each_item(list, size, [&](PyObject* item) {
            int64_t v;
            if (!exact_int_value(item, v) || v < INT32_MIN || v > INT32_MAX) return false;
            wire::store_be32(out, static_cast<uint32_t>(v));
            out += 4;
            return true;
          }, [&](PyObject* item) {
            int32_t v;
            if (!extract_i32(item, v)) return false;
            wire::store_be32(out, static_cast<uint32_t>(v));
            out += 4;
            return true;
          });
        }
        return for_each_item(list, size, [&](PyObject* item) {
          int64_t v;
          return exact_int_value(item, v) && v >= INT32_MIN && v <= INT32_MAX &&
                 (w_.write_i32(static_cast<int32_t>(v)), true);
        }, general);
      case TypeKind::I64:
        if constexpr (kBinary) {
          char* out = w_.extend(8 * static_cast<size_t>(size));  // as for I32
          return for_each_item(list, size, [&](PyObject* item) {
            int64_t v;
            if (!exact_int_value(item, v)) return false;
            wire::store_be64(out, static_cast<uint64_t>(v));
            out += 8;
            return true;
          }, [&](PyObject* item) {
            int64_t v;
            if (!extract_i64(item, v)) return false;
            wire::store_be64(out, static_cast<uint64_t>(v));
            out += 8;
            return true;
          });
        }
        return for_each_item(list, size, [&](PyObject* item) {
          int64_t v;
          return exact_int_value(item, v) && (w_.write_i64(v), true);
        }, general);
      case TypeKind::Double:
        return for_each_item(list, size, [&](PyObject* item) {
          return PyFloat_CheckExact(item) && (w_.write_double(PyFloat_AS_DOUBLE(item)), true);
        }, general);
      case TypeKind::String:
        return for_each_item(list, size, [&](PyObject* item) {
          if (!PyUnicode_CheckExact(item) || !PyUnicode_IS_COMPACT_ASCII(item)) return false;
          w_.write_string(std::string_view(static_cast<const char*>(PyUnicode_DATA(item)),
                                           static_cast<size_t>(PyUnicode_GET_LENGTH(item))));
          return true;
        }, general);
      default: return for_each_item(list, size, [](PyObject*) { return false; }, general);
    }
  }

  /// Calls `fast` on each item, then `general` on the items `fast` declined (returned false for
  /// without writing anything). `fast` must run no Python code; `general` may (an item's __index__
  /// or __float__, a nested dict's keys), and may change the list: an item it takes is held while it
  /// is written, None is refused first, and the list's size is checked again before the next item.
  template <class Fast, class General>
  bool for_each_item(PyObject* list, Py_ssize_t size, Fast&& fast, General&& general) {
    return walk_locked(list, [&] {
      for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (fast(item)) continue;
        Ref held = Ref::borrow(item);
        if (held.get() == Py_None) return none_has_no_value();
        if (!general(held.get())) return false;
        if (i + 1 < size && PyList_GET_SIZE(list) != size) return container_changed("list");
      }
      return true;
    });
  }

  [[gnu::noinline]] bool write_map(const TypePlan& type, PyObject* obj) {
    if (!PyDict_Check(obj)) return type_mismatch(obj, "dict"), false;
    DepthGuard guard(depth_);
    if (!guard.ok()) return false;
    const Py_ssize_t size = PyDict_GET_SIZE(obj);
    w_.map_begin(type.args[0].wire_id, type.args[1].wire_id, static_cast<size_t>(size));
    // The count is already written: a key or value callback that rewrites the dict, even at the
    // same size, must not make the pairs disagree with it.
    return walk_locked(obj, [&] {
      Py_ssize_t pos = 0, written = 0;
      PyObject *key, *value;
      while (PyDict_Next(obj, &pos, &key, &value)) {
        if (++written > size) return dict_rewritten();
        const bool key_written = write_exact_scalar(type.args[0], key);
        if (key_written && write_exact_scalar(type.args[1], value)) continue;
        // The general path may run Python code, which may change the dict: hold the pair first.
        Ref k = Ref::borrow(key), v = Ref::borrow(value);
        if ((!key_written && !write_value(type.args[0], k.get())) || !write_value(type.args[1], v.get()))
          return false;
        if (PyDict_GET_SIZE(obj) != size) return container_changed("dict");
      }
      if (written != size) return dict_rewritten();
      w_.map_end();
      return true;
    });
  }

  W& w_;
  const PySchema& schema_;
  int depth_ = 0;
};

/// Output buffers reused from call to call, so that a serialize allocates only its bytes object.
/// With the GIL there is one set for the process, read without a thread-local lookup: a serialize
/// holds the GIL from start to end except inside Python callbacks (an item's __index__), and a
/// serialize that starts meanwhile, on this thread or another, finds the set in use and takes
/// buffers of its own. Free-threaded builds keep one set per thread.
struct Scratch {
  OutBuffer bytes;   // binary and compact
  std::string text;  // JSON
  bool in_use = false;
};
#ifdef Py_GIL_DISABLED
thread_local Scratch t_scratch;
Scratch& scratch() { return t_scratch; }
#else
Scratch g_scratch;
Scratch& scratch() { return g_scratch; }
#endif

/// The shared buffers for one serialize, or buffers of its own when they are in use.
class ScratchLease {
 public:
  ScratchLease() : shared_(scratch()) {
    if (shared_.in_use) [[unlikely]]
      own_ = std::make_unique<Scratch>();
    shared_.in_use = true;
  }
  ~ScratchLease() {
    if (own_) return;
    shared_.in_use = false;
    // Keep no huge block after a large message.
    shared_.bytes.shrink_above(kKeep);
    if (shared_.text.capacity() > kKeep) std::string().swap(shared_.text);
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;

  OutBuffer& bytes() {
    OutBuffer& b = own_ ? own_->bytes : shared_.bytes;
    b.clear();
    return b;
  }
  std::string& text() {
    std::string& t = own_ ? own_->text : shared_.text;
    t.clear();
    return t;
  }

 private:
  static constexpr size_t kKeep = size_t{1} << 20;
  Scratch& shared_;
  std::unique_ptr<Scratch> own_;  // made only when the shared buffers are in use
};

/// Serialize with the binary or compact writer over an OutBuffer.
template <class W>
PyObject* serialize_bytes(const StructViewObject* view, PyObject* data) {
  ScratchLease lease;
  OutBuffer& out = lease.bytes();
  out.reserve(16 * view->plan->fields.size() + 128);
  W w(out);
  DataWriter<W> walker(w, *view->schema);
  if (!walker.write_struct(*view->plan, data)) return nullptr;
  if (!w.ok()) return write_error(w.finish().error()), nullptr;
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

template <class W>
PyObject* serialize_json(const StructViewObject* view, PyObject* data) {
  ScratchLease lease;
  std::string& out = lease.text();
  out.reserve(16 * view->plan->fields.size() + 128);
  W w(out);
  DataWriter<W> walker(w, *view->schema);
  if (!walker.write_struct(*view->plan, data)) return nullptr;
  if (Status done = w.finish(); !done) return write_error(done.error()), nullptr;
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace

StructViewObject* struct_view_arg(PyObject* obj, const char* param) {
  if (!PyObject_TypeCheck(obj, cls(Cls::ThriftStruct))) {
    type_mismatch(obj, "ThriftStruct");
    prefix_argument_error(param);
    return nullptr;
  }
  return reinterpret_cast<StructViewObject*>(obj);
}

template <class W>
bool write_python_value(W& w, const TypePlan& type, PyObject* obj, const PySchema& schema) {
  return DataWriter<W>(w, schema).write_top_value(type, obj);
}
template bool write_python_value(BinaryWriter&, const TypePlan&, PyObject*, const PySchema&);
template bool write_python_value(CompactWriter&, const TypePlan&, PyObject*, const PySchema&);
template bool write_python_value(JsonWriter&, const TypePlan&, PyObject*, const PySchema&);
template bool write_python_value(StandardCompactWriter&, const TypePlan&, PyObject*, const PySchema&);
template bool write_python_value(StandardJsonWriter&, const TypePlan&, PyObject*, const PySchema&);

PyObject* serialize(const StructViewObject* view, PyObject* data, Protocol protocol) {
  switch (protocol) {
    case Protocol::Binary: return serialize_bytes<BasicBinaryWriter<OutBuffer>>(view, data);
    case Protocol::Compact: return serialize_bytes<BasicCompactWriter<OutBuffer>>(view, data);
    case Protocol::Json: return serialize_json<JsonWriter>(view, data);
    case Protocol::StandardCompact: return serialize_bytes<BasicStandardCompactWriter<OutBuffer>>(view, data);
    case Protocol::StandardJson: return serialize_json<StandardJsonWriter>(view, data);
  }
  return nullptr;
}

PyObject* deserialize(const StructViewObject* view, PyObject* data, Protocol protocol) {
  if (!PyBytes_Check(data)) {
    type_mismatch(data, "bytes");
    prefix_argument_error("data");
    return nullptr;
  }
  std::string_view input(PyBytes_AS_STRING(data), static_cast<size_t>(PyBytes_GET_SIZE(data)));
  // JSON documents are parsed without the interpreter when they are large; bytes are immutable.
  constexpr size_t kReleaseThreshold = 64 * 1024;
  if (protocol == Protocol::StandardJson) {
    std::optional<Result<StructValue>> result;
    if (input.size() >= kReleaseThreshold) {
      ReleaseGil nogil;
      result.emplace(read_standard_json_document(input, *view->plan->def, view->schema->core()));
    } else {
      result.emplace(read_standard_json_document(input, *view->plan->def, view->schema->core()));
    }
    if (!result->ok()) {
      raise_error(result->error(), Operation::ReadJsonDocument);
      return nullptr;
    }
    return instance_with_python_values(view->schema, *view->plan, result->value());
  }
  if (protocol != Protocol::Json) return decode_wire_struct(protocol, input, view);
  std::optional<Result<StructValue>> result;
  bool payload_form = false;
  if (input.size() >= kReleaseThreshold) {
    ReleaseGil nogil;
    result.emplace(read_json_document(input, *view->plan->def, view->schema->core(), &payload_form));
  } else {
    result.emplace(read_json_document(input, *view->plan->def, view->schema->core(), &payload_form));
  }
  if (!result->ok()) {
    raise_error(result->error(), Operation::ReadJsonDocument);
    return nullptr;
  }
  // The payload form gives stored values; the id-keyed form makes each value the field's Python value.
  if (!payload_form) return instance_with_python_values(view->schema, *view->plan, result->value());
  return new_instance(view->schema, view->plan, std::move(*result).value());
}

}  // namespace velvane::py
