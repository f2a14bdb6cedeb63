// Binary protocol: encodings, stored-value writing, struct reading, skipping and hostile input.
#include <gtest/gtest.h>

#include <cmath>

#include "protocol/utf8.h"
#include "protocol_fixtures.h"

namespace velvane {
namespace {

using namespace velvane::testing;

class BinaryTest : public ::testing::Test {
 protected:
  std::shared_ptr<const Schema> schema = test_schema();
  const StructDef& def(std::string_view name) { return *schema->find(name); }

  Result<StructValue> read(std::string_view name, std::string_view hex_input) {
    return read_struct(Protocol::Binary, bytes(hex_input), def(name), *schema);
  }
  std::string read_error(std::string_view name, std::string_view hex_input) {
    auto r = read(name, hex_input);
    if (r) return "<no error>";
    return r.error().text;
  }
};

TEST_F(BinaryTest, WriterEncodings) {
  std::string out;
  BinaryWriter w(out);
  w.field_begin(8, 1);
  w.write_i32(-2);
  w.write_i16(0x1234);
  w.write_i64(1);
  w.write_double(1.0);
  w.write_string("ab");
  w.list_begin(11, 2);
  w.map_begin(11, 8, 1);
  w.write_bool(true);
  w.write_bool(false);
  w.write_byte(-1);
  w.struct_end();
  EXPECT_EQ(hex(out),
            "08 00 01 FF FF FF FE 12 34 00 00 00 00 00 00 00 01 3F F0 00 00 00 00 00 00 "
            "00 00 00 02 61 62 0B 00 00 00 02 0B 08 00 00 00 01 01 00 FF 00");
}

TEST_F(BinaryTest, EmptyStructAndEmptyStoredContainers) {
  EXPECT_EQ(hex(encode<BinaryWriter>(StructValue{"Pair", {}}, *schema)), "00");

  StructValue v{"All", {}};
  v.set("ss", ThriftValue::Set({}));
  v.set("m", ThriftValue::Map({}));
  // An empty stored set has element type 11 and count 0; an empty map key and value type 11.
  EXPECT_EQ(hex(encode<BinaryWriter>(v, *schema)), "0E 00 0A 0B 00 00 00 00 0D 00 0B 0B 0B 00 00 00 00 00");
}

TEST_F(BinaryTest, StoredStructWritesInDeclarationOrderWithValueWireIds) {
  // Fields held out of order, one of them under a variant other than the declared type.
  StructValue v{"Pair", {}};
  v.set("flag", ThriftValue::Bool(true));
  v.set("a", ThriftValue::I64(3));
  v.set("not_a_field", ThriftValue::I32(9));
  EXPECT_EQ(hex(encode<BinaryWriter>(v, *schema)), "0A 00 01 00 00 00 00 00 00 00 03 02 00 02 01 00");
}

TEST_F(BinaryTest, StoredValueErrors) {
  std::string out;
  BinaryWriter w(out);
  Status missing = write_value(w, ThriftValue::Struct("Nope"), *schema);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().text, "Unknown struct in schema: Nope");

  ThriftValue deep = ThriftValue::List({});
  for (int i = 0; i < kMaxDepth; ++i) deep = ThriftValue::List({std::move(deep)});
  // A header carries one type id for all items: a stored container mixing types is refused.
  for (const ThriftValue& mixed : {ThriftValue::List({ThriftValue::I32(1), ThriftValue::String("a")}),
                                   ThriftValue::Map({ThriftValue::I32(1), ThriftValue::I32(2), ThriftValue::I32(3),
                                                     ThriftValue::Bool(true)})}) {
    Status refused = write_value(w, mixed, *schema);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().text, "Stored container holds values of more than one type");
  }

  Status too_deep = write_value(w, deep, *schema);
  ASSERT_FALSE(too_deep);
  EXPECT_EQ(too_deep.error().text, "Depth limit exceeded");
  EXPECT_EQ(too_deep.error().kind, ErrorKind::DepthLimit);
}

