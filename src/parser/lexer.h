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
};

/// One token. `text` holds the word of a Keyword or Identifier and the characters between the
/// quotes of a String; `number` holds the value of a Number. Both are empty/zero otherwise.
struct Token {
  TokenKind kind = TokenKind::Comma;
  int64_t number = 0;
  std::string text;

  static Token Word(TokenKind kind, std::string_view text) { return Token{kind, 0, std::string(text)}; }
  static Token Number(int64_t value) { return Token{TokenKind::Number, value, {}}; }
  static Token Punct(TokenKind kind) { return Token{kind, 0, {}}; }

  bool is(TokenKind k) const { return kind == k; }
  bool is_keyword(std::string_view word) const { return kind == TokenKind::Keyword && text == word; }
  /// Keyword or Identifier: the tokens that carry a word.
  bool is_word() const { return kind == TokenKind::Keyword || kind == TokenKind::Identifier; }
  bool operator==(const Token&) const = default;
};

/// The kind's name as error messages show it: "Keyword", "Comma", "LeftParen", ...
std::string_view kind_name(TokenKind kind);

/// The form error messages show: `Keyword("struct")`, `Identifier("Point")`, `Number(-5)`,
/// `String("a.thrift")`, `Comma`, `LeftBrace`, ...
std::string to_text(const Token& token);

/// Splits IDL text into tokens. On failure the error text is the bare message, for example
/// "Unexpected input: + 4" or "Integer literal out of range: 99999999999999999999".
Result<std::vector<Token>> tokenize(std::string_view text);

}  // namespace velvane
