// IDL parser: definitions, resolution (typedef, enum, extends, defaults), error texts, limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "parser/parser.h"

namespace velvane {
namespace {

ThriftDocument parse_ok(std::string_view text) {
  auto doc = parse_document(text);
  if (!doc.ok()) {
    ADD_FAILURE() << "parse failed: " << doc.error().text << "\n  for: " << text;
    return {};
  }
  return std::move(doc).value();
}

std::string parse_error(std::string_view text) {
  auto doc = parse_document(text);
  return doc.ok() ? "<parsed>" : doc.error().text;
}

/// "id:name:Type" per field, required fields marked with '!', joined by spaces.
std::string describe(const std::vector<ThriftField>& fields) {
  std::string out;
  for (const auto& f : fields) {
    if (!out.empty()) out += ' ';
    out += std::to_string(f.id) + ':' + f.name + ':' + to_text(f.field_type) + (f.required ? "!" : "");
  }
  return out;
}

std::string describe_struct(const ThriftDocument& doc, const std::string& name) {
  auto it = doc.structs.find(name);
  return it == doc.structs.end() ? "<missing>" : describe(it->second.fields);
}

std::string repeat(std::string_view piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// --- definitions ------------------------------------------------------------------------------

TEST(Definitions, EmptyTextsGiveEmptyDocuments) {
  for (const char* text : {"", "  \n", "// only a comment", "; ; S x 5 extends"}) {
    ThriftDocument doc = parse_ok(text);
    EXPECT_TRUE(doc.includes.empty() && doc.structs.empty() && doc.services.empty() && doc.enums.empty() &&
                doc.namespaces.empty())
        << text;
  }
}

TEST(Definitions, IncludesAndNamespaces) {
  ThriftDocument doc = parse_ok(
      "include \"idl/shared.thrift\"; include \"b.thrift\"\n"
      "namespace py example.gen\n"
      "namespace * example;\n"
      "namespace java \"com.acme\".gen.struct\n"
      "namespace py second.value\n");
  EXPECT_EQ(doc.includes, (std::vector<std::string>{"idl/shared.thrift", "b.thrift"}));
  EXPECT_EQ(doc.namespaces.size(), 3u);
  EXPECT_EQ(doc.namespaces["py"], "second.value");
  EXPECT_EQ(doc.namespaces["*"], "example");
  EXPECT_EQ(doc.namespaces["java"], "com.acme.gen.struct");
}

TEST(Definitions, TopLevelSkipsStrayTokensAndConstantsLeaveNoTrace) {
  ThriftDocument doc = parse_ok("struct S { 1: i32 a }; const i32 X = 5; S");
  EXPECT_EQ(describe_struct(doc, "S"), "1:a:I32");
  EXPECT_EQ(doc.structs.size(), 1u);
  EXPECT_TRUE(doc.enums.empty() && doc.services.empty());
}

TEST(Definitions, FieldsWithQualifiersIdsAndAnnotations) {
  ThriftDocument doc = parse_ok(
      "struct S (cpp.type = \"x\") {\n"
      "  1: required i32 a,\n"
      "  2: optional string b;\n"
      "  70000: list<map<string, set<binary>>> c\n"
      "  -1: i32 (a = \"v\") d = 5 (b.c = \"w\"),\n"
      "  2: bool a\n"
      "} (final = \"yes\")");
  EXPECT_EQ(describe_struct(doc, "S"),
            "1:a:I32! 2:b:String 4464:c:List(Map(String, Set(Binary))) -1:d:I32 2:a:Bool");
  EXPECT_EQ(to_text(*doc.structs["S"].fields[3].default_value), "I32(5)");
}

TEST(Definitions, StructsUnionsAndExceptionsShareOneTable) {
  ThriftDocument doc = parse_ok(
      "struct X { 1: i32 a } union U { 1: i32 a 2: string b } exception X { 1: string message }");
  EXPECT_EQ(doc.structs.size(), 2u);
  EXPECT_EQ(describe_struct(doc, "X"), "1:message:String");
  EXPECT_EQ(describe_struct(doc, "U"), "1:a:I32 2:b:String");
  EXPECT_EQ(doc.structs["X"].name, "X");
}

TEST(Definitions, ServicesAndMethods) {
  ThriftDocument doc = parse_ok(
      "service Calc (x = \"y\") {\n"
      "  i32 add(1: i32 a, 2: i32 b,) throws (1: Oops e, 2: Bad b),\n"
      "  oneway void ping() (deprecated)\n"
      "  map<string, list<Item>> items(1: string q;);\n"
      "}");
  const ServiceDef& s = doc.services["Calc"];
  ASSERT_EQ(s.methods.size(), 3u);
  EXPECT_EQ(s.methods[0].name, "add");
  EXPECT_EQ(to_text(s.methods[0].return_type), "I32");
  EXPECT_EQ(describe(s.methods[0].arguments), "1:a:I32 2:b:I32");
  EXPECT_EQ(describe(s.methods[0].exceptions), "1:e:Struct(\"Oops\") 2:b:Struct(\"Bad\")");
  EXPECT_FALSE(s.methods[0].oneway);
  EXPECT_TRUE(s.methods[1].oneway);
  EXPECT_EQ(to_text(s.methods[1].return_type), "Struct(\"void\")");
  EXPECT_TRUE(s.methods[1].return_type.is_void());
  EXPECT_TRUE(s.methods[1].arguments.empty() && s.methods[1].exceptions.empty());
  EXPECT_EQ(to_text(s.methods[2].return_type), "Map(String, List(Struct(\"Item\")))");
  EXPECT_EQ(describe(s.methods[2].arguments), "1:q:String");
}

struct EnumCase {
  const char* text;
  std::vector<std::pair<std::string, int32_t>> values;
};

class Enums : public testing::TestWithParam<EnumCase> {};

TEST_P(Enums, Values) {
  ThriftDocument doc = parse_ok(GetParam().text);
  ASSERT_EQ(doc.enums.count("E"), 1u) << GetParam().text;
  const auto& values = doc.enums["E"].values;
  EXPECT_EQ(values.size(), GetParam().values.size()) << GetParam().text;
  for (const auto& [name, value] : GetParam().values) {
    auto it = values.find(name);
    ASSERT_NE(it, values.end()) << name;
    EXPECT_EQ(it->second, value) << GetParam().text << " " << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Counter, Enums,
    testing::Values(EnumCase{"enum E { A, B = 5, C }", {{"A", 0}, {"B", 5}, {"C", 6}}},
                    EnumCase{"enum E { A = -1; B }", {{"A", -1}, {"B", 0}}},
                    EnumCase{"enum E { , ; A ;; B, }", {{"A", 0}, {"B", 1}}},
                    EnumCase{"enum E { A = 2147483647, B }", {{"A", 2147483647}, {"B", -2147483647 - 1}}},
                    EnumCase{"enum E { A = 4294967298, B = -4294967295 }", {{"A", 2}, {"B", 1}}},
                    EnumCase{"enum E { A = 1, B, A = 7 }", {{"A", 7}, {"B", 2}}},
                    EnumCase{"enum E {} (x = \"y\");", {}}));

// --- resolution -------------------------------------------------------------------------------

TEST(Resolution, TypedefsAreSubstitutedAtTheirUse) {
  ThriftDocument doc = parse_ok(
      "struct Early { 1: Timestamp t }\n"
      "typedef i64 Timestamp\n"
      "typedef list<Timestamp> Times;\n"
      "typedef map<string, Times> Index\n"
      "struct S { 1: Timestamp a 2: shared.Timestamp b 3: Times c 4: Index d 5: a.b.Index e 6: Other f }");
  EXPECT_EQ(describe_struct(doc, "Early"), "1:t:Struct(\"Timestamp\")");
  EXPECT_EQ(describe_struct(doc, "S"),
            "1:a:I64 2:b:I64 3:c:List(I64) 4:d:Map(String, List(I64)) 5:e:Map(String, List(I64)) "
            "6:f:Struct(\"Other\")");
}

TEST(Resolution, BuiltInWordsAreNotAliasedAndUnknownWordsStayStructs) {
  ThriftDocument doc = parse_ok(
      "typedef string i32\n"
      "struct S { 1: i32 a 2: i8 b 3: uuid c 4: shared.Point d 5: void e }");
  EXPECT_EQ(describe_struct(doc, "S"),
            "1:a:I32 2:b:Struct(\"i8\") 3:c:Struct(\"uuid\") 4:d:Struct(\"shared.Point\") 5:e:Struct(\"void\")");
}

TEST(Resolution, EnumsResolveToI32OnlyBelowTheirDefinition) {
  ThriftDocument doc = parse_ok(
      "struct Before { 1: Color c = Color.RED }\n"
      "enum Color { RED = 3, GREEN }\n"
      "struct After { 1: Color c = Color.GREEN 2: x.Color d = Color.RED }");
  EXPECT_EQ(describe_struct(doc, "Before"), "1:c:Struct(\"Color\")");
  EXPECT_EQ(to_text(*doc.structs["Before"].fields[0].default_value), "Struct { name: \"Color\", fields: {} }");
  EXPECT_EQ(describe_struct(doc, "After"), "1:c:I32 2:d:I32");
  EXPECT_EQ(to_text(*doc.structs["After"].fields[0].default_value), "I32(4)");
  EXPECT_EQ(to_text(*doc.structs["After"].fields[1].default_value), "I32(3)");
}

TEST(Resolution, ExtendsMergesParentFieldsFirstAlongChains) {
  ThriftDocument doc = parse_ok(
      "struct A { 1: i32 x }\n"
      "struct B extends A { 2: string y }\n"
      "exception C extends B (a = \"b\") { 3: bool z }");
  EXPECT_EQ(describe_struct(doc, "B"), "1:x:I32 2:y:String");
  EXPECT_EQ(describe_struct(doc, "C"), "1:x:I32 2:y:String 3:z:Bool");
  EXPECT_EQ(describe_struct(doc, "A"), "1:x:I32");
}

TEST(Resolution, DuplicatesAreOnlyCheckedUnderExtends) {
  EXPECT_EQ(describe_struct(parse_ok("struct P { 1: i32 a 1: i32 b 2: i32 a }"), "P"), "1:a:I32 1:b:I32 2:a:I32");
  EXPECT_EQ(parse_error("struct A {} struct B extends A { 1: i32 a 1: i32 b }"),
            "Syntax error: Duplicate inherited field 'b' in extends A");
  EXPECT_EQ(parse_error("struct A {} struct B extends A { 1: i32 a 2: i32 a }"),
            "Syntax error: Duplicate inherited field 'a' in extends A");
  // A parent that holds duplicates itself is copied as it is.
  EXPECT_EQ(describe_struct(parse_ok("struct P { 1: i32 a 1: i32 b } struct C extends P { 2: i32 c }"), "C"),
            "1:a:I32 1:b:I32 2:c:I32");
}

TEST(Resolution, ServiceExtendsMergesMethods) {
  ThriftDocument doc = parse_ok(
      "service Base { void ping() }\n"
      "service Mid extends Base { i32 add(1: i32 a) }\n"
      "service Top extends Mid { oneway void bye() }");
  std::string names;
  for (const auto& m : doc.services["Top"].methods) names += m.name + ' ';
  EXPECT_EQ(names, "ping add bye ");
  EXPECT_EQ(describe(doc.services["Top"].methods[1].arguments), "1:a:I32");
  EXPECT_EQ(parse_ok("service S { void a() void a() }").services["S"].methods.size(), 2u);
}

TEST(Resolution, LaterDefinitionsReplaceEarlierOnesForLaterLookups) {
  ThriftDocument doc = parse_ok(
      "struct A { 1: i32 x } struct B extends A { 5: i32 b }\n"
      "struct A { 2: string y } struct C extends A { 5: i32 c }");
  EXPECT_EQ(describe_struct(doc, "B"), "1:x:I32 5:b:I32");
  EXPECT_EQ(describe_struct(doc, "C"), "2:y:String 5:c:I32");
}

struct DefaultCase {
  const char* type;
  const char* value;
  const char* expected;  // text form of the default, or "none"
};

class Defaults : public testing::TestWithParam<DefaultCase> {};

TEST_P(Defaults, AreConvertedByTheFieldType) {
  const auto& c = GetParam();
  std::string text = std::string("enum Color { RED = 7 }\nstruct S { 1: ") + c.type + " f = " + c.value +
                     ", 2: i32 after }";
  ThriftDocument doc = parse_ok(text);
  const auto& fields = doc.structs["S"].fields;
  ASSERT_EQ(fields.size(), 2u) << text;
  EXPECT_EQ(fields[1].name, "after");
  EXPECT_EQ(fields[0].default_value ? to_text(*fields[0].default_value) : "none", c.expected) << text;
}

INSTANTIATE_TEST_SUITE_P(
    ValueTable, Defaults,
    testing::Values(
        DefaultCase{"bool", "1", "Bool(true)"}, DefaultCase{"bool", "0", "Bool(false)"},
        DefaultCase{"bool", "-3", "Bool(true)"}, DefaultCase{"bool", "true", "Bool(true)"},
        DefaultCase{"bool", "false", "Bool(false)"}, DefaultCase{"bool", "yes", "none"},
        DefaultCase{"bool", "\"true\"", "none"},
        DefaultCase{"byte", "300", "Byte(44)"}, DefaultCase{"byte", "-129", "Byte(127)"},
        DefaultCase{"i16", "70000", "I16(4464)"}, DefaultCase{"i32", "4294967297", "I32(1)"},
        DefaultCase{"i64", "-9223372036854775808", "I64(-9223372036854775808)"},
        DefaultCase{"i32", "Color.RED", "I32(7)"}, DefaultCase{"byte", "Color.RED", "Byte(7)"},
        DefaultCase{"double", "Color.RED", "Double(7.0)"}, DefaultCase{"double", "2", "Double(2.0)"},
        DefaultCase{"i32", "Color.BLUE", "none"}, DefaultCase{"i32", "UNKNOWN_CONST", "none"},
        DefaultCase{"i32", "a.b.c", "none"}, DefaultCase{"i32", "\"5\"", "none"},
        DefaultCase{"i32", "[1]", "none"},
        DefaultCase{"string", "\"a b\"", "String(\"a b\")"}, DefaultCase{"string", "word", "String(\"word\")"},
        DefaultCase{"string", "struct", "String(\"struct\")"}, DefaultCase{"string", "5", "none"},
        DefaultCase{"binary", "\"hi\"", "Binary([104, 105])"}, DefaultCase{"binary", "hi", "none"},
        DefaultCase{"list<i32>", "[1, 2; 3]", "List([I32(1), I32(2), I32(3)])"},
        DefaultCase{"list<i32>", "[]", "List([])"}, DefaultCase{"list<i32>", "[1, x]", "none"},
        DefaultCase{"set<string>", "[\"a\" b]", "Set([String(\"a\"), String(\"b\")])"},
        DefaultCase{"list<list<byte>>", "[[1], [256, 257]]", "List([List([Byte(1)]), List([Byte(0), Byte(1)])])"},
        DefaultCase{"map<string, i32>", "{\"a\": 1, \"b\": Color.RED}",
                    "Map([(String(\"a\"), I32(1)), (String(\"b\"), I32(7))])"},
        DefaultCase{"map<i32, bool>", "{1: 0; 2: true}", "Map([(I32(1), Bool(false)), (I32(2), Bool(true))])"},
        DefaultCase{"map<i32, i32>", "{1: }", "none"},
        DefaultCase{"Point", "{\"x\": 1, \"y\": [2, 3]}", "Struct { name: \"Point\", fields: {} }"},
        DefaultCase{"Point", "Point.ORIGIN", "Struct { name: \"Point\", fields: {} }"},
        DefaultCase{"i32", "5 (note = \"n\")", "I32(5)"},
        DefaultCase{"list<Point>", "[{\"x\": 1}, , Point.A,]",
                    "List([Struct { name: \"Point\", fields: {} }, Struct { name: \"Point\", fields: {} }, "
                    "Struct { name: \"Point\", fields: {} }])"}));

TEST(Resolution, StructElementsThatTakeNoTokenEndTheList) {
  // Nothing can be read for a struct element in front of `)` or `}`; the list fails instead of
  // collecting empty struct values forever, and the skip of the whole value then finds the `[`
  // unclosed.
  EXPECT_EQ(parse_error("struct S { 1: list<Point> a = [ }"), "Syntax error: Unbalanced brackets in value");
  EXPECT_EQ(parse_error("service X { void f(1: set<P> b = [ ) }"), "Syntax error: Unbalanced brackets in value");
}

TEST(Resolution, FailedDefaultsSkipToTheNextItem) {
  // The skipper takes bracketed groups whole and stops at the next keyword, number, separator or
  // closing bracket it did not open.
  ThriftDocument doc = parse_ok("struct S { 1: i32 a = nope.x(1, 2) \"s\" [3] 2: i32 b = {x} 3: i32 c }");
  EXPECT_EQ(describe_struct(doc, "S"), "1:a:I32 2:b:I32 3:c:I32");
  EXPECT_FALSE(doc.structs["S"].fields[0].default_value || doc.structs["S"].fields[1].default_value);
  // Constants are read and forgotten, good or bad.
  EXPECT_EQ(describe_struct(parse_ok("const i32 A = 1; const list<i32> B = [1, x] const Point C = {\"x\": 1}\n"
                                     "const map<i32,i32> D = {1: [x]} struct S { 1: i32 a }"),
                            "S"),
            "1:a:I32");
}

/// Every struct and service, by name: "S{1:a:I32 2:b:I32} X{f(1:a:I32)}".
std::string describe_document(const ThriftDocument& doc) {
  std::vector<std::string> parts;
  for (const auto& [name, def] : doc.structs) parts.push_back(name + '{' + describe(def.fields) + '}');
  for (const auto& [name, def] : doc.services) {
    std::string methods;
    for (const auto& m : def.methods) methods += (methods.empty() ? "" : " ") + m.name + '(' + describe(m.arguments) + ')';
    parts.push_back(name + '{' + methods + '}');
  }
  std::sort(parts.begin(), parts.end());
  std::string out;
  for (const auto& part : parts) out += (out.empty() ? "" : " ") + part;
  return out;
}

struct SkipCase {
  const char* text;
  const char* definitions;    // describe_document of the result
  const char* first_default;  // text form of S's first default, or "none"
};

class FailedValues : public testing::TestWithParam<SkipCase> {};

TEST_P(FailedValues, SkipExactlyTheirOwnTokens) {
  const auto& c = GetParam();
  ThriftDocument doc = parse_ok(c.text);
  EXPECT_EQ(describe_document(doc), c.definitions) << c.text;
  const auto& fields = doc.structs["S"].fields;
  EXPECT_EQ(fields.empty() || !fields[0].default_value ? "none" : to_text(*fields[0].default_value), c.first_default)
      << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Brackets, FailedValues,
    testing::Values(
        SkipCase{"struct S { 1: set<i32> a = {}, 2: i32 b }", "S{1:a:Set(I32) 2:b:I32}", "none"},
        SkipCase{"struct P {} struct S { 1: list<P> a = [{}], 2: i32 b }", "P{} S{1:a:List(Struct(\"P\")) 2:b:I32}",
                 "List([Struct { name: \"P\", fields: {} }])"},
        SkipCase{"struct S { 1: list<i8> a = [1, 2], 2: i32 b }", "S{1:a:List(Struct(\"i8\")) 2:b:I32}",
                 "List([Struct { name: \"i8\", fields: {} }, Struct { name: \"i8\", fields: {} }])"},
        SkipCase{"struct P { 1: i32 a } const list<P> X = [{\"a\": 1}] struct S { 1: i32 b }",
                 "P{1:a:I32} S{1:b:I32}", "none"},
        SkipCase{"struct S { 1: map<string, list<i32>> m = {\"a\": [1, {}], \"b\": [(2), [[]]]}, 2: i32 b }",
                 "S{1:m:Map(String, List(I32)) 2:b:I32}", "none"},
        SkipCase{"struct S { 1: list<i32> a = [[1], {2: (3)}] 2: i32 b = [x] } struct T { 1: i32 c }",
                 "S{1:a:List(I32) 2:b:I32} T{1:c:I32}", "none"},
        SkipCase{"struct S { 1: i32 a = {} } const set<i32> X = {1, [2]}", "S{1:a:I32}", "none"},
        SkipCase{"struct S { 1: i32 a } const list<Point> X = [{\"x\": [\"}\", \"]\"]}]", "S{1:a:I32}", "none"},
        SkipCase{"struct S { 1: set<string> a = {\"}\", \"]\"}, 2: list<i32> b = [\"{\", \"(\"], 3: i32 c }",
                 "S{1:a:Set(String) 2:b:List(I32) 3:c:I32}", "none"},
        SkipCase{"service X { void f(1: set<i32> a = {}, 2: i32 b) } struct S { 1: Point p = {} }",
                 "S{1:p:Struct(\"Point\")} X{f(1:a:Set(I32) 2:b:I32)}", "Struct { name: \"Point\", fields: {} }"}));

// --- error messages ---------------------------------------------------------------------------

struct ErrorCase {
  const char* text;
  const char* message;
};

class ErrorMessages : public testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorMessages, AreExact) { EXPECT_EQ(parse_error(GetParam().text), GetParam().message) << GetParam().text; }

INSTANTIATE_TEST_SUITE_P(
    Texts, ErrorMessages,
    testing::Values(
        ErrorCase{"x = 3 + 4", "Syntax error: Unexpected input: + 4"},
        ErrorCase{"struct S { 1: i32 x } /* open", "Syntax error: Unexpected input: /* open"},
        ErrorCase{"éclair", "Syntax error: Unexpected input: éclair"},
        ErrorCase{"struct S { 1: i32 x = 99999999999999999999 }",
                  "Syntax error: Integer literal out of range: 99999999999999999999"},
        ErrorCase{"struct S { string name }", "Unexpected token: Identifier(\"string\")"},
        ErrorCase{"service S { void ping(, ) }", "Unexpected token: Comma"},
        ErrorCase{"struct S { 1: i32 x", "End of input"},
        ErrorCase{"struct S { 1: list<i32> a = [1, 2 }, 2: i32 b }", "Syntax error: Unbalanced brackets in value"},
        ErrorCase{"struct S { 1: Point p = {\"x\": [1}] }", "Syntax error: Unbalanced brackets in value"},
        ErrorCase{"const map<i32,i32> D = {1: [}]}", "Syntax error: Unbalanced brackets in value"},
        ErrorCase{"const list<i32> X = [1, 2 struct S { 1: i32 b }", "Syntax error: Unbalanced brackets in value"},
        ErrorCase{"struct S { 1:", "End of input"},
        ErrorCase{"struct S", "End of input"},
        ErrorCase{"struct {", "Unexpected token: LeftBrace"},
        ErrorCase{"struct S { 1 i32 x }", "Unexpected token: Identifier(\"i32\")"},
        ErrorCase{"struct S { 1: optional }", "Unexpected token: RightBrace"},
        ErrorCase{"struct S { 1: i32 x (a = \"v\") = 5 }", "Unexpected token: Equal"},
        ErrorCase{"struct S { 1: double d = 1.5 }", "Unexpected token: Dot"},
        ErrorCase{"struct S { 1: i32 struct }", "Unexpected token: Keyword(\"struct\")"},
        ErrorCase{"struct S { 1: list<i32 x }", "Unexpected token: Identifier(\"x\")"},
        ErrorCase{"struct S { 1: map<i32> m }", "Unexpected token: GreaterThan"},
        ErrorCase{"struct S { 1: list i }", "Unexpected token: Identifier(\"i\")"},
        ErrorCase{"struct S { 1: \"str\" x }", "Unexpected token: String(\"str\")"},
        ErrorCase{"struct S (a = (b) { }", "End of input"},
        ErrorCase{"struct S extends { }", "Unexpected token: LeftBrace"},
        ErrorCase{"struct S extends a. { }", "Unexpected token: LeftBrace"},
        ErrorCase{"typedef struct X", "Unexpected token: Keyword(\"struct\")"},
        ErrorCase{"typedef i32", "End of input"},
        ErrorCase{"const i32", "End of input"},
        ErrorCase{"include foo", "Unexpected token: Identifier(\"foo\")"},
        ErrorCase{"include", "End of input"},
        ErrorCase{"namespace 5 x", "Unexpected token: Number(5)"},
        ErrorCase{"namespace py 5", "Unexpected token: Number(5)"},
        ErrorCase{"namespace py a.", "End of input"},
        ErrorCase{"namespace py a.,", "Unexpected token: Comma"},
        ErrorCase{"enum E { A = B }", "Unexpected token: Identifier(\"B\")"},
        ErrorCase{"enum E { A", "End of input"},
        ErrorCase{"enum E { 1 }", "Unexpected token: Number(1)"},
        ErrorCase{"service S { oneway", "End of input"},
        ErrorCase{"service S { void ping() throws 1 }", "Unexpected token: Number(1)"},
        ErrorCase{"service S { void ping(1: string\nmulti\") }", "Syntax error: Unexpected input: \") }"},
        ErrorCase{"struct S { 1: string s = \"a\nb\" 2: }", "Unexpected token: RightBrace"},
        ErrorCase{"struct S { \"a\nb\" }", "Unexpected token: String(\"a\\nb\")"},
        ErrorCase{"struct B extends A { 1: i32 x }", "Syntax error: Unknown parent struct: A"},
        ErrorCase{"struct A {} struct B extends x.A {}", "Syntax error: Unknown parent struct: x.A"},
        ErrorCase{"service S { void ping() } struct B extends S {}", "Syntax error: Unknown parent struct: S"},
        ErrorCase{"struct Base { 1: i64 id } struct D extends Base { 1: string z }",
                  "Syntax error: Duplicate inherited field 'z' in extends Base"},
        ErrorCase{"struct Base { 1: i64 id } struct D extends Base { 2: string id }",
                  "Syntax error: Duplicate inherited field 'id' in extends Base"},
        ErrorCase{"service S extends BaseService {}", "Syntax error: Unknown parent service: BaseService"},
        ErrorCase{"service BaseService { void ping() } service S extends BaseService { i32 ping() }",
                  "Syntax error: Duplicate inherited method 'ping' in extends BaseService"},
        ErrorCase{"service B { void a() } service S extends B { void b() void b() }",
                  "Syntax error: Duplicate inherited method 'b' in extends B"}));

// --- limits -----------------------------------------------------------------------------------

std::string nested_list_type(size_t depth) { return repeat("list<", depth) + "i32" + repeat(">", depth); }

std::string nested_list_text(size_t depth) { return repeat("List(", depth) + "I32" + repeat(")", depth); }

TEST(Limits, TypeNestingIsBounded) {
  ThriftDocument doc = parse_ok("struct S { 1: " + nested_list_type(kMaxTypeDepth) + " x }");
  EXPECT_EQ(describe_struct(doc, "S"), "1:x:" + nested_list_text(kMaxTypeDepth));
  EXPECT_EQ(parse_error("struct S { 1: " + nested_list_type(kMaxTypeDepth + 1) + " x }"),
            "Syntax error: Nesting too deep");
  EXPECT_EQ(parse_error("service S { " + nested_list_type(20000) + " f() }"), "Syntax error: Nesting too deep");
  EXPECT_EQ(parse_error("const " + repeat("map<i32, ", 50000)), "Syntax error: Nesting too deep");
}

TEST(Limits, NestingThroughTypedefsIsBounded) {
  std::string text = "typedef i32 T0\n";
  for (int i = 1; i <= kMaxTypeDepth; ++i)
    text += "typedef list<T" + std::to_string(i - 1) + "> T" + std::to_string(i) + "\n";
  std::string deepest = "T" + std::to_string(kMaxTypeDepth);
  EXPECT_EQ(describe_struct(parse_ok(text + "struct S { 1: " + deepest + " x }"), "S"),
            "1:x:" + nested_list_text(kMaxTypeDepth));
  EXPECT_EQ(parse_error(text + "struct S { 1: list<" + deepest + "> x }"), "Syntax error: Nesting too deep");
  EXPECT_EQ(parse_error(text + "typedef set<" + deepest + "> Deeper"), "Syntax error: Nesting too deep");
}

TEST(Limits, TypedefBlowUpIsBounded) {
  // Each alias doubles its predecessor: 2^40 nodes if nothing stopped it.
  std::string text = "typedef i32 T0\n";
  for (int i = 1; i <= 40; ++i) {
    const std::string prev = 'T' + std::to_string(i - 1);
    text += "typedef map<" + prev + ", " + prev + "> T" + std::to_string(i) + '\n';
  }
  EXPECT_EQ(parse_error(text), "Syntax error: Schema too large");
}

TEST(Limits, ExtendsChainCopiesAreBounded) {
  std::string text = "struct S0 { 1: i32 f0 }\n";
  for (int i = 1; i < 4000; ++i)
    text += "struct S" + std::to_string(i) + " extends S" + std::to_string(i - 1) + " { " + std::to_string(i + 1) +
            ": i32 f" + std::to_string(i) + " }\n";
  EXPECT_EQ(parse_error(text), "Syntax error: Schema too large");
  // A realistic chain is far below the bound.
  ThriftDocument doc = parse_ok("struct S0 { 1: i32 f0 } struct S1 extends S0 { 2: i32 f1 } struct S2 extends S1 { 3: i32 f2 }");
  EXPECT_EQ(describe_struct(doc, "S2"), "1:f0:I32 2:f1:I32 3:f2:I32");
}

TEST(Limits, DeepBracketsAreSkippedWithoutRecursion) {
  const size_t depth = 100000;
  // Balanced: the skipper walks them all and the next field is read.
  ThriftDocument doc = parse_ok("struct S { 1: list<i32> a = [" + repeat("[", depth) + repeat("]", depth) +
                                "] 2: Point p = " + repeat("{", depth) + repeat("}", depth) + ", 3: i32 c }");
  EXPECT_EQ(describe_struct(doc, "S"), "1:a:List(I32) 2:p:Struct(\"Point\") 3:c:I32");
  // Unbalanced: the skipper fails at the mismatched closer, or at the end of the text.
  EXPECT_EQ(parse_error("struct S { 1: list<i32> a = " + repeat("[", depth) + " }"),
            "Syntax error: Unbalanced brackets in value");
  EXPECT_EQ(parse_error("const Point p = " + repeat("{(", depth)), "Syntax error: Unbalanced brackets in value");
}

TEST(Limits, DeepAnnotationsAreCountedWithoutRecursion) {
  const size_t depth = 100000;
  ThriftDocument doc =
      parse_ok("struct S " + repeat("(", depth) + repeat(")", depth) + " { 1: i32 a " + repeat("(", depth) +
               "x" + repeat(")", depth) + " }");
  EXPECT_EQ(describe_struct(doc, "S"), "1:a:I32");
  EXPECT_EQ(parse_error("struct S { 1: i32 a " + repeat("(", depth) + " }"), "End of input");
}

}  // namespace
}  // namespace velvane
