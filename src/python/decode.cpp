// src/python/decode.cpp: binary and compact bytes straight into Python objects. The struct's fields
// become the instance's Python values, so reading them later converts nothing. A field whose type
// has a container as a map key (no Python object can key a dict with it) is read into a stored
// ThriftValue instead, as the lazy path would keep it.
#include <cstring>

#include "protocol/utf8.h"
#include "protocol/wire_reader.h"
#include "python/internal.h"

namespace velvane::py {

namespace {

/// Map keys repeat from message to message: short ASCII keys are kept in a small direct-mapped
/// table of str objects (as msgspec does), so a hit reuses a str, with its hash already computed,
/// instead of decoding a new one. Only ASCII strs are kept, so equal bytes mean an equal str. The
/// table is shared by the process and touched only with the GIL held; free-threaded builds go
/// without it.
class KeyCache {
 public:
  /// A new reference to a cached str equal to the bytes, or nullptr when none is cached.
  PyObject* find(std::string_view bytes) const {
    if (!kEnabled || bytes.size() > kMaxLength) return nullptr;
    PyObject* hit = slots_[slot_of(bytes)];
    if (!hit || PyUnicode_GET_LENGTH(hit) != static_cast<Py_ssize_t>(bytes.size()) ||
        std::memcmp(PyUnicode_1BYTE_DATA(hit), bytes.data(), bytes.size()) != 0)
      return nullptr;
    return Py_NewRef(hit);
  }
  /// Keeps `str`, decoded from `bytes`, when it qualifies.
  void remember(std::string_view bytes, PyObject* str) {
    if (!kEnabled || bytes.size() > kMaxLength || !PyUnicode_IS_ASCII(str)) return;
    Py_XSETREF(slots_[slot_of(bytes)], Py_NewRef(str));
  }

 private:
#ifdef Py_GIL_DISABLED
  static constexpr bool kEnabled = false;
#else
  static constexpr bool kEnabled = true;
#endif
  static constexpr size_t kSlots = 512;
  static constexpr size_t kMaxLength = 32;

  static size_t slot_of(std::string_view bytes) {
    uint64_t h = 14695981039346656037ull;  // FNV-1a
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    return static_cast<size_t>(h % kSlots);
  }

  PyObject* slots_[kSlots] = {};
};

KeyCache g_key_cache;

template <class Wire>
class PyReader : public detail::StructReader<Wire> {
 public:
  PyReader(std::string_view input, const PySchema& schema, const std::shared_ptr<const PySchema>& owner)
      : detail::StructReader<Wire>(input, 0, schema.core()), owner_(owner) {}

  /// A new instance of `plan` read from the input, or nullptr with an exception set.
  PyObject* read_instance(const StructPlan& plan, int depth) {
    if (depth > kMaxDepth) return wire_failed(this->fail_depth());
    Ref inst = Ref::steal(new_empty_instance(owner_, &plan));
    if (!inst) return nullptr;
    auto* target = reinterpret_cast<InstanceObject*>(inst.get());
    // Plan fields stand at the same indices as the definition's fields.
    const bool read = this->read_fields(*plan.def, depth, [&](size_t index, int header_bool) {
      const FieldPlan& field = plan.fields[index];
      if (!field.direct) {
        ThriftValue value;
        if (!this->read_value(field.field->field_type, value, depth, header_bool)) return false;
        target->stored.set(field.field->name, std::move(value));
        return true;
      }
      PyObject* value = read_value_py(field.type, depth, header_bool);
      if (!value) return false;
      Py_XSETREF(target->slots()[index], value);
      return true;
    });
    return read ? inst.release() : wire_failed(false);
  }

 private:

  /// Turns the wire's recorded error into OSError("Read error: …"), unless Python already raised.
  PyObject* wire_failed(bool) {
    if (!PyErr_Occurred()) raise_error(this->error(), Operation::ReadWire);
    return nullptr;
  }

  PyObject* read_value_py(const TypePlan& type, int depth, int header_bool = -1) {
    switch (type.kind) {
      case TypeKind::Bool: {
        bool v = false;
        if (header_bool >= 0) return PyBool_FromLong(header_bool);
        return this->read_bool(v) ? PyBool_FromLong(v) : wire_failed(false);
      }
      case TypeKind::Byte: {
        int8_t v;
        return this->read_byte(v) ? PyLong_FromLong(v) : wire_failed(false);
      }
      case TypeKind::I16: {
        int16_t v;
        return this->read_i16(v) ? PyLong_FromLong(v) : wire_failed(false);
      }
      case TypeKind::I32: {
        int32_t v;
        return this->read_i32(v) ? PyLong_FromLong(v) : wire_failed(false);
      }
      case TypeKind::I64: {
        int64_t v;
        return this->read_i64(v) ? PyLong_FromLongLong(v) : wire_failed(false);
      }
      case TypeKind::Double: {
        double v;
        return this->read_double(v) ? PyFloat_FromDouble(v) : wire_failed(false);
      }
      case TypeKind::String:
      case TypeKind::Binary: return read_text(type.kind == TypeKind::String);
      case TypeKind::Uuid: {
        const char* p = nullptr;
        return this->take(kUuidSize, p) ? new_uuid(std::string_view(p, kUuidSize)) : wire_failed(false);
      }
      case TypeKind::List:
      case TypeKind::Set: return read_list(type, depth + 1);
      case TypeKind::Map: return read_map(type, depth + 1);
      case TypeKind::Struct:
        if (!type.strukt)
          return wire_failed(this->fail(ErrorKind::UnknownStruct, "Unknown struct type: " + type.type->name));
        return read_instance(*type.strukt, depth + 1);
    }
    return wire_failed(this->fail_invalid_field_type());
  }

