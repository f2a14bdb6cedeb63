// src/parser/lexer.cpp: the IDL lexer.
#include "parser/lexer.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "protocol/value.h"

namespace velvane {
namespace {

struct CodepointRange {
  char32_t first;
  char32_t last;
};

#include "parser/unicode_tables.inc"

/// Error messages show at most this many bytes of the offending text.
constexpr size_t kShownBytes = 40;

template <size_t N>
bool in_ranges(const CodepointRange (&table)[N], char32_t cp) {
  auto it = std::upper_bound(std::begin(table), std::end(table), cp,
                             [](char32_t value, const CodepointRange& r) { return value < r.first; });
  return it != std::begin(table) && cp <= std::prev(it)->last;
}

bool is_white_space(char32_t cp) { return in_ranges(kWhiteSpaceRanges, cp); }

bool is_ascii_letter(unsigned char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; }
bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool is_ascii_word_char(unsigned char c) { return is_ascii_letter(c) || is_digit(c) || c == '_'; }
bool is_continuation_byte(unsigned char c) { return (c & 0xC0) == 0x80; }

/// Decodes one well-formed UTF-8 sequence at `pos`; returns its length, or 0 when the bytes there
/// are not one (truncated, overlong, surrogate, beyond U+10FFFF).
size_t decode_utf8(std::string_view s, size_t pos, char32_t& cp) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[pos + i]); };
  const unsigned char lead = byte(0);
  size_t len;
  char32_t min;
  if (lead < 0x80) {
    cp = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    len = 2, min = 0x80, cp = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    len = 3, min = 0x800, cp = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    len = 4, min = 0x10000, cp = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() - pos < len) return 0;
  for (size_t i = 1; i < len; ++i) {
    if (!is_continuation_byte(byte(i))) return 0;
    cp = (cp << 6) | (byte(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

/// Length of the character that starts at `pos` when it may continue an identifier, else 0.
size_t identifier_char_at(std::string_view s, size_t pos) {
  const auto c = static_cast<unsigned char>(s[pos]);
  if (c < 0x80) return is_ascii_word_char(c) ? 1 : 0;
  char32_t cp;
  size_t len = decode_utf8(s, pos, cp);
  return len != 0 && in_ranges(kIdentifierContinueRanges, cp) ? len : 0;
}

std::string_view trim_white_space(std::string_view s) {
  char32_t cp;
  while (!s.empty()) {
    size_t len = decode_utf8(s, 0, cp);
    if (len == 0 || !is_white_space(cp)) break;
    s.remove_prefix(len);
  }
  while (!s.empty()) {
    size_t start = s.size() - 1;
    while (start > 0 && s.size() - start < 4 && is_continuation_byte(static_cast<unsigned char>(s[start]))) --start;
    size_t len = decode_utf8(s, start, cp);
    if (len != s.size() - start || !is_white_space(cp)) break;
    s.remove_suffix(len);
  }
  return s;
}

/// The first bytes of `s` for a message, cut back to a character boundary when the cut would
/// split a multi-byte character.
std::string_view shown_prefix(std::string_view s) {
  if (s.size() <= kShownBytes) return s;
  size_t cut = kShownBytes;
  for (int back = 0; back < 3 && is_continuation_byte(static_cast<unsigned char>(s[cut])); ++back) --cut;
  if (is_continuation_byte(static_cast<unsigned char>(s[cut]))) cut = kShownBytes;  // not UTF-8 anyway
  return s.substr(0, cut);
}

/// Position of the first byte at or after `pos` that is not whitespace or part of a comment.
/// A `/*` without a closing `*/` is not a comment and stays in place.
size_t skip_trivia(std::string_view s, size_t pos) {
  const size_t n = s.size();
  while (pos < n) {
    const char c = s[pos];
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      ++pos;
    } else if (c == '#' || (c == '/' && pos + 1 < n && s[pos + 1] == '/')) {
      const void* lf = std::memchr(s.data() + pos, '\n', n - pos);
      pos = lf ? static_cast<size_t>(static_cast<const char*>(lf) - s.data()) : n;
    } else if (c == '/' && pos + 1 < n && s[pos + 1] == '*') {
      size_t close = s.find("*/", pos + 2);
      if (close == std::string_view::npos) return pos;
      pos = close + 2;
    } else {
      return pos;
    }
  }
  return pos;
}

bool is_keyword(std::string_view w) {
  switch (w.size()) {
    case 4: return w == "enum";
    case 5: return w == "const" || w == "union";
    case 6: return w == "struct" || w == "throws" || w == "oneway";
    case 7: return w == "include" || w == "typedef" || w == "service" || w == "extends";
    case 8: return w == "required" || w == "optional";
    case 9: return w == "namespace" || w == "exception";
    default: return false;
  }
}

/// Sets `kind` and returns true when `c` is one of the fourteen punctuation characters.
bool punctuation_kind(char c, TokenKind& kind) {
  switch (c) {
    case ',': kind = TokenKind::Comma; return true;
    case ';': kind = TokenKind::Semicolon; return true;
    case '(': kind = TokenKind::LeftParen; return true;
    case ')': kind = TokenKind::RightParen; return true;
    case '{': kind = TokenKind::LeftBrace; return true;
    case '}': kind = TokenKind::RightBrace; return true;
    case '[': kind = TokenKind::LeftBracket; return true;
    case ']': kind = TokenKind::RightBracket; return true;
    case '<': kind = TokenKind::LessThan; return true;
    case '>': kind = TokenKind::GreaterThan; return true;
    case ':': kind = TokenKind::Colon; return true;
    case '=': kind = TokenKind::Equal; return true;
    case '.': kind = TokenKind::Dot; return true;
    case '*': kind = TokenKind::Asterisk; return true;
    default: return false;
  }
}

/// Converts an optional '-' and a run of ASCII digits to a 64-bit integer; false on overflow.
bool parse_integer(std::string_view literal, int64_t& out) {
  const bool negative = literal[0] == '-';
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t value = 0;
  for (size_t i = negative ? 1 : 0; i < literal.size(); ++i) {
    const uint64_t digit = static_cast<uint64_t>(literal[i] - '0');
    if (value > (limit - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
  return true;
}

Error out_of_range(std::string_view literal) {
  std::string text = "Integer literal out of range: ";
  text += shown_prefix(literal);
  if (literal.size() > kShownBytes) text += "...";
  return Error{ErrorKind::InvalidData, std::move(text)};
}

}  // namespace

std::string_view kind_name(TokenKind kind) {
  static constexpr std::array<std::string_view, 18> kNames = {
      "Keyword",    "Identifier", "Number",      "String",       "Comma",    "Semicolon",
      "LeftParen",  "RightParen", "LeftBrace",   "RightBrace",   "LeftBracket", "RightBracket",
      "LessThan",   "GreaterThan", "Colon",      "Equal",        "Dot",      "Asterisk"};
  return kNames[static_cast<size_t>(kind)];
}

std::string to_text(const Token& token) {
  std::string out(kind_name(token.kind));
  switch (token.kind) {
    case TokenKind::Keyword:
    case TokenKind::Identifier:
    case TokenKind::String:
      out += '(';
      out += quoted(token.text);
      out += ')';
      break;
    case TokenKind::Number:
      out += '(';
      out += std::to_string(token.number);
      out += ')';
      break;
    default:
      break;
  }
  return out;
}

Result<std::vector<Token>> tokenize(std::string_view text) {
  std::vector<Token> tokens;
  tokens.reserve(text.size() / 8 + 1);
  const size_t n = text.size();
  size_t pos = 0;
  for (;;) {
    pos = skip_trivia(text, pos);
    if (pos == n) break;
    const auto c = static_cast<unsigned char>(text[pos]);
    TokenKind punct;
    if (c == '"') {
      const void* close = std::memchr(text.data() + pos + 1, '"', n - pos - 1);
      if (!close) break;
      const size_t end = static_cast<size_t>(static_cast<const char*>(close) - text.data());
      tokens.push_back(Token::Word(TokenKind::String, text.substr(pos + 1, end - pos - 1)));
      pos = end + 1;
    } else if (is_digit(c) || (c == '-' && pos + 1 < n && is_digit(static_cast<unsigned char>(text[pos + 1])))) {
      size_t end = pos + 1;
      while (end < n && is_digit(static_cast<unsigned char>(text[end]))) ++end;
      const std::string_view literal = text.substr(pos, end - pos);
      int64_t value;
      if (!parse_integer(literal, value)) return out_of_range(literal);
      tokens.push_back(Token::Number(value));
      pos = end;
    } else if (is_ascii_letter(c) || c == '_') {
      size_t end = pos + 1;
      while (end < n) {
        const size_t len = identifier_char_at(text, end);
        if (len == 0) break;
        end += len;
      }
      const std::string_view word = text.substr(pos, end - pos);
      tokens.push_back(Token::Word(is_keyword(word) ? TokenKind::Keyword : TokenKind::Identifier, word));
      pos = end;
    } else if (punctuation_kind(static_cast<char>(c), punct)) {
      tokens.push_back(Token::Punct(punct));
      ++pos;
    } else {
      break;
    }
  }
  const std::string_view rest = trim_white_space(text.substr(pos));
  if (!rest.empty()) {
    std::string message = "Unexpected input: ";
    message += shown_prefix(rest);
    return Error{ErrorKind::InvalidData, std::move(message)};
  }
  return tokens;
}

}  // namespace velvane
