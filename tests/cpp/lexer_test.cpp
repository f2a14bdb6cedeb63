// IDL lexer: token streams, comments, integer literals, Unicode identifiers and error texts.
#include <gtest/gtest.h>

#include <string>

#include "parser/lexer.h"

namespace velvane {
namespace {

/// The token stream as the text forms joined by spaces, or "error: <message>".
std::string stream(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens.ok()) return "error: " + tokens.error().text;
  std::string out;
  for (const auto& token : tokens.value()) {
    if (!out.empty()) out += ' ';
    out += to_text(token);
  }
  return out;
}

struct Case {
  const char* input;
  const char* expected;
};

class TokenStream : public testing::TestWithParam<Case> {};

TEST_P(TokenStream, Matches) { EXPECT_EQ(stream(GetParam().input), GetParam().expected) << GetParam().input; }

INSTANTIATE_TEST_SUITE_P(
    Forms, TokenStream,
    testing::Values(
        Case{"struct Foo { 1: i32 x }",
             "Keyword(\"struct\") Identifier(\"Foo\") LeftBrace Number(1) Colon Identifier(\"i32\") "
             "Identifier(\"x\") RightBrace"},
        Case{"enum E { A = -1 }",
             "Keyword(\"enum\") Identifier(\"E\") LeftBrace Identifier(\"A\") Equal Number(-1) RightBrace"},
        Case{"(){}[]<>,;:=.*",
             "LeftParen RightParen LeftBrace RightBrace LeftBracket RightBracket LessThan GreaterThan Comma "
             "Semicolon Colon Equal Dot Asterisk"},
        Case{"include namespace typedef const enum struct union exception service extends throws oneway "
             "required optional",
             "Keyword(\"include\") Keyword(\"namespace\") Keyword(\"typedef\") Keyword(\"const\") "
             "Keyword(\"enum\") Keyword(\"struct\") Keyword(\"union\") Keyword(\"exception\") "
             "Keyword(\"service\") Keyword(\"extends\") Keyword(\"throws\") Keyword(\"oneway\") "
             "Keyword(\"required\") Keyword(\"optional\")"},
        Case{"Struct structs i32 void true list _x x_1",
             "Identifier(\"Struct\") Identifier(\"structs\") Identifier(\"i32\") Identifier(\"void\") "
             "Identifier(\"true\") Identifier(\"list\") Identifier(\"_x\") Identifier(\"x_1\")"},
        Case{"a.b", "Identifier(\"a\") Dot Identifier(\"b\")"},
        Case{"1.5", "Number(1) Dot Number(5)"},
        Case{"0x10", "Number(0) Identifier(\"x10\")"},
        Case{"1e5", "Number(1) Identifier(\"e5\")"},
        Case{"007 -0", "Number(7) Number(0)"},
        Case{"x-1", "Identifier(\"x\") Number(-1)"},
        Case{"\"a.thrift\"", "String(\"a.thrift\")"},
        Case{"\"// not a comment\" x", "String(\"// not a comment\") Identifier(\"x\")"},
        Case{"\"line\none\"", "String(\"line\\none\")"},
        Case{"\"a\\b\" \"c\\\"", "String(\"a\\\\b\") String(\"c\\\\\")"},
        Case{"\"\"", "String(\"\")"},
        Case{"", ""},
        Case{" \t\r\n ", ""},
        Case{"9223372036854775807 -9223372036854775808", "Number(9223372036854775807) Number(-9223372036854775808)"}));

INSTANTIATE_TEST_SUITE_P(
    CommentsAndWhitespace, TokenStream,
    testing::Values(Case{"a // comment without line feed", "Identifier(\"a\")"},
                    Case{"a # hash comment\nb", "Identifier(\"a\") Identifier(\"b\")"},
                    Case{"a /* block */ b", "Identifier(\"a\") Identifier(\"b\")"},
                    Case{"a/**/b", "Identifier(\"a\") Identifier(\"b\")"},
                    Case{"a /* one */ /* two */ // three\n # four\n b", "Identifier(\"a\") Identifier(\"b\")"},
                    Case{"a /* no /* nesting */ b", "Identifier(\"a\") Identifier(\"b\")"},
                    Case{"a /* trailing block */", "Identifier(\"a\")"},
                    Case{"a # trailing hash", "Identifier(\"a\")"},
                    Case{"a \n\n  \n", "Identifier(\"a\")"},
                    Case{"a\f", "Identifier(\"a\")"},
                    Case{"a \xC2\xA0\xE2\x80\x83", "Identifier(\"a\")"},  // NBSP and em space trail
                    Case{"x /* */ 1 /*/ still comment */ 2", "Identifier(\"x\") Number(1) Number(2)"}));

INSTANTIATE_TEST_SUITE_P(
    Unicode, TokenStream,
    testing::Values(Case{"café", "Identifier(\"café\")"},
                    Case{"x\xD9\xA3", "Identifier(\"x\xD9\xA3\")"},         // Arabic-Indic digit three (Nd)
                    Case{"x\xE2\x85\xA0", "Identifier(\"x\xE2\x85\xA0\")"},   // Roman numeral one (Nl)
                    Case{"x\xC2\xBD", "Identifier(\"x\xC2\xBD\")"},           // vulgar fraction one half (No)
                    Case{"k\xE0\xA4\xBE", "Identifier(\"k\xE0\xA4\xBE\")"},   // Devanagari vowel sign AA (Other_Alphabetic)
                    Case{"x\xE2\x92\xB6", "Identifier(\"x\xE2\x92\xB6\")"},   // circled capital A (Other_Alphabetic)
                    Case{"x\xF0\x9D\x90\x80", "Identifier(\"x\xF0\x9D\x90\x80\")"},  // mathematical bold A
                    Case{"\"\xE2\x9C\x93\"", "String(\"\xE2\x9C\x93\")"}));

INSTANTIATE_TEST_SUITE_P(
    Errors, TokenStream,
    testing::Values(
        Case{"x = 3 + 4", "error: Unexpected input: + 4"},
        Case{"/* unterminated", "error: Unexpected input: /* unterminated"},
        Case{"a /* unterminated\n  ", "error: Unexpected input: /* unterminated"},
        Case{"x 'abc' y", "error: Unexpected input: 'abc' y"},
        Case{"x \"never closed", "error: Unexpected input: \"never closed"},
        Case{"- 1", "error: Unexpected input: - 1"},
        Case{"a @b", "error: Unexpected input: @b"},
        Case{"a / b", "error: Unexpected input: / b"},
        Case{"a\fb", "error: Unexpected input: b"},  // the form feed stops the loop, then is trimmed
        Case{"éclair", "error: Unexpected input: éclair"},
        Case{"x \xE2\x9C\x93", "error: Unexpected input: \xE2\x9C\x93"},  // check mark: a symbol, not a letter
        Case{"a + 0123456789012345678901234567890123456789XYZ",
             "error: Unexpected input: + 01234567890123456789012345678901234567"},
        Case{"x\xCC\x81", "error: Unexpected input: \xCC\x81"},  // combining acute: not Alphabetic
        Case{"a \xFF\xFE", "error: Unexpected input: \xFF\xFE"},
        Case{"99999999999999999999", "error: Integer literal out of range: 99999999999999999999"},
        Case{"9223372036854775808", "error: Integer literal out of range: 9223372036854775808"},
        Case{"-9223372036854775809", "error: Integer literal out of range: -9223372036854775809"},
        Case{"1234567890123456789012345678901234567890123",
             "error: Integer literal out of range: 1234567890123456789012345678901234567890..."}));

TEST(LexerErrors, CutMovesToCharacterBoundary) {
  // "+" then 19 two-byte characters: byte 40 would split the twentieth one.
  std::string rest = "+";
  for (int i = 0; i < 25; ++i) rest += "é";
  auto tokens = tokenize("a " + rest);
  ASSERT_FALSE(tokens.ok());
  EXPECT_EQ(tokens.error().text, "Unexpected input: " + rest.substr(0, 39));
}

TEST(LexerErrors, RestIsTrimmedOfUnicodeWhiteSpaceAtBothEnds) {
  EXPECT_EQ(stream("a \xE3\x80\x80+\xE2\x80\xA8\v"), "error: Unexpected input: +");
}

TEST(TokenText, EscapesPayloads) {
  EXPECT_EQ(to_text(Token::Word(TokenKind::String, "a\"b\\c\nd\te")), "String(\"a\\\"b\\\\c\\nd\\te\")");
  EXPECT_EQ(to_text(Token::Word(TokenKind::Keyword, "struct")), "Keyword(\"struct\")");
  EXPECT_EQ(to_text(Token::Number(-5)), "Number(-5)");
  EXPECT_EQ(to_text(Token::Punct(TokenKind::GreaterThan)), "GreaterThan");
}

TEST(TokenPayloads, StringsAndNumbersAreStoredRaw) {
  auto tokens = tokenize("\"a\\nb\" -42 include");
  ASSERT_TRUE(tokens.ok());
  ASSERT_EQ(tokens.value().size(), 3u);
  EXPECT_EQ(tokens.value()[0].text, "a\\nb");  // no escape processing
  EXPECT_EQ(tokens.value()[1].number, -42);
  EXPECT_TRUE(tokens.value()[2].is_keyword("include"));
}

}  // namespace
}  // namespace velvane
