// Message envelopes of the three protocols: writing, header checks, body reading, field cursors.
#include <gtest/gtest.h>

#include "protocol_fixtures.h"

namespace velvane {
namespace {

using namespace velvane::testing;

template <class W>
std::string message(std::string_view name, uint8_t type, int32_t seqid, const StructValue& body, const Schema& schema) {
  std::string out;
  W w(out);
  w.message_begin(name, type, seqid);
  ThriftValue wrapped;
  wrapped.kind = ValueKind::Struct;
  wrapped.strukt = body;
  EXPECT_TRUE(write_value(w, wrapped, schema));
  w.message_end();
  EXPECT_TRUE(w.finish());
  return out;
}

std::string header_text(const MessageHeader& h) {
  return h.name + "/" + std::to_string(h.type) + "/" + std::to_string(h.seqid);
}

std::string read_header(Protocol p, std::string_view input) {
  auto r = read_message_begin(p, input);
  if (!r) {
    const bool header_mismatch = r.error().text.starts_with("Bad ");
    EXPECT_EQ(r.error().kind == ErrorKind::BadVersion, header_mismatch) << r.error().text;
    return "error: " + r.error().text;
  }
  return header_text(r.value().header);
}

TEST(EnvelopeWrite, HeaderBytes) {
  const auto schema = test_schema();
  const StructValue empty{"Pair", {}};
  EXPECT_EQ(hex(message<BinaryWriter>("ping", 1, 7, empty, *schema)),
            "80 01 00 01 00 00 00 04 70 69 6E 67 00 00 00 07 00");
  EXPECT_EQ(hex(message<CompactWriter>("ping", 2, 7, empty, *schema)), "82 41 0E 08 70 69 6E 67 00");
  EXPECT_EQ(message<JsonWriter>("ping", 1, 7, empty, *schema), R"([1,"ping",1,7,{}])");
}

class EnvelopeRoundTrip : public ::testing::TestWithParam<std::tuple<Protocol, int>> {};

TEST_P(EnvelopeRoundTrip, HeaderAndBody) {
  const auto [protocol, type] = GetParam();
  const auto schema = test_schema();
  const StructDef& all_def = *schema->find("All");
  StructValue body = full_all();
  body.set("mb", ThriftValue::Map({ThriftValue::I32(-4), ThriftValue::Bool(true)}));
  for (int32_t seqid : {0, 7, -1, INT32_MIN, INT32_MAX}) {
    std::string wire;
    const std::string name = "m\xC3\xA9thod";
    switch (protocol) {
      case Protocol::Binary: wire = message<BinaryWriter>(name, type, seqid, body, *schema); break;
      case Protocol::Compact: wire = message<CompactWriter>(name, type, seqid, body, *schema); break;
      case Protocol::Json: wire = message<JsonWriter>(name, type, seqid, body, *schema); break;
      case Protocol::StandardCompact: wire = message<StandardCompactWriter>(name, type, seqid, body, *schema); break;
      case Protocol::StandardJson: wire = message<StandardJsonWriter>(name, type, seqid, body, *schema); break;
    }
    auto head = read_message_begin(protocol, wire);
    ASSERT_TRUE(head) << head.error().text;
    EXPECT_EQ(header_text(head.value().header), name + "/" + std::to_string(type) + "/" + std::to_string(seqid));
    auto read_body = read_message_body(protocol, wire, head.value(), all_def, *schema);
    ASSERT_TRUE(read_body) << read_body.error().text;
    EXPECT_TRUE(same_struct(read_body.value(), body)) << struct_text(read_body.value());
  }
}

INSTANTIATE_TEST_SUITE_P(Envelope, EnvelopeRoundTrip,
                         ::testing::Combine(::testing::Values(Protocol::Binary, Protocol::Compact, Protocol::Json,
                                                              Protocol::StandardCompact, Protocol::StandardJson),
                                            ::testing::Values(1, 2, 3, 4)));

struct HeaderCase {
  Protocol protocol;
  std::string input;
  const char* expected;
};

class EnvelopeHeaders : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(EnvelopeHeaders, Read) {
  EXPECT_EQ(read_header(GetParam().protocol, GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Envelope, EnvelopeHeaders,
    ::testing::Values(
        HeaderCase{Protocol::Binary, bytes("80 01 00 01 00 00 00 04 70 69 6E 67 00 00 00 07"), "ping/1/7"},
        HeaderCase{Protocol::Binary, bytes("80 01 05 02 00 00 00 04 70 69 6E 67 00 00 00 07"), "ping/2/7"},
        HeaderCase{Protocol::Binary, bytes("00 00 00 04 70 69 6E 67 00 00 00 07"), "error: Bad version: 0x4"},
        HeaderCase{Protocol::Binary, bytes("80 02 00 01 00 00 00 00"), "error: Bad version: 0x80020001"},
        HeaderCase{Protocol::Binary, bytes("80 01 00 01 FF FF FF FF"), "error: Negative length: -1"},
        HeaderCase{Protocol::Binary, bytes("80 01 00 01 00 00 00 01 FF 00 00 00 00"),
                   "error: IO error: invalid utf-8 sequence of 1 bytes from index 0"},
        HeaderCase{Protocol::Binary, bytes(""), "error: IO error: failed to fill whole buffer"},
        HeaderCase{Protocol::Binary, bytes("80 01"), "error: IO error: failed to fill whole buffer"},
        HeaderCase{Protocol::Binary, bytes("80 01 00 01 7F FF FF FF 70"), "error: IO error: failed to fill whole buffer"},
        HeaderCase{Protocol::Binary, bytes("80 01 00 01 00 00 00 01 70 00 00"), "error: IO error: failed to fill whole buffer"},
        HeaderCase{Protocol::Compact, bytes("82 41 0E 08 70 69 6E 67"), "ping/2/7"},
        HeaderCase{Protocol::Compact, bytes("82 81 01 00"), "/4/-1"},
        HeaderCase{Protocol::Compact, bytes("82 22"), "error: Bad protocol version"},
        HeaderCase{Protocol::Compact, bytes("80"), "error: Bad protocol id"},
        HeaderCase{Protocol::Compact, bytes(""), "error: IO error: failed to fill whole buffer"},
        HeaderCase{Protocol::Compact, bytes("82"), "error: IO error: failed to fill whole buffer"},
        HeaderCase{Protocol::Compact, bytes("82 21 0E 01"), "error: Negative length: -1"},
        HeaderCase{Protocol::Compact, bytes("82 21 0E FE FF FF FF 0F 70"), "error: IO error: failed to fill whole buffer"},
        HeaderCase{Protocol::Compact, bytes("82 21 FF FF FF FF FF FF"), "error: Variable-length integer is too long"},
        HeaderCase{Protocol::Compact, bytes("82 21 0E 02 C3"), "error: IO error: incomplete utf-8 byte sequence from index 0"},
        HeaderCase{Protocol::Json, R"([1,"ping",1,7])", "error: JSON message array too short"},
        HeaderCase{Protocol::Json, R"([9,"ping","x",7,{}])", "ping/1/7"},
        HeaderCase{Protocol::Json, R"({"a":1})", "error: Invalid field type"},
        HeaderCase{Protocol::Json, "5", "error: Invalid field type"},
        HeaderCase{Protocol::Json, R"([1,5,-3,"z",{}])", "/1/0"},
        HeaderCase{Protocol::Json, R"([1,"a",258,4294967297,{}])", "a/2/1"},
        HeaderCase{Protocol::Json, R"([1,"a",2,-1,{}])", "a/2/-1"},
        HeaderCase{Protocol::Json, R"([1,"a",2,9223372036854775808,{}])", "a/2/0"},
        HeaderCase{Protocol::Json, R"([1,"a",2,1.5,{}])", "a/2/0"},
        HeaderCase{Protocol::Json, R"([1,"a",3,2,{}] [trailing)", "a/3/2"}));

TEST(EnvelopeJson, ParseErrorIsInvalidData) {
  const std::string error = read_header(Protocol::Json, "[1,\"a\"");
  EXPECT_EQ(error.rfind("error: JSON parse error: ", 0), 0u) << error;
}

TEST(EnvelopeBody, JsonBodyRules) {
  const auto schema = test_schema();
  const StructDef& pair = *schema->find("Pair");
  const std::string wire = R"([1,"a",1,1,{"1":["i32",5],"7":["str","x"],"2":["tf",1]}])";
  auto head = read_message_begin(Protocol::Json, wire);
  ASSERT_TRUE(head);
  auto body = read_message_body(Protocol::Json, wire, head.value(), pair, *schema);
  ASSERT_TRUE(body);
  EXPECT_EQ(struct_text(body.value()),
            "Struct { name: \"Pair\", fields: {\"a\": I32(5), \"flag\": Bool(true)} }");

  const std::string bad = R"([1,"a",1,1,[]])";
  head = read_message_begin(Protocol::Json, bad);
  ASSERT_TRUE(head);
  body = read_message_body(Protocol::Json, bad, head.value(), pair, *schema);
  ASSERT_FALSE(body);
  EXPECT_EQ(body.error().text, "Expected JSON object for struct");
}

TEST(EnvelopeBody, BinaryBodyErrorsAndDepth) {
  const auto schema = test_schema();
  std::string wire = bytes("80 01 00 01 00 00 00 00 00 00 00 01");
  for (int i = 0; i < 1000; ++i) wire += bytes("0C 00 03");
  auto head = read_message_begin(Protocol::Binary, wire);
  ASSERT_TRUE(head);
  EXPECT_EQ(head.value().body_offset, 12u);
  auto body = read_message_body(Protocol::Binary, wire, head.value(), *schema->find("Node"), *schema);
  ASSERT_FALSE(body);
  EXPECT_EQ(body.error().text, "Depth limit exceeded");
}

/// Reads every field header of a body with a cursor: "type:id" items, values read under the given
/// declared types for the listed ids and skipped otherwise.
std::string walk_fields(Protocol protocol, const std::string& wire, const Schema& schema) {
  auto head = read_message_begin(protocol, wire);
  if (!head) return "header error: " + head.error().text;
  FieldCursor cursor(protocol, wire, head.value());
  std::string out;
  for (;;) {
    auto f = cursor.next_field();
    if (!f) return out + "error: " + f.error().text;
    out += std::to_string(f.value().type_id) + ":" + std::to_string(f.value().id);
    if (f.value().type_id == 0) return out;
    if (f.value().id == 1) {
      auto v = cursor.read_value(ThriftType::Scalar(TypeKind::String), schema);
      if (!v) return out + " error: " + v.error().text;
      out += "=" + to_text(v.value());
    } else if (f.value().id == 3) {
      auto v = cursor.read_value(ThriftType::Scalar(TypeKind::Bool), schema);
      if (!v) return out + " error: " + v.error().text;
      out += "=" + to_text(v.value());
    } else {
      Status st = cursor.skip_value();
      if (!st) return out + " error: " + st.error().text;
    }
    out += " ";
  }
}

TEST(EnvelopeFieldCursor, WalksFieldsOfEveryProtocol) {
  const auto schema = test_schema();
  ThriftDocument doc;
  using K = TypeKind;
  doc.structs["Body"] = StructDef{"Body", {F(1, "message", T(K::String)), F(2, "type", T(K::I32)),
                                           F(3, "ok", T(K::Bool)), F(4, "items", ThriftType::List(T(K::I64)))}};
  const auto body_schema = Schema::build(doc);
  StructValue body{"Body", {}};
  body.set("message", ThriftValue::String("boom"));
  body.set("type", ThriftValue::I32(6));
  body.set("ok", ThriftValue::Bool(true));
  body.set("items", ThriftValue::List({ThriftValue::I64(1), ThriftValue::I64(2)}));
  const std::string expected = "11:1=String(\"boom\") 8:2 2:3=Bool(true) 15:4 0:0";
  EXPECT_EQ(walk_fields(Protocol::Binary, message<BinaryWriter>("e", 3, 1, body, *body_schema), *schema), expected);
  EXPECT_EQ(walk_fields(Protocol::Compact, message<CompactWriter>("e", 3, 1, body, *body_schema), *schema), expected);
  EXPECT_EQ(walk_fields(Protocol::Json, message<JsonWriter>("e", 3, 1, body, *body_schema), *schema), expected);

  // A bad field type in the first header, and an unknown JSON tag (reported as void).
  EXPECT_EQ(walk_fields(Protocol::Binary, bytes("80 01 00 02 00 00 00 00 00 00 00 01 05 00 00"), *schema),
            "error: Invalid type: 5");
  EXPECT_EQ(walk_fields(Protocol::Json, R"([1,"r",2,1,{"0":["zz",1],"7":[1]}])", *schema), "1:0 0:0");
}

}  // namespace
}  // namespace velvane
