// src/protocol/standard_json_reader.h: reading the JSON protocol as other Thrift implementations
// write it (private to src/protocol/).
#pragma once

#include <string_view>

#include "protocol/json_dom.h"
#include "protocol/read_struct.h"

namespace velvane::detail {

/// Binary wire id of a standard JSON type name ("i32" -> 8); 0 for an unknown name.
uint8_t standard_json_type_id(std::string_view name);
/// The standard JSON type name of a binary wire id ("" for none).
std::string_view standard_json_type_name(uint8_t type_id);

/// A struct member's value `{"tag": value}`: its type id (0 when the tag is unknown) and value.
/// False when the member is not an object of one member.
bool standard_json_field(const JsonValue& member, uint8_t& type_id, const JsonValue*& value);

/// Converts a parsed standard JSON value into stored values under declared types. A JSON value of
/// the wrong kind, a type name that differs from the declared type, a count that differs from the
/// elements given or an integer out of its type's range is an error (WrongShape for the kind of a
/// JSON value, InvalidData otherwise). Nesting is bounded at kMaxDepth.
class StandardJsonReader {
 public:
  explicit StandardJsonReader(const Schema& schema) : schema_(schema) {}

  /// `depth` is the level of the struct itself (1 for the outermost).
  bool read_struct(const JsonValue& object, const StructDef& def, StructValue& out, int depth);
  /// `depth` is the level of the enclosing struct or container.
  bool read_value(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth);
  Error take_error() { return std::move(error_); }

 private:
  bool fail(ErrorKind kind, std::string text);
  bool expect_tag(const JsonValue& tag, const ThriftType& type);
  bool read_integer(const JsonValue& v, TypeKind kind, ThriftValue& out);
  bool read_double(const JsonValue& v, double& out);
  bool read_binary(std::string_view text, ThriftValue& out);
  bool read_uuid(std::string_view text, ThriftValue& out);
  bool read_list(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth);
  bool read_map(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth);
  bool read_key(std::string_view name, const ThriftType& type, ThriftValue& out);

  const Schema& schema_;
  Error error_;
};

}  // namespace velvane::detail
