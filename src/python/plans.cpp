// src/python/plans.cpp: per-schema struct plans (interned names, resolved nested structs).
#include "python/internal.h"

namespace velvane::py {

namespace {

TypePlan make_type_plan(const ThriftType& type, const PySchema* resolver) {
  TypePlan plan;
  plan.kind = type.kind;
  plan.wire_id = wire_type_id(type);
  plan.type = &type;
  plan.args.reserve(type.args.size());
  for (const auto& arg : type.args) plan.args.push_back(make_type_plan(arg, resolver));
  if (type.kind == TypeKind::Struct && resolver) plan.strukt = resolver->find(type.name);
  return plan;
}

/// Fills names and indices; nested struct references are resolved by `resolve_types`.
bool fill_names(StructPlan& plan, const StructDef& def) {
  plan.def = &def;
  plan.struct_name = Ref::steal(str_from(def.name));
  plan.name_to_index = Ref::steal(PyDict_New());
  plan.field_names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(def.fields.size())));
  if (!plan.struct_name || !plan.name_to_index || !plan.field_names) return false;
  plan.fields.resize(def.fields.size());
  for (size_t i = 0; i < def.fields.size(); ++i) {
    FieldPlan& f = plan.fields[i];
    f.field = &def.fields[i];
    PyObject* name = str_from(def.fields[i].name);
    if (!name) return false;
    PyUnicode_InternInPlace(&name);
    f.name = Ref::steal(name);
    const std::string_view text = def.fields[i].name;
    f.type_attribute = text.starts_with("__") || text == "to_dict" || text == "field_names" || text == "struct_name";
    PyTuple_SET_ITEM(plan.field_names.get(), static_cast<Py_ssize_t>(i), Py_NewRef(name));
    Ref index = Ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(i)));
    if (!index || PyDict_SetDefaultRef(plan.name_to_index.get(), name, index.get(), nullptr) < 0) return false;
  }
  plan.index_addresses();
  return true;
}

/// True when some map in the type has a list, set or map as its key: Python cannot key a dict by it.
bool has_container_key(const ThriftType& type) {
  if (type.kind == TypeKind::Map) {
    TypeKind key = type.key().kind;
    if (key == TypeKind::List || key == TypeKind::Set || key == TypeKind::Map) return true;
  }
  for (const auto& arg : type.args)
    if (has_container_key(arg)) return true;
  return false;
}

void resolve_types(StructPlan& plan, const PySchema* resolver) {
  for (auto& f : plan.fields) {
    f.type = make_type_plan(f.field->field_type, resolver);
    f.direct = !has_container_key(f.field->field_type);
  }
}

}  // namespace

const StructPlan::AddressEntry StructPlan::kNoAddresses[1] = {};

void StructPlan::index_addresses() {
  const Py_ssize_t n = PyTuple_GET_SIZE(field_names.get());
  if (n == 0) return;
  // Odd multipliers to try, Fibonacci hashing's first: one of them, in a table of some size from
  // twice the field count to 16 times, usually puts every name in its own slot.
  static constexpr uint64_t kMultipliers[] = {0x9E3779B97F4A7C15ull, 0xC2B2AE3D27D4EB4Full, 0x165667B19E3779F9ull,
                                              0xD6E8FEB86659FD93ull, 0xFF51AFD7ED558CCDull, 0xC4CEB9FE1A85EC53ull};
  auto place = [&](size_t bits, uint64_t multiplier, bool probe) {
    const size_t size = size_t{1} << bits;
    by_address.assign(size, AddressEntry{});
    address_mask_ = size - 1;
    address_multiplier_ = multiplier;
    address_shift_ = static_cast<unsigned>(64 - bits);
    for (Py_ssize_t i = 0; i < n; ++i) {
      if (fields[static_cast<size_t>(i)].type_attribute) continue;
      PyObject* name = PyTuple_GET_ITEM(field_names.get(), i);
      size_t slot = address_slot(name, multiplier, address_shift_);
      while (by_address[slot].name && by_address[slot].name != name) {
        if (!probe) return false;
        slot = (slot + 1) & address_mask_;
      }
      if (!by_address[slot].name) by_address[slot] = {name, static_cast<int32_t>(i)};
    }
    return true;
  };
  size_t min_bits = 2;
  while ((size_t{1} << min_bits) < 2 * static_cast<size_t>(n)) ++min_bits;
  bool placed = false;
  for (size_t bits = min_bits; bits <= min_bits + 3 && !placed; ++bits)
    for (uint64_t multiplier : kMultipliers)
      if ((placed = place(bits, multiplier, false))) break;
  if (!placed) place(min_bits, kMultipliers[0], true);  // linear probing past collisions
  address_table_ = by_address.data();
}

Py_ssize_t StructPlan::index_by_hash(PyObject* name) const {
  PyObject* index = PyDict_GetItemWithError(name_to_index.get(), name);
  if (!index) {
    PyErr_Clear();
    return -1;
  }
  return PyLong_AsSsize_t(index);
}

std::shared_ptr<const PySchema> PySchema::build(std::shared_ptr<const Schema> schema, PyObject* source) {
  auto out = std::make_shared<PySchema>();
  out->core_ = std::move(schema);
  if (source) out->source_ = Ref::borrow(source);
  for (const auto& [name, def] : out->core_->structs()) {
    auto& plan = out->plans_[def];  // include aliases share the definition, so they share its plan
    plan = std::make_unique<StructPlan>();
    if (!fill_names(*plan, *def)) return nullptr;
  }
  for (auto& [def, plan] : out->plans_) resolve_types(*plan, out.get());
  return out;
}

const std::shared_ptr<const PySchema>& PySchema::empty() {
  // Created once, with the interpreter attached, and kept for the life of the process.
  static const auto* kEmpty = new std::shared_ptr<const PySchema>(PySchema::build(std::make_shared<Schema>()));
  return *kEmpty;
}

TypePlan PySchema::plan_type(const ThriftType& type) const { return make_type_plan(type, this); }

const StructPlan* PySchema::find(std::string_view name) const {
  const StructDef* def = core_->find(name);
  if (!def) return nullptr;
  auto it = plans_.find(def);
  return it == plans_.end() ? nullptr : it->second.get();
}

}  // namespace velvane::py
