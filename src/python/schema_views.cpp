// src/python/schema_views.cpp: ThriftParser and the read-only views ThriftStruct, ThriftField,
// PyThriftService and PyThriftMethod.
#include <new>
#include <optional>

#include "parser/parser.h"
#include "python/internal.h"

namespace velvane::py {

struct ParserObject {
  PyObject_HEAD
  BorrowFlag borrow;
  bool compat;  // the reference compiler's dialect; fixed at construction
  // Guarded by `borrow`: written only under an exclusive borrow, read under a shared one.
  std::shared_ptr<const ThriftDocument> document;
  Ref source;  // the str `document` was parsed from
  // The struct table of `document`, built on first use after each parse. Guarded by `schema_lock`
  // because several shared borrowers may race to build it.
  std::shared_ptr<const PySchema> schema;
  PyMutex schema_lock;
};

namespace {

template <class T>
void destroy_and_free(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<T*>(self)->~T();
  type->tp_free(self);
  Py_DECREF(type);
}

template <class T>
T* alloc_object(Cls which) {
  PyTypeObject* type = cls(which);
  PyObject* obj = type->tp_alloc(type, 0);
  return obj ? reinterpret_cast<T*>(obj) : nullptr;
}

PyObject* new_list_of(size_t n, auto&& make_item) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  for (size_t i = 0; i < n; ++i) {
    PyObject* item = make_item(i);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

std::string field_record_text(const ThriftField& f) {
  std::string out = "ThriftField { id: " + std::to_string(f.id) + ", name: " + quoted(f.name) +
                    ", required: " + (f.required ? "true" : "false") + ", field_type: " + to_text(f.field_type) +
                    ", default_value: ";
  out += f.default_value ? "Some(" + to_text(*f.default_value) + ")" : "None";
  out += " }";
  return out;
}

// --- ThriftParser -------------------------------------------------------------------------------

ParserObject* as_parser(PyObject* self) { return reinterpret_cast<ParserObject*>(self); }

PyObject* parser_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0) {
    PyErr_SetString(PyExc_TypeError, "ThriftParser() takes no arguments");
    return nullptr;
  }
  int compat = 0;
  if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
    PyObject* flag = PyDict_GetItemString(kwargs, "compat");
    if (!flag || PyDict_GET_SIZE(kwargs) != 1) {
      PyErr_SetString(PyExc_TypeError, "ThriftParser() takes only the keyword argument 'compat'");
      return nullptr;
    }
    compat = PyObject_IsTrue(flag);
    if (compat < 0) return nullptr;
  }
  PyObject* self = type->tp_alloc(type, 0);
  if (!self) return nullptr;
  auto* p = as_parser(self);
  p->compat = compat != 0;

  new (&p->borrow) BorrowFlag();
  new (&p->document) std::shared_ptr<const ThriftDocument>();
  new (&p->source) Ref();
  new (&p->schema) std::shared_ptr<const PySchema>();
  p->schema_lock = PyMutex{};
  return self;
}

