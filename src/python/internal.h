// src/python/internal.h: object layouts, the class registry and the per-schema plans shared by the
// Python-facing translation units.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "model/schema.h"
#include "model/wire.h"
#include "protocol/codec.h"
#include "python/errors.h"
#include "python/ref.h"

namespace velvane::py {

// ---------------------------------------------------------------------------------------------
// Class registry: every class is created once per process, on first import, and kept here.

enum class Cls : int {
  ThriftParser, BinaryProtocol, ThriftStruct, ThriftField, ThriftStructInstance, PyThriftService,
  PyThriftMethod, ThriftServer, ProtocolType, CompactProtocol, JSONProtocol, TransportType,
  ThriftClient, AsyncThriftClient, ThriftApplicationException, Count
};

/// The registry itself, filled by create_classes(); read through cls().
extern PyTypeObject* g_classes[static_cast<int>(Cls::Count)];

/// The class object (borrowed; lives for the process). Valid after create_classes() succeeded.
inline PyTypeObject* cls(Cls which) { return g_classes[static_cast<int>(which)]; }

/// Creates every class once per process; later calls return the existing ones. False with an
/// exception set on failure.
bool create_classes();

/// Binds `inner` (a class of ours that the module does not bind) as the class attribute `name` of
/// `outer`, its type name without the module prefix. False with an exception set; `inner` may be
/// nullptr with the exception of its creation set.
bool add_nested_class(PyObject* outer, const char* name, PyObject* inner);

// Creators, one per class, each returning a new reference to the class or nullptr.
PyObject* create_thrift_parser();
PyObject* create_protocol_marker(Protocol protocol);
PyObject* create_thrift_struct();
PyObject* create_thrift_field();
PyObject* create_struct_instance();
PyObject* create_service_view();
PyObject* create_method_view();
PyObject* create_thrift_server();
PyObject* create_protocol_type();
PyObject* create_transport_type();
PyObject* create_thrift_client();
PyObject* create_async_thrift_client();
PyObject* create_application_exception();

// ---------------------------------------------------------------------------------------------
// Plans: each struct of a schema compiled once, with interned Python names and resolved nested
// struct references, so the walkers never look anything up by text.

struct StructPlan;

struct TypePlan {
  TypeKind kind = TypeKind::Bool;
  uint8_t wire_id = wire::kBool;
  std::vector<TypePlan> args;           // element, or key and value
  const StructPlan* strukt = nullptr;   // resolved Struct(name), nullptr when the schema lacks it
  const ThriftType* type = nullptr;     // the declared type this plan was built from
};

struct FieldPlan {
  const ThriftField* field = nullptr;
  Ref name;  // interned str
  TypePlan type;
  bool direct = true;  // readable straight into Python objects (no container as a map key)
  /// The name is a dunder or one of the instance class's own members, so ordinary attribute
  /// lookup must be tried before the field on an instance.
  bool type_attribute = false;
};

struct StructPlan {
  const StructDef* def = nullptr;
  std::vector<FieldPlan> fields;
  Ref name_to_index;  // dict: interned field name -> int index (first field of a name wins)
  Ref field_names;    // tuple of the field names in order
  Ref struct_name;    // str

  /// An entry of the address table: a field's interned name object and its index.
  struct AddressEntry {
    PyObject* name = nullptr;
    int32_t index = -1;
  };

  /// Index of the field whose name is this very object, or -1. Attribute names in code and the
  /// plan's names are both interned, so the name object itself usually finds the field in a small
  /// open-addressed table keyed by its address, without hashing its text. The table is built so that
  /// each field's name sits in the slot its address hashes to, where it can: a field is then found by
  /// its first probe. It holds only the fields no ordinary attribute of an instance can shadow
  /// (FieldPlan::type_attribute false), so that an attribute read that finds one reads the field.
  [[gnu::always_inline]] Py_ssize_t index_by_address(PyObject* name) const {
    for (size_t slot = address_slot(name, address_multiplier_, address_shift_);; slot = (slot + 1) & address_mask_) {
      const AddressEntry& e = address_table_[slot];
      if (e.name == name) return e.index;
      if (!e.name) return -1;
    }
  }

  /// Index of the field called `name` (a str), or -1. Never raises. Equal names that are other
  /// objects than the plan's take the dict.
  Py_ssize_t index_of(PyObject* name) const {
    const Py_ssize_t index = index_by_address(name);
    return index >= 0 ? index : index_by_hash(name);
  }

