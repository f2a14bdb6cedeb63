// src/protocol/json_reader.cpp: reading JSON struct documents (payload and id-keyed forms) and the
// tagged struct layout of message bodies.
#include "protocol/json_reader.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

#include "protocol/base64.h"

namespace velvane {

using nlohmann::json;

namespace detail {

namespace {

/// Builds the tree like nlohmann's own parser but keeps the error description instead of throwing.
class DomBuilder : public nlohmann::detail::json_sax_dom_parser<json> {
 public:
  explicit DomBuilder(json& root) : json_sax_dom_parser(root, false) {}

  template <class Exception>
  bool parse_error(std::size_t position, const std::string& token, const Exception& ex) {
    std::string_view what = ex.what();
    // Drop the "[json.exception.parse_error.101] " classification prefix.
    if (!what.empty() && what.front() == '[') {
      if (size_t close = what.find("] "); close != std::string_view::npos) what.remove_prefix(close + 2);
    }
    message = what;
    return json_sax_dom_parser::parse_error(position, token, ex);
  }

  std::string message;
};

std::optional<int64_t> json_integer(const json& v) {
  if (v.is_number_integer()) return static_cast<int64_t>(v.get<json::number_integer_t>());
  if (v.is_number_unsigned()) return static_cast<int64_t>(v.get<json::number_unsigned_t>());
  return std::nullopt;
}

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

/// A floating-point number as text, including "NaN", "Infinity" and "-Infinity".
std::optional<double> parse_double(std::string_view s) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) return std::nullopt;
  }
  double v = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (end != s.data() + s.size() || s.empty()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) return std::strtod(std::string(s).c_str(), nullptr);
  if (ec != std::errc()) return std::nullopt;
  // from_chars also takes "nan(...)"; only the plain words name the special values.
  if (std::isnan(v) && s.find('(') != std::string_view::npos) return std::nullopt;
  return v;
}

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

bool is_integer_kind(TypeKind k) {
  return k == TypeKind::Byte || k == TypeKind::I16 || k == TypeKind::I32 || k == TypeKind::I64;
}

enum class BoolKeys { AnyCaseTrue, ExactTrue };

/// A map key from its member name: integers in decimal (0 when they do not parse in the key's
/// width), bools from "1" or "true", Base64 for binary (the text itself when it is not Base64),
/// the text as a string otherwise.
ThriftValue key_from_name(const std::string& name, const ThriftType& type, BoolKeys bools) {
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
      return ThriftValue::Binary(decoded ? std::move(decoded).value() : name);
    }
    default: return ThriftValue::String(name);
  }
}

double double_of(const json& v) {
  if (v.is_number()) return v.get<double>();
  if (v.is_string()) return parse_double(v.get_ref<const std::string&>()).value_or(0.0);
  return 0.0;
}

Error depth_error() { return Error{ErrorKind::Value, "Depth limit exceeded"}; }

}  // namespace

Result<json> parse_json(std::string_view text, bool whole_input, ErrorKind kind) {
  json root;
  DomBuilder builder(root);
  const bool ok = json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json, whole_input);
  if (!ok) return Error{kind, "JSON parse error: " + builder.message};
  return root;
}

uint8_t type_id_of_tag(const json& tag) {
  if (!tag.is_string()) return 1;
  const auto& t = tag.get_ref<const std::string&>();
  static constexpr std::pair<std::string_view, uint8_t> kTags[] = {
      {"tf", 2}, {"i8", 3}, {"dbl", 4}, {"i16", 6}, {"i32", 8}, {"i64", 10},
      {"str", 11}, {"rec", 12}, {"map", 13}, {"set", 14}, {"lst", 15}};
  for (const auto& [name, id] : kTags)
    if (t == name) return id;
  return 1;
}

int16_t parse_field_id(const std::string& name) {
  const auto v = parse_decimal(name);
  return v && *v >= INT16_MIN && *v <= INT16_MAX ? static_cast<int16_t>(*v) : 0;
}

bool TaggedJsonReader::fail(ErrorKind kind, std::string text) {
  error_ = Error{kind, std::move(text)};
  return false;
}

bool TaggedJsonReader::read_struct(const json& object, const StructDef& def, StructValue& out, int depth) {
  if (depth > kMaxDepth) return fail(depth_error().kind, depth_error().text);
  for (const auto& [name, member] : object.get_ref<const json::object_t&>()) {
    if (!member.is_array() || member.size() < 2) continue;
    const ThriftField* field = def.find_field(parse_field_id(name));
    if (!field) continue;
    ThriftValue value;
    if (!read_value(member[1], field->field_type, value, depth)) return false;
    out.set(field->name, std::move(value));
  }
  return true;
}

