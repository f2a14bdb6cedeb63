// The JSON tree parser behind the JSON readers, checked against nlohmann::json as the reference:
// the same texts accepted, the same values (number classes included), members in name order with
// the last of equal names kept.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <nlohmann/json.hpp>
#include <random>

#include "protocol/json_dom.h"
#include "json_reference.h"
#include "protocol_fixtures.h"

namespace velvane::detail {
namespace {

using nlohmann::json;
using namespace std::string_literals;

/// Same kind, same number class and value (doubles bit for bit), same text, same members in the
/// same order.
::testing::AssertionResult same_tree(const JsonValue& ours, const json& theirs, const std::string& path = "$") {
  using Kind = JsonValue::Kind;
  auto differ = [&](const std::string& what) { return ::testing::AssertionFailure() << path << ": " << what; };
  switch (theirs.type()) {
    case json::value_t::null:
      return ours.is_null() ? ::testing::AssertionSuccess() : differ("expected null");
    case json::value_t::boolean:
      if (!ours.is_bool() || ours.as_bool() != theirs.get<bool>()) return differ("expected " + theirs.dump());
      return ::testing::AssertionSuccess();
    case json::value_t::number_unsigned:
      if (ours.kind() != Kind::Unsigned || static_cast<uint64_t>(*ours.integer()) != theirs.get<uint64_t>())
        return differ("expected unsigned " + theirs.dump());
      return ::testing::AssertionSuccess();
    case json::value_t::number_integer:
      if (ours.kind() != Kind::Integer || *ours.integer() != theirs.get<int64_t>())
        return differ("expected signed " + theirs.dump());
      return ::testing::AssertionSuccess();
    case json::value_t::number_float:
      if (!ours.is_float() || std::bit_cast<uint64_t>(ours.number()) != std::bit_cast<uint64_t>(theirs.get<double>()))
        return differ("expected float " + theirs.dump());
      return ::testing::AssertionSuccess();
    case json::value_t::string:
      if (!ours.is_string() || ours.text() != theirs.get_ref<const std::string&>())
        return differ("expected string " + theirs.dump());
      return ::testing::AssertionSuccess();
    case json::value_t::array: {
      if (!ours.is_array() || ours.elements().size() != theirs.size()) return differ("expected " + theirs.dump());
      for (size_t i = 0; i < theirs.size(); ++i)
        if (auto r = same_tree(ours.elements()[i], theirs[i], path + "[" + std::to_string(i) + "]"); !r) return r;
      return ::testing::AssertionSuccess();
    }
    case json::value_t::object: {
      if (!ours.is_object() || ours.members().size() != theirs.size()) return differ("expected " + theirs.dump());
      size_t i = 0;
      for (const auto& [name, value] : theirs.items()) {
        const JsonMember& member = ours.members()[i++];
        if (member.name != name) return differ("member " + std::to_string(i - 1) + " named " + json(name).dump());
        if (auto r = same_tree(member.value, value, path + "." + name); !r) return r;
      }
      return ::testing::AssertionSuccess();
    }
    default: return differ("unexpected reference type");
  }
}

/// Parses as the document reader does and checks the decision and the tree against the reference.
void expect_like_reference(std::string_view text) {
  SCOPED_TRACE(::testing::PrintToString(std::string(text)));
  auto ours = parse_json(text, true);
  const bool accepted = json::accept(text);
  ASSERT_EQ(ours.ok(), accepted) << (ours ? "accepted" : ours.error().text);
  if (!accepted) {
    EXPECT_EQ(ours.error().text.rfind("JSON parse error: syntax error at byte ", 0), 0u) << ours.error().text;
    return;
  }
  EXPECT_TRUE(same_tree(ours.value().root(), json::parse(text)));
}

/// `head`, then `n` times `fill`, then `tail`.
std::string padded(std::string_view head, char fill, size_t n, std::string_view tail) {
  std::string out(head);
  out.append(n, fill);
  out.append(tail);
  return out;
}

class JsonDomMatchesReference : public ::testing::TestWithParam<std::string> {};

TEST_P(JsonDomMatchesReference, WholeDocument) { expect_like_reference(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Scalars, JsonDomMatchesReference,
    ::testing::Values("true", "false", "null", "tru", "nul", "falsey", "True", "NaN", "Infinity", "-Infinity",
                      "undefined", "'a'", "", "   ", "\t\n\r 7 \r\n\t", "\f1", "\v1", "1 2", "x", "/* c */ 1",
                      "1 // c"));

INSTANTIATE_TEST_SUITE_P(
    Numbers, JsonDomMatchesReference,
    ::testing::Values("0", "-0", "7", "-7", "01", "-01", "00", "1.", ".5", "-.5", "+1", "1e", "1e+", "1E-",
                      "1.5e", "0x10", "1.5.2", "1e5.2", "--1", "-", "1.0", "-0.0", "0.0", "1e5", "1E+5", "1e-5",
                      "2.5", "0.1", "123.456e-7", "18446744073709551615", "18446744073709551616",
                      "9223372036854775807", "9223372036854775808", "-9223372036854775808", "-9223372036854775809",
                      "-18446744073709551616", "123456789012345678901234567890", "1e308", "1e309", "-1e309",
                      "1.7976931348623157e308", "1.7976931348623158e308", "1.7976931348623159e308", "1e400",
                      "4.9e-324", "3e-324", "2e-324", "2.4703282292062328e-324", "1e-400", "-1e-400",
                      "0e999999999999999999999", "0.000e-999999999999999999", "1e99999999999999999999",
                      "1e-99999999999999999999", "-1e-99999999999999999999",
                      "0.0000000000000000000000000000000001e-300", "100000000000000000000000000000000e300",
                      "0.00000000000000000000000000000000001e330",
                      padded("1", '0', 400, ""), padded("0.", '0', 400, "1"),
                      "[1,-1,1.5,1e2,18446744073709551616,-9223372036854775809]"));

INSTANTIATE_TEST_SUITE_P(
    Strings, JsonDomMatchesReference,
    ::testing::Values(R"("")", R"("abc")", R"("\"\\\/\b\f\n\r\t")", R"("a\u0000b")", R"("\u00e9\u00E9")",
                      R"("\u20ac")", R"("\uD83D\uDE00")", R"("\ud83d\ude00x")", R"("\uD83D")", R"("\uDE00")",
                      R"("\uD83Dx")", R"("\uD83D\u0041")", R"("\uD83D\uD83D")", R"("\uD83D\")", R"("\uZZZZ")",
                      R"("\u12")", R"("\u12 4")", R"("\x")", R"("\'")", R"("\a")", R"("\)", R"("abc)", "\"",
                      "\"\x01\"", "\"\x1f\"", "\"\t\"", "\"\n\"", "\"\x7f\"", "\"\xC3\xA9\"", "\"\xC3\"",
                      "\"\xC3\x28\"", "\"\xC0\x80\"", "\"\xC1\xBF\"", "\"\xE0\x9F\xBF\"", "\"\xE0\xA0\x80\"",
                      "\"\xED\x9F\xBF\"", "\"\xED\xA0\x80\"", "\"\xEF\xBF\xBF\"", "\"\xF0\x8F\xBF\xBF\"",
                      "\"\xF0\x9F\x98\x80\"", "\"\xF4\x8F\xBF\xBF\"", "\"\xF4\x90\x80\x80\"", "\"\xF5\x80\x80\x80\"",
                      "\"\xFF\"", "\"\x80\"", "\"\xE2\x82\"", "\"\xF0\x9F\x98\"", "\"a\xC3\xA9\\n\xF0\x9F\x98\x80\"",
                      "\"\\n\xC3\"", "\"\\n\x01\"", "\"x\0y\""s));

INSTANTIATE_TEST_SUITE_P(
    Containers, JsonDomMatchesReference,
    ::testing::Values("[]", "[ ]", "{}", "{ }", "[1]", "[1,]", "[,1]", "[1 2]", "[1,,2]", "[[[]]]", "[[],[[]],{}]",
                      "[", "]", "[1]]", "[1", "{", "}", "{\"a\"", "{\"a\":", "{\"a\":1", "{\"a\":1,", "{\"a\" 1}",
                      "{\"a\":}", "{1:2}", "{a:1}", "{,}", "{\"a\":1,}", "{\"a\":1 \"b\":2}", "{\"a\":1}}",
                      "{\"b\":1,\"a\":2,\"c\":3}", "{\"a\":1,\"a\":2}", "{\"a\":1,\"b\":2,\"a\":3}",
                      "{\"b\":[1],\"a\":2,\"b\":{\"x\":0},\"a\":null}", "{\"10\":1,\"2\":2,\"1\":3,\"\":4}",
                      "{\"\\u0061\":1,\"a\":2}", "{\"\xC3\xA9\":1,\"z\":2,\"Z\":3}", "{\"ab\":1,\"a\":2,\"abc\":3}",
                      "{\"a\\u0000b\":1,\"a\":2}", "{\"k\":{\"z\":1,\"y\":{\"q\":[3,2,1],\"p\":true}}}",
                      R"({"1":["i32",7],"2":["i64","1099511627776"],"3":["dbl",2.5]})",
                      "[1,\"a\",3,2,{}] [trailing"));

INSTANTIATE_TEST_SUITE_P(
    ByteOrderMarkAndEnd, JsonDomMatchesReference,
    ::testing::Values("\xEF\xBB\xBF{}", "\xEF\xBB\xBF 1", "\xEF\xBB{}", "\xEF{}", "\xEF", "\xEF\xBB\xBF",
                      " \xEF\xBB\xBF{}", "\xEF\xBB\xBF\xEF\xBB\xBF{}", "{}\0garbage"s, "\0"s, "[1\0]"s, "[1,\0"s,
                      "1\0"s, " \0 1"s, "tr\0e"s));

TEST(JsonDom, RandomMutationsOfValidDocumentsDecideLikeTheReference) {
  const std::string seeds[] = {
      R"({"1":["i32",7],"2":["i64","1099511627776"],"3":["dbl",2.5],"4":["lst",["str",2,"a\n","\u00e9"]]})",
      R"([1,"ping",2,-7,{"0":["map",["str","rec",1,{"k":{"1":["tf",1]}}]],"10":["dbl",-1.5e-3]}])",
      "{\"\xF0\x9F\x98\x80\":[true,false,null,0,-0,1e308,\"\\uD83D\\uDE00\"],\"b\":{},\"a\":[]}"};
  constexpr char kAlphabet[] = "{}[]:,\"\\u0123456789abcdefABCDEF+-.eE tfnrl\n\x00\x80\xBF\xC3\xED\xEF\xF0\xFF";
  std::mt19937 random(20240611);
  for (int round = 0; round < 20000; ++round) {
    std::string text = seeds[round % std::size(seeds)];
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t at = random() % text.size();
      const char c = kAlphabet[random() % (sizeof kAlphabet - 1)];
      switch (random() % 3) {
        case 0: text[at] = c; break;
        case 1: text.insert(text.begin() + static_cast<ptrdiff_t>(at), c); break;
        default: text.erase(at, 1); break;
      }
    }
    auto ours = parse_json(text, true);
    ASSERT_EQ(ours.ok(), json::accept(text)) << ::testing::PrintToString(text);
    if (ours) {
      ASSERT_TRUE(same_tree(ours.value().root(), json::parse(text))) << ::testing::PrintToString(text);
    }
  }
}

/// The envelope reads "the next JSON value" and leaves what follows alone.
TEST(JsonDom, PrefixModeReadsOneValueLikeTheReference) {
  struct Case {
    std::string text;
    std::string value;  // the reference's dump of the value read, empty when rejected
  };
  const Case cases[] = {
      {R"([1,"a",3,2,{}] [trailing)", R"([1,"a",3,2,{}])"},
      {"123abc", "123"},
      {"01", "0"},
      {"-0.5e1x", "-5.0"},
      {"truex", "true"},
      {"{}}", "{}"},
      {"\"s\"\"t\"", "\"s\""},
      {"  [] \x01", "[]"},
      {"\xEF\xBB\xBF[]]", "[]"},
      {"1.", ""},
      {"1e+", ""},
      {"", ""},
      {"  ", ""},
      {"\0[]"s, ""},
      {"[1,2", ""},
      {"tru", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    auto ours = parse_json(c.text, false);
    ASSERT_EQ(ours.ok(), reference_accepts(c.text, false));
    ASSERT_EQ(ours.ok(), !c.value.empty());
    if (ours) {
      EXPECT_TRUE(same_tree(ours.value().root(), json::parse(c.value)));
    } else {
      EXPECT_EQ(ours.error().kind, ErrorKind::InvalidData);
    }
  }
}

TEST(JsonDom, ErrorsTellWhereAndWhat) {
  struct Case {
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"{oops", "syntax error at byte 1: expected a member name"},
      {"", "syntax error at byte 0: unexpected end of input"},
      {"[1,", "syntax error at byte 3: unexpected end of input"},
      {"[1 2]", "syntax error at byte 3: expected ',' or ']'"},
      {"{\"a\":1 2}", "syntax error at byte 7: expected ',' or '}'"},
      {"{\"a\" 1}", "syntax error at byte 5: expected ':'"},
      {"{} x", "syntax error at byte 3: unexpected character after the value"},
      {"[nul]", "syntax error at byte 1: invalid literal"},
      {"[-x]", "syntax error at byte 2: expected a digit after '-'"},
      {"[1.]", "syntax error at byte 3: expected a digit after '.'"},
      {"[1e]", "syntax error at byte 3: expected a digit in the exponent"},
      {"[0, 1e999]", "syntax error at byte 4: number out of range"},
      {"[\"abc", "syntax error at byte 5: unterminated string"},
      {"\"a\x01\"", "syntax error at byte 2: control character in string"},
      {"\"a\xC3(\"", "syntax error at byte 2: invalid UTF-8 in string"},
      {"\"\\q\"", "syntax error at byte 2: invalid escape in string"},
      {"\"\\u12g4\"", "syntax error at byte 5: expected four hex digits after \\u"},
      {"\"ab\\uDE00\"", "syntax error at byte 3: unpaired surrogate in string"},
      {"\"ab\\uD800\\u0041\"", "syntax error at byte 3: unpaired surrogate in string"},
      {"\xEF\xBB", "syntax error at byte 0: invalid byte order mark"},
      {"?", "syntax error at byte 0: expected a value"},
  };
  for (const Case& c : cases) {
    auto r = parse_json(c.text, true);
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error().kind, ErrorKind::InvalidData);
    EXPECT_EQ(r.error().text, "JSON parse error: " + c.error) << ::testing::PrintToString(c.text);
  }
}