TEST_F(BinaryTest, RoundTripEveryType) {
  const StructValue all = full_all();
  const std::string wire = encode<BinaryWriter>(all, *schema);
  auto back = read_struct(Protocol::Binary, wire, def("All"), *schema);
  ASSERT_TRUE(back) << back.error().text;
  EXPECT_TRUE(same_struct(back.value(), all)) << struct_text(back.value());
  EXPECT_EQ(back.value().name, "All");
}

TEST_F(BinaryTest, RoundTripSpecialDoubles) {
  for (double d : {0.0, -0.0, 1e308, -5e-324, double(INFINITY), -double(INFINITY), double(NAN)}) {
    StructValue v{"All", {}};
    v.set("d", ThriftValue::Double(d));
    auto back = read_struct(Protocol::Binary, encode<BinaryWriter>(v, *schema), def("All"), *schema);
    ASSERT_TRUE(back);
    const double got = back.value().find("d")->d;
    EXPECT_EQ(std::signbit(got), std::signbit(d));
    EXPECT_TRUE(got == d || (std::isnan(got) && std::isnan(d)));
  }
}

TEST_F(BinaryTest, ReadsByDeclaredTypeAndSkipsUnknownFields) {
  // Field 9 (unknown to Pair) holds a list of strings that are not UTF-8, field 7 a struct with a
  // nested map; field 1 carries wire type i64 (0A) but is read as the declared i32.
  auto r = read("Pair",
                "0F 00 09 0B 00 00 00 02 00 00 00 01 FF 00 00 00 00 "
                "0C 00 07 0D 00 01 08 02 00 00 00 01 00 00 00 05 01 00 "
                "0A 00 01 00 00 00 2A "
                "02 00 02 07 00 FF");
  ASSERT_TRUE(r) << r.error().text;
  EXPECT_EQ(field_text(r.value(), "a"), "I32(42)");
  EXPECT_EQ(field_text(r.value(), "flag"), "Bool(true)");  // any non-zero byte is true
}

TEST_F(BinaryTest, LaterDuplicateIdReplacesEarlierValue) {
  auto r = read("Pair", "08 00 01 00 00 00 01 08 00 01 00 00 00 02 00");
  ASSERT_TRUE(r);
  EXPECT_EQ(r.value().fields.size(), 1u);
  EXPECT_EQ(field_text(r.value(), "a"), "I32(2)");
}

TEST_F(BinaryTest, UnknownBinaryFieldIsSkippedWithoutUtf8CheckButDeclaredStringIsChecked) {
  ASSERT_TRUE(read("Inner", "0B 00 09 00 00 00 02 C3 28 00"));
  EXPECT_EQ(read_error("Inner", "0B 00 02 00 00 00 02 C3 28 00"),
            "IO error: invalid utf-8 sequence of 1 bytes from index 0");
}

struct ErrorCase {
  const char* schema_struct;
  const char* input;
  const char* text;
};

class BinaryReadErrors : public BinaryTest, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(BinaryReadErrors, Text) {
  const ErrorCase& c = GetParam();
  EXPECT_EQ(read_error(c.schema_struct, c.input), c.text) << c.input;
}

