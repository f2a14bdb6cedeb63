// JSON protocol: the tagged layout written, the id-keyed and payload forms read, Base64.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>

#include "protocol/base64.h"
#include "protocol_fixtures.h"

namespace velvane {
namespace {

using namespace velvane::testing;
using V = ThriftValue;

class JsonTest : public ::testing::Test {
 protected:
  std::shared_ptr<const Schema> schema = test_schema();
  const StructDef& def(std::string_view name) { return *schema->find(name); }

  std::string write(std::string_view name, std::vector<std::pair<std::string, ThriftValue>> fields) {
    return encode<JsonWriter>(StructValue{std::string(name), std::move(fields)}, *schema);
  }
  Result<StructValue> read(std::string_view name, std::string_view text) {
    return read_json_document(text, def(name), *schema);
  }
  std::string read_field(std::string_view name, std::string_view text, std::string_view field) {
    auto r = read(name, text);
    if (!r) return "error: " + r.error().text;
    return field_text(r.value(), field);
  }
  std::string read_error(std::string_view name, std::string_view text, ErrorKind kind) {
    auto r = read(name, text);
    if (r) return "<no error>";
    EXPECT_EQ(r.error().kind, kind) << r.error().text;
    return r.error().text;
  }
};

TEST_F(JsonTest, TaggedLayout) {
  EXPECT_EQ(write("Inner", {{"x", V::I32(5)}, {"s", V::String("ab")}}), R"({"1":["i32",5],"2":["str","ab"]})");
  EXPECT_EQ(write("All", {{"l", V::I64(5)}}), R"({"5":["i64","5"]})");
  EXPECT_EQ(write("All", {{"l", V::I64(-42)}}), R"({"5":["i64","-42"]})");
  EXPECT_EQ(write("All", {{"bin", V::Binary("ab")}}), R"({"8":["str","YWI="]})");
  EXPECT_EQ(write("All", {{"li", V::List({V::I32(1), V::I32(2)})}}), R"({"9":["lst",["i32",2,1,2]]})");
  EXPECT_EQ(write("All", {{"m", V::Map({V::String("a"), V::I32(1)})}}), R"({"11":["map",["str","i32",1,{"a":1}]]})");
  EXPECT_EQ(write("All", {{"b", V::Bool(true)}, {"y", V::Byte(-1)}}), R"({"1":["tf",1],"2":["i8",-1]})");
  EXPECT_EQ(write("All", {{"ss", V::Set({})}}), R"({"10":["set",["str",0]]})");
  EXPECT_EQ(write("All", {{"inner", inner(1, "")}}), R"({"12":["rec",{"1":["i32",1],"2":["str",""]}]})");
}

TEST_F(JsonTest, MembersAreOrderedByNameAsText) {
  EXPECT_EQ(write("Wide", {{"two", V::I32(2)}, {"ten", V::I32(10)}, {"twenty", V::I32(20)}}),
            R"({"10":["i32",10],"2":["i32",2],"20":["i32",20]})");
  // Map keys: numbers by their text, later duplicates win, the pair count stays as given.
  EXPECT_EQ(write("All", {{"mb", V::Map({V::I32(10), V::Bool(true), V::I32(9), V::Bool(false), V::I32(10),
                                         V::Bool(false)})}}),
            R"({"16":["map",["i32","tf",3,{"10":0,"9":0}]]})");
}

TEST_F(JsonTest, MapKeyTextsOfEveryKind) {
  EXPECT_EQ(write("Keys", {{"bk", V::Map({V::Bool(true), V::I32(1)})},
                           {"bink", V::Map({V::Binary("ab"), V::I32(2)})},
                           {"lk", V::Map({V::I64(-7), V::String("x")})},
                           {"dk", V::Map({V::Double(1.5), V::I32(3), V::Double(NAN), V::I32(4)})},
                           {"sk", V::Map({inner(1, "q\""), V::I32(5)})}}),
            R"({"1":["map",["tf","i32",1,{"1":1}]],"2":["map",["str","i32",1,{"YWI=":2}]],)"
            R"("3":["map",["i64","str",1,{"-7":"x"}]],"4":["map",["dbl","i32",2,{"1.5":3,"NaN":4}]],)"
            R"("5":["map",["rec","i32",1,{"{\"1\":[\"i32\",1],\"2\":[\"str\",\"q\\\"\"]}":5}]]})");
}

