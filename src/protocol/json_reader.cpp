// src/protocol/json_reader.cpp: reading JSON struct documents (payload and id-keyed forms) and the
// tagged struct layout of message bodies.
#include "protocol/json_reader.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "model/wire.h"
#include "protocol/base64.h"

namespace velvane {

namespace detail {

/// Decimal digits with an optional sign, no other characters; nullopt when out of range.
std::optional<int64_t> parse_decimal(std::string_view s) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s.front() == '-') return std::nullopt;
  }
  int64_t v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return v;
}

/// The value of a decimal number too large or too small for a double: a signed infinity when it
/// overflows, a signed zero when it underflows (a negative exponent), without any locale lookup.
static double out_of_range_double(std::string_view s) {
  const bool negative = !s.empty() && s.front() == '-';
  const size_t e = s.find_first_of("eE");
  const bool underflow = e != std::string_view::npos && e + 1 < s.size() && s[e + 1] == '-';
  const double magnitude = underflow ? 0.0 : std::numeric_limits<double>::infinity();
  return negative ? -magnitude : magnitude;
}

/// A floating-point number as text, including "NaN", "Infinity" and "-Infinity".
std::optional<double> parse_double(std::string_view s) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) return std::nullopt;
  }
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (end != s.data() + s.size() || s.empty()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) return out_of_range_double(s);
  if (ec != std::errc()) return std::nullopt;
  // from_chars also takes "nan(...)"; only the plain words name the special values.
  if (std::isnan(v) && s.find('(') != std::string_view::npos) return std::nullopt;
  return v;
}

namespace {

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'A' && a[i] <= 'Z') ? static_cast<char>(a[i] + 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

/// An integer cut to the width of the declared type (two's complement).
ThriftValue integer_value(TypeKind kind, int64_t v) {
  switch (kind) {
    case TypeKind::Byte: return ThriftValue::Byte(static_cast<int8_t>(v));
    case TypeKind::I16: return ThriftValue::I16(static_cast<int16_t>(v));
    case TypeKind::I32: return ThriftValue::I32(static_cast<int32_t>(v));
    default: return ThriftValue::I64(v);
  }
}

bool fits_width(TypeKind kind, int64_t v) {
  switch (kind) {
    case TypeKind::Byte: return v >= INT8_MIN && v <= INT8_MAX;
    case TypeKind::I16: return v >= INT16_MIN && v <= INT16_MAX;
    case TypeKind::I32: return v >= INT32_MIN && v <= INT32_MAX;
    default: return true;
  }
}

enum class BoolKeys { AnyCaseTrue, ExactTrue };

/// A map key from its member name: integers in decimal (0 when they do not parse in the key's
/// width), bools from "1" or "true", Base64 for binary (the text itself when it is not Base64),
/// the text as a string otherwise.
ThriftValue key_from_name(std::string_view name, const ThriftType& type, BoolKeys bools) {
  switch (type.kind) {
    case TypeKind::Bool:
      return ThriftValue::Bool(name == "1" ||
                               (bools == BoolKeys::AnyCaseTrue ? equals_ignoring_case(name, "true") : name == "true"));
    case TypeKind::Byte:
    case TypeKind::I16:
    case TypeKind::I32:
    case TypeKind::I64: {
      const auto v = parse_decimal(name);
      return integer_value(type.kind, v && fits_width(type.kind, *v) ? *v : 0);
    }
    case TypeKind::Double: return ThriftValue::Double(parse_double(name).value_or(0.0));
    case TypeKind::Binary: {
      auto decoded = base64_decode(name);
      return ThriftValue::Binary(decoded ? std::move(decoded).value() : std::string(name));
    }
    case TypeKind::Uuid: {
      auto bytes = uuid_from_text(name);
      return ThriftValue::Uuid(bytes ? std::move(*bytes) : std::string(kUuidSize, '\0'));
    }
    default: return ThriftValue::String(std::string(name));
  }
}

double double_of(const JsonValue& v) {
  if (v.is_number()) return v.number();
  if (v.is_string()) return parse_double(v.text()).value_or(0.0);
  return 0.0;
}

/// An integer, or for a string its decimal value; nullopt otherwise.
std::optional<int64_t> integer_or_decimal(const JsonValue& v) {
  if (v.is_string()) return parse_decimal(v.text());
  return v.integer();
}

bool bool_of(const JsonValue& v) { return v.is_bool() ? v.as_bool() : v.integer().value_or(0) != 0; }

/// An array of at least `n` elements.
bool is_array_of_at_least(const JsonValue& v, size_t n) { return v.is_array() && v.elements().size() >= n; }

}  // namespace