void parser_dealloc(PyObject* self) {
  auto* p = as_parser(self);
  PyTypeObject* type = Py_TYPE(self);
  p->schema.~shared_ptr();
  p->document.~shared_ptr();
  p->source.~Ref();
  p->borrow.~BorrowFlag();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* no_document() {
  PyErr_SetString(PyExc_ValueError, "No document parsed yet");
  return nullptr;
}

/// Installs a parse's outcome: the new document, or the exception of its failure.
/// `source` is the text the document was parsed from, which pickles of instances carry; it is null
/// for documents no single text of the default grammar describes (compat mode, parse_file), whose
/// instances therefore refuse to be pickled rather than come back under another reading.
PyObject* take_parsed(PyObject* self, Result<ThriftDocument>& parsed, const SourceLocation& failed_at, Ref source) {
  if (!parsed.ok()) {
    raise_parse_error(parsed.error(), failed_at);
    return nullptr;
  }
  auto* p = as_parser(self);
  auto document = std::make_shared<const ThriftDocument>(std::move(parsed).value());
  std::shared_ptr<const PySchema> old_schema;
  {
    MutexLock lock(p->schema_lock);
    p->document = std::move(document);
    std::swap(p->source, source);
    old_schema = std::move(p->schema);
  }
  Py_RETURN_NONE;
}

PyObject* parser_parse(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args("parse", args, nargs, kwnames, {"content"}, 1, a)) return nullptr;
  Py_ssize_t size;
  const char* text = str_arg(a[0], "content", &size);
  if (!text) return nullptr;
  Borrow borrow(as_parser(self)->borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  ParseOptions options;
  options.reference_dialect = as_parser(self)->compat;
  SourceLocation failed_at;
  // The str's UTF-8 buffer lives as long as the argument, which the caller keeps alive.
  std::optional<Result<ThriftDocument>> parsed;
  {
    ReleaseGil nogil;
    parsed.emplace(parse_document(std::string_view(text, static_cast<size_t>(size)), options, failed_at));
  }
  Ref source;
  if (!options.reference_dialect && parsed->ok()) {
    // An exact str, as a subclass would travel with the pickles.
    source = PyUnicode_CheckExact(a[0]) ? Ref::borrow(a[0]) : Ref::steal(PyUnicode_FromStringAndSize(text, size));
    if (!source) return nullptr;
  }
  return take_parsed(self, *parsed, failed_at, std::move(source));
}

/// A str or os.PathLike argument as a file system path.
std::optional<std::string> path_arg(PyObject* obj, const char* param) {
  PyObject* encoded = nullptr;
  if (!PyUnicode_FSConverter(obj, &encoded)) {
    prefix_argument_error(param);
    return std::nullopt;
  }
  Ref bytes = Ref::steal(encoded);
  return std::string(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded)));
}

PyObject* parser_parse_file(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!parse_args("parse_file", args, nargs, kwnames, {"path", "include_dirs"}, 1, a)) return nullptr;
  auto path = path_arg(a[0], "path");
  if (!path) return nullptr;
  ParseOptions options;
  options.reference_dialect = as_parser(self)->compat;
  if (a[1]) {
    if (PyUnicode_Check(a[1]) || PyBytes_Check(a[1])) {
      type_mismatch(a[1], "iterable of paths");
      prefix_argument_error("include_dirs");
      return nullptr;
    }
    Ref items = Ref::steal(PySequence_List(a[1]));
    if (!items) return prefix_argument_error("include_dirs"), nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      auto dir = path_arg(PyList_GET_ITEM(items.get(), i), "include_dirs");
      if (!dir) return nullptr;
      options.include_dirs.push_back(std::move(*dir));
    }
  }
  Borrow borrow(as_parser(self)->borrow, Borrow::Exclusive);
  if (!borrow.ok()) return nullptr;
  SourceLocation failed_at;
  std::optional<Result<ThriftDocument>> parsed;
  {
    ReleaseGil nogil;
    parsed.emplace(parse_file(*path, options, failed_at));
  }
  return take_parsed(self, *parsed, failed_at, Ref());
}

template <class Map>
PyObject* list_keys(const Map& map) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& entry : map) {
    Ref key = Ref::steal(str_from(entry.first));
    if (!key || PyList_Append(list.get(), key.get()) < 0) return nullptr;
  }
  return list.release();
}

/// Runs `body(document)` under a shared borrow; `missing` answers when nothing was parsed.
template <class Body, class Missing>
PyObject* with_document(PyObject* self, Body&& body, Missing&& missing) {
  Borrow borrow(as_parser(self)->borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  const auto& doc = as_parser(self)->document;
  return doc ? body(*doc) : missing();
}

/// A record of the parser's current document, sharing its ownership.
template <class T>
std::shared_ptr<const T> shared_record(PyObject* self, const T& record) {
  return std::shared_ptr<const T>(as_parser(self)->document, &record);
}

PyObject* empty_list() { return PyList_New(0); }

PyObject* parser_list_structs(PyObject* self, PyObject*) {
  return with_document(self, [](const ThriftDocument& d) { return list_keys(d.structs); }, empty_list);
}

PyObject* parser_list_services(PyObject* self, PyObject*) {
  return with_document(self, [](const ThriftDocument& d) { return list_keys(d.services); }, empty_list);
}

PyObject* parser_list_enums(PyObject* self, PyObject*) {
  return with_document(self, [](const ThriftDocument& d) { return list_keys(d.enums); }, empty_list);
}

PyObject* parser_list_includes(PyObject* self, PyObject*) {
  return with_document(
      self,
      [](const ThriftDocument& d) {
        return new_list_of(d.includes.size(), [&](size_t i) { return str_from(d.includes[i]); });
      },
      no_document);
}

PyObject* parser_namespaces(PyObject* self, PyObject*) {
  return with_document(
      self,
      [](const ThriftDocument& d) -> PyObject* {
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& [scope, ns] : d.namespaces) {
          Ref k = Ref::steal(str_from(scope)), v = Ref::steal(str_from(ns));
          if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
        }
        return dict.release();
      },
      no_document);
}