TEST_F(JsonTest, TextMatchesNlohmannDumpOfTheSameTree) {
  const std::string text = encode<JsonWriter>(full_all(), *schema);
  auto tree = nlohmann::json::parse(text, nullptr, false);
  ASSERT_FALSE(tree.is_discarded()) << text;
  EXPECT_EQ(tree.dump(), text);

  std::string strings = write("Inner", {{"s", V::String(std::string("\"\\/\b\f\n\r\t\x01\x1f\x7f \xC3\xA9", 14))}});
  EXPECT_EQ(strings, R"({"2":["str","\"\\/\b\f\n\r\t\u0001\u001f)" "\x7f \xC3\xA9" R"("]})");
  EXPECT_EQ(nlohmann::json::parse(strings).dump(), strings);
}

TEST_F(JsonTest, DoublesFormattedLikeNlohmannAndNonFiniteAsStrings) {
  struct Case {
    double d;
    const char* text;
  };
  for (const Case& c : {Case{1.0, "1.0"}, Case{2.5, "2.5"}, Case{-0.0, "-0.0"}, Case{1e100, "1e+100"},
                        Case{0.1, "0.1"}, Case{1e-7, "1e-07"}, Case{NAN, "\"NaN\""}, Case{INFINITY, "\"Infinity\""},
                        Case{-INFINITY, "\"-Infinity\""}}) {
    EXPECT_EQ(write("All", {{"d", V::Double(c.d)}}), std::string(R"({"6":["dbl",)") + c.text + "]}");
  }
}

TEST_F(JsonTest, NonFiniteDoublesSurviveARoundTrip) {
  for (double d : {double(NAN), double(INFINITY), -double(INFINITY)}) {
    auto r = read("All", write("All", {{"d", V::Double(d)}}));
    ASSERT_TRUE(r);
    const double got = r.value().find("d")->d;
    EXPECT_TRUE(std::isnan(d) ? std::isnan(got) : got == d);
  }
}

TEST_F(JsonTest, RoundTripEveryType) {
  StructValue all = full_all();
  all.set("mb", V::Map({V::I32(-4), V::Bool(true), V::I32(3), V::Bool(false)}));  // already in name order
  auto back = read("All", encode<JsonWriter>(all, *schema));
  ASSERT_TRUE(back) << back.error().text;
  EXPECT_TRUE(same_struct(back.value(), all)) << struct_text(back.value());
}

TEST_F(JsonTest, MessageArray) {
  std::string out;
  JsonWriter w(out);
  w.message_begin("pi\"ng", 2, -7);
  w.struct_begin();
  w.field_begin(8, 0);
  w.write_i32(1);
  w.field_end();
  w.struct_end();
  w.message_end();
  EXPECT_TRUE(w.finish());
  EXPECT_EQ(out, R"([1,"pi\"ng",2,-7,{"0":["i32",1]}])");
}

struct FieldCase {
  const char* struct_name;
  const char* document;
  const char* field;
  const char* expected;
};

class JsonIdKeyedReads : public JsonTest, public ::testing::WithParamInterface<FieldCase> {};

TEST_P(JsonIdKeyedReads, Value) {
  const FieldCase& c = GetParam();
  EXPECT_EQ(read_field(c.struct_name, c.document, c.field), c.expected) << c.document;
}