  /// Fills the address table from field_names, leaving out the fields whose type_attribute flag is
  /// set (the first field of a name wins, as in name_to_index).
  void index_addresses();

 private:
  /// Multiplicative hashing of the address, keeping the product's top bits: objects sit at
  /// multiples of 16 bytes, so low bits alone collide.
  static size_t address_slot(PyObject* name, uint64_t multiplier, unsigned shift) {
    return static_cast<size_t>((reinterpret_cast<uint64_t>(name) * multiplier) >> shift);
  }
  Py_ssize_t index_by_hash(PyObject* name) const;

  /// Power-of-two table, at most half full; empty for no fields, when address_table_ is a table of
  /// one empty slot that every address hashes to (multiplier 0), so that lookups need no test.
  static const AddressEntry kNoAddresses[1];
  std::vector<AddressEntry> by_address;
  const AddressEntry* address_table_ = kNoAddresses;
  size_t address_mask_ = 0;
  uint64_t address_multiplier_ = 0;
  unsigned address_shift_ = 0;
};

/// A core Schema with the plans of all its structs. Shared read-only by views, instances, clients.
/// Holds Python references: the last owner must drop it with an attached thread state.
class PySchema {
 public:
  /// `source`: the IDL text (a str) the schema was parsed from, or nullptr when it has none.
  static std::shared_ptr<const PySchema> build(std::shared_ptr<const Schema> schema, PyObject* source = nullptr);
  static const std::shared_ptr<const PySchema>& empty();

  const Schema& core() const { return *core_; }
  /// The IDL text this schema was parsed from (one str object however many instances use it), or
  /// nullptr: what a pickled instance carries to rebuild its schema in another process.
  PyObject* source() const { return source_.get(); }
  const StructPlan* find(std::string_view name) const;
  /// A plan for a type outside any struct (a method's argument), resolved through this schema.
  TypePlan plan_type(const ThriftType& type) const;

 private:
  std::shared_ptr<const Schema> core_;
  Ref source_;
  std::unordered_map<const StructDef*, std::unique_ptr<StructPlan>> plans_;
};

// ---------------------------------------------------------------------------------------------
// Object layouts. C++ members are constructed in tp_new/creators and destroyed in tp_dealloc.

struct StructViewObject {
  PyObject_HEAD
  std::shared_ptr<const PySchema> schema;
  const StructPlan* plan;
};

/// Variable-size: one Python value slot per field name is allocated right after the struct, so
/// making an instance costs one allocation. Py_SIZE is the slot count.
struct InstanceObject {
  PyObject_VAR_HEAD
  std::shared_ptr<const PySchema> schema;   // empty schema for a directly built instance
  const StructPlan* plan;                   // nullptr: no definition (directly built, or unknown)
  Ref own_struct_name;                      // str, for an instance without a plan
  Ref own_field_names;                      // tuple of str (the keywords'), likewise
  StructValue stored;                       // stored values by field name

  /// The struct name (str) and the field names (tuple of str): the plan's, which outlives the
  /// instance as the schema it holds owns it, so that making an instance takes no references to
  /// them; an instance without a plan has its own.
  PyObject* struct_name() const { return plan ? plan->struct_name.get() : own_struct_name.get(); }
  PyObject* field_names() const { return plan ? plan->field_names.get() : own_field_names.get(); }

