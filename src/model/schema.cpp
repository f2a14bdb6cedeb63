// src/model/schema.cpp: text forms and lookups of the schema records.
#include "model/schema.h"

#include <algorithm>

namespace velvane {

ThriftType ThriftType::List(ThriftType elem) { return ThriftType{TypeKind::List, {std::move(elem)}, {}}; }
ThriftType ThriftType::Set(ThriftType elem) { return ThriftType{TypeKind::Set, {std::move(elem)}, {}}; }
ThriftType ThriftType::Map(ThriftType key, ThriftType value) {
  ThriftType t{TypeKind::Map, {}, {}};
  t.args.reserve(2);
  t.args.push_back(std::move(key));
  t.args.push_back(std::move(value));
  return t;
}
ThriftType ThriftType::Struct(std::string name) { return ThriftType{TypeKind::Struct, {}, std::move(name)}; }

uint8_t wire_type_id(const ThriftType& type) { return wire_type_id(static_cast<ValueKind>(type.kind)); }

static void append_text(std::string& out, const ThriftType& t) {
  static constexpr const char* kScalarNames[] = {"Bool", "Byte", "I16", "I32", "I64", "Double", "String", "Binary"};
  switch (t.kind) {
    case TypeKind::List:
    case TypeKind::Set:
      out += t.kind == TypeKind::List ? "List(" : "Set(";
      append_text(out, t.elem());
      out += ')';
      return;
    case TypeKind::Map:
      out += "Map(";
      append_text(out, t.key());
      out += ", ";
      append_text(out, t.value());
      out += ')';
      return;
    case TypeKind::Uuid:
      out += "Uuid";
      return;
    case TypeKind::Struct:
      out += "Struct(\"";
      out += t.name;
      out += "\")";
      return;
    default:
      out += kScalarNames[static_cast<int>(t.kind)];
  }
}

std::string to_text(const ThriftType& type) {
  std::string out;
  append_text(out, type);
  return out;
}

const ThriftField* StructDef::find_field(int16_t id) const {
  for (const auto& f : fields)
    if (f.id == id) return &f;
  return nullptr;
}

const ThriftField* StructDef::find_field(std::string_view field_name) const {
  for (const auto& f : fields)
    if (f.name == field_name) return &f;
  return nullptr;
}

static std::string include_prefix(std::string_view include) {
  if (auto slash = include.rfind('/'); slash != std::string_view::npos) include.remove_prefix(slash + 1);
  constexpr std::string_view ext = ".thrift";
  if (include.size() >= ext.size() && include.substr(include.size() - ext.size()) == ext)
    include.remove_suffix(ext.size());
  return std::string(include);
}

static bool has_uuid(const ThriftType& type) {
  if (type.kind == TypeKind::Uuid) return true;
  return std::any_of(type.args.begin(), type.args.end(), has_uuid);
}

std::shared_ptr<const Schema> Schema::build(std::shared_ptr<const ThriftDocument> doc) {
  auto schema = std::make_shared<Schema>();
  schema->structs_.reserve(doc->structs.size());
  for (const auto& [name, def] : doc->structs) {
    schema->structs_.emplace(name, &def);
    for (const auto& f : def.fields) schema->declares_uuid_ = schema->declares_uuid_ || has_uuid(f.field_type);
  }
  for (const auto& [name, service] : doc->services) {
    for (const auto& m : service.methods) {
      schema->declares_uuid_ = schema->declares_uuid_ || has_uuid(m.return_type);
      for (const auto& f : m.arguments) schema->declares_uuid_ = schema->declares_uuid_ || has_uuid(f.field_type);
    }
  }
  for (const auto& include : doc->includes) schema->prefixes_.push_back(include_prefix(include));
  auto& prefixes = schema->prefixes_;
  std::sort(prefixes.begin(), prefixes.end());
  prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
  schema->doc_ = std::move(doc);
  return schema;
}

std::shared_ptr<const Schema> Schema::build(const ThriftDocument& doc) {
  return build(std::make_shared<const ThriftDocument>(doc));
}

const StructDef* Schema::find(std::string_view name) const {
  if (auto it = structs_.find(name); it != structs_.end()) return it->second;
  if (prefixes_.empty()) return nullptr;
  for (size_t dot = name.find('.'); dot != std::string_view::npos; dot = name.find('.', dot + 1)) {
    if (!std::binary_search(prefixes_.begin(), prefixes_.end(), name.substr(0, dot), std::less<>{})) continue;
    if (auto it = structs_.find(name.substr(dot + 1)); it != structs_.end()) return it->second;
  }
  return nullptr;
}

}  // namespace velvane
