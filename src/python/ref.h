// src/python/ref.h: owned Python references and small C-API helpers shared by the Python face.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace velvane::py {

/// Under the debug interpreter, a reference count changed by a thread without an attached thread
/// state stops the process at the line that did it, instead of corrupting a count later.
#ifdef Py_DEBUG
inline void check_attached(PyObject* p) {
  if (p && !PyThreadState_GetUnchecked()) Py_FatalError("velvane: reference changed without an attached thread state");
}
#else
inline void check_attached(PyObject*) {}
#endif

/// Move-only owner of one strong reference; built only through steal() or borrow().
class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    check_attached(p);
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      check_attached(old);
      Py_XDECREF(old);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() {
    check_attached(p_);
    Py_XDECREF(p_);
  }

  PyObject* get() const { return p_; }
  /// Hands the reference to the caller (who then owns it).
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }
  void reset() {
    check_attached(p_);
    Py_CLEAR(p_);
  }

 private:
  explicit Ref(PyObject* p) : p_(p) {}
  PyObject* p_ = nullptr;
};

/// Raises TypeError "'{type}' object is not an instance of '{target}'"; returns nullptr.
PyObject* type_mismatch(PyObject* obj, const char* target);

/// Wraps the pending exception's message as "argument '{name}': {message}", keeping its class.
void prefix_argument_error(const char* name);

/// Parses vectorcall arguments against `names`; every parameter is required unless listed after
/// `required` entries. Fills `out` with borrowed references (nullptr for an absent optional one).
/// Returns false with TypeError set. `func` names the callable in messages.
bool parse_args_general(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        std::initializer_list<const char*> names, size_t required, PyObject** out);
/// parse_args_general, with the usual call (every parameter given by position) taken inline: it
/// is the whole of the argument handling of the serialize methods' hot path.
inline bool parse_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                       std::initializer_list<const char*> names, size_t required, PyObject** out) {
  if (!kwnames && static_cast<size_t>(nargs) == names.size()) {
    for (size_t i = 0; i < names.size(); ++i) out[i] = args[i];
    return true;
  }
  return parse_args_general(func, args, nargs, kwnames, names, required, out);
}

/// A flag that allows one exclusive user or several shared users, and refuses (never waits) on
/// conflict: "Already mutably borrowed" for a shared request during an exclusive use, "Already
/// borrowed" for an exclusive request during any use.
class BorrowFlag {
 public:
  bool try_shared() {
    int cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur < 0) return false;
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
    return true;
  }
  void release_shared() { state_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() {
    int expected = 0;
    return state_.compare_exchange_strong(expected, -1, std::memory_order_acquire);
  }
  void release_exclusive() { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<int> state_{0};  // >0 shared users, -1 exclusive user, 0 free
};

/// RAII holder of a BorrowFlag use; check ok() and return nullptr (RuntimeError set) otherwise.
class Borrow {
 public:
  enum Mode { Shared, Exclusive };
  Borrow(BorrowFlag& flag, Mode mode);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  bool ok() const { return ok_; }

 private:
  BorrowFlag& flag_;
  Mode mode_;
  bool ok_;
};

/// Releases the interpreter for the guard's lifetime; touch no PyObject* inside.
class ReleaseGil {
 public:
  ReleaseGil() : state_(PyEval_SaveThread()) {}
  ~ReleaseGil() { PyEval_RestoreThread(state_); }
  ReleaseGil(const ReleaseGil&) = delete;
  ReleaseGil& operator=(const ReleaseGil&) = delete;

 private:
  PyThreadState* state_;
};

/// Runs `walk` (returning bool) inside `obj`'s critical section, so that on a free-threaded
/// interpreter no other thread changes a caller's list or dict while we walk it; with the GIL it is
/// a plain call. Python code the walk runs (an item's __index__) may suspend the section and change
/// the container itself, which is why walkers still hold each item and check sizes as they go.
template <class Walk>
bool walk_locked([[maybe_unused]] PyObject* obj, Walk&& walk) {
  bool ok;
  Py_BEGIN_CRITICAL_SECTION(obj);
  ok = walk();
  Py_END_CRITICAL_SECTION();
  return ok;
}

/// Holds a PyMutex for the guard's lifetime (it detaches the thread state while it waits).
class MutexLock {
 public:
  explicit MutexLock(PyMutex& mutex) : mutex_(mutex) { PyMutex_Lock(&mutex_); }
  ~MutexLock() { PyMutex_Unlock(&mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  PyMutex& mutex_;
};

/// A str from UTF-8 text we produced ourselves (always valid).
inline PyObject* str_from(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict");
}

/// The text of a str argument, or nullptr with the type-mismatch TypeError for `param`.
const char* str_arg(PyObject* obj, const char* param, Py_ssize_t* size);

}  // namespace velvane::py