TEST(JsonDom, EscapesDecodeToUtf8AndPlainStringsPointIntoTheText) {
  const std::string text = R"(["plain","tab\there","\u00e9\u20ac\uD83D\uDE00","nul\u0000!","\/"])";
  auto doc = parse_json(text, true);
  ASSERT_TRUE(doc) << doc.error().text;
  const auto items = doc.value().root().elements();
  ASSERT_EQ(items.size(), 5u);
  EXPECT_EQ(items[0].text(), "plain");
  EXPECT_EQ(items[0].text().data(), text.data() + 2);  // no copy for text without escapes
  EXPECT_EQ(items[1].text(), "tab\there");
  EXPECT_EQ(items[2].text(), "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_EQ(items[3].text(), "nul\0!"s);
  EXPECT_EQ(items[4].text(), "/");
}

TEST(JsonDom, CopiedTextOutlivesTheInput) {
  std::string text = R"({"name":["str","kept"],"list":["a","b"]})";
  auto doc = parse_json(text, true, JsonText::Copied);
  ASSERT_TRUE(doc);
  std::fill(text.begin(), text.end(), 'x');
  text.clear();
  text.shrink_to_fit();
  const JsonDocument moved = std::move(doc).value();
  const JsonValue* name = moved.root().find("name");
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(name->elements()[1].text(), "kept");
  EXPECT_EQ(moved.root().members()[0].name, "list");
}

TEST(JsonDom, MemberLookupAfterSortingAndDuplicates) {
  auto doc = parse_json(R"({"payload":1,"b":2,"a":3,"b":4,"":5,"pay":6})", true);
  ASSERT_TRUE(doc);
  const JsonValue& root = doc.value().root();
  std::vector<std::string_view> names;
  for (const JsonMember& m : root.members()) names.push_back(m.name);
  EXPECT_EQ(names, (std::vector<std::string_view>{"", "a", "b", "pay", "payload"}));
  struct Lookup {
    std::string_view name;
    int64_t value;  // -1: absent
  };
  for (const Lookup& l : {Lookup{"b", 4}, Lookup{"a", 3}, Lookup{"", 5}, Lookup{"payload", 1}, Lookup{"pay", 6},
                          Lookup{"p", -1}, Lookup{"payloads", -1}, Lookup{"c", -1}}) {
    const JsonValue* v = root.find(l.name);
    if (l.value < 0) {
      EXPECT_EQ(v, nullptr) << l.name;
    } else {
      ASSERT_NE(v, nullptr) << l.name;
      EXPECT_EQ(v->integer(), l.value) << l.name;
    }
  }
  // Lookups on anything but an object find nothing.
  auto array = parse_json("[1]", true);
  EXPECT_EQ(array.value().root().find("0"), nullptr);
  EXPECT_TRUE(array.value().root().members().empty());
  EXPECT_TRUE(root.elements().empty());
}

TEST(JsonDom, NumberAccessorsConvertLikeTheReaders) {
  auto doc = parse_json("[18446744073709551615,-5,2.5,\"7\",true]", true);
  ASSERT_TRUE(doc);
  const auto v = doc.value().root().elements();
  EXPECT_EQ(v[0].integer(), -1);  // unsigned values wrap into the signed range
  EXPECT_EQ(v[0].number(), 18446744073709551615.0);
  EXPECT_EQ(v[1].integer(), -5);
  EXPECT_EQ(v[1].number(), -5.0);
  EXPECT_EQ(v[2].integer(), std::nullopt);
  EXPECT_EQ(v[2].number(), 2.5);
  EXPECT_EQ(v[3].integer(), std::nullopt);
  EXPECT_EQ(v[3].number(), 0.0);
  EXPECT_TRUE(v[4].as_bool());
  EXPECT_FALSE(v[2].as_bool());
}

TEST(JsonDom, MessageBodyReadsAfterTheCallersBufferChanged) {
  const auto schema = velvane::testing::test_schema();
  const StructDef& pair = *schema->find("Pair");
  std::string wire = R"([1,"call",1,9,{"2":["tf",1],"1":["i32",42]}])";
  auto head = read_message_begin(Protocol::Json, wire);
  ASSERT_TRUE(head) << head.error().text;
  EXPECT_EQ(head.value().header.name, "call");
  std::fill(wire.begin(), wire.end(), ' ');
  wire = "garbage";

  auto body = read_message_body(Protocol::Json, wire, head.value(), pair, *schema);
  ASSERT_TRUE(body) << body.error().text;
  EXPECT_EQ(velvane::testing::field_text(body.value(), "a"), "I32(42)");
  EXPECT_EQ(velvane::testing::field_text(body.value(), "flag"), "Bool(true)");

  FieldCursor cursor(Protocol::Json, wire, head.value());
  std::string walked;
  for (auto f = cursor.next_field(); f && f.value().type_id != 0; f = cursor.next_field()) {
    const ThriftField* field = pair.find_field(f.value().id);
    ASSERT_NE(field, nullptr) << f.value().id;
    auto v = cursor.read_value(field->field_type, *schema);
    ASSERT_TRUE(v);
    walked += std::to_string(f.value().id) + "=" + to_text(v.value()) + " ";
  }
  EXPECT_EQ(walked, "1=I32(42) 2=Bool(true) ");
}

/// The nesting depth of an array or object chain, walked without recursion.
size_t chain_depth(const JsonValue& root) {
  size_t depth = 0;
  for (const JsonValue* v = &root;;) {
    if (v->is_array() && !v->elements().empty()) {
      v = &v->elements()[0];
    } else if (v->is_object() && !v->members().empty()) {
      v = &v->members()[0].value;
    } else {
      return depth + (v->is_array() || v->is_object() ? 1 : 0);
    }
    ++depth;
  }
}

TEST(JsonDom, DeepNestingNeedsNoCallStack) {
  constexpr size_t kDepth = 2'000'000;
  const std::string arrays = std::string(kDepth, '[') + std::string(kDepth, ']');
  auto doc = parse_json(arrays, true);
  ASSERT_TRUE(doc) << doc.error().text;
  EXPECT_EQ(chain_depth(doc.value().root()), kDepth);
  EXPECT_TRUE(json::accept(arrays));

  std::string objects;
  for (size_t i = 0; i < kDepth / 4; ++i) objects += "{\"k\":";
  objects.push_back('7');
  objects.append(kDepth / 4, '}');
  auto nested = parse_json(objects, true);
  ASSERT_TRUE(nested) << nested.error().text;
  EXPECT_EQ(chain_depth(nested.value().root()), kDepth / 4);

  for (const std::string& bad : {std::string(kDepth, '['), std::string(kDepth, '[') + std::string(kDepth - 1, ']'),
                                 std::string(kDepth, '[') + "}" + std::string(kDepth - 1, ']')}) {
    auto r = parse_json(bad, true);
    EXPECT_FALSE(r);
    EXPECT_FALSE(json::accept(bad));
  }
}

TEST(JsonDom, NestingBeyondTheBoundIsCheckedButNotBuilt) {
  constexpr size_t kDepth = 2'000'000;
  const std::string arrays = std::string(kDepth, '[') + std::string(kDepth, ']');
  auto doc = parse_json(arrays, true, JsonText::Borrowed, 5);
  ASSERT_TRUE(doc) << doc.error().text;
  const JsonValue* v = &doc.value().root();
  for (int level = 1; level <= 5; ++level) {
    ASSERT_TRUE(v->is_array()) << level;
    ASSERT_EQ(v->elements().size(), 1u);
    v = &v->elements()[0];
  }
  EXPECT_TRUE(v->is_too_deep());
  // Objects, escaped names and strings and empty containers past the bound are checked all the same.
  auto mixed = parse_json(R"([[{"a\n":[{}, "x\u0041", []], "b": 1}], 2])", true, JsonText::Borrowed, 2);
  ASSERT_TRUE(mixed) << mixed.error().text;
  EXPECT_TRUE(mixed.value().root().elements()[0].elements()[0].is_too_deep());
  EXPECT_EQ(mixed.value().root().elements()[1].integer(), 2);
  for (std::string_view bad : {R"([[[1,]]])", R"([[{"a" 1}]])", R"([[[}]])", R"([[["\q"]]])", "[[[[[[[["})
    EXPECT_FALSE(parse_json(bad, true, JsonText::Borrowed, 2)) << bad;
}

TEST(JsonDom, WideContainersKeepEveryElementInOrder) {
  std::string text = "[";
  for (int i = 0; i < 100000; ++i) {
    if (i) text.push_back(',');
    text.append(std::to_string(i * 3));
  }
  text += "]";
  std::string object = "{";
  for (int i = 99999; i >= 0; --i) {
    object.append("\"k").append(std::to_string(i)).append("\":").append(std::to_string(i));
    object.push_back(i ? ',' : '}');
  }
  for (const std::string& t : {text, object}) {
    auto doc = parse_json(t, true);
    ASSERT_TRUE(doc);
    EXPECT_TRUE(same_tree(doc.value().root(), json::parse(t)));
  }
}

}  // namespace
}  // namespace velvane::detail