INSTANTIATE_TEST_SUITE_P(
    Binary, BinaryReadErrors,
    ::testing::Values(
        ErrorCase{"Pair", "", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "08 00 01", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "08 00", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "08 00 01 00 00 00 01", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "05 00 01", "Invalid type: 5"},
        ErrorCase{"Pair", "10 00 01", "Invalid type: 16"},
        ErrorCase{"All", "0F 00 09 05 00 00 00 01 00", "Invalid field type"},
        ErrorCase{"All", "0D 00 0B 0B 07 00 00 00 00 00", "Invalid field type"},
        ErrorCase{"Holder", "0C 00 01 00 00", "Unknown struct type: Missing"},
        ErrorCase{"Inner", "0B 00 02 00 00 00 02 E2 82 00", "IO error: incomplete utf-8 byte sequence from index 0"},
        ErrorCase{"Inner", "0B 00 02 00 00 00 03 61 ED A0 00", "IO error: invalid utf-8 sequence of 1 bytes from index 1"},
        ErrorCase{"Inner", "0B 00 02 FF FF FF FB 00", "Negative length: -5"},
        ErrorCase{"All", "0F 00 09 08 FF FF FF FF 00", "Negative size: -1"},
        ErrorCase{"All", "0D 00 0B 0B 08 80 00 00 00 00", "Negative size: -2147483648"},
        // Size bombs: a 2 GB string, a 2^31-1 element list, a huge map of empty keys; all fail
        // before anything is allocated.
        ErrorCase{"Inner", "0B 00 02 7F FF FF FF 61 62 63 00", "IO error: failed to fill whole buffer"},
        ErrorCase{"All", "0F 00 09 08 7F FF FF FF 00 00 00 01 00 00 00 02 00", "IO error: failed to fill whole buffer"},
        ErrorCase{"All", "0D 00 0B 0B 08 7F FF FF FF 00 00 00 00 00 00 00 00", "IO error: failed to fill whole buffer"},
        // Skipping: an unknown field of a bad type inside an unknown struct, a bad element type.
        ErrorCase{"Pair", "0C 00 09 07 00 01 00", "Invalid type: 7"},
        ErrorCase{"Pair", "0E 00 09 09 00 00 00 01 00", "Invalid field type"},
        ErrorCase{"Pair", "0F 00 09 08 7F FF FF FF 00", "IO error: failed to fill whole buffer"},
        ErrorCase{"Pair", "0B 00 09 80 00 00 00 00", "Negative length: -2147483648"}));

TEST_F(BinaryTest, ErrorKindsSayWhatWentWrong) {
  const std::pair<const char*, ErrorKind> cases[] = {
      {"08 00 01", ErrorKind::EndOfInput},
      {"05 00 01", ErrorKind::InvalidData},
      {"0B 00 09 80 00 00 00 00", ErrorKind::NegativeSize},
      {"0C 00 09 0C 00 09 0C 00 09", ErrorKind::EndOfInput},
  };
  for (const auto& [input, kind] : cases) {
    auto r = read("Pair", input);
    ASSERT_FALSE(r) << input;
    EXPECT_EQ(r.error().kind, kind) << input;
  }
  auto unknown = read("Holder", "0C 00 01 00 00");
  ASSERT_FALSE(unknown);
  EXPECT_EQ(unknown.error().kind, ErrorKind::UnknownStruct);
  std::string deep;
  for (int i = 0; i < kMaxDepth; ++i) deep += "0C 00 09 ";
  auto too_deep = read("Pair", deep);
  ASSERT_FALSE(too_deep);
  EXPECT_EQ(too_deep.error().kind, ErrorKind::DepthLimit);
}

TEST_F(BinaryTest, SkippingTreatsNonPositiveCountsAsEmpty) {
  ASSERT_TRUE(read("Pair", "0F 00 09 08 FF FF FF FF 0D 00 08 0B 0B 80 00 00 00 00"));
  // Elements of type void or stop occupy no bytes, so a huge count of them is skipped at once.
  ASSERT_TRUE(read("Pair", "0F 00 09 01 7F FF FF FF 00"));
}

/// `levels` Node structs nested through field 3, innermost first closed.
std::string nested_nodes(int levels) {
  std::string out;
  for (int i = 1; i < levels; ++i) out += bytes("0C 00 03");
  out.append(static_cast<size_t>(levels), '\0');
  return out;
}