bool TaggedJsonReader::read_value(const json& v, const ThriftType& type, ThriftValue& out, int depth) {
  switch (type.kind) {
    case TypeKind::Bool:
      out = ThriftValue::Bool(v.is_boolean() ? v.get<bool>() : json_integer(v).value_or(0) != 0);
      return true;
    case TypeKind::Byte:
    case TypeKind::I16:
    case TypeKind::I32: out = integer_value(type.kind, json_integer(v).value_or(0)); return true;
    case TypeKind::I64: {
      std::optional<int64_t> n = json_integer(v);
      if (!n && v.is_string()) n = parse_decimal(v.get_ref<const std::string&>());
      out = ThriftValue::I64(n.value_or(0));
      return true;
    }
    case TypeKind::Double: out = ThriftValue::Double(double_of(v)); return true;
    case TypeKind::String:
      out = ThriftValue::String(v.is_string() ? v.get_ref<const std::string&>() : std::string());
      return true;
    case TypeKind::Binary: {
      if (!v.is_string()) {
        out = ThriftValue::Binary({});
        return true;
      }
      auto decoded = base64_decode(v.get_ref<const std::string&>());
      if (!decoded) return fail(ErrorKind::Value, "Base64 error: " + decoded.error().text);
      out = ThriftValue::Binary(std::move(decoded).value());
      return true;
    }
    case TypeKind::List:
    case TypeKind::Set: return read_list(v, type, out, depth + 1);
    case TypeKind::Map: return read_map(v, type, out, depth + 1);
    case TypeKind::Struct: {
      if (!v.is_object()) return fail(ErrorKind::Type, "Expected JSON object for struct");
      const StructDef* def = schema_.find(type.name);
      if (!def) return fail(ErrorKind::Value, "Unknown struct: " + type.name);
      out = ThriftValue::Struct(type.name);
      return read_struct(v, *def, out.strukt, depth + 1);
    }
  }
  return true;
}

bool TaggedJsonReader::read_list(const json& v, const ThriftType& type, ThriftValue& out, int depth) {
  if (!v.is_array()) return fail(ErrorKind::Type, "Expected JSON array");
  if (depth > kMaxDepth) return fail(depth_error().kind, depth_error().text);
  out.kind = type.kind == TypeKind::List ? ValueKind::List : ValueKind::Set;
  const auto& elems = v.get_ref<const json::array_t&>();
  if (elems.size() <= 2) return true;
  out.items.resize(elems.size() - 2);
  for (size_t i = 2; i < elems.size(); ++i)
    if (!read_value(elems[i], type.elem(), out.items[i - 2], depth)) return false;
  return true;
}

bool TaggedJsonReader::read_map(const json& v, const ThriftType& type, ThriftValue& out, int depth) {
  if (!v.is_array()) return fail(ErrorKind::Type, "Expected JSON array for map");
  if (v.size() < 4) return fail(ErrorKind::Type, "Map array too short");
  if (!v[3].is_object()) return fail(ErrorKind::Type, "Expected JSON object in map");
  if (depth > kMaxDepth) return fail(depth_error().kind, depth_error().text);
  const auto& pairs = v[3].get_ref<const json::object_t&>();
  out.kind = ValueKind::Map;
  out.items.reserve(pairs.size() * 2);
  for (const auto& [name, member] : pairs) {
    out.items.push_back(key_from_name(name, type.key(), BoolKeys::AnyCaseTrue));
    if (!read_value(member, type.value(), out.items.emplace_back(), depth)) return false;
  }
  return true;
}

}  // namespace detail

namespace {

/// The payload form: members named by field names, plain untagged values, defaults for absent
/// fields.
class PayloadReader {
 public:
  explicit PayloadReader(const Schema& schema) : schema_(schema) {}

  bool read_struct(const json& object, const StructDef& def, StructValue& out, int depth) {
    if (depth > kMaxDepth) return fail(ErrorKind::Value, "Depth limit exceeded");
    for (const ThriftField& field : def.fields) {
      const auto member = object.find(field.name);
      if (member != object.end()) {
        ThriftValue value;
        if (!read_value(*member, field.field_type, value, depth)) return false;
        out.set(field.name, std::move(value));
      } else if (field.default_value) {
        out.set(field.name, *field.default_value);
      }
    }
    return true;
  }

  Error take_error() { return std::move(error_); }

