// src/python/app_exception.cpp: ThriftApplicationException, the Python side of an application error.
#include <cstddef>

#include "python/internal.h"

namespace velvane::py {

namespace {

struct AppExceptionObject {
  PyBaseExceptionObject base;
  PyObject* message;  // str
  int32_t type;
};

AppExceptionObject* as_app(PyObject* self) { return reinterpret_cast<AppExceptionObject*>(self); }

int app_init(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"message", "type_", nullptr};
  PyObject* message;
  PyObject* type_arg;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:ThriftApplicationException", const_cast<char**>(kwlist),
                                   &message, &type_arg))
    return -1;
  if (!PyUnicode_Check(message)) {
    type_mismatch(message, "str");
    prefix_argument_error("message");
    return -1;
  }
  const int type = PyLong_AsInt(type_arg);
  if (type == -1 && PyErr_Occurred()) {
    prefix_argument_error("type_");
    return -1;
  }
  Ref type_obj = Ref::steal(PyLong_FromLong(type));
  if (!type_obj) return -1;
  Ref new_args = Ref::steal(PyTuple_Pack(2, message, type_obj.get()));
  if (!new_args) return -1;
  Py_XSETREF(as_app(self)->base.args, new_args.release());
  Py_XSETREF(as_app(self)->message, Py_NewRef(message));
  as_app(self)->type = type;
  return 0;
}

PyObject* app_repr(PyObject* self) {
  PyObject* message = as_app(self)->message;
  if (!message) return PyUnicode_FromFormat("ThriftApplicationException(type=%d, message=)", as_app(self)->type);
  return PyUnicode_FromFormat("ThriftApplicationException(type=%d, message=%U)", as_app(self)->type, message);
}

PyObject* app_get_message(PyObject* self, void*) {
  PyObject* message = as_app(self)->message;
  return message ? Py_NewRef(message) : PyUnicode_FromString("");
}

PyObject* app_get_type(PyObject* self, void*) { return PyLong_FromLong(as_app(self)->type); }

int app_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_app(self)->message);
  Py_VISIT(Py_TYPE(self));
  return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_traverse(self, visit, arg);
}

int app_clear(PyObject* self) {
  Py_CLEAR(as_app(self)->message);
  return reinterpret_cast<PyTypeObject*>(PyExc_Exception)->tp_clear(self);
}

void app_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  app_clear(self);
  type->tp_free(self);
  Py_DECREF(type);
}

PyGetSetDef app_getset[] = {
    property_entry<app_get_message>("message", "The error's message."),
    property_entry<app_get_type>("type_", "The error's type code (a TApplicationException type)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot app_slots[] = {
    {Py_tp_doc, const_cast<char*>("ThriftApplicationException(message, type_)\n--\n\n"
                                  "A Thrift application-level exception returned by the remote server.")},
    slot_entry<app_init>(Py_tp_init),
    slot_entry<app_repr>(Py_tp_repr),
    {Py_tp_getset, app_getset},
    slot_entry<app_traverse>(Py_tp_traverse),
    slot_entry<app_clear>(Py_tp_clear),
    slot_entry<app_dealloc>(Py_tp_dealloc),
    {0, nullptr},
};

}  // namespace

PyObject* create_application_exception() {
  PyType_Spec spec = {"velvane.ThriftApplicationException", sizeof(AppExceptionObject), 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC, app_slots};
  return PyType_FromSpecWithBases(&spec, PyExc_Exception);
}

}  // namespace velvane::py
