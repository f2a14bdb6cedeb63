// src/python/server_log.cpp: a server's lines as records of a `logging.Logger`.
//
// The networking threads and the handlers' threads only queue lines; the "velvane-console" thread
// attaches and calls the logger, so a slow logging handler never holds a thread that serves.
#include "python/server.h"

namespace velvane::py {

namespace {

int level_of(net::Severity severity) {
  switch (severity) {
    case net::Severity::Info: return 20;     // logging.INFO
    case net::Severity::Warning: return 30;  // logging.WARNING
    case net::Severity::Error: return 40;    // logging.ERROR
  }
  return 40;
}

/// A text field of the record's `extra`: None when empty.
PyObject* extra_text(const std::string& text) {
  if (text.empty()) Py_RETURN_NONE;
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

class LoggerSink : public net::LineSink {
 public:
  explicit LoggerSink(PyObject* logger) : logger_(Ref::borrow(logger)) {}
  ~LoggerSink() override { drop_reference(logger_); }

  void write(net::LogLine line) override {
    Attach attach;
    if (!attach.ok()) return;  // the interpreter is going away: the line is dropped
    if (!log(line)) PyErr_WriteUnraisable(logger_.get());
    line.attachment.reset();  // attached while the exception it may hold goes
  }

 private:
  bool log(const net::LogLine& line) {
    Ref extra = Ref::steal(Py_BuildValue("{s:N,s:N,s:N}", "peer", extra_text(line.peer), "method",
                                         extra_text(line.method), "error_kind", extra_text(line.error_kind)));
    Ref text = extra ? Ref::steal(extra_text(line.text)) : Ref();
    Ref args = text ? Ref::steal(Py_BuildValue("(isO)", level_of(line.severity), "%s", text.get())) : Ref();
    Ref kwargs = args ? Ref::steal(PyDict_New()) : Ref();
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "extra", extra.get()) < 0) return false;
    if (line.attachment) {
      auto* exc = static_cast<PyObject*>(line.attachment.get());
      if (PyDict_SetItemString(kwargs.get(), "exc_info", exc) < 0) return false;
    }
    Ref method = Ref::steal(PyObject_GetAttrString(logger_.get(), "log"));
    return method && Ref::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
  }

  Ref logger_;
};

}  // namespace

std::shared_ptr<net::LineSink> logger_sink(PyObject* logger) { return std::make_shared<LoggerSink>(logger); }

std::shared_ptr<void> exception_attachment(PyObject* exc) {
  return std::shared_ptr<void>(Py_NewRef(exc), [](void* p) {
    Ref owned = Ref::steal(static_cast<PyObject*>(p));
    drop_reference(owned);
  });
}

}  // namespace velvane::py
