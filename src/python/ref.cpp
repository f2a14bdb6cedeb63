// src/python/ref.cpp: argument parsing, borrow flags and error helpers of the Python face.
#include "python/ref.h"

namespace velvane::py {

PyObject* type_mismatch(PyObject* obj, const char* target) {
  PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", Py_TYPE(obj)->tp_name, target);
  return nullptr;
}

void prefix_argument_error(const char* name) {
  PyObject* exc = PyErr_GetRaisedException();
  if (!exc) return;
  // The same exception object gets the context: its class, traceback and chaining stay. A plain
  // one-message exception reads "argument '{name}': {message}"; one built from several arguments
  // (UnicodeEncodeError) keeps them, and the context goes into a note.
  Ref args = Ref::steal(PyObject_GetAttrString(exc, "args"));
  bool added = false;
  if (args && PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
      PyUnicode_Check(PyTuple_GET_ITEM(args.get(), 0))) {
    Ref prefixed = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", name, PyTuple_GET_ITEM(args.get(), 0)));
    Ref new_args = prefixed ? Ref::steal(PyTuple_Pack(1, prefixed.get())) : Ref();
    added = new_args && PyObject_SetAttrString(exc, "args", new_args.get()) == 0;
  } else if (args) {
    Ref note = Ref::steal(PyUnicode_FromFormat("argument '%s'", name));
    Ref done = note ? Ref::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : Ref();
    added = static_cast<bool>(done);
  }
  if (!added) PyErr_Clear();
  PyErr_SetRaisedException(exc);
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

bool parse_args_general(const char* func, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
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
      size_t i = 0;
      for (const char* n : names) {
        if (PyUnicode_CompareWithASCIIString(key, n) == 0) break;
        ++i;
      }
      if (i == count) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", func, key);
        return false;
      }
      if (out[i]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", func, key);
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
