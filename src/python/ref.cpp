// src/python/ref.cpp: argument parsing, borrow flags and error helpers of the Python face.
#include "python/ref.h"

#include <cstring>

namespace velvane::py {

PyObject* type_mismatch(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(obj)->tp_name, target);
  return nullptr;
}

void prefix_argument_error(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  Ref text = Ref::steal(PyObject_Str(exc));
  if (!text) {
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  PyErr_Format(type, "argument '%s': %U", name, text.get());
  Py_DECREF(exc);
}

const char* str_arg(PyObject* obj, const char* param, Py_ssize_t* size) {
  if (!PyUnicode_Check(obj)) {
    type_mismatch(obj, "str");
    prefix_argument_error(param);
    return nullptr;
  }
  const char* text = PyUnicode_AsUTF8AndSize(obj, size);
  if (!text) prefix_argument_error(param);
  return text;
}

bool parse_args(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                std::initializer_list<const char*> names, size_t required, PyObject** out) {
  const size_t count = names.size();
  if (static_cast<size_t>(nargs) > count) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", func, count, nargs);
    return false;
  }
  for (size_t i = 0; i < count; ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      const char* kname = PyUnicode_AsUTF8(key);
      if (!kname) return false;
      size_t i = 0;
      for (const char* n : names) {
        if (std::strcmp(n, kname) == 0) break;
        ++i;
      }
      if (i == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", func, kname);
        return false;
      }
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", func, kname);
        return false;
      }
      out[i] = args[nargs + k];
    }
  }
  size_t i = 0;
  for (const char* n : names) {
    if (i < required && !out[i]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s'", func, n);
      return false;
    }
    ++i;
  }
  return true;
}

Borrow::Borrow(BorrowFlag& flag, Mode mode) : flag_(flag), mode_(mode) {
  ok_ = mode == Shared ? flag.try_shared() : flag.try_exclusive();
  if (!ok_)
    PyErr_SetString(PyExc_RuntimeError, mode == Shared ? "Already mutably borrowed" : "Already borrowed");
}

Borrow::~Borrow() {
  if (!ok_) return;
  if (mode_ == Shared) {
    flag_.release_shared();
  } else {
    flag_.release_exclusive();
  }
}

}  // namespace velvane::py
