// Compact protocol: the encodings of its own tables, field headers, bool folding, reading and
// hostile input.
#include <gtest/gtest.h>

#include "protocol_fixtures.h"

namespace velvane {
namespace {

using namespace velvane::testing;

class CompactTest : public ::testing::Test {
 protected:
  std::shared_ptr<const Schema> schema = test_schema();
  const StructDef& def(std::string_view name) { return *schema->find(name); }

  Result<StructValue> read(std::string_view name, std::string_view hex_input) {
    return read_struct(Protocol::Compact, bytes(hex_input), def(name), *schema);
  }
  std::string read_error(std::string_view name, std::string_view hex_input) {
    auto r = read(name, hex_input);
    if (r) return "<no error>";
    return r.error().text;
  }
};

TEST_F(CompactTest, StructWithBoolFoldedIntoHeader) {
  StructValue v{"Pair", {}};
  v.set("a", ThriftValue::I32(5));
  v.set("flag", ThriftValue::Bool(true));
  EXPECT_EQ(hex(encode<CompactWriter>(v, *schema)), "15 0A 11 00");
  v.set("flag", ThriftValue::Bool(false));
  EXPECT_EQ(hex(encode<CompactWriter>(v, *schema)), "15 0A 12 00");
}

TEST_F(CompactTest, LongFormFieldHeaderIsTwoBigEndianBytes) {
  std::string out;
  CompactWriter w(out);
  w.struct_begin();
  w.field_begin(8, 1);
  w.write_i32(0);
  w.field_begin(8, 20);
  w.write_i32(0);
  w.field_begin(2, 3);  // a smaller id than the last: long form too, bool folded
  w.write_bool(true);
  w.field_begin(8, -1);
  w.write_i32(0);
  w.struct_end();
  EXPECT_EQ(hex(out), "15 00 05 00 14 00 01 00 03 05 FF FF 00 00");
}

struct ValueCase {
  const char* name;
  ThriftValue value;
  const char* hex_prefix;
};

class CompactValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(CompactValues, Encoding) {
  const auto schema = test_schema();
  std::string out;
  CompactWriter w(out);
  ASSERT_TRUE(write_value(w, GetParam().value, *schema));
  const std::string expected = GetParam().hex_prefix;
  EXPECT_EQ(hex(out).substr(0, expected.size()), expected);
}

std::vector<ThriftValue> fifteen_i32() { return std::vector<ThriftValue>(15, ThriftValue::I32(1)); }

INSTANTIATE_TEST_SUITE_P(
    Compact, CompactValues,
    ::testing::Values(ValueCase{"i32_minus_one", ThriftValue::I32(-1), "01"},
                      ValueCase{"i32_min", ThriftValue::I32(INT32_MIN), "FF FF FF FF 0F"},
                      ValueCase{"i16_minus_two", ThriftValue::I16(-2), "03"},
                      ValueCase{"i64_300", ThriftValue::I64(300), "D8 04"},
                      ValueCase{"i64_min", ThriftValue::I64(INT64_MIN), "FF FF FF FF FF FF FF FF FF 01"},
                      ValueCase{"string_abc", ThriftValue::String("abc"), "06 61 62 63"},
                      ValueCase{"double_one", ThriftValue::Double(1.0), "3F F0 00 00 00 00 00 00"},
                      ValueCase{"list_of_15", ThriftValue::List(fifteen_i32()), "F5 1E 02"},
                      ValueCase{"list_of_14", ThriftValue::List(std::vector<ThriftValue>(14, ThriftValue::I32(1))), "E5 02"},
                      ValueCase{"bool_elements", ThriftValue::List({ThriftValue::Bool(true), ThriftValue::Bool(false)}), "21 01 02"},
                      ValueCase{"empty_list", ThriftValue::List({}), "08"},
                      ValueCase{"empty_map", ThriftValue::Map({}), "00"},
                      ValueCase{"map_string_i32", ThriftValue::Map({ThriftValue::String("a"), ThriftValue::I32(1)}), "02 85 02 61 02"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CompactTest, NestedStructRestoresTheEnclosingLastId) {
  std::string out;
  CompactWriter w(out);
  w.struct_begin();
  w.field_begin(12, 5);
  w.struct_begin();
  w.field_begin(8, 1);
  w.write_i32(1);
  w.field_end();
  w.struct_end();
  w.field_end();
  w.field_begin(8, 6);
  w.write_i32(2);
  w.struct_end();
  EXPECT_EQ(hex(out), "5C 15 02 00 15 04 00");
}

TEST_F(CompactTest, EmptyStoredContainers) {
  StructValue v{"All", {}};
  v.set("li", ThriftValue::List({}));
  v.set("m", ThriftValue::Map({}));
  EXPECT_EQ(hex(encode<CompactWriter>(v, *schema)), "99 08 2B 00 00");
}

TEST_F(CompactTest, RoundTripEveryType) {
  const StructValue all = full_all();
  auto back = read_struct(Protocol::Compact, encode<CompactWriter>(all, *schema), def("All"), *schema);
  ASSERT_TRUE(back) << back.error().text;
  EXPECT_TRUE(same_struct(back.value(), all)) << struct_text(back.value());
}

TEST_F(CompactTest, RoundTripFieldIdsNeedingLongHeaders) {
  StructValue v{"Wide", {}};
  v.set("twenty", ThriftValue::I32(20));
  v.set("two", ThriftValue::I32(2));
  v.set("ten", ThriftValue::I32(-10));
  auto back = read_struct(Protocol::Compact, encode<CompactWriter>(v, *schema), def("Wide"), *schema);
  ASSERT_TRUE(back);
  EXPECT_TRUE(same_struct(back.value(), v)) << struct_text(back.value());
}

TEST_F(CompactTest, BoolElementsReadOneAsTrueAndEverythingElseAsFalse) {
  // map<i32,bool>, field 16 in long form: {3: 1, -4: 2, 5: 3}
  auto r = read("All", "0B 00 10 06 51 06 01 07 02 0A 03 00");
  ASSERT_TRUE(r) << r.error().text;
  EXPECT_EQ(field_text(r.value(), "mb"),
            "Map([(I32(3), Bool(true)), (I32(-4), Bool(false)), (I32(5), Bool(false))])");
}

TEST_F(CompactTest, FieldsAreReadByTheirDeclaredType) {
  // Field 1 is a declared bool carried with a byte header: one value byte, 1 meaning true.
  auto r = read("Flags", "13 01 03 00 01 05 00");
  ASSERT_TRUE(r);
  EXPECT_EQ(field_text(r.value(), "a"), "Bool(false)");  // the later duplicate wins
  r = read("Flags", "13 01 00");
  ASSERT_TRUE(r);
  EXPECT_EQ(field_text(r.value(), "a"), "Bool(true)");
  // Field 3 is a declared i32 whose header says bool: the value is still read from the bytes.
  r = read("Flags", "31 04 00");
  ASSERT_TRUE(r);
  EXPECT_EQ(field_text(r.value(), "c"), "I32(2)");
}

TEST_F(CompactTest, UnknownFieldsAreSkipped) {
  // Unknown ids 5 (bool in header), 9 (non-UTF-8 string), 10 (list<struct>), 11 (map<i64,double>),
  // 12 (i64), then field 1 again through the delta from 12 in long form.
  auto r = read("Pair",
                "51 48 04 C3 28 1A 2C 15 02 00 00 1B 02 67 02 3F F0 00 00 00 00 00 00 "
                "16 FF FF FF FF FF FF FF FF FF 01 05 00 01 0E 00");
  ASSERT_TRUE(r) << r.error().text;
  EXPECT_EQ(field_text(r.value(), "a"), "I32(7)");
  EXPECT_EQ(read_error("Inner", "28 04 C3 28 00"), "IO error: invalid utf-8 sequence of 1 bytes from index 0");
}

struct ErrorCase {
  const char* schema_struct;
  const char* input;
  const char* text;
};

class CompactReadErrors : public CompactTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(CompactReadErrors, Text) {
  EXPECT_EQ(read_error(GetParam().schema_struct, GetParam().input), GetParam().text) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Compact, CompactReadErrors,
    ::testing::Values(
        ErrorCase{"Pair", "", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "15", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "15 80", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "05 00", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "1D", "Invalid field type"},
        ErrorCase{"Pair", "1F", "Invalid field type"},
        ErrorCase{"All", "99 1D", "Invalid field type"},
        ErrorCase{"All", "BB 02 D5", "Invalid field type"},
        ErrorCase{"All", "BB 02 5D", "Invalid field type"},
        ErrorCase{"Holder", "1C 00", "Unknown struct type: Missing"},
        ErrorCase{"Pair", "15 FF FF FF FF FF 01 00", "Variable-length integer is too long"},
        ErrorCase{"All", "56 FF FF FF FF FF FF FF FF FF FF 01 00", "Variable-length integer is too long"},
        ErrorCase{"Inner", "28 09 61", "Negative length: -5"},
        ErrorCase{"All", "99 F5 01", "Negative size: -1"},
        ErrorCase{"All", "BB 03", "Negative size: -2"},
        ErrorCase{"Inner", "28 FE FF FF FF 0F 61 62", "IO error: failed to fill whole buffer"},
        ErrorCase{"All", "99 F5 FE FF FF FF 0F 02 02 02", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "99 E7 00 00 00 00 00 00 00 00", "IO error: failed to fill whole buffer"},
        ErrorCase{"All", "BB FE FF FF FF 0F 88 00 00", "IO error: failed to fill whole buffer"},
        ErrorCase{"Inner", "28 06 61 E2 82", "IO error: incomplete utf-8 byte sequence from index 1"},
        // While skipping unknown fields.
        ErrorCase{"Pair", "9C 1D", "Invalid field type"},
        ErrorCase{"Pair", "99 F8 01", "Negative size: -1"},
        ErrorCase{"Pair", "98 FE FF FF FF 0F", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "99 F5 FE FF FF FF 0F 00", "IO error: failed to fill whole buffer"}));

TEST_F(CompactTest, DepthLimit) {
  auto nested = [](int levels) {
    std::string out(static_cast<size_t>(levels - 1), '\x3C');
    out.append(static_cast<size_t>(levels), '\0');
    return out;
  };
  EXPECT_TRUE(read_struct(Protocol::Compact, nested(kMaxDepth), def("Node"), *schema));
  auto r = read_struct(Protocol::Compact, nested(kMaxDepth + 1), def("Node"), *schema);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text, "Depth limit exceeded");
  // Unknown nested lists, skipped: bounded too.
  std::string lists = bytes("99");
  for (int i = 0; i < 100000; ++i) lists += bytes("19");
  r = read_struct(Protocol::Compact, lists, def("Pair"), *schema);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text, "Depth limit exceeded");
}

}  // namespace
}  // namespace velvane
