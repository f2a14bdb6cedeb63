// The fixed schema the protocol fuzz targets read against, and the checks they share.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "model/schema.h"
#include "protocol/codec.h"

namespace velvane::fuzzing {

inline ThriftField field(int16_t id, std::string name, ThriftType type) {
  ThriftField f;
  f.id = id;
  f.name = std::move(name);
  f.field_type = std::move(type);
  return f;
}

/// Leaf {1: i32 n, 2: string s}
/// Tree {1: bool b, 2: byte y, 3: i16 h, 4: i32 i, 5: i64 l, 6: double d, 7: string s, 8: binary bin,
///       9: Leaf leaf, 10: list<Leaf> leaves, 11: map<string,list<i64>> ml, 12: set<binary> sb,
///       13: Tree child, 14: list<Tree> children, 15: map<i32,Tree> by_id, 16: map<bool,double> flags,
///       17: list<list<set<i16>>> nested, 300: string far = "x"}
inline const Schema& fuzz_schema() {
  static const std::shared_ptr<const Schema> schema = [] {
    auto t = [](TypeKind k) { return ThriftType::Scalar(k); };
    using K = TypeKind;
    ThriftDocument doc;
    doc.structs["Leaf"] = StructDef{"Leaf", {field(1, "n", t(K::I32)), field(2, "s", t(K::String))}};
    ThriftField far = field(300, "far", t(K::String));
    far.default_value = ThriftValue::String("x");
    doc.structs["Tree"] = StructDef{
        "Tree",
        {field(1, "b", t(K::Bool)), field(2, "y", t(K::Byte)), field(3, "h", t(K::I16)), field(4, "i", t(K::I32)),
         field(5, "l", t(K::I64)), field(6, "d", t(K::Double)), field(7, "s", t(K::String)),
         field(8, "bin", t(K::Binary)), field(9, "leaf", ThriftType::Struct("Leaf")),
         field(10, "leaves", ThriftType::List(ThriftType::Struct("Leaf"))),
         field(11, "ml", ThriftType::Map(t(K::String), ThriftType::List(t(K::I64)))),
         field(12, "sb", ThriftType::Set(t(K::Binary))), field(13, "child", ThriftType::Struct("Tree")),
         field(14, "children", ThriftType::List(ThriftType::Struct("Tree"))),
         field(15, "by_id", ThriftType::Map(t(K::I32), ThriftType::Struct("Tree"))),
         field(16, "flags", ThriftType::Map(t(K::Bool), t(K::Double))),
         field(17, "nested", ThriftType::List(ThriftType::List(ThriftType::Set(t(K::I16))))), far}};
    return Schema::build(doc);
  }();
  return *schema;
}

inline const StructDef& tree_def() { return *fuzz_schema().find("Tree"); }

[[noreturn]] inline void fuzz_failure(const char* what, const std::string& detail) {
  std::fprintf(stderr, "%s: %s\n", what, detail.c_str());
  std::abort();
}

template <class W>
std::string encode_struct(const StructValue& value) {
  std::string out;
  W w(out);
  ThriftValue wrapped;
  wrapped.kind = ValueKind::Struct;
  wrapped.strukt = value;
  Status st = write_value(w, wrapped, fuzz_schema());
  if (!st) fuzz_failure("write_value failed on a value the reader produced", st.error().text);
  if (Status done = w.finish(); !done) fuzz_failure("finish failed on a value the reader produced", done.error().text);
  return out;
}

inline bool same(const StructValue& a, const StructValue& b) {
  ThriftValue x, y;
  x.kind = y.kind = ValueKind::Struct;
  x.strukt = a;
  y.strukt = b;
  return x == y;
}

/// What a wire reader accepted must write back and read back to the same value.
template <class W>
void check_wire_round_trip(Protocol protocol, const StructValue& first) {
  const std::string again = encode_struct<W>(first);
  auto second = read_struct(protocol, again, tree_def(), fuzz_schema());
  if (!second) fuzz_failure("re-reading written bytes failed", second.error().text);
  if (!same(first, second.value())) fuzz_failure("round trip changed the value", "");
}

}  // namespace velvane::fuzzing
