// src/protocol/standard_json_reader.cpp: standard JSON values into stored values.
#include "protocol/standard_json_reader.h"

#include <limits>

#include "model/wire.h"
#include "protocol/base64.h"
#include "protocol/json_reader.h"

namespace velvane {

namespace detail {

namespace {

constexpr int64_t kMin[] = {INT8_MIN, INT16_MIN, INT32_MIN, INT64_MIN};
constexpr int64_t kMax[] = {INT8_MAX, INT16_MAX, INT32_MAX, INT64_MAX};

int width_index(TypeKind kind) {
  switch (kind) {
    case TypeKind::Byte: return 0;
    case TypeKind::I16: return 1;
    case TypeKind::I32: return 2;
    default: return 3;
  }
}

ThriftValue integer_of(TypeKind kind, int64_t v) {
  switch (kind) {
    case TypeKind::Byte: return ThriftValue::Byte(static_cast<int8_t>(v));
    case TypeKind::I16: return ThriftValue::I16(static_cast<int16_t>(v));
    case TypeKind::I32: return ThriftValue::I32(static_cast<int32_t>(v));
    default: return ThriftValue::I64(v);
  }
}

uint8_t declared_id(const ThriftType& type) { return wire_type_id(static_cast<ValueKind>(type.kind)); }

std::string kind_name(const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::Null: return "null";
    case JsonValue::Kind::Bool: return "a boolean";
    case JsonValue::Kind::Unsigned:
    case JsonValue::Kind::Integer:
    case JsonValue::Kind::Float: return "a number";
    case JsonValue::Kind::String: return "a string";
    case JsonValue::Kind::Array: return "an array";
    case JsonValue::Kind::Object: return "an object";
    case JsonValue::Kind::TooDeep: return "a value nested too deeply";
  }
  return "a value";
}

}  // namespace

uint8_t standard_json_type_id(std::string_view name) {
  for (const wire::JsonTag& t : wire::kJsonTags)
    if (t.tag == name) return t.type;
  return 0;
}

bool standard_json_field(const JsonValue& member, uint8_t& type_id, const JsonValue*& value) {
  const auto inner = member.members();
  if (!member.is_object() || inner.size() != 1) return false;
  type_id = standard_json_type_id(inner[0].name);
  value = &inner[0].value;
  return true;
}

bool StandardJsonReader::fail(ErrorKind kind, std::string text) {
  error_ = Error{kind, std::move(text)};
  return false;
}

bool StandardJsonReader::read_struct(const JsonValue& object, const StructDef& def, StructValue& out, int depth) {
  if (depth > kMaxDepth) return fail(ErrorKind::DepthLimit, "Depth limit exceeded");
  if (!object.is_object()) return fail(ErrorKind::WrongShape, "Expected JSON object for struct");
  out.fields.reserve(std::min(def.fields.size(), object.members().size()));
  for (const JsonMember& member : object.members()) {
    const std::optional<int64_t> id = parse_decimal(member.name);
    if (!id || *id < INT16_MIN || *id > INT16_MAX)
      return fail(ErrorKind::InvalidData, "Invalid field id: \"" + std::string(member.name) + "\"");
    uint8_t type_id = 0;
    const JsonValue* value = nullptr;
    if (!standard_json_field(member.value, type_id, value))
      return fail(ErrorKind::WrongShape, "Field " + std::to_string(*id) + ": expected an object of one type name");
    if (type_id == 0)
      return fail(ErrorKind::InvalidData, "Field " + std::to_string(*id) + ": unknown type name \"" +
                                              std::string(member.value.members()[0].name) + "\"");
    const ThriftField* field = nullptr;
    for (const ThriftField& f : def.fields)
      if (f.id == *id) field = &f;
    if (!field) continue;  // a field this schema does not know
    if (type_id != declared_id(field->field_type))
      return fail(ErrorKind::InvalidData, "Field " + std::to_string(*id) + ": type \"" +
                                              std::string(standard_json_type_name(type_id)) + "\" is not the declared \"" +
                                              std::string(standard_json_type_name(declared_id(field->field_type))) + "\"");
    ThriftValue v;
    if (!read_value(*value, field->field_type, v, depth)) return false;
    out.set(field->name, std::move(v));
  }
  return true;
}

bool StandardJsonReader::read_value(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth) {
  switch (type.kind) {
    case TypeKind::Bool: {
      if (v.is_bool()) {
        out = ThriftValue::Bool(v.as_bool());
        return true;
      }
      ThriftValue n;
      if (!read_integer(v, TypeKind::I64, n)) return false;
      out = ThriftValue::Bool(n.i64 != 0);
      return true;
    }
    case TypeKind::Byte:
    case TypeKind::I16:
    case TypeKind::I32:
    case TypeKind::I64: return read_integer(v, type.kind, out);
    case TypeKind::Double: {
      double d;
      if (!read_double(v, d)) return false;
      out = ThriftValue::Double(d);
      return true;
    }
    case TypeKind::String:
      if (!v.is_string()) return fail(ErrorKind::WrongShape, "Expected JSON string, found " + kind_name(v));
      out = ThriftValue::String(std::string(v.text()));
      return true;
    case TypeKind::Binary:
      if (!v.is_string()) return fail(ErrorKind::WrongShape, "Expected JSON string, found " + kind_name(v));
      return read_binary(v.text(), out);
    case TypeKind::Uuid:
      if (!v.is_string()) return fail(ErrorKind::WrongShape, "Expected JSON string, found " + kind_name(v));
      return read_uuid(v.text(), out);
    case TypeKind::List:
    case TypeKind::Set: return read_list(v, type, out, depth + 1);
    case TypeKind::Map: return read_map(v, type, out, depth + 1);
    case TypeKind::Struct: {
      const StructDef* def = schema_.find(type.name);
      if (!def) return fail(ErrorKind::UnknownStruct, "Unknown struct: " + type.name);
      out.kind = ValueKind::Struct;
      out.strukt->name = type.name;
      return read_struct(v, *def, *out.strukt, depth + 1);
    }
  }
  return fail(ErrorKind::InvalidData, "Invalid field type");
}

bool StandardJsonReader::read_integer(const JsonValue& v, TypeKind kind, ThriftValue& out) {
  if (!v.is_integer()) return fail(ErrorKind::WrongShape, "Expected JSON integer, found " + kind_name(v));
  const int64_t n = *v.integer();
  const int w = width_index(kind);
  if ((v.is_unsigned() && n < 0) || n < kMin[w] || n > kMax[w])
    return fail(ErrorKind::InvalidData, "Integer out of range for its type");
  out = integer_of(kind, n);
  return true;
}

bool StandardJsonReader::read_double(const JsonValue& v, double& out) {
  if (v.is_number()) {
    out = v.number();
    return true;
  }
  if (!v.is_string()) return fail(ErrorKind::WrongShape, "Expected JSON number, found " + kind_name(v));
  const std::optional<double> d = parse_double(v.text());
  if (!d) return fail(ErrorKind::InvalidData, "Invalid double: \"" + std::string(v.text()) + "\"");
  out = *d;
  return true;
}

bool StandardJsonReader::read_binary(std::string_view text, ThriftValue& out) {
  // Some implementations leave the padding out.
  std::string padded(text);
  while (padded.size() % 4) padded += '=';
  auto bytes = base64_decode(padded);
  if (!bytes) return fail(ErrorKind::InvalidData, "Base64 error: " + bytes.error().text);
  out = ThriftValue::Binary(std::move(bytes).value());
  return true;
}

bool StandardJsonReader::read_uuid(std::string_view text, ThriftValue& out) {
  auto bytes = uuid_from_text(text);
  if (!bytes) return fail(ErrorKind::InvalidData, "Invalid UUID text: \"" + std::string(text) + "\"");
  out = ThriftValue::Uuid(std::move(*bytes));
  return true;
}

bool StandardJsonReader::expect_tag(const JsonValue& tag, const ThriftType& type) {
  if (!tag.is_string()) return fail(ErrorKind::WrongShape, "Expected a JSON string type name, found " + kind_name(tag));
  const uint8_t id = standard_json_type_id(tag.text());
  if (id == declared_id(type)) return true;
  return fail(ErrorKind::InvalidData, "Element type \"" + std::string(tag.text()) + "\" is not the declared \"" +
                                          std::string(standard_json_type_name(declared_id(type))) + "\"");
}

bool StandardJsonReader::read_list(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth) {
  if (depth > kMaxDepth) return fail(ErrorKind::DepthLimit, "Depth limit exceeded");
  if (!v.is_array()) return fail(ErrorKind::WrongShape, "Expected JSON array, found " + kind_name(v));
  const auto a = v.elements();
  if (a.size() < 2) return fail(ErrorKind::InvalidData, "List header too short");
  // The element type of an empty list says nothing (writers of stored values give "str").
  if (a.size() > 2 && !expect_tag(a[0], type.elem())) return false;
  const std::optional<int64_t> count = a[1].integer();
  if (!a[1].is_integer() || !count || static_cast<uint64_t>(*count) != a.size() - 2)
    return fail(ErrorKind::InvalidData, "List count does not match its elements");
  out.kind = type.kind == TypeKind::List ? ValueKind::List : ValueKind::Set;
  out.items.resize(a.size() - 2);
  for (size_t i = 0; i < out.items.size(); ++i)
    if (!read_value(a[i + 2], type.elem(), out.items[i], depth)) return false;
  return true;
}

bool StandardJsonReader::read_map(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth) {
  if (depth > kMaxDepth) return fail(ErrorKind::DepthLimit, "Depth limit exceeded");
  if (!v.is_array()) return fail(ErrorKind::WrongShape, "Expected JSON array, found " + kind_name(v));
  const auto a = v.elements();
  if (a.size() != 4) return fail(ErrorKind::InvalidData, "Map must be [key type, value type, count, object]");
  if (!a[3].is_object()) return fail(ErrorKind::WrongShape, "Expected JSON object for map, found " + kind_name(a[3]));
  const auto members = a[3].members();
  if (!members.empty() && (!expect_tag(a[0], type.key()) || !expect_tag(a[1], type.value()))) return false;
  const std::optional<int64_t> count = a[2].integer();
  if (!a[2].is_integer() || !count || static_cast<uint64_t>(*count) != members.size())
    return fail(ErrorKind::InvalidData, "Map count does not match its entries");
  out.kind = ValueKind::Map;
  out.items.resize(members.size() * 2);
  for (size_t i = 0; i < members.size(); ++i) {
    if (!read_key(members[i].name, type.key(), out.items[2 * i]) ||
        !read_value(members[i].value, type.value(), out.items[2 * i + 1], depth))
      return false;
  }
  return true;
}

/// Map keys are JSON strings: numbers, bools and doubles are written inside quotes.
bool StandardJsonReader::read_key(std::string_view name, const ThriftType& type, ThriftValue& out) {
  switch (type.kind) {
    case TypeKind::String: out = ThriftValue::String(std::string(name)); return true;
    case TypeKind::Binary: return read_binary(name, out);
    case TypeKind::Uuid: return read_uuid(name, out);
    case TypeKind::Double: {
      const std::optional<double> d = parse_double(name);
      if (!d) return fail(ErrorKind::InvalidData, "Invalid double map key: \"" + std::string(name) + "\"");
      out = ThriftValue::Double(*d);
      return true;
    }
    case TypeKind::Bool:
    case TypeKind::Byte:
    case TypeKind::I16:
    case TypeKind::I32:
    case TypeKind::I64: {
      const std::optional<int64_t> n = parse_decimal(name);
      const int w = width_index(type.kind);
      if (!n || *n < kMin[w] || *n > kMax[w])
        return fail(ErrorKind::InvalidData, "Invalid integer map key: \"" + std::string(name) + "\"");
      out = type.kind == TypeKind::Bool ? ThriftValue::Bool(*n != 0) : integer_of(type.kind, *n);
      return true;
    }
    default: return fail(ErrorKind::InvalidData, "A map key of a container or struct type has no standard JSON form");
  }
}

}  // namespace detail

Result<StructValue> read_standard_json_document(std::string_view input, const StructDef& def, const Schema& schema) {
  auto parsed = detail::parse_json(input, true, detail::JsonText::Borrowed, kMaxJsonDepth, detail::JsonOrder::AsWritten);
  if (!parsed) return parsed.take_error();
  StructValue out;
  out.name = def.name;
  detail::StandardJsonReader reader(schema);
  if (!reader.read_struct(parsed.value().root(), def, out, 1)) return reader.take_error();
  return out;
}

}  // namespace velvane