INSTANTIATE_TEST_SUITE_P(
    Json, JsonIdKeyedReads,
    ::testing::Values(
        FieldCase{"All", R"({"5":["i64",5]})", "l", "I64(5)"},
        FieldCase{"All", R"({"5":["i64","5"]})", "l", "I64(5)"},
        FieldCase{"All", R"({"5":["i64","+42"]})", "l", "I64(42)"},
        FieldCase{"All", R"({"5":["i64","12x"]})", "l", "I64(0)"},
        FieldCase{"All", R"({"5":["i64","99999999999999999999"]})", "l", "I64(0)"},
        FieldCase{"All", R"({"5":["i64",18446744073709551615]})", "l", "I64(-1)"},
        FieldCase{"All", R"({"4":["i32",4294967297]})", "i", "I32(1)"},
        FieldCase{"All", R"({"4":["i32",1.5]})", "i", "I32(0)"},
        FieldCase{"All", R"({"2":["i8",255]})", "y", "Byte(-1)"},
        FieldCase{"All", R"({"3":["i16","7"]})", "h", "I16(0)"},
        FieldCase{"All", R"({"1":["tf",7]})", "b", "Bool(true)"},
        FieldCase{"All", R"({"1":["tf",true]})", "b", "Bool(true)"},
        FieldCase{"All", R"({"1":["tf",0.5]})", "b", "Bool(false)"},
        FieldCase{"All", R"({"1":["tf","1"]})", "b", "Bool(false)"},
        FieldCase{"All", R"({"6":["dbl",3]})", "d", "Double(3.0)"},
        FieldCase{"All", R"({"6":["dbl","2.5"]})", "d", "Double(2.5)"},
        FieldCase{"All", R"({"6":["dbl","-Infinity"]})", "d", "Double(-inf)"},
        FieldCase{"All", R"({"6":["dbl","abc"]})", "d", "Double(0.0)"},
        FieldCase{"All", R"j({"6":["dbl","nan(1)"]})j", "d", "Double(0.0)"},
        FieldCase{"All", R"({"7":["str",5]})", "s", "String(\"\")"},
        FieldCase{"All", R"({"8":["str","YWI="]})", "bin", "Binary([97, 98])"},
        FieldCase{"All", R"({"8":["str",5]})", "bin", "Binary([])"},
        FieldCase{"All", R"({"9":["lst",["xx",99,1,2]]})", "li", "List([I32(1), I32(2)])"},
        FieldCase{"All", R"({"10":["set",["str"]]})", "ss", "Set([])"},
        FieldCase{"All", R"({"16":["map",["i32","tf",2,{"3":1,"x":0,"300000000000":1}]]})", "mb",
                  "Map([(I32(3), Bool(true)), (I32(0), Bool(true)), (I32(0), Bool(false))])"},
        FieldCase{"Keys", R"({"1":["map",["tf","i32",3,{"1":1,"TRUE":2,"yes":3}]]})", "bk",
                  "Map([(Bool(true), I32(1)), (Bool(true), I32(2)), (Bool(false), I32(3))])"},
        FieldCase{"Keys", R"({"2":["map",["str","i32",1,{"YWI=":2}]]})", "bink", "Map([(Binary([97, 98]), I32(2))])"},
        FieldCase{"Keys", R"({"4":["map",["dbl","i32",1,{"NaN":1}]]})", "dk", "Map([(Double(NaN), I32(1))])"},
        FieldCase{"All", R"({"12":["rec",{"1":["i32",3]}]})", "inner", "Struct { name: \"Inner\", fields: {\"x\": I32(3)} }"},
        // Member names: optional sign, 16-bit range, anything else is id 0.
        FieldCase{"Pair", R"({"+1":["i32",8]})", "a", "I32(8)"},
        FieldCase{"Pair", R"({"65537":["i32",8]})", "a", "<absent>"},
        // Members that are not arrays of two or more elements, and unknown ids, are ignored.
        FieldCase{"Pair", R"({"1":["i32"],"2":5,"9":["i32",1]})", "a", "<absent>"},
        // Of two names for one id the later in name order wins; the tag is not checked.
        FieldCase{"Pair", R"({"01":["i32",1],"1":["xyz",2]})", "a", "I32(2)"}));

struct DocError {
  const char* struct_name;
  const char* document;
  ErrorKind kind;
  const char* text;
};

class JsonReadErrors : public JsonTest, public ::testing::WithParamInterface<DocError> {};

TEST_P(JsonReadErrors, Text) {
  const DocError& c = GetParam();
  EXPECT_EQ(read_error(c.struct_name, c.document, c.kind), c.text) << c.document;
}