uint8_t type_id_of_tag(const JsonValue& tag) {
  if (!tag.is_string()) return wire::kVoid;
  const std::string_view t = tag.text();
  for (const wire::JsonTag& known : wire::kJsonTags)
    if (t == known.tag) return known.type;
  return wire::kVoid;
}

int16_t parse_field_id(std::string_view name) {
  const auto v = parse_decimal(name);
  return v && *v >= INT16_MIN && *v <= INT16_MAX ? static_cast<int16_t>(*v) : 0;
}

namespace {

/// The definition of a nested struct value: the value must be an object and its struct known.
Result<const StructDef*> nested_struct_def(const JsonValue& v, const ThriftType& type, const Schema& schema) {
  if (!v.is_object()) return Error{ErrorKind::WrongShape, "Expected JSON object for struct"};
  const StructDef* def = schema.find(type.name);
  if (!def) return Error{ErrorKind::UnknownStruct, "Unknown struct: " + type.name};
  return def;
}

}  // namespace

bool JsonStructReader::fail(ErrorKind kind, std::string text) {
  error_ = Error{kind, std::move(text)};
  return false;
}

bool JsonStructReader::charge(size_t bytes) {
  if (budget_.charge(bytes)) return true;
  error_ = DecodeBudget::exceeded();
  return false;
}

bool JsonStructReader::read_struct(const JsonValue& object, const StructDef& def, StructValue& out, int depth) {
  if (depth > kMaxDepth) return fail(ErrorKind::DepthLimit, "Depth limit exceeded");
  if (!charge(DecodeBudget::kStruct)) return false;
  return form_ == JsonForm::Tagged ? read_members(object, def, out, depth)
                                   : read_fields_by_name(object, def, out, depth);
}

/// Tagged: every member named by a declared field id holds [tag, value].
bool JsonStructReader::read_members(const JsonValue& object, const StructDef& def, StructValue& out, int depth) {
  for (const auto& [name, member] : object.members()) {
    if (!is_array_of_at_least(member, 2)) continue;
    const ThriftField* field = def.find_field(parse_field_id(name));
    if (!field) continue;
    ThriftValue value;
    if (!charge(DecodeBudget::kField) || !read_value(member.elements()[1], field->field_type, value, depth)) return false;
    out.set(field->name, std::move(value));
  }
  return true;
}

/// Payload: members named by field names; absent fields take their defaults.
bool JsonStructReader::read_fields_by_name(const JsonValue& object, const StructDef& def, StructValue& out,
                                           int depth) {
  for (const ThriftField& field : def.fields) {
    if (const JsonValue* member = object.find(field.name)) {
      ThriftValue value;
      if (!charge(DecodeBudget::kField) || !read_value(*member, field.field_type, value, depth)) return false;
      out.set(field.name, std::move(value));
    } else if (field.default_value) {
      out.set(field.name, *field.default_value);
    }
  }
  return true;
}

bool JsonStructReader::read_value(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth) {
  if (v.is_too_deep()) return fail(ErrorKind::DepthLimit, "Depth limit exceeded");
  switch (type.kind) {
    case TypeKind::Bool: out = ThriftValue::Bool(bool_of(v)); return true;
    case TypeKind::Byte:
    case TypeKind::I16:
    case TypeKind::I32:
    case TypeKind::I64: return read_integer(v, type.kind, out);
    case TypeKind::Double:  // tagged: a number or numeric text; payload: a number only
      out = ThriftValue::Double(form_ == JsonForm::Tagged ? double_of(v) : v.is_number() ? v.number() : 0.0);
      return true;
    case TypeKind::String: out = ThriftValue::String(std::string(v.text())); return true;
    case TypeKind::Binary: return read_binary(v, out);
    case TypeKind::Uuid: {
      auto bytes = uuid_from_text(v.text());
      if (!bytes) return fail(ErrorKind::InvalidData, "Invalid UUID text");
      out = ThriftValue::Uuid(std::move(*bytes));
      return true;
    }
    case TypeKind::List:
    case TypeKind::Set: return read_list(v, type, out, depth + 1);
    case TypeKind::Map: return read_map(v, type, out, depth + 1);
    case TypeKind::Struct: {
      auto def = nested_struct_def(v, type, schema_);
      if (!def) return fail(def.error().kind, def.error().text);
      out = ThriftValue::Struct(type.name);
      return read_struct(v, *def.value(), *out.strukt, depth + 1);
    }
  }
  return true;
}

/// Tagged: a number of the type's width (i64 also from a decimal string), 0 for anything else.
/// Payload: a number or a decimal string, cut to the type's width; anything else is an error.
bool JsonStructReader::read_integer(const JsonValue& v, TypeKind kind, ThriftValue& out) {
  if (form_ == JsonForm::Tagged) {
    out = integer_value(kind, (kind == TypeKind::I64 ? integer_or_decimal(v) : v.integer()).value_or(0));
    return true;
  }
  const std::optional<int64_t> n = integer_or_decimal(v);
  if (!n) return fail(ErrorKind::InvalidData, "expected JSON integer");
  out = integer_value(kind, *n);
  return true;
}

