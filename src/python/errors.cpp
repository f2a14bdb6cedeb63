// src/python/errors.cpp: the one mapping from core errors to Python exceptions.
#include "python/errors.h"

#include <string>
#include <string_view>

namespace velvane::py {

namespace {

/// The message is decoded as UTF-8 with replacement, NUL bytes and all.
void raise_text(PyObject* type, std::string_view prefix, const std::string& text) {
  std::string message;
  message.reserve(prefix.size() + text.size());
  message.append(prefix).append(text);
  Ref str = Ref::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (str) PyErr_SetObject(type, str.get());
}

}  // namespace

void raise_parse_error(const Error& error, const SourceLocation& at) {
  if (error.kind == ErrorKind::Os) return raise_text(PyExc_OSError, "", error.text);
  raise_error(error, Operation::ParseIdl);
  if (at.line == 0 || !PyErr_ExceptionMatches(PyExc_ValueError)) return;
  Ref exc = Ref::steal(PyErr_GetRaisedException());
  Ref line = Ref::steal(PyLong_FromUnsignedLong(at.line));
  Ref column = Ref::steal(PyLong_FromUnsignedLong(at.column));
  Ref file = at.file.empty() ? Ref::borrow(Py_None)
                             : Ref::steal(PyUnicode_DecodeFSDefaultAndSize(at.file.data(),
                                                                          static_cast<Py_ssize_t>(at.file.size())));
  if (!line || !column || !file || PyObject_SetAttrString(exc.get(), "lineno", line.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "offset", column.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "filename", file.get()) < 0)
    return;  // the failure to set an attribute is raised instead
  PyErr_SetRaisedException(exc.release());
}

void raise_error(const Error& error, Operation operation) {
  switch (error.kind) {
    case ErrorKind::OutOfMemory: PyErr_NoMemory(); return;
    case ErrorKind::Internal: raise_text(PyExc_RuntimeError, "", error.text); return;
    default: break;
  }
  switch (operation) {
    case Operation::ParseIdl: raise_text(PyExc_ValueError, "Parse error: ", error.text); return;
    case Operation::ReadWire: raise_text(PyExc_OSError, "Read error: ", error.text); return;
    case Operation::ReadJsonDocument:
      raise_text(error.kind == ErrorKind::WrongShape ? PyExc_TypeError : PyExc_ValueError, "", error.text);
      return;
    case Operation::Write: raise_text(PyExc_OSError, "Write error: ", error.text); return;
    case Operation::Connect:
      raise_text(error.kind == ErrorKind::TimedOut ? PyExc_TimeoutError : PyExc_OSError, "", error.text);
      return;
    case Operation::Exchange:
      raise_text(error.kind == ErrorKind::TimedOut ? PyExc_TimeoutError : PyExc_OSError, "I/O error: ", error.text);
      return;
    case Operation::ReadReply: raise_text(PyExc_OSError, "", error.text); return;
    case Operation::LoadTls:
      raise_text(error.kind == ErrorKind::Os ? PyExc_OSError : PyExc_ValueError, "", error.text);
      return;
  }
}

void raise_current_exception() noexcept {
  const Error error = current_exception_error();
  if (error.kind == ErrorKind::OutOfMemory) {
    PyErr_NoMemory();
  } else {
    PyErr_SetString(PyExc_RuntimeError, error.text.c_str());
  }
}

}  // namespace velvane::py