/// The single `name` argument of the lookup methods, as text.
std::optional<std::string_view> name_arg(const char* func, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) {
  PyObject* a[1];
  if (!parse_args(func, args, nargs, kwnames, {"name"}, 1, a)) return std::nullopt;
  Py_ssize_t size;
  const char* text = str_arg(a[0], "name", &size);
  if (!text) return std::nullopt;
  return std::string_view(text, static_cast<size_t>(size));
}

PyObject* parser_get_enum(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto name = name_arg("get_enum", args, nargs, kwnames);
  if (!name) return nullptr;
  return with_document(
      self,
      [&](const ThriftDocument& d) -> PyObject* {
        auto it = d.enums.find(std::string(*name));
        if (it == d.enums.end()) Py_RETURN_NONE;
        Ref dict = Ref::steal(PyDict_New());
        if (!dict) return nullptr;
        for (const auto& [value_name, value] : it->second.values) {
          Ref k = Ref::steal(str_from(value_name)), v = Ref::steal(PyLong_FromLong(value));
          if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return nullptr;
        }
        return dict.release();
      },
      no_document);
}

PyObject* parser_get_service(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto name = name_arg("get_service", args, nargs, kwnames);
  if (!name) return nullptr;
  return with_document(
      self,
      [&](const ThriftDocument& d) -> PyObject* {
        auto it = d.services.find(std::string(*name));
        if (it == d.services.end()) Py_RETURN_NONE;
        auto schema = parser_schema(self, true);
        if (!schema) return nullptr;
        return new_service_view(shared_record(self, it->second), std::move(schema));
      },
      no_document);
}

PyObject* parser_list_consts(PyObject* self, PyObject*) {
  return with_document(self, [](const ThriftDocument& d) { return list_keys(d.consts); }, empty_list);
}