  /// Python values by index into field_names: owned references or nullptr.
  PyObject** slots() { return reinterpret_cast<PyObject**>(reinterpret_cast<char*>(this) + sizeof(InstanceObject)); }
  Py_ssize_t slot_count() const { return Py_SIZE(this); }
};

// The records behind these views belong to the parsed document (or schema) they came from, which
// the shared_ptr keeps alive.
struct FieldViewObject {
  PyObject_HEAD
  std::shared_ptr<const ThriftField> field;
};

struct MethodViewObject {
  PyObject_HEAD
  std::shared_ptr<const MethodDef> method;
};

struct ServiceViewObject {
  PyObject_HEAD
  std::shared_ptr<const ServiceDef> service;
  std::shared_ptr<const PySchema> schema;  // of the document the service came from: clients' and servers' default
};

struct ParserObject;

/// The parser's schema bundle (built lazily after each parse), or nullptr with ValueError
/// "No document parsed yet" when `require_document` and nothing was parsed.
std::shared_ptr<const PySchema> parser_schema(PyObject* parser, bool require_document);
/// The schema of the IDL text `source` (a str), parsed anew; nullptr with an exception set.
std::shared_ptr<const PySchema> schema_from_source(PyObject* source);

// View constructors (new references).
PyObject* new_struct_view(std::shared_ptr<const PySchema> schema, const StructPlan* plan);
PyObject* new_field_view(std::shared_ptr<const ThriftField> field);
PyObject* new_method_view(std::shared_ptr<const MethodDef> method);
PyObject* new_service_view(std::shared_ptr<const ServiceDef> service, std::shared_ptr<const PySchema> schema);
/// A struct's fields as a new list of ThriftField views, and as the record text of the repr.
PyObject* struct_fields_list(const std::shared_ptr<const PySchema>& owner, const StructDef& def);
std::string struct_fields_text(const StructDef& def);

// Instances.
PyObject* new_instance(std::shared_ptr<const PySchema> schema, const StructPlan* plan, StructValue stored);
/// An instance of `plan` with no stored and no Python values yet, for a reader to fill.
PyObject* new_empty_instance(const std::shared_ptr<const PySchema>& schema, const StructPlan* plan);
/// An instance for a struct value of any name: bound to the schema's definition, or to an empty one.
PyObject* instance_from_value(const std::shared_ptr<const PySchema>& schema, StructValue value);
inline bool is_instance(PyObject* obj) { return Py_IS_TYPE(obj, cls(Cls::ThriftStructInstance)); }
/// Field index in the instance for `name`, or -1 (a name is a field when the definition has it,
/// or, for an instance without definition fields, when it is among its field names).
Py_ssize_t instance_field_index(InstanceObject* inst, PyObject* name);
/// Assigns a field as `instance.x = v` does. `keep_stored_on_failure`: a value that cannot be
/// converted leaves the stored value in place (new_instance_from_dict) instead of removing it.
bool instance_assign(InstanceObject* inst, Py_ssize_t index, PyObject* value, bool keep_stored_on_failure);

// ---------------------------------------------------------------------------------------------
// Conversions (convert.cpp) and the serialize API (serde.cpp).

/// Typed conversion of a Python object under a declared type; false with an exception set.
bool to_value_typed(PyObject* obj, const TypePlan& type, const PySchema& schema, ThriftValue& out, int depth = 0);
bool to_value_untyped(PyObject* obj, const PySchema& schema, ThriftValue& out, int depth = 0);
/// New reference, or nullptr with an exception set. `eager`: struct values become instances whose
/// fields already hold Python values (the id-keyed JSON form), not stored values converted later.
PyObject* to_python(const ThriftValue& value, const std::shared_ptr<const PySchema>& schema, bool eager = false);
/// An instance of `plan` whose fields hold `value`'s fields as Python values (nested structs
/// likewise), so that map keys which convert to one Python value make one dict entry. A field whose
/// type keys a map by a container stays stored, as no dict can hold it. Nullptr with an exception set.
PyObject* instance_with_python_values(const std::shared_ptr<const PySchema>& schema, const StructPlan& plan,
                                      const StructValue& value);

/// A constant's value: sets become `set`, containers that key a map `tuple` or `frozenset`, struct
/// values instances holding the struct's declared defaults under the fields given.
PyObject* const_to_python(const ThriftValue& value, const std::shared_ptr<const PySchema>& schema);
/// A `uuid.UUID` of 16 bytes.
PyObject* new_uuid(std::string_view bytes);

/// The protocol selected by a ProtocolType member, or false with the argument error for `param`.
bool protocol_arg(PyObject* obj, const char* param, Protocol& out);
PyObject* serialize(const StructViewObject* view, PyObject* data, Protocol protocol);
/// Writes one Python value under a declared type with the walker's rules (instantiated for the
/// three writers); false with an exception set.
template <class W>
bool write_python_value(W& w, const TypePlan& type, PyObject* obj, const PySchema& schema);
PyObject* deserialize(const StructViewObject* view, PyObject* data, Protocol protocol);
/// Binary or compact bytes read straight into a new instance of the view's struct.
PyObject* decode_wire_struct(Protocol protocol, std::string_view input, const StructViewObject* view);

/// Argument conversion for a ThriftStruct parameter.
StructViewObject* struct_view_arg(PyObject* obj, const char* param);

/// Interned attribute names used by the walkers.
struct Names {
  PyObject* to_dict;
  PyObject* field_names;
  PyObject* struct_name;
};
const Names& names();

}  // namespace velvane::py
