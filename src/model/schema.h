// src/model/schema.h: the schema model, immutable records produced by one parse.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/value.h"

namespace velvane {

/// Same order and numbering as ValueKind.
enum class TypeKind : uint8_t { Bool, Byte, I16, I32, I64, Double, String, Binary, List, Set, Map, Struct, Uuid };

/// A Thrift type. Containers own their element types: List/Set have one entry in `args`, Map has
/// key then value. Struct carries the name as written (also "void" and unresolved names).
struct ThriftType {
  TypeKind kind = TypeKind::Bool;
  std::vector<ThriftType> args;
  std::string name;

  static ThriftType Scalar(TypeKind k) { return ThriftType{k, {}, {}}; }
  static ThriftType List(ThriftType elem);
  static ThriftType Set(ThriftType elem);
  static ThriftType Map(ThriftType key, ThriftType value);
  static ThriftType Struct(std::string name);

  const ThriftType& elem() const { return args[0]; }
  const ThriftType& key() const { return args[0]; }
  const ThriftType& value() const { return args[1]; }
  bool is_void() const { return kind == TypeKind::Struct && name == "void"; }
  bool operator==(const ThriftType& o) const = default;
};

/// Binary wire type id of a type (the table shared with ValueKind).
uint8_t wire_type_id(const ThriftType& type);

/// `I32`, `List(I32)`, `Map(String, List(Struct("Item")))`.
std::string to_text(const ThriftType& type);

struct ThriftField {
  std::string name;
  ThriftType field_type;
  std::optional<ThriftValue> default_value;
  int16_t id = 0;
  bool required = false;
};

/// Structs, unions and exceptions alike; inherited fields come first.
struct StructDef {
  std::string name;
  std::vector<ThriftField> fields;

  /// The first field with this id, or nullptr.
  const ThriftField* find_field(int16_t id) const;
  const ThriftField* find_field(std::string_view name) const;
};

struct MethodDef {
  std::string name;
  ThriftType return_type;
  std::vector<ThriftField> arguments;
  std::vector<ThriftField> exceptions;
  bool oneway = false;
};

struct ServiceDef {
  std::string name;
  std::vector<MethodDef> methods;  // inherited methods first
};

struct ThriftEnum {
  std::string name;
  std::unordered_map<std::string, int32_t> values;
};

/// A named constant: its declared type and its value under that type.
struct ThriftConst {
  ThriftType type;
  ThriftValue value;
};

/// Definitions of an included file `x.thrift` (read by parse_file) are held under `x.Name`.
struct ThriftDocument {
  std::vector<std::string> includes;
  std::unordered_map<std::string, StructDef> structs;
  std::unordered_map<std::string, ServiceDef> services;
  std::unordered_map<std::string, ThriftEnum> enums;
  std::unordered_map<std::string, std::string> namespaces;
  std::unordered_map<std::string, ThriftConst> consts;
};

/// The read-only struct table that resolves Struct(name) types: every struct under its own name
/// and, for each include prefix, under "prefix.Name". It points into the document it shares, so a
/// struct is one definition under all its names. Shared by views, instances, clients.
class Schema {
 public:
  /// Each struct once, under its own name; the names view the document's keys.
  using Table = std::unordered_map<std::string_view, const StructDef*>;

  Schema() = default;
  /// The registry of a document (include prefixes: text after the last '/', minus ".thrift").
  static std::shared_ptr<const Schema> build(std::shared_ptr<const ThriftDocument> doc);
  /// The same over a copy of `doc`.
  static std::shared_ptr<const Schema> build(const ThriftDocument& doc);

  /// The struct called `name`, or called the rest of `name` after an include prefix and a dot.
  /// Own names win; of several prefixes that fit, the shortest does.
  const StructDef* find(std::string_view name) const;
  const Table& structs() const { return structs_; }
  /// Whether a field of some struct has a uuid in its type (the readers accept its wire id then).
  bool declares_uuid() const { return declares_uuid_; }

 private:
  std::shared_ptr<const ThriftDocument> doc_;
  Table structs_;
  std::vector<std::string> prefixes_;  // sorted, without repeats
  bool declares_uuid_ = false;
};

}  // namespace velvane