PyObject* parser_get_const(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto name = name_arg("get_const", args, nargs, kwnames);
  if (!name) return nullptr;
  Borrow borrow(as_parser(self)->borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  const auto& doc = as_parser(self)->document;
  if (!doc) return no_document();
  auto it = doc->consts.find(std::string(*name));
  if (it == doc->consts.end()) Py_RETURN_NONE;
  auto schema = parser_schema(self, true);
  if (!schema) return nullptr;
  return const_to_python(it->second.value, schema);
}

PyObject* parser_get_struct(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto name = name_arg("get_struct", args, nargs, kwnames);
  if (!name) return nullptr;
  Borrow borrow(as_parser(self)->borrow, Borrow::Shared);
  if (!borrow.ok()) return nullptr;
  auto schema = parser_schema(self, true);
  if (!schema) return nullptr;
  const StructPlan* plan = schema->find(*name);
  if (!plan) Py_RETURN_NONE;
  return new_struct_view(std::move(schema), plan);
}

PyMethodDef parser_methods[] = {
    method_entry<parser_parse>("parse", METH_FASTCALL | METH_KEYWORDS,
                               "parse($self, content)\n--\n\n"
                               "Parses the IDL text `content` and makes it the parser's document; on a parse error "
                               "raises\nValueError and keeps the previous document."),
    method_entry<parser_list_structs>(
        "list_structs", METH_NOARGS,
        "list_structs($self)\n--\n\n"
        "The names of every struct, union and exception of the document ([] before any parse)."),
    method_entry<parser_get_struct>("get_struct", METH_FASTCALL | METH_KEYWORDS,
                                    "get_struct($self, name)\n--\n\n"
                                    "A new ThriftStruct for the struct, union or exception `name` (include-prefixed "
                                    "names too), or\nNone when there is none."),
    method_entry<parser_list_services>("list_services", METH_NOARGS,
                                       "list_services($self)\n--\n\n"
                                       "The names of the document's services ([] before any parse)."),
    method_entry<parser_list_includes>("list_includes", METH_NOARGS,
                                       "list_includes($self)\n--\n\n"
                                       "The document's include strings, in source order."),
    method_entry<parser_namespaces>("namespaces", METH_NOARGS,
                                    "namespaces($self)\n--\n\n"
                                    "The document's namespaces as a dict of scope to namespace."),
    method_entry<parser_list_enums>("list_enums", METH_NOARGS,
                                    "list_enums($self)\n--\n\n"
                                    "The names of the document's enums ([] before any parse)."),
    method_entry<parser_get_enum>("get_enum", METH_FASTCALL | METH_KEYWORDS,
                                  "get_enum($self, name)\n--\n\n"
                                  "The enum `name` as a new dict of value name to value, or None when there is none."),
    method_entry<parser_get_service>("get_service", METH_FASTCALL | METH_KEYWORDS,
                                     "get_service($self, name)\n--\n\n"
                                     "A new PyThriftService for the service `name`, or None when there is none."),
    method_entry<parser_parse_file>("parse_file", METH_FASTCALL | METH_KEYWORDS,
                                    "parse_file($self, path, include_dirs=())\n--\n\n"
                                    "Parses the IDL file at `path` and, once each, the files it includes (beside the "
                                    "including file,\nthen in `include_dirs`); an included x.thrift's definitions are "
                                    "named x.Name."),
    method_entry<parser_list_consts>("list_consts", METH_NOARGS,
                                     "list_consts($self)\n--\n\n"
                                     "The names of the document's constants ([] before any parse)."),
    method_entry<parser_get_const>("get_const", METH_FASTCALL | METH_KEYWORDS,
                                   "get_const($self, name)\n--\n\n"
                                   "The value of the constant `name`, or None when there is none."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot parser_slots[] = {
    {Py_tp_doc, const_cast<char*>("ThriftParser()\n--\n\n")},
    slot_entry<parser_new>(Py_tp_new),
    slot_entry<parser_dealloc>(Py_tp_dealloc),
    {Py_tp_methods, parser_methods},
    {0, nullptr},
};

// --- ThriftField --------------------------------------------------------------------------------

const ThriftField& field_of(PyObject* self) { return *reinterpret_cast<FieldViewObject*>(self)->field; }

PyObject* field_get_id(PyObject* self, void*) { return PyLong_FromLong(field_of(self).id); }
PyObject* field_get_name(PyObject* self, void*) { return str_from(field_of(self).name); }
PyObject* field_get_required(PyObject* self, void*) { return PyBool_FromLong(field_of(self).required); }
PyObject* field_get_field_type(PyObject* self, void*) { return str_from(to_text(field_of(self).field_type)); }

/// The default as a Python value (a struct default becomes an instance without a definition).
PyObject* field_get_default_value(PyObject* self, void*) {
  const auto& value = field_of(self).default_value;
  if (!value) Py_RETURN_NONE;
  return to_python(*value, PySchema::empty());
}

PyObject* field_repr(PyObject* self) {
  const ThriftField& f = field_of(self);
  std::string text = "ThriftField(id=" + std::to_string(f.id) + ", name=" + quoted(f.name) +
                     ", required=" + (f.required ? "true" : "false") + ", field_type=" + to_text(f.field_type) + ")";
  return str_from(text);
}

PyGetSetDef field_getset[] = {
    property_entry<field_get_id>("id", "The field's id."),
    property_entry<field_get_name>("name", "The field's name."),
    property_entry<field_get_required>("required", "True for a field declared `required`."),
    property_entry<field_get_field_type>("field_type",
                                         "The field's type in text form, as in the repr (for example List(I32))."),
    property_entry<field_get_default_value>("default_value",
                                            "The field's default as a Python value, or None when it has none."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot field_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    slot_entry<destroy_and_free<FieldViewObject>>(Py_tp_dealloc),
    slot_entry<field_repr>(Py_tp_repr),
    {Py_tp_getset, field_getset},
    {0, nullptr},
};

/// Views of `fields`, which `owner` keeps alive.
template <class Owner>
PyObject* fields_list(const std::shared_ptr<Owner>& owner, const std::vector<ThriftField>& fields) {
  return new_list_of(fields.size(),
                     [&](size_t i) { return new_field_view(std::shared_ptr<const ThriftField>(owner, &fields[i])); });
}

// --- PyThriftMethod -----------------------------------------------------------------------------

const std::shared_ptr<const MethodDef>& shared_method(PyObject* self) {
  return reinterpret_cast<MethodViewObject*>(self)->method;
}
const MethodDef& method_of(PyObject* self) { return *shared_method(self); }

PyObject* method_get_name(PyObject* self, void*) { return str_from(method_of(self).name); }
PyObject* method_get_arguments(PyObject* self, void*) { return fields_list(shared_method(self), method_of(self).arguments); }
PyObject* method_get_exceptions(PyObject* self, void*) {
  return fields_list(shared_method(self), method_of(self).exceptions);
}
PyObject* method_get_oneway(PyObject* self, void*) { return PyBool_FromLong(method_of(self).oneway); }
PyObject* method_get_return_type(PyObject* self, void*) { return str_from(to_text(method_of(self).return_type)); }

PyObject* method_repr(PyObject* self) {
  const MethodDef& m = method_of(self);
  return str_from("ThriftMethod(name=" + quoted(m.name) + ", return_type=" + to_text(m.return_type) + ")");
}

PyGetSetDef method_getset[] = {
    property_entry<method_get_name>("name", "The method's name."),
    property_entry<method_get_arguments>("arguments", "A new list of ThriftField views of the arguments, in order."),
    property_entry<method_get_exceptions>(
        "exceptions", "A new list of ThriftField views of the declared exceptions, in `throws` order."),
    property_entry<method_get_oneway>("oneway", "True for a `oneway` method."),
    property_entry<method_get_return_type>("return_type",
                                           "The return type in text form, as in the repr (Struct(\"void\") for none)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot method_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    slot_entry<destroy_and_free<MethodViewObject>>(Py_tp_dealloc),
    slot_entry<method_repr>(Py_tp_repr),
    {Py_tp_getset, method_getset},
    {0, nullptr},
};

// --- PyThriftService ----------------------------------------------------------------------------

const std::shared_ptr<const ServiceDef>& shared_service(PyObject* self) {
  return reinterpret_cast<ServiceViewObject*>(self)->service;
}
const ServiceDef& service_of(PyObject* self) { return *shared_service(self); }

PyObject* service_get_name(PyObject* self, void*) { return str_from(service_of(self).name); }

PyObject* service_get_methods(PyObject* self, void*) {
  const auto& methods = service_of(self).methods;
  return new_list_of(methods.size(), [&](size_t i) {
    return new_method_view(std::shared_ptr<const MethodDef>(shared_service(self), &methods[i]));
  });
}

PyObject* service_get_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  auto name = name_arg("get_method", args, nargs, kwnames);
  if (!name) return nullptr;
  for (const auto& m : service_of(self).methods)
    if (m.name == *name) return new_method_view(std::shared_ptr<const MethodDef>(shared_service(self), &m));
  Py_RETURN_NONE;
}

PyObject* service_repr(PyObject* self) {
  const ServiceDef& s = service_of(self);
  std::string text = "ThriftService(name=" + quoted(s.name) + ", methods=[";
  for (size_t i = 0; i < s.methods.size(); ++i) {
    if (i) text += ", ";
    text += quoted(s.methods[i].name);
  }
  text += "])";
  return str_from(text);
}

PyGetSetDef service_getset[] = {
    property_entry<service_get_name>("name", "The service's name."),
    property_entry<service_get_methods>(
        "methods", "A new list of PyThriftMethod views, in method order (inherited methods first)."),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef service_methods[] = {
    method_entry<service_get_method>("get_method", METH_FASTCALL | METH_KEYWORDS,
                                     "get_method($self, name)\n--\n\n"
                                     "A new PyThriftMethod for the first method called `name`, or None."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot service_slots[] = {
    {Py_tp_doc, const_cast<char*>("")},
    slot_entry<destroy_and_free<ServiceViewObject>>(Py_tp_dealloc),
    slot_entry<service_repr>(Py_tp_repr),
    {Py_tp_getset, service_getset},
    {Py_tp_methods, service_methods},
    {0, nullptr},
};

// --- ThriftStruct (inspection; serialization members live in struct_api.cpp) --------------------

PyObject* create_view_type(const char* name, PyType_Slot* slots, int basicsize) {
  PyType_Spec spec = {name, basicsize, 0,
                      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE, slots};
  return PyType_FromSpec(&spec);
}

}  // namespace

std::string struct_fields_text(const StructDef& def) {
  std::string text = "[";
  for (size_t i = 0; i < def.fields.size(); ++i) {
    if (i) text += ", ";
    text += field_record_text(def.fields[i]);
  }
  return text + "]";
}

PyObject* struct_fields_list(const std::shared_ptr<const PySchema>& owner, const StructDef& def) {
  return fields_list(owner, def.fields);
}

std::shared_ptr<const PySchema> parser_schema(PyObject* parser, bool require_document) {
  auto* p = as_parser(parser);
  if (!p->document) {
    if (require_document) {
      no_document();
      return nullptr;
    }
    return PySchema::empty();
  }
  MutexLock lock(p->schema_lock);
  if (!p->schema) p->schema = PySchema::build(Schema::build(p->document), p->source.get());
  return p->schema;
}

std::shared_ptr<const PySchema> schema_from_source(PyObject* source) {
  Py_ssize_t size;
  const char* text = PyUnicode_AsUTF8AndSize(source, &size);
  if (!text) return nullptr;
  std::optional<Result<ThriftDocument>> parsed;
  {
    ReleaseGil nogil;
    parsed.emplace(parse_document(std::string_view(text, static_cast<size_t>(size))));
  }
  if (!parsed->ok()) {
    raise_error(parsed->error(), Operation::ParseIdl);
    return nullptr;
  }
  auto document = std::make_shared<const ThriftDocument>(std::move(*parsed).value());
  return PySchema::build(Schema::build(std::move(document)), source);
}

PyObject* new_field_view(std::shared_ptr<const ThriftField> field) {
  auto* obj = alloc_object<FieldViewObject>(Cls::ThriftField);
  if (obj) new (&obj->field) std::shared_ptr<const ThriftField>(std::move(field));
  return reinterpret_cast<PyObject*>(obj);
}

PyObject* new_method_view(std::shared_ptr<const MethodDef> method) {
  auto* obj = alloc_object<MethodViewObject>(Cls::PyThriftMethod);
  if (obj) new (&obj->method) std::shared_ptr<const MethodDef>(std::move(method));
  return reinterpret_cast<PyObject*>(obj);
}

PyObject* new_service_view(std::shared_ptr<const ServiceDef> service, std::shared_ptr<const PySchema> schema) {
  auto* obj = alloc_object<ServiceViewObject>(Cls::PyThriftService);
  if (!obj) return nullptr;
  new (&obj->service) std::shared_ptr<const ServiceDef>(std::move(service));
  new (&obj->schema) std::shared_ptr<const PySchema>(std::move(schema));
  return reinterpret_cast<PyObject*>(obj);
}

PyObject* create_thrift_parser() {
  PyType_Spec spec = {"velvane.ThriftParser", sizeof(ParserObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                      parser_slots};
  return PyType_FromSpec(&spec);
}

PyObject* create_thrift_field() { return create_view_type("velvane.ThriftField", field_slots, sizeof(FieldViewObject)); }
PyObject* create_method_view() { return create_view_type("velvane.PyThriftMethod", method_slots, sizeof(MethodViewObject)); }
PyObject* create_service_view() {
  return create_view_type("velvane.PyThriftService", service_slots, sizeof(ServiceViewObject));
}

}  // namespace velvane::py
