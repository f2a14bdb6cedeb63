// src/parser/lexer.h: the IDL lexer, text in, flat token list out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.h"

namespace velvane {

enum class TokenKind : uint8_t {
  Keyword,
  Identifier,
  Number,
  String,
  Comma,
  Semicolon,
  LeftParen,
  RightParen,
  LeftBrace,
  RightBrace,
  LeftBracket,
  RightBracket,
  LessThan,
  GreaterThan,
  Colon,
  Equal,
  Dot,
  Asterisk,
  Real,       // a floating-point literal; only the reference compiler's dialect has them
  Ampersand,  // `&` of a C++ reference field; only the reference compiler's dialect has it
};

/// One token. `text` holds the word of a Keyword or Identifier and the characters between the
/// quotes of a String; `number` holds the value of a Number, `real` that of a Real. `offset` is
/// where the token begins in the text (for error positions); equality ignores it.
struct Token {
  TokenKind kind = TokenKind::Comma;
  int64_t number = 0;
  std::string text;
  double real = 0;
  size_t offset = 0;

  static Token Word(TokenKind kind, std::string_view text) { return Token{kind, 0, std::string(text)}; }
  static Token Number(int64_t value) { return Token{TokenKind::Number, value, {}}; }
  static Token Punct(TokenKind kind) { return Token{kind, 0, {}}; }

  bool is(TokenKind k) const { return kind == k; }
  bool is_keyword(std::string_view word) const { return kind == TokenKind::Keyword && text == word; }
  /// Keyword or Identifier: the tokens that carry a word.
  bool is_word() const { return kind == TokenKind::Keyword || kind == TokenKind::Identifier; }
  bool operator==(const Token& o) const {
    return kind == o.kind && number == o.number && text == o.text && (real == o.real || kind != TokenKind::Real);
  }
};

/// The kind's name as error messages show it: "Keyword", "Comma", "LeftParen", ...
std::string_view kind_name(TokenKind kind);

/// The form error messages show: `Keyword("struct")`, `Identifier("Point")`, `Number(-5)`,
/// `String("a.thrift")`, `Comma`, `LeftBrace`, ...
std::string to_text(const Token& token);

/// Splits IDL text into tokens. On failure the error text is the bare message, for example
/// "Unexpected input: + 4" or "Integer literal out of range: 99999999999999999999".
Result<std::vector<Token>> tokenize(std::string_view text);

/// `tokenize` that also reports where it failed.
Result<std::vector<Token>> tokenize(std::string_view text, size_t& failed_at);

/// Splits IDL text the way the reference Thrift compiler does: identifiers may hold dots (`a.b`
/// is one Identifier); strings take single or double quotes, end on their line and know the
/// escapes of n, r, t, both quotes and the backslash; numbers may be hexadecimal (`0x7f`, signed)
/// or floating point (`1.5`, `1e3`, giving Real); `true` and `false` are the Numbers 1 and 0, and
/// `&` is a token. Every word is an Identifier. On failure `failed_at` is the byte offset of the
/// problem.
Result<std::vector<Token>> tokenize_reference(std::string_view text, size_t& failed_at);

/// 1-based line and column (in characters) of a byte offset of `text`.
struct SourcePosition {
  uint32_t line = 1;
  uint32_t column = 1;
};
SourcePosition position_of(std::string_view text, size_t offset);

}  // namespace velvane