INSTANTIATE_TEST_SUITE_P(
    Json, JsonReadErrors,
    ::testing::Values(
        DocError{"Pair", "[1,2]", ErrorKind::WrongShape, "Expected JSON object for struct"},
        DocError{"Pair", "5", ErrorKind::WrongShape, "Expected JSON object for struct"},
        DocError{"All", R"({"9":["lst",5]})", ErrorKind::WrongShape, "Expected JSON array"},
        DocError{"All", R"({"11":["map",5]})", ErrorKind::WrongShape, "Expected JSON array for map"},
        DocError{"All", R"({"11":["map",["str","i32",1]]})", ErrorKind::WrongShape, "Map array too short"},
        DocError{"All", R"({"11":["map",["str","i32",1,[]]]})", ErrorKind::WrongShape, "Expected JSON object in map"},
        DocError{"All", R"({"12":["rec",[]]})", ErrorKind::WrongShape, "Expected JSON object for struct"},
        DocError{"Holder", R"({"1":["rec",{}]})", ErrorKind::UnknownStruct, "Unknown struct: Missing"},
        DocError{"All", R"({"8":["str","YWI"]})", ErrorKind::InvalidData, "Base64 error: invalid length"},
        DocError{"All", R"({"8":["str","YW!="]})", ErrorKind::InvalidData, "Base64 error: invalid symbol"},
        DocError{"All", R"({"8":["str","YWJ="]})", ErrorKind::InvalidData, "Base64 error: invalid last symbol"},
        DocError{"All", R"({"8":["str","Y=I="]})", ErrorKind::InvalidData, "Base64 error: invalid padding"},
        DocError{"Defaults", R"({"payload":{"count":1.5}})", ErrorKind::InvalidData, "expected JSON integer"},
        DocError{"Defaults", R"({"payload":{"count":"12a"}})", ErrorKind::InvalidData, "expected JSON integer"},
        DocError{"Defaults", R"({"payload":{"xs":[1,null]}})", ErrorKind::InvalidData, "expected JSON integer"},
        DocError{"Defaults", R"({"payload":{"xs":{}}})", ErrorKind::WrongShape, "Expected JSON array"},
        DocError{"All", R"({"payload":{"m":[]}})", ErrorKind::WrongShape, "Expected JSON object for map"},
        DocError{"All", R"({"payload":{"inner":[]}})", ErrorKind::WrongShape, "Expected JSON object for struct"},
        DocError{"Holder", R"({"payload":{"m":{}}})", ErrorKind::UnknownStruct, "Unknown struct: Missing"}));

TEST_F(JsonTest, ParseErrorsAreValueErrorsWithTheParsersDescription) {
  for (const char* text : {"{oops", "", "{\"1\":[\"i32\",1]} trailing", "[1,"}) {
    const std::string error = read_error("Pair", text, ErrorKind::InvalidData);
    EXPECT_EQ(error.rfind("JSON parse error: ", 0), 0u) << error;
    EXPECT_GT(error.size(), std::string_view("JSON parse error: ").size());
  }
}

TEST_F(JsonTest, PayloadFormAppliesDefaults) {
  auto r = read("Defaults", R"({"payload":{"name":"x"}})");
  ASSERT_TRUE(r);
  EXPECT_EQ(field_text(r.value(), "name"), "String(\"x\")");
  EXPECT_EQ(field_text(r.value(), "count"), "I32(5)");
  EXPECT_EQ(field_text(r.value(), "xs"), "<absent>");

  // The id-keyed form applies no defaults.
  r = read("Defaults", R"({"1":["str","x"]})");
  ASSERT_TRUE(r);
  EXPECT_EQ(field_text(r.value(), "count"), "<absent>");

  // "payload" that is not an object: the document is read in the id-keyed form (and has no ids).
  r = read("Defaults", R"({"payload":5})");
  ASSERT_TRUE(r);
  EXPECT_TRUE(r.value().fields.empty());
}

TEST_F(JsonTest, PayloadFormConversions) {
  const char* doc = R"({"payload":{"b":3,"y":"300","h":-1,"i":"-12","l":"+9000000000","d":"NaN","s":7,
    "bin":"not base64!","li":[1,"2"],"m":{"k":1},"inner":{"x":2},"items":[{"s":"a"}],
    "mb":{"1":true,"x":false},"sb":["YWI=","??"]}})";
  auto r = read("All", doc);
  ASSERT_TRUE(r) << r.error().text;
  const StructValue& v = r.value();
  EXPECT_EQ(field_text(v, "b"), "Bool(true)");
  EXPECT_EQ(field_text(v, "y"), "Byte(44)");  // cut to the width
  EXPECT_EQ(field_text(v, "h"), "I16(-1)");
  EXPECT_EQ(field_text(v, "i"), "I32(-12)");
  EXPECT_EQ(field_text(v, "l"), "I64(9000000000)");
  EXPECT_EQ(field_text(v, "d"), "Double(0.0)");  // only a number is a double in this form
  EXPECT_EQ(field_text(v, "s"), "String(\"\")");
  EXPECT_EQ(field_text(v, "bin"), "Binary([110, 111, 116, 32, 98, 97, 115, 101, 54, 52, 33])");
  EXPECT_EQ(field_text(v, "li"), "List([I32(1), I32(2)])");
  EXPECT_EQ(field_text(v, "m"), "Map([(String(\"k\"), I32(1))])");
  EXPECT_EQ(field_text(v, "inner"), "Struct { name: \"Inner\", fields: {\"x\": I32(2)} }");
  EXPECT_EQ(field_text(v, "items"), "List([Struct { name: \"Inner\", fields: {\"s\": String(\"a\")} }])");
  EXPECT_EQ(field_text(v, "mb"), "Map([(I32(1), Bool(true)), (I32(0), Bool(false))])");
  EXPECT_EQ(field_text(v, "sb"), "Set([Binary([97, 98]), Binary([63, 63])])");

  auto keys = read("Keys", R"({"payload":{"bk":{"true":1,"True":2,"1":3}}})");
  ASSERT_TRUE(keys);
  EXPECT_EQ(field_text(keys.value(), "bk"), "Map([(Bool(true), I32(3)), (Bool(false), I32(2)), (Bool(true), I32(1))])");
}