/// Base64 text. Tagged: bad Base64 is an error; payload: the text itself is kept.
bool JsonStructReader::read_binary(const JsonValue& v, ThriftValue& out) {
  if (!v.is_string()) {
    out = ThriftValue::Binary({});
    return true;
  }
  auto decoded = base64_decode(v.text());
  if (decoded) {
    out = ThriftValue::Binary(std::move(decoded).value());
    return true;
  }
  if (form_ == JsonForm::Tagged) return fail(ErrorKind::InvalidData, "Base64 error: " + decoded.error().text);
  out = ThriftValue::Binary(std::string(v.text()));
  return true;
}

/// Tagged: [tag, count, items...]; payload: [items...].
bool JsonStructReader::read_list(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth) {
  if (!v.is_array()) return fail(ErrorKind::WrongShape, "Expected JSON array");
  if (depth > kMaxDepth) return fail(ErrorKind::DepthLimit, "Depth limit exceeded");
  out.kind = type.kind == TypeKind::List ? ValueKind::List : ValueKind::Set;
  auto elems = v.elements();
  if (form_ == JsonForm::Tagged) elems = elems.size() <= 2 ? elems.subspan(elems.size()) : elems.subspan(2);
  if (!charge(elems.size() * DecodeBudget::kElement)) return false;
  out.items.resize(elems.size());
  for (size_t i = 0; i < elems.size(); ++i)
    if (!read_value(elems[i], type.elem(), out.items[i], depth)) return false;
  return true;
}

/// Tagged: [key tag, value tag, count, {pairs}]; payload: {pairs}. Keys are member names.
bool JsonStructReader::read_map(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth) {
  const JsonValue* object = &v;
  if (form_ == JsonForm::Tagged) {
    if (!v.is_array()) return fail(ErrorKind::WrongShape, "Expected JSON array for map");
    if (v.elements().size() < 4) return fail(ErrorKind::WrongShape, "Map array too short");
    object = &v.elements()[3];
    if (!object->is_object()) return fail(ErrorKind::WrongShape, "Expected JSON object in map");
  } else if (!v.is_object()) {
    return fail(ErrorKind::WrongShape, "Expected JSON object for map");
  }
  if (depth > kMaxDepth) return fail(ErrorKind::DepthLimit, "Depth limit exceeded");
  const auto pairs = object->members();
  const BoolKeys bools = form_ == JsonForm::Tagged ? BoolKeys::AnyCaseTrue : BoolKeys::ExactTrue;
  out.kind = ValueKind::Map;
  if (!charge(pairs.size() * 2 * DecodeBudget::kElement)) return false;
  out.items.reserve(pairs.size() * 2);
  for (const auto& [name, member] : pairs) {
    out.items.push_back(key_from_name(name, type.key(), bools));
    if (!read_value(member, type.value(), out.items.emplace_back(), depth)) return false;
  }
  return true;
}

}  // namespace detail

namespace {

/// A 4-byte big-endian prefix equal to the length of the rest is a frame header, not JSON.
std::string_view without_frame_prefix(std::string_view input) {
  if (input.size() < 4) return input;
  const auto* p = reinterpret_cast<const unsigned char*>(input.data());
  const uint32_t prefix = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  return prefix == input.size() - 4 ? input.substr(4) : input;
}

}  // namespace

Result<StructValue> read_json_document(std::string_view input, const StructDef& def, const Schema& schema,
                                       bool* payload_form) {
  auto parsed = detail::parse_json(without_frame_prefix(input), true, detail::JsonText::Borrowed, kMaxJsonDepth);
  if (!parsed) return parsed.take_error();
  const detail::JsonValue& root = parsed.value().root();
  StructValue out;
  out.name = def.name;
  if (root.is_object()) {
    const detail::JsonValue* payload = root.find("payload");
    if (payload && payload->is_object()) {
      if (payload_form) *payload_form = true;
      detail::JsonStructReader reader(schema, detail::JsonForm::Payload, input.size());
      if (!reader.read_struct(*payload, def, out, 1)) return reader.take_error();
      return out;
    }
  } else {
    return Error{ErrorKind::WrongShape, "Expected JSON object for struct"};
  }
  if (payload_form) *payload_form = false;
  detail::JsonStructReader reader(schema, detail::JsonForm::Tagged, input.size());
  if (!reader.read_struct(root, def, out, 1)) return reader.take_error();
  return out;
}

}  // namespace velvane
