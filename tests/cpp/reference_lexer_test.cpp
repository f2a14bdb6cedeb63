// The reference compiler's dialect of the lexer: literals, quoting, dotted words, error offsets; and
// line/column positions.
#include <gtest/gtest.h>

#include <string>

#include "parser/lexer.h"

namespace velvane {
namespace {

/// The token stream as text forms joined by spaces, or "error at N: <message>".
std::string stream(std::string_view text) {
  size_t failed_at = 0;
  auto tokens = tokenize_reference(text, failed_at);
  if (!tokens.ok()) return "error at " + std::to_string(failed_at) + ": " + tokens.error().text;
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

class ReferenceTokens : public testing::TestWithParam<Case> {};

TEST_P(ReferenceTokens, Match) { EXPECT_EQ(stream(GetParam().input), GetParam().expected) << GetParam().input; }

INSTANTIATE_TEST_SUITE_P(
    Forms, ReferenceTokens,
    testing::Values(
        Case{"0x7f -0x10 +5 -3", "Number(127) Number(-16) Number(5) Number(-3)"},
        Case{"1.5 -0.5 1e3 2E-2 .5", "Real(1.5) Real(-0.5) Real(1000) Real(0.02) Real(0.5)"},
        Case{"true false", "Number(1) Number(0)"},
        Case{"E.A a.b.c x.", "Identifier(\"E.A\") Identifier(\"a.b.c\") Identifier(\"x\") Dot"},
        Case{"'a\"b' \"c\\'d\\n\"", "String(\"a\\\"b\") String(\"c'd\\n\")"},
        Case{"i32 & x", "Identifier(\"i32\") Ampersand Identifier(\"x\")"},
        Case{"'abc\ndef'", "error at 0: String literal not closed on its line"},
        Case{"x = 'a\\qb'", "error at 7: Bad escape character"},
        Case{"x = 99999999999999999999", "error at 4: Integer literal out of range: 99999999999999999999"},
        Case{"x = 0x10000000000000000", "error at 4: Integer literal out of range: 0x10000000000000000"},
        Case{"a @ b", "error at 2: Unexpected input: @ b"}));

TEST(Positions, LinesAndColumnsCountCharacters) {
  const std::string_view text = "ab\ncé d\n";
  EXPECT_EQ(position_of(text, 0).line, 1u);
  EXPECT_EQ(position_of(text, 3).line, 2u);
  EXPECT_EQ(position_of(text, 3).column, 1u);
  EXPECT_EQ(position_of(text, 7).column, 4u);  // 'd', after the two-byte é
  EXPECT_EQ(position_of(text, 100).line, 3u);   // past the end: the end
}

}  // namespace
}  // namespace velvane
