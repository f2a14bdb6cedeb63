// src/module.cpp: the velvane module's entry point and class registration.
#include "python/internal.h"

namespace {

using velvane::py::Cls;

struct ClassEntry {
  const char* name;
  Cls which;
};

// Bound in this order; the first failure stops the sequence and fails the import.
constexpr ClassEntry kClasses[] = {
    {"ThriftParser", Cls::ThriftParser},
    {"BinaryProtocol", Cls::BinaryProtocol},
    {"ThriftStruct", Cls::ThriftStruct},
    {"ThriftField", Cls::ThriftField},
    {"ThriftStructInstance", Cls::ThriftStructInstance},
    {"PyThriftService", Cls::PyThriftService},
    {"PyThriftMethod", Cls::PyThriftMethod},
    {"ThriftServer", Cls::ThriftServer},
    {"ProtocolType", Cls::ProtocolType},
    {"CompactProtocol", Cls::CompactProtocol},
    {"JSONProtocol", Cls::JSONProtocol},
    {"TransportType", Cls::TransportType},
    {"ThriftClient", Cls::ThriftClient},
    {"AsyncThriftClient", Cls::AsyncThriftClient},
    {"ThriftApplicationException", Cls::ThriftApplicationException},
};

// The package version, as pyproject.toml gives it.
constexpr const char* kVersion = "0.1.0";

int velvane_exec(PyObject* module) {
  // The slot below is not enforced in a subinterpreter of the legacy kind: refuse it here as well.
  if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
    PyErr_SetString(PyExc_ImportError, "module velvane does not support loading in subinterpreters");
    return -1;
  }
  if (!velvane::py::create_classes()) return -1;
  if (PyModule_AddStringConstant(module, "__version__", kVersion) < 0) return -1;
  for (const auto& entry : kClasses) {
    PyObject* type = reinterpret_cast<PyObject*>(velvane::py::cls(entry.which));
    if (PyModule_AddObjectRef(module, entry.name, type) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot velvane_slots[] = {
    velvane::py::slot_entry<velvane_exec, PyModuleDef_Slot>(Py_mod_exec),
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
    // The classes are created once per process (src/python/classes.cpp): a subinterpreter's import
    // is refused instead of sharing the main interpreter's objects.
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef velvane_module = {
    PyModuleDef_HEAD_INIT,
    "velvane",
    "Thrift IDL parsing, serialization, RPC clients and servers without generated code.",
    0,
    nullptr,
    velvane_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_velvane() { return PyModuleDef_Init(&velvane_module); }
