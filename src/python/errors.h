// src/python/errors.h: where the core's errors and C++ exceptions become Python exceptions.
#pragma once

#include <type_traits>

#include "model/error.h"
#include "parser/parser.h"
#include "python/ref.h"

namespace velvane::py {

/// What the core was doing when it failed; with the error's kind it picks the exception.
enum class Operation {
  ParseIdl,          // ValueError "Parse error: …"
  ReadWire,          // OSError "Read error: …"
  ReadJsonDocument,  // TypeError for a JSON value of the wrong shape, ValueError otherwise
  Write,             // OSError "Write error: …"
  Connect,           // OSError, TimeoutError when it ran out of time; the text names the address
  Exchange,          // OSError "I/O error: …" for a call's write and read; TimeoutError when it ran out of time
  ReadReply,         // OSError with the reader's text (a reply's header or result field)
  LoadTls,           // OSError for a file that cannot be read, ValueError for contents refused
};

/// Raises the Python exception for `error`. Out of memory is MemoryError and an internal failure
/// RuntimeError whatever the operation.
void raise_error(const Error& error, Operation operation);

/// Raises a failed IDL parse as raise_error(error, ParseIdl) does, the ValueError carrying
/// `lineno` and `offset` (1-based) and, for a file, `filename`. A file that cannot be read at all
/// (ErrorKind::Os) is an OSError instead.
void raise_parse_error(const Error& error, const SourceLocation& at);

/// Raises the Python exception for the C++ exception being handled: MemoryError for
/// std::bad_alloc, RuntimeError with its text otherwise. Call only inside a catch block.
void raise_current_exception() noexcept;

/// What a function that CPython calls returns to report a raised exception.
template <class R>
R failure_value() noexcept {
  if constexpr (std::is_pointer_v<R>) {
    return nullptr;
  } else {
    static_assert(std::is_integral_v<R>, "a CPython entry point returns a pointer or an integer");
    return static_cast<R>(-1);
  }
}

/// Runs `fn()` so that no C++ exception leaves it: a thrown exception becomes the Python exception
/// and `failure` is returned. Needs an attached thread state, like everything that raises.
template <class R, class Fn>
R call_guarded(Fn&& fn, R failure) noexcept {
  try {
    return fn();
  } catch (...) {
    raise_current_exception();
    return failure;
  }
}

namespace guarding {

template <auto Fn, class R, class... A>
R guarded_entry(A... args) noexcept {
  try {
    return Fn(args...);
  } catch (...) {
    raise_current_exception();
    if constexpr (std::is_void_v<R>) {
      PyErr_WriteUnraisable(nullptr);  // a deallocator has no way to report it
    } else {
      return failure_value<R>();
    }
  }
}

template <auto Fn, class F>
struct Guard;
template <auto Fn, class R, class... A>
struct Guard<Fn, R (*)(A...)> {
  static constexpr auto entry = &guarded_entry<Fn, R, A...>;
};
template <auto Fn, class R, class... A>
struct Guard<Fn, R (*)(A...) noexcept> {
  static constexpr auto entry = &guarded_entry<Fn, R, A...>;
};

}  // namespace guarding

/// `guard<fn>` is `fn` with the same signature, made safe for CPython to call: methods, slots,
/// getters and setters are registered through it.
template <auto Fn>
inline constexpr auto guard = guarding::Guard<Fn, decltype(Fn)>::entry;

// Class tables are written only through these entries, each of which registers `guard<fn>`, so
// that no method, getter, setter or code slot can be registered unguarded. (Slots that hold data,
// like Py_tp_doc and Py_tp_methods, and CPython's own functions are written as they are.)

/// A method table entry; `flags` say the calling convention of `Fn` (METH_NOARGS, METH_O,
/// METH_FASTCALL | METH_KEYWORDS, ...).
template <auto Fn>
PyMethodDef method_entry(const char* name, int flags, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(guard<Fn>)), flags, doc};
}

/// A getset table entry: a read-only property without `Set`.
template <auto Get, auto Set = nullptr>
PyGetSetDef property_entry(const char* name, const char* doc) {
  setter set = nullptr;
  if constexpr (!std::is_null_pointer_v<decltype(Set)>) set = guard<Set>;
  return {name, guard<Get>, set, doc, nullptr};
}

/// A type slot holding code (Py_tp_new, Py_tp_dealloc, Py_tp_repr, ...), or a module slot.
template <auto Fn, class Slot = PyType_Slot>
Slot slot_entry(int slot) {
  return {slot, reinterpret_cast<void*>(guard<Fn>)};
}

}  // namespace velvane::py