  /// A string or binary value; `map_key`: a string map key, looked up in the key cache first.
  PyObject* read_text(bool utf8, bool map_key = false) {
    size_t n = 0;
    const char* p = nullptr;
    if (!this->read_length(n) || !this->take(n, p)) return wire_failed(false);
    const auto size = static_cast<Py_ssize_t>(n);
    if (!utf8) return PyBytes_FromStringAndSize(p, size);
    if (map_key) {
      if (PyObject* cached = g_key_cache.find(std::string_view(p, n))) return cached;
    }
    PyObject* text = PyUnicode_DecodeUTF8(p, size, "strict");
    if (text && map_key) g_key_cache.remember(std::string_view(p, n), text);
    if (text || !PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return text;
    PyErr_Clear();
    return wire_failed(this->fail("IO error: " + utf8_error_text(std::string_view(p, n))));
  }

  static size_t min_size(const TypePlan& t) { return Wire::min_size(t.wire_id); }

  PyObject* read_list(const TypePlan& type, int depth) {
    if (depth > kMaxDepth) return wire_failed(this->fail_depth());
    uint8_t wire_elem = 0;
    uint32_t n = 0;
    if (!this->list_header(wire_elem, n) || !this->check_fits(n, min_size(type.args[0])) ||
        !this->charge(DecodeBudget::kContainer + size_t{n} * sizeof(PyObject*)))
      return wire_failed(false);
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!list) return nullptr;
    // The element kind is dispatched once per list, not per element, for the common kinds; the
    // items are the same objects read_value_py would make.
    const TypePlan& elem = type.args[0];
    bool ok;
    switch (elem.kind) {
      case TypeKind::I32:
        ok = fill(list.get(), n, [&] {
          int32_t v;
          return this->read_i32(v) ? PyLong_FromLong(v) : wire_failed(false);
        });
        break;
      case TypeKind::I64:
        ok = fill(list.get(), n, [&] {
          int64_t v;
          return this->read_i64(v) ? PyLong_FromLongLong(v) : wire_failed(false);
        });
        break;
      case TypeKind::Double:
        ok = fill(list.get(), n, [&] {
          double v;
          return this->read_double(v) ? PyFloat_FromDouble(v) : wire_failed(false);
        });
        break;
      case TypeKind::String: ok = fill(list.get(), n, [&] { return read_text(true); }); break;
      case TypeKind::Struct:
        if (elem.strukt) {
          ok = fill(list.get(), n, [&] { return read_instance(*elem.strukt, depth + 1); });
          break;
        }
        [[fallthrough]];
      default: ok = fill(list.get(), n, [&] { return read_value_py(elem, depth); });
    }
    return ok ? list.release() : nullptr;
  }

  /// Sets the `n` items of a new list from `read_item` (a new reference, or nullptr with an
  /// exception set, which stops the fill).
  template <class ReadItem>
  static bool fill(PyObject* list, uint32_t n, ReadItem&& read_item) {
    for (uint32_t i = 0; i < n; ++i) {
      PyObject* item = read_item();
      if (!item) return false;
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
    return true;
  }

  PyObject* read_map(const TypePlan& type, int depth) {
    if (depth > kMaxDepth) return wire_failed(this->fail_depth());
    uint8_t key_id = 0, value_id = 0;
    uint32_t n = 0;
    if (!this->map_header(key_id, value_id, n) || !this->check_fits(n, min_size(type.args[0]) + min_size(type.args[1])) ||
        !this->charge(DecodeBudget::kContainer + size_t{n} * 2 * sizeof(PyObject*)))
      return wire_failed(false);
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    const bool string_keys = type.args[0].kind == TypeKind::String;
    for (uint32_t i = 0; i < n; ++i) {
      Ref key = Ref::steal(string_keys ? read_text(true, true) : read_value_py(type.args[0], depth));
      if (!key) return nullptr;
      Ref value = Ref::steal(read_value_py(type.args[1], depth));
      if (!value || PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return nullptr;
    }
    return dict.release();
  }

  const std::shared_ptr<const PySchema>& owner_;
};

}  // namespace

PyObject* decode_wire_struct(Protocol protocol, std::string_view input, const StructViewObject* view) {
  if (protocol == Protocol::Compact) {
    PyReader<detail::CompactWire> reader(input, *view->schema, view->schema);
    return reader.read_instance(*view->plan, 1);
  }
  if (protocol == Protocol::StandardCompact) {
    PyReader<detail::StandardCompactWire> reader(input, *view->schema, view->schema);
    return reader.read_instance(*view->plan, 1);
  }
  PyReader<detail::BinaryWire> reader(input, *view->schema, view->schema);
  return reader.read_instance(*view->plan, 1);
}

}  // namespace velvane::py