 private:
  bool fail(ErrorKind kind, std::string text) {
    error_ = Error{kind, std::move(text)};
    return false;
  }

  bool read_value(const json& v, const ThriftType& type, ThriftValue& out, int depth) {
    if (detail::is_integer_kind(type.kind)) return read_integer(v, type.kind, out);
    switch (type.kind) {
      case TypeKind::Bool:
        out = ThriftValue::Bool(v.is_boolean() ? v.get<bool>() : detail::json_integer(v).value_or(0) != 0);
        return true;
      case TypeKind::Double: out = ThriftValue::Double(detail::double_of(v)); return true;
      case TypeKind::String:
        out = ThriftValue::String(v.is_string() ? v.get_ref<const std::string&>() : std::string());
        return true;
      case TypeKind::Binary: {
        if (!v.is_string()) {
          out = ThriftValue::Binary({});
          return true;
        }
        const auto& text = v.get_ref<const std::string&>();
        auto decoded = base64_decode(text);
        out = ThriftValue::Binary(decoded ? std::move(decoded).value() : text);
        return true;
      }
      case TypeKind::List:
      case TypeKind::Set: return read_list(v, type, out, depth + 1);
      case TypeKind::Map: return read_map(v, type, out, depth + 1);
      case TypeKind::Struct: {
        if (!v.is_object()) return fail(ErrorKind::Type, "Expected JSON object for struct");
        const StructDef* def = schema_.find(type.name);
        if (!def) return fail(ErrorKind::Value, "Unknown struct: " + type.name);
        out = ThriftValue::Struct(type.name);
        return read_struct(v, *def, out.strukt, depth + 1);
      }
      default: return true;
    }
  }

  bool read_integer(const json& v, TypeKind kind, ThriftValue& out) {
    std::optional<int64_t> n = detail::json_integer(v);
    if (!n && v.is_string()) n = detail::parse_decimal(v.get_ref<const std::string&>());
    if (!n) return fail(ErrorKind::Value, "expected JSON integer");
    out = detail::integer_value(kind, *n);
    return true;
  }

  bool read_list(const json& v, const ThriftType& type, ThriftValue& out, int depth) {
    if (!v.is_array()) return fail(ErrorKind::Type, "Expected JSON array");
    if (depth > kMaxDepth) return fail(ErrorKind::Value, "Depth limit exceeded");
    out.kind = type.kind == TypeKind::List ? ValueKind::List : ValueKind::Set;
    out.items.resize(v.size());
    for (size_t i = 0; i < v.size(); ++i)
      if (!read_value(v[i], type.elem(), out.items[i], depth)) return false;
    return true;
  }

  bool read_map(const json& v, const ThriftType& type, ThriftValue& out, int depth) {
    if (!v.is_object()) return fail(ErrorKind::Type, "Expected JSON object for map");
    if (depth > kMaxDepth) return fail(ErrorKind::Value, "Depth limit exceeded");
    out.kind = ValueKind::Map;
    out.items.reserve(v.size() * 2);
    for (const auto& [name, member] : v.get_ref<const json::object_t&>()) {
      out.items.push_back(detail::key_from_name(name, type.key(), detail::BoolKeys::ExactTrue));
      if (!read_value(member, type.value(), out.items.emplace_back(), depth)) return false;
    }
    return true;
  }

  const Schema& schema_;
  Error error_;
};

/// A 4-byte big-endian prefix equal to the length of the rest is a frame header, not JSON.
std::string_view without_frame_prefix(std::string_view input) {
  if (input.size() < 4) return input;
  const auto* p = reinterpret_cast<const unsigned char*>(input.data());
  const uint32_t prefix = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
  return prefix == input.size() - 4 ? input.substr(4) : input;
}

}  // namespace

Result<StructValue> read_json_document(std::string_view input, const StructDef& def, const Schema& schema) {
  auto parsed = detail::parse_json(without_frame_prefix(input), true, ErrorKind::Value);
  if (!parsed) return parsed.take_error();
  const json& root = parsed.value();
  StructValue out;
  out.name = def.name;
  if (root.is_object()) {
    const auto payload = root.find("payload");
    if (payload != root.end() && payload->is_object()) {
      PayloadReader reader(schema);
      if (!reader.read_struct(*payload, def, out, 1)) return reader.take_error();
      return out;
    }
  } else {
    return Error{ErrorKind::Type, "Expected JSON object for struct"};
  }
  detail::TaggedJsonReader reader(schema);
  if (!reader.read_struct(root, def, out, 1)) return reader.take_error();
  return out;
}

}  // namespace velvane
