// src/python/network_stubs.cpp: AsyncThriftClient as a registered class. Its networking is not
// built yet; constructing one raises NotImplementedError.
#include "python/internal.h"

namespace velvane::py {

namespace {

PyObject* unavailable_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyErr_Format(PyExc_NotImplementedError, "%s is not available in this build yet", type->tp_name);
  return nullptr;
}

PyObject* create_unavailable(const char* name, const char* doc) {
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(doc)},
      {Py_tp_new, reinterpret_cast<void*>(guard<unavailable_new>)},
      {0, nullptr},
  };
  PyType_Spec spec = {name, sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace

PyObject* create_async_thrift_client() {
  return create_unavailable("velvane.AsyncThriftClient",
                            "AsyncThriftClient(service, host, port, transport=..., protocol=...)\n--\n\n"
                            "A Thrift client for asyncio: open, call and close are coroutines whose network "
                            "work runs on a shared background runtime.");
}

}  // namespace velvane::py
