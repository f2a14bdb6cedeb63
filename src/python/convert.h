// src/python/convert.h: extraction of Python scalars under a declared type, shared by the data
// walker (which writes them straight to a protocol) and the conversions to ThriftValue. Each returns
// false with the Python exception of the refusal set.
#pragma once

#include <climits>
#include <limits>
#include <cstdint>
#include <string>
#include <string_view>

#include "model/schema.h"
#include "python/ref.h"

namespace velvane::py {

/// Raises the ValueError of nesting deeper than the limit; false.
bool nesting_too_deep();

inline bool out_of_range() {
  PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
  return false;
}

inline bool extract_bool(PyObject* obj, bool& out) {
  if (!PyBool_Check(obj)) return type_mismatch(obj, "bool"), false;
  out = obj == Py_True;
  return true;
}

/// Fast path for the common case of an exact `int` below 2**60 in magnitude (one or two of the
/// interpreter's 30-bit digits): its value is read inline from the digits, with no call and no
/// Python code run. The layout read here is the one cpython/longintrepr.h documents (digit count and
/// sign in lv_tag). Anything else (bool, int subclasses, __index__ objects, larger values) returns
/// false and takes the general conversion, which also raises its errors.
[[gnu::always_inline]] inline bool exact_int_value(PyObject* obj, int64_t& out) {
  static_assert(PyLong_SHIFT == 30, "two digits hold 60 bits");
  if (!PyLong_CheckExact(obj)) return false;
  const auto* v = reinterpret_cast<const PyLongObject*>(obj);
  if (PyUnstable_Long_IsCompact(v)) {
    out = PyUnstable_Long_CompactValue(v);
    return true;
  }
  const uintptr_t tag = v->long_value.lv_tag;
  if ((tag >> _PyLong_NON_SIZE_BITS) != 2) return false;
  const int64_t magnitude =
      static_cast<int64_t>(v->long_value.ob_digit[0]) | (static_cast<int64_t>(v->long_value.ob_digit[1]) << PyLong_SHIFT);
  out = (tag & _PyLong_SIGN_MASK) == 2 ? -magnitude : magnitude;
  return true;
}

// The general conversions, out of line so that the inline fast paths stay small in the walkers.
bool extract_small_int_slow(PyObject* obj, long min, long max, long& out);
bool extract_i32_slow(PyObject* obj, int32_t& out);
bool extract_i64_slow(PyObject* obj, int64_t& out);
bool extract_double_slow(PyObject* obj, double& out);
bool extract_string_slow(PyObject* obj, std::string_view& out);

/// Byte and I16: any object with an integer value, range-checked.
template <class T>
inline bool extract_small_int(PyObject* obj, T& out) {
  constexpr long kMin = std::numeric_limits<T>::min(), kMax = std::numeric_limits<T>::max();
  long v;
  if (int64_t fast; exact_int_value(obj, fast) && fast >= kMin && fast <= kMax) {
    v = static_cast<long>(fast);
  } else if (!extract_small_int_slow(obj, kMin, kMax, v)) {
    return false;
  }
  out = static_cast<T>(v);
  return true;
}

[[gnu::always_inline]] inline bool extract_i32(PyObject* obj, int32_t& out) {
  if (int64_t v; exact_int_value(obj, v) && v >= INT32_MIN && v <= INT32_MAX) {
    out = static_cast<int32_t>(v);
    return true;
  }
  return extract_i32_slow(obj, out);
}

[[gnu::always_inline]] inline bool extract_i64(PyObject* obj, int64_t& out) {
  if (exact_int_value(obj, out)) return true;
  return extract_i64_slow(obj, out);
}

[[gnu::always_inline]] inline bool extract_double(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  return extract_double_slow(obj, out);
}

[[gnu::always_inline]] inline bool extract_string(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) return type_mismatch(obj, "str"), false;
  // A compact ASCII str keeps its characters inline, and they are its UTF-8 bytes: no call needed.
  if (PyUnicode_IS_COMPACT_ASCII(obj)) {
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)), static_cast<size_t>(PyUnicode_GET_LENGTH(obj)));
    return true;
  }
  return extract_string_slow(obj, out);
}

/// bytes and bytearray are borrowed in place; other integer sequences are copied into `scratch`.
/// The view stays valid while `obj` lives unchanged.
bool extract_binary(PyObject* obj, std::string_view& out, std::string& scratch);

/// Text of a `string` value and bytes of a `binary` value, told apart for the sink.
struct TextArg {
  std::string_view text;
};
struct BytesArg {
  std::string_view bytes;
};
/// The 16 bytes of a `uuid` value.
struct UuidArg {
  std::string_view bytes;
};

/// The 16 bytes of a `uuid.UUID` (its `bytes` attribute) into `out`; TypeError for anything else.
bool extract_uuid(PyObject* obj, std::string& out);

/// Extracts a Python object under a scalar kind (Bool to Binary) with the typed acceptance rules
/// and hands the C++ value to `sink`, overloaded on bool, int8_t, int16_t, int32_t, int64_t,
/// double, TextArg and BytesArg. False with the refusal set.
template <class Sink>
bool extract_scalar(TypeKind kind, PyObject* obj, Sink&& sink) {
  switch (kind) {
    case TypeKind::Bool: {
      bool v;
      return extract_bool(obj, v) && (sink(v), true);
    }
    case TypeKind::Byte: {
      int8_t v;
      return extract_small_int(obj, v) && (sink(v), true);
    }
    case TypeKind::I16: {
      int16_t v;
      return extract_small_int(obj, v) && (sink(v), true);
    }
    case TypeKind::I32: {
      int32_t v;
      return extract_i32(obj, v) && (sink(v), true);
    }
    case TypeKind::I64: {
      int64_t v;
      return extract_i64(obj, v) && (sink(v), true);
    }
    case TypeKind::Double: {
      double v;
      return extract_double(obj, v) && (sink(v), true);
    }
    case TypeKind::String: {
      std::string_view v;
      return extract_string(obj, v) && (sink(TextArg{v}), true);
    }
    case TypeKind::Binary: {
      std::string_view v;
      std::string scratch;
      return extract_binary(obj, v, scratch) && (sink(BytesArg{v}), true);
    }
    case TypeKind::Uuid: {
      std::string v;
      return extract_uuid(obj, v) && (sink(UuidArg{v}), true);
    }
    default: return false;
  }
}

}  // namespace velvane::py