TEST_F(BinaryTest, DepthLimit) {
  EXPECT_TRUE(read_struct(Protocol::Binary, nested_nodes(kMaxDepth), def("Node"), *schema));
  auto deep = read_struct(Protocol::Binary, nested_nodes(kMaxDepth + 1), def("Node"), *schema);
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().text, "Depth limit exceeded");

  // The same through unknown fields (skipped) and through lists: never a stack overflow.
  std::string skipped;
  for (int i = 0; i < 100000; ++i) skipped += bytes("0C 00 09");
  auto r = read_struct(Protocol::Binary, skipped, def("Pair"), *schema);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text, "Depth limit exceeded");

  std::string lists = bytes("0F 00 09");
  for (int i = 0; i < 100000; ++i) lists += bytes("0F 00 00 00 01");
  r = read_struct(Protocol::Binary, lists, def("Pair"), *schema);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().text, "Depth limit exceeded");
}

TEST_F(BinaryTest, FieldStorageIsBoundedByTheInputNotTheDefinition) {
  // A wide struct read from a few bytes: its field storage must not be sized by the declaration,
  // or a list of such structs would allocate far more than the input's size.
  StructDef wide{"Wide200", {}};
  for (int16_t id = 1; id <= 200; ++id) wide.fields.push_back(F(id, std::string("f").append(std::to_string(id)), T(TypeKind::Byte)));
  auto r = read_struct(Protocol::Binary, bytes("03 00 01 05 00"), wide, *schema);
  ASSERT_TRUE(r);
  EXPECT_EQ(field_text(r.value(), "f1"), "Byte(5)");
  EXPECT_LE(r.value().fields.capacity(), 2u);
}

TEST_F(BinaryTest, BytesAfterStopAreIgnored) {
  auto r = read("Pair", "08 00 01 00 00 00 09 00 FF FF FF");
  ASSERT_TRUE(r);
  EXPECT_EQ(field_text(r.value(), "a"), "I32(9)");
}

struct Utf8Case {
  const char* hex_input;
  const char* text;  // empty: valid
};

class BinaryUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(BinaryUtf8, ErrorText) {
  EXPECT_EQ(utf8_error_text(bytes(GetParam().hex_input)), GetParam().text) << GetParam().hex_input;
}

INSTANTIATE_TEST_SUITE_P(
    Binary, BinaryUtf8,
    ::testing::Values(Utf8Case{"", ""}, Utf8Case{"61 62 63 64 65 66 67 68 69", ""},
                      Utf8Case{"C3 A9 E2 82 AC F0 9F 98 80 F4 8F BF BF", ""},
                      Utf8Case{"61 62 63 64 65 66 67 68 80", "invalid utf-8 sequence of 1 bytes from index 8"},
                      Utf8Case{"C0 80", "invalid utf-8 sequence of 1 bytes from index 0"},
                      Utf8Case{"E0 80 80", "invalid utf-8 sequence of 1 bytes from index 0"},
                      Utf8Case{"E2 28 A1", "invalid utf-8 sequence of 1 bytes from index 0"},
                      Utf8Case{"E2 82 28", "invalid utf-8 sequence of 2 bytes from index 0"},
                      Utf8Case{"61 F0 9F 98 28", "invalid utf-8 sequence of 3 bytes from index 1"},
                      Utf8Case{"ED A0 80", "invalid utf-8 sequence of 1 bytes from index 0"},
                      Utf8Case{"F4 90 80 80", "invalid utf-8 sequence of 1 bytes from index 0"},
                      Utf8Case{"F5", "invalid utf-8 sequence of 1 bytes from index 0"},
                      Utf8Case{"61 F0 9F 98", "incomplete utf-8 byte sequence from index 1"},
                      Utf8Case{"C3", "incomplete utf-8 byte sequence from index 0"}));

TEST(BinaryUtf8Lossy, ReplacesInvalidSequences) {
  EXPECT_EQ(utf8_lossy(bytes("61 FF 62 E2 82")), "a\xEF\xBF\xBD" "b\xEF\xBF\xBD");
  EXPECT_EQ(utf8_lossy("ok"), "ok");
}

}  // namespace
}  // namespace velvane
