// src/model/value.cpp: ThriftValue constructors, equality and text form.
#include "model/value.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "model/wire.h"

namespace velvane {

uint8_t wire_type_id(ValueKind kind) {
  using namespace wire;
  // In ValueKind's order: Bool, Byte, I16, I32, I64, Double, String, Binary, List, Set, Map, Struct, Uuid.
  static constexpr uint8_t kIds[] = {kBool,   kByte,   kI16,  kI32, kI64, kDouble,
                                     kString, kString, kList, kSet, kMap, kStruct, kUuid};
  return kIds[static_cast<int>(kind)];
}

const ThriftValue* StructValue::find(std::string_view field) const {
  for (const auto& [n, v] : fields)
    if (n == field) return &v;
  return nullptr;
}

void StructValue::set(std::string field, ThriftValue value) {
  for (auto& [n, v] : fields) {
    if (n == field) {
      v = std::move(value);
      return;
    }
  }
  fields.emplace_back(std::move(field), std::move(value));
}

bool StructValue::erase(std::string_view field) {
  for (auto it = fields.begin(); it != fields.end(); ++it) {
    if (it->first == field) {
      fields.erase(it);
      return true;
    }
  }
  return false;
}

#define VELVANE_SCALAR_CTOR(Name, member, type) \
  ThriftValue ThriftValue::Name(type v) {       \
    ThriftValue out;                            \
    out.kind = ValueKind::Name;                 \
    out.member = v;                             \
    return out;                                 \
  }
VELVANE_SCALAR_CTOR(Bool, b, bool)
VELVANE_SCALAR_CTOR(Byte, i8, int8_t)
VELVANE_SCALAR_CTOR(I16, i16, int16_t)
VELVANE_SCALAR_CTOR(I32, i32, int32_t)
VELVANE_SCALAR_CTOR(I64, i64, int64_t)
VELVANE_SCALAR_CTOR(Double, d, double)
#undef VELVANE_SCALAR_CTOR

static ThriftValue with_bytes(ValueKind kind, std::string v) {
  ThriftValue out;
  out.kind = kind;
  out.bytes = std::move(v);
  return out;
}
ThriftValue ThriftValue::String(std::string v) { return with_bytes(ValueKind::String, std::move(v)); }
ThriftValue ThriftValue::Binary(std::string v) { return with_bytes(ValueKind::Binary, std::move(v)); }
ThriftValue ThriftValue::Uuid(std::string v) { return with_bytes(ValueKind::Uuid, std::move(v)); }

std::string uuid_to_text(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    const auto b = static_cast<unsigned char>(bytes[i]);
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

std::optional<std::string> uuid_from_text(std::string_view text) {
  if (text.size() != 36) return std::nullopt;
  std::string out;
  int high = -1;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') return std::nullopt;
      continue;
    }
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else return std::nullopt;
    if (high < 0) {
      high = v;
    } else {
      out += static_cast<char>(high << 4 | v);
      high = -1;
    }
  }
  return out;
}

static ThriftValue with_items(ValueKind kind, std::vector<ThriftValue> v) {
  ThriftValue out;
  out.kind = kind;
  out.items = std::move(v);
  return out;
}
ThriftValue ThriftValue::List(std::vector<ThriftValue> v) { return with_items(ValueKind::List, std::move(v)); }
ThriftValue ThriftValue::Set(std::vector<ThriftValue> v) { return with_items(ValueKind::Set, std::move(v)); }
ThriftValue ThriftValue::Map(std::vector<ThriftValue> v) { return with_items(ValueKind::Map, std::move(v)); }

ThriftValue ThriftValue::Struct(std::string name, std::vector<std::pair<std::string, ThriftValue>> fields) {
  ThriftValue out;
  out.kind = ValueKind::Struct;
  out.strukt->name = std::move(name);
  out.strukt->fields = std::move(fields);
  return out;
}

bool ThriftValue::operator==(const ThriftValue& o) const {
  if (kind != o.kind) return false;
  switch (kind) {
    case ValueKind::Bool: return b == o.b;
    case ValueKind::Byte: return i8 == o.i8;
    case ValueKind::I16: return i16 == o.i16;
    case ValueKind::I32: return i32 == o.i32;
    case ValueKind::I64: return i64 == o.i64;
    case ValueKind::Double: return d == o.d || (std::isnan(d) && std::isnan(o.d));
    case ValueKind::String:
    case ValueKind::Binary:
    case ValueKind::Uuid: return bytes == o.bytes;
    case ValueKind::List:
    case ValueKind::Set:
    case ValueKind::Map: return items == o.items;
    case ValueKind::Struct: {
      if (strukt->name != o.strukt->name || strukt->fields.size() != o.strukt->fields.size()) return false;
      for (const auto& [n, v] : strukt->fields) {
        const ThriftValue* other = o.strukt->find(n);
        if (!other || !(*other == v)) return false;
      }
      return true;
    }
  }
  return false;
}