TEST_F(JsonTest, FramePrefixIsDropped) {
  const std::string doc = R"({"1":["i32",5]})";
  std::string framed = bytes("00 00 00 0F") + doc;
  ASSERT_EQ(doc.size(), 15u);
  EXPECT_EQ(read_field("Pair", framed, "a"), "I32(5)");
  // A prefix that does not match the length is not a frame header: the text is not JSON.
  EXPECT_EQ(read_field("Pair", bytes("00 00 00 0E") + doc, "a").rfind("error: JSON parse error: ", 0), 0u);
}

TEST_F(JsonTest, DepthLimit) {
  auto nested = [](int levels) {
    std::string text;
    for (int i = 1; i < levels; ++i) text += R"({"3":["rec",)";
    text += "{}";
    for (int i = 1; i < levels; ++i) text += "]}";
    return text;
  };
  EXPECT_TRUE(read("Node", nested(kMaxDepth)));
  EXPECT_EQ(read_error("Node", nested(kMaxDepth + 1), ErrorKind::DepthLimit), "Depth limit exceeded");
  auto payload_nested = [](int levels) {
    std::string text = "{\"payload\":";
    for (int i = 1; i < levels; ++i) text += R"({"next":)";
    text += "{}";
    text.append(static_cast<size_t>(levels - 1), '}');
    return text + "}";
  };
  EXPECT_TRUE(read("Node", payload_nested(kMaxDepth)));
  EXPECT_EQ(read_error("Node", payload_nested(kMaxDepth + 1), ErrorKind::DepthLimit), "Depth limit exceeded");
  // Far deeper than 64 levels: refused by the same rule (the tree past 130 JSON levels is not built).
  EXPECT_EQ(read_error("Node", nested(200000), ErrorKind::DepthLimit), "Depth limit exceeded");
  // Deep JSON that no field reads is parsed and dropped without recursion.
  const std::string deep = "{\"9\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
  EXPECT_TRUE(read("Node", deep));
}

TEST(JsonBase64, EncodeAndStrictDecode) {
  struct Case {
    std::string_view plain, encoded;
  };
  for (const Case& c : {Case{"", ""}, Case{"f", "Zg=="}, Case{"fo", "Zm8="}, Case{"foo", "Zm9v"},
                        Case{"foob", "Zm9vYg=="}, Case{"fooba", "Zm9vYmE="}, Case{"foobar", "Zm9vYmFy"}}) {
    EXPECT_EQ(base64_encode(c.plain), c.encoded);
    auto back = base64_decode(c.encoded);
    ASSERT_TRUE(back) << c.encoded;
    EXPECT_EQ(back.value(), c.plain);
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(base64_encode(all).find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
            std::string::npos);
  EXPECT_EQ(base64_decode(base64_encode(all)).value(), all);
  for (std::string_view bad : {"Zg", "Zg=", "Zm9vY", "===="}) EXPECT_FALSE(base64_decode(bad)) << bad;
  EXPECT_EQ(base64_decode("Zh==").error().text, "invalid last symbol");
  EXPECT_EQ(base64_decode("Z===").error().text, "invalid padding");
  EXPECT_EQ(base64_decode("Zm-v").error().text, "invalid symbol");
}

}  // namespace
}  // namespace velvane
