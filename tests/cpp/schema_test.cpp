// Schema records: type text forms and the struct registry's include aliases.
#include <gtest/gtest.h>

#include "model/schema.h"

namespace velvane {
namespace {

TEST(ThriftTypeText, NestedContainers) {
  auto t = ThriftType::Map(ThriftType::Scalar(TypeKind::String), ThriftType::List(ThriftType::Struct("Item")));
  EXPECT_EQ(to_text(t), "Map(String, List(Struct(\"Item\")))");
  EXPECT_EQ(to_text(ThriftType::Set(ThriftType::Scalar(TypeKind::Binary))), "Set(Binary)");
  EXPECT_EQ(to_text(ThriftType::Struct("void")), "Struct(\"void\")");
  EXPECT_TRUE(ThriftType::Struct("void").is_void());
}

TEST(ThriftTypeText, WireIds) {
  EXPECT_EQ(wire_type_id(ThriftType::Scalar(TypeKind::Double)), 4);
  EXPECT_EQ(wire_type_id(ThriftType::Scalar(TypeKind::Binary)), 11);
  EXPECT_EQ(wire_type_id(ThriftType::List(ThriftType::Scalar(TypeKind::I32))), 15);
  EXPECT_EQ(wire_type_id(ThriftType::Struct("S")), 12);
}

TEST(SchemaRegistry, IncludePrefixAliases) {
  ThriftDocument doc;
  doc.includes = {"idl/shared.thrift", "other"};
  doc.structs["Point"] = StructDef{"Point", {}};
  auto schema = Schema::build(doc);
  ASSERT_NE(schema->find("Point"), nullptr);
  ASSERT_NE(schema->find("shared.Point"), nullptr);
  ASSERT_NE(schema->find("other.Point"), nullptr);
  EXPECT_EQ(schema->find("idl.Point"), nullptr);
  EXPECT_EQ(schema->find("shared.Point"), schema->find("Point"));
  EXPECT_EQ(schema->find("shared.Point")->name, "Point");
}

TEST(SchemaRegistry, OwnNamesWinAndDottedPrefixesResolve) {
  ThriftDocument doc;
  doc.includes = {"a.b.thrift", "shared"};
  doc.structs["C"] = StructDef{"C", {}};
  doc.structs["shared.C"] = StructDef{"shared.C", {}};
  auto schema = Schema::build(doc);
  EXPECT_EQ(schema->find("shared.C")->name, "shared.C");
  EXPECT_EQ(schema->find("a.b.C")->name, "C");
  EXPECT_EQ(schema->find("a.C"), nullptr);
  EXPECT_EQ(schema->find("shared.shared.C")->name, "shared.C");
}

TEST(SchemaRegistry, GrowsWithStructsNotIncludes) {
  auto doc = std::make_shared<ThriftDocument>();
  for (int i = 0; i < 2000; ++i) {
    const std::string n = std::to_string(i);
    doc->includes.push_back(std::string("inc").append(n).append(".thrift"));
    const std::string name = std::string("S").append(n);
    doc->structs[name] = StructDef{name, {}};
  }
  auto schema = Schema::build(doc);
  EXPECT_EQ(schema->structs().size(), 2000u);
  EXPECT_EQ(schema->find("inc1999.S7"), &doc->structs.at("S7"));
}

TEST(ValueText, Forms) {
  EXPECT_EQ(to_text(ThriftValue::Double(2)), "Double(2.0)");
  EXPECT_EQ(to_text(ThriftValue::Double(-0.0)), "Double(-0.0)");
  EXPECT_EQ(to_text(ThriftValue::Double(0.1)), "Double(0.1)");
  EXPECT_EQ(to_text(ThriftValue::Double(1e15)), "Double(1000000000000000.0)");
  EXPECT_EQ(to_text(ThriftValue::Double(1e16)), "Double(1e16)");
  EXPECT_EQ(to_text(ThriftValue::Double(1.5e-7)), "Double(1.5e-7)");
  EXPECT_EQ(to_text(ThriftValue::Double(-2.5e300)), "Double(-2.5e300)");
  EXPECT_EQ(to_text(ThriftValue::Binary("hi")), "Binary([104, 105])");
  EXPECT_EQ(to_text(ThriftValue::Map({ThriftValue::String("a"), ThriftValue::I32(1)})),
            "Map([(String(\"a\"), I32(1))])");
  EXPECT_EQ(to_text(ThriftValue::Struct("P")), "Struct { name: \"P\", fields: {} }");
  EXPECT_EQ(to_text(ThriftValue::List({ThriftValue::I32(1), ThriftValue::I32(2)})), "List([I32(1), I32(2)])");
}

TEST(ValueText, EscapesForJsonAndForReprs) {
  const std::string text = std::string("a\"\\\n\r\t\b\f", 8) + std::string("\0\x1f\x7f\xc3\xa9", 5);
  std::string json;
  append_escaped(json, text, EscapeStyle::Json);
  EXPECT_EQ(json, "a\\\"\\\\\\n\\r\\t\\b\\f\\u0000\\u001f\x7f\xc3\xa9");
  EXPECT_EQ(velvane::quoted(text), "\"a\\\"\\\\\\n\\r\\t\\u{8}\\u{c}\\0\\u{1f}\\u{7f}\xc3\xa9\"");
}

}  // namespace
}  // namespace velvane
