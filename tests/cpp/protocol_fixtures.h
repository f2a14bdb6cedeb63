// Shared schema and byte helpers for the protocol tests.
#pragma once

#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>

#include "model/schema.h"
#include "protocol/codec.h"

namespace velvane::testing {

inline ThriftType T(TypeKind k) { return ThriftType::Scalar(k); }

inline ThriftField F(int16_t id, std::string name, ThriftType type) {
  ThriftField f;
  f.id = id;
  f.name = std::move(name);
  f.field_type = std::move(type);
  return f;
}

/// Inner {1: i32 x, 2: string s}
/// All {1: bool b, 2: byte y, 3: i16 h, 4: i32 i, 5: i64 l, 6: double d, 7: string s, 8: binary bin,
///      9: list<i32> li, 10: set<string> ss, 11: map<string,i32> m, 12: Inner inner,
///      13: list<Inner> items, 14: map<string,list<i64>> ml, 15: set<binary> sb, 16: map<i32,bool> mb}
/// Pair {1: i32 a, 2: bool flag}
/// Node {1: i32 v, 2: list<Node> kids, 3: Node next}
/// Holder {1: Missing m}  (Missing is not defined)
/// Defaults {1: string name, 2: i32 count = 5, 3: list<i32> xs}
/// Wide {2: i32 two, 10: i32 ten, 20: i32 twenty}
/// Flags {1: bool a, 2: bool b, 3: i32 c}
/// Keys {1: map<bool,i32> bk, 2: map<binary,i32> bink, 3: map<i64,string> lk, 4: map<double,i32> dk,
///       5: map<Inner,i32> sk}
inline std::shared_ptr<const Schema> test_schema() {
  using K = TypeKind;
  ThriftDocument doc;
  doc.structs["Inner"] = StructDef{"Inner", {F(1, "x", T(K::I32)), F(2, "s", T(K::String))}};
  doc.structs["All"] = StructDef{
      "All",
      {F(1, "b", T(K::Bool)), F(2, "y", T(K::Byte)), F(3, "h", T(K::I16)), F(4, "i", T(K::I32)),
       F(5, "l", T(K::I64)), F(6, "d", T(K::Double)), F(7, "s", T(K::String)), F(8, "bin", T(K::Binary)),
       F(9, "li", ThriftType::List(T(K::I32))), F(10, "ss", ThriftType::Set(T(K::String))),
       F(11, "m", ThriftType::Map(T(K::String), T(K::I32))), F(12, "inner", ThriftType::Struct("Inner")),
       F(13, "items", ThriftType::List(ThriftType::Struct("Inner"))),
       F(14, "ml", ThriftType::Map(T(K::String), ThriftType::List(T(K::I64)))),
       F(15, "sb", ThriftType::Set(T(K::Binary))), F(16, "mb", ThriftType::Map(T(K::I32), T(K::Bool)))}};
  doc.structs["Pair"] = StructDef{"Pair", {F(1, "a", T(K::I32)), F(2, "flag", T(K::Bool))}};
  doc.structs["Node"] = StructDef{
      "Node",
      {F(1, "v", T(K::I32)), F(2, "kids", ThriftType::List(ThriftType::Struct("Node"))),
       F(3, "next", ThriftType::Struct("Node"))}};
  doc.structs["Holder"] = StructDef{"Holder", {F(1, "m", ThriftType::Struct("Missing"))}};
  ThriftField count = F(2, "count", T(K::I32));
  count.default_value = ThriftValue::I32(5);
  doc.structs["Defaults"] =
      StructDef{"Defaults", {F(1, "name", T(K::String)), count, F(3, "xs", ThriftType::List(T(K::I32)))}};
  doc.structs["Wide"] =
      StructDef{"Wide", {F(2, "two", T(K::I32)), F(10, "ten", T(K::I32)), F(20, "twenty", T(K::I32))}};
  doc.structs["Flags"] = StructDef{"Flags", {F(1, "a", T(K::Bool)), F(2, "b", T(K::Bool)), F(3, "c", T(K::I32))}};
  doc.structs["Keys"] = StructDef{
      "Keys",
      {F(1, "bk", ThriftType::Map(T(K::Bool), T(K::I32))), F(2, "bink", ThriftType::Map(T(K::Binary), T(K::I32))),
       F(3, "lk", ThriftType::Map(T(K::I64), T(K::String))), F(4, "dk", ThriftType::Map(T(K::Double), T(K::I32))),
       F(5, "sk", ThriftType::Map(ThriftType::Struct("Inner"), T(K::I32)))}};
  return Schema::build(doc);
}

/// "15 0A 11 00" -> the bytes.
inline std::string bytes(std::string_view hex) {
  std::string out;
  unsigned value = 0;
  int digits = 0;
  for (char c : hex) {
    int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
    if (d < 0) continue;
    value = value * 16 + static_cast<unsigned>(d);
    if (++digits == 2) {
      out.push_back(static_cast<char>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

/// The bytes as "15 0A 11 00".
inline std::string hex(std::string_view data) {
  std::string out;
  char buf[4];
  for (unsigned char c : data) {
    std::snprintf(buf, sizeof buf, "%02X", c);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

/// A value of Inner.
inline ThriftValue inner(int32_t x, std::string s) {
  return ThriftValue::Struct("Inner", {{"x", ThriftValue::I32(x)}, {"s", ThriftValue::String(std::move(s))}});
}

/// A value of All with every field set.
inline StructValue full_all() {
  using V = ThriftValue;
  StructValue v;
  v.name = "All";
  v.set("b", V::Bool(true));
  v.set("y", V::Byte(-7));
  v.set("h", V::I16(-300));
  v.set("i", V::I32(123456));
  v.set("l", V::I64(-9000000000LL));
  v.set("d", V::Double(2.5));
  v.set("s", V::String("h\xC3\xA9llo \"q\"\n"));
  v.set("bin", V::Binary(std::string("\x00\xFF\x80 ab", 6)));
  v.set("li", V::List({V::I32(1), V::I32(-2), V::I32(3)}));
  v.set("ss", V::Set({V::String("x"), V::String("y")}));
  v.set("m", V::Map({V::String("a"), V::I32(1), V::String("b"), V::I32(2)}));
  v.set("inner", inner(7, "in"));
  v.set("items", V::List({inner(1, "one"), inner(2, "two")}));
  v.set("ml", V::Map({V::String("k"), V::List({V::I64(1), V::I64(1LL << 40)})}));
  v.set("sb", V::Set({V::Binary(std::string("\x01\x02", 2)), V::Binary("")}));
  v.set("mb", V::Map({V::I32(3), V::Bool(false), V::I32(-4), V::Bool(true)}));
  return v;
}

/// Writes a struct value as the serialize API does: struct_begin, its fields, struct_end, finish.
template <class W>
std::string encode(const StructValue& value, const Schema& schema) {
  std::string out;
  W w(out);
  ThriftValue wrapped;
  wrapped.kind = ValueKind::Struct;
  wrapped.strukt = value;
  Status st = write_value(w, wrapped, schema);
  if (st) st = w.finish();
  if (!st) return "write failed: " + st.error().text;
  return out;
}

/// The value of a field, or a Bool(false) stand-in that fails comparisons loudly in messages.
inline std::string field_text(const StructValue& v, std::string_view name) {
  const ThriftValue* f = v.find(name);
  return f ? to_text(*f) : "<absent>";
}

inline bool same_struct(const StructValue& a, const StructValue& b) {
  ThriftValue x, y;
  x.kind = y.kind = ValueKind::Struct;
  x.strukt = a;
  y.strukt = b;
  return x == y;
}

inline std::string struct_text(const StructValue& v) {
  ThriftValue x;
  x.kind = ValueKind::Struct;
  x.strukt = v;
  return to_text(x);
}

}  // namespace velvane::testing