static bool needs_escape(unsigned char c, EscapeStyle style) {
  return c < 0x20 || c == '"' || c == '\\' || (c == 0x7f && style == EscapeStyle::Debug);
}

static void append_control(std::string& out, unsigned char c, EscapeStyle style) {
  static constexpr char kHex[] = "0123456789abcdef";
  if (style == EscapeStyle::Json) {
    switch (c) {
      case '\b': out += "\\b"; return;
      case '\f': out += "\\f"; return;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(esc, 6);
        return;
      }
    }
  }
  if (c == '\0') {
    out += "\\0";
    return;
  }
  out += "\\u{";
  if (c >> 4) out += kHex[c >> 4];
  out += kHex[c & 15];
  out += '}';
}

void append_escaped(std::string& out, std::string_view text, EscapeStyle style) {
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!needs_escape(c, style)) continue;
    out.append(text.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: append_control(out, c, style);
    }
  }
  out.append(text.substr(run));
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  append_escaped(out, text, EscapeStyle::Debug);
  out += '"';
  return out;
}

/// Shortest text that reads back as the same double, in the debug style of the reprs: plain
/// decimals with a ".0" for whole numbers between 1e-4 and 1e16, exponent form ("1e16", "1.5e-7")
/// outside, independent of the process locale.
static std::string double_text(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[400];
  const double magnitude = std::fabs(d);
  const bool plain = magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e16);
  const auto result = std::to_chars(buf, buf + sizeof buf, d, plain ? std::chars_format::fixed : std::chars_format::scientific);
  std::string s(buf, result.ptr);
  if (plain) {
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
  }
  // "1e+16" -> "1e16", "1.5e-07" -> "1.5e-7"
  const size_t e = s.find('e');
  std::string exponent = s.substr(e + 1);
  const bool negative = exponent[0] == '-';
  exponent.erase(0, exponent[0] == '+' || exponent[0] == '-' ? 1 : 0);
  exponent.erase(0, std::min(exponent.find_first_not_of('0'), exponent.size() - 1));
  return s.substr(0, e) + "e" + (negative ? "-" : "") + exponent;
}

static void append_text(std::string& out, const ThriftValue& v) {
  auto seq = [&](const char* open, size_t step) {
    out += open;
    for (size_t i = 0; i < v.items.size(); i += step) {
      if (i) out += ", ";
      if (step == 2) {
        out += '(';
        append_text(out, v.items[i]);
        out += ", ";
        append_text(out, v.items[i + 1]);
        out += ')';
      } else {
        append_text(out, v.items[i]);
      }
    }
    out += "])";
  };
  switch (v.kind) {
    case ValueKind::Bool: out += v.b ? "Bool(true)" : "Bool(false)"; return;
    case ValueKind::Byte: out += "Byte(" + std::to_string(v.i8) + ")"; return;
    case ValueKind::I16: out += "I16(" + std::to_string(v.i16) + ")"; return;
    case ValueKind::I32: out += "I32(" + std::to_string(v.i32) + ")"; return;
    case ValueKind::I64: out += "I64(" + std::to_string(v.i64) + ")"; return;
    case ValueKind::Double: out += "Double(" + double_text(v.d) + ")"; return;
    case ValueKind::String: out += "String(" + quoted(v.bytes) + ")"; return;
    case ValueKind::Uuid: out += "Uuid(" + uuid_to_text(v.bytes) + ")"; return;
    case ValueKind::Binary: {
      out += "Binary([";
      for (size_t i = 0; i < v.bytes.size(); ++i) {
        if (i) out += ", ";
        out += std::to_string(static_cast<unsigned char>(v.bytes[i]));
      }
      out += "])";
      return;
    }
    case ValueKind::List: seq("List([", 1); return;
    case ValueKind::Set: seq("Set([", 1); return;
    case ValueKind::Map: seq("Map([", 2); return;
    case ValueKind::Struct: {
      out += "Struct { name: " + quoted(v.strukt->name) + ", fields: {";
      bool first = true;
      for (const auto& [n, fv] : v.strukt->fields) {
        out += first ? "" : ", ";
        first = false;
        out += quoted(n) + ": ";
        append_text(out, fv);
      }
      out += "} }";
      return;
    }
  }
}

std::string to_text(const ThriftValue& value) {
  std::string out;
  append_text(out, value);
  return out;
}

}  // namespace velvane
