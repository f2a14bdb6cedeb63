// src/parser/lexer.cpp: the IDL lexer.
#include "parser/lexer.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <cstring>

#include "model/value.h"

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

/// What a byte can start; one table lookup per byte in the hot loops.
enum class CharClass : uint8_t { Other, Space, Letter, Digit, Minus, Quote, Slash, Hash, Punct, NonAscii };

constexpr std::array<CharClass, 256> make_char_classes() {
  std::array<CharClass, 256> t{};
  for (int c = 'a'; c <= 'z'; ++c) t[c] = CharClass::Letter;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = CharClass::Letter;
  for (int c = '0'; c <= '9'; ++c) t[c] = CharClass::Digit;
  for (int c = 0x80; c < 0x100; ++c) t[c] = CharClass::NonAscii;
  for (char c : std::string_view("(){}[]<>,;:=.*")) t[static_cast<unsigned char>(c)] = CharClass::Punct;
  t['_'] = CharClass::Letter;
  t[' '] = t['\t'] = t['\r'] = t['\n'] = CharClass::Space;
  t['-'] = CharClass::Minus;
  t['"'] = CharClass::Quote;
  t['/'] = CharClass::Slash;
  t['#'] = CharClass::Hash;
  return t;
}
constexpr std::array<CharClass, 256> kCharClass = make_char_classes();

CharClass char_class(char c) { return kCharClass[static_cast<unsigned char>(c)]; }
bool is_digit(char c) { return char_class(c) == CharClass::Digit; }
bool is_ascii_word_char(char c) { return char_class(c) == CharClass::Letter || char_class(c) == CharClass::Digit; }
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
  if (char_class(s[pos]) != CharClass::NonAscii) return is_ascii_word_char(s[pos]) ? 1 : 0;
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
    switch (char_class(s[pos])) {
      case CharClass::Space:
        ++pos;
        continue;
      case CharClass::Slash:
        if (pos + 1 < n && s[pos + 1] == '*') {
          const size_t close = s.find("*/", pos + 2);
          if (close == std::string_view::npos) return pos;
          pos = close + 2;
          continue;
        }
        if (pos + 1 >= n || s[pos + 1] != '/') return pos;
        [[fallthrough]];
      case CharClass::Hash: {
        const void* lf = std::memchr(s.data() + pos, '\n', n - pos);
        pos = lf ? static_cast<size_t>(static_cast<const char*>(lf) - s.data()) : n;
        continue;
      }
      default:
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

TokenKind punctuation_kind(char c) {
  switch (c) {
    case ',': return TokenKind::Comma;
    case ';': return TokenKind::Semicolon;
    case '(': return TokenKind::LeftParen;
    case ')': return TokenKind::RightParen;
    case '{': return TokenKind::LeftBrace;
    case '}': return TokenKind::RightBrace;
    case '[': return TokenKind::LeftBracket;
    case ']': return TokenKind::RightBracket;
    case '<': return TokenKind::LessThan;
    case '>': return TokenKind::GreaterThan;
    case ':': return TokenKind::Colon;
    case '=': return TokenKind::Equal;
    case '.': return TokenKind::Dot;
    default: return TokenKind::Asterisk;  // the only other byte of class Punct
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
  static constexpr std::array<std::string_view, 20> kNames = {
      "Keyword",    "Identifier", "Number",      "String",       "Comma",    "Semicolon",
      "LeftParen",  "RightParen", "LeftBrace",   "RightBrace",   "LeftBracket", "RightBracket",
      "LessThan",   "GreaterThan", "Colon",      "Equal",        "Dot",      "Asterisk",
      "Real",       "Ampersand"};
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
    case TokenKind::Real: {
      char buf[32];
      auto end = std::to_chars(buf, buf + sizeof buf, token.real).ptr;
      out += '(';
      out.append(buf, end);
      out += ')';
      break;
    }
    default:
      break;
  }
  return out;
}

Result<std::vector<Token>> tokenize(std::string_view text) {
  size_t failed_at = 0;
  return tokenize(text, failed_at);
}

Result<std::vector<Token>> tokenize(std::string_view text, size_t& failed_at) {
  std::vector<Token> tokens;
  tokens.reserve(text.size() / 4 + 1);  // real IDL runs at four to six bytes per token
  size_t pos = 0;
  const auto add = [&](TokenKind kind) -> Token& {
    Token& token = tokens.emplace_back();
    token.kind = kind;
    token.offset = pos;
    return token;
  };
  const size_t n = text.size();
  for (;;) {
    pos = skip_trivia(text, pos);
    if (pos == n) break;
    const CharClass cls = char_class(text[pos]);
    if (cls == CharClass::Quote) {
      const void* close = std::memchr(text.data() + pos + 1, '"', n - pos - 1);
      if (!close) break;
      const size_t end = static_cast<size_t>(static_cast<const char*>(close) - text.data());
      add(TokenKind::String).text.assign(text.data() + pos + 1, end - pos - 1);
      pos = end + 1;
    } else if (cls == CharClass::Digit || (cls == CharClass::Minus && pos + 1 < n && is_digit(text[pos + 1]))) {
      size_t end = pos + 1;
      while (end < n && is_digit(text[end])) ++end;
      const std::string_view literal = text.substr(pos, end - pos);
      int64_t value;
      if (!parse_integer(literal, value)) {
        failed_at = pos;
        return out_of_range(literal);
      }
      add(TokenKind::Number).number = value;
      pos = end;
    } else if (cls == CharClass::Letter) {
      size_t end = pos + 1;
      for (;;) {
        while (end < n && is_ascii_word_char(text[end])) ++end;
        if (end == n || char_class(text[end]) != CharClass::NonAscii) break;
        const size_t len = identifier_char_at(text, end);
        if (len == 0) break;
        end += len;
      }
      const std::string_view word = text.substr(pos, end - pos);
      add(is_keyword(word) ? TokenKind::Keyword : TokenKind::Identifier).text.assign(word);
      pos = end;
    } else if (cls == CharClass::Punct) {
      add(punctuation_kind(text[pos]));
      ++pos;
    } else {
      break;
    }
  }
  const std::string_view rest = trim_white_space(text.substr(pos));
  if (!rest.empty()) {
    failed_at = static_cast<size_t>(rest.data() - text.data());
    std::string message = "Unexpected input: ";
    message += shown_prefix(rest);
    return Error{ErrorKind::InvalidData, std::move(message)};
  }
  return tokens;
}


// --- the reference compiler's dialect -------------------------------------------------------------

namespace {

bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

Error lex_error(std::string text) { return Error{ErrorKind::InvalidData, std::move(text)}; }

/// A quoted literal starting at `pos` (its quote mark); the text with escapes applied.
/// A string that does not end on its line fails at its opening quote; a bad escape at the escape.
Status read_quoted(std::string_view s, size_t& pos, std::string& out) {
  const size_t start = pos;
  const char mark = s[pos++];
  for (;;) {
    if (pos == s.size() || s[pos] == '\n') {
      pos = start;
      return lex_error("String literal not closed on its line");
    }
    const char c = s[pos++];
    if (c == mark) return Status::Ok();
    if (c != '\\') {
      out += c;
      continue;
    }
    if (pos == s.size()) {
      pos = start;
      return lex_error("String literal not closed on its line");
    }
    switch (const char e = s[pos++]) {
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case '"':
      case '\'':
      case '\\': out += e; break;
      default: --pos; return lex_error("Bad escape character");
    }
  }
}

/// A number starting at `pos`: [+-] then hex (0x..), a decimal integer, or a floating-point
/// literal (digits, optional fraction, optional exponent). False when nothing numeric starts there.
Status read_number(std::string_view s, size_t& pos, Token& token) {
  const size_t start = pos;
  size_t i = pos;
  if (s[i] == '+' || s[i] == '-') ++i;
  const bool negative = s[start] == '-';
  if (i + 1 < s.size() && s[i] == '0' && s[i + 1] == 'x') {
    size_t end = i + 2;
    while (end < s.size() && is_hex_digit(s[end])) ++end;
    if (end == i + 2) return lex_error("Bad hexadecimal literal");
    uint64_t value = 0;
    for (size_t k = i + 2; k < end; ++k) {
      if (value >> 60) return lex_error("Integer literal out of range: " + std::string(s.substr(start, end - start)));
      const char c = s[k];
      value = value * 16 + static_cast<uint64_t>(is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
    }
    if (value > (uint64_t{1} << 63) - (negative ? 0 : 1))
      return lex_error("Integer literal out of range: " + std::string(s.substr(start, end - start)));
    token.kind = TokenKind::Number;
    token.number = negative ? static_cast<int64_t>(0 - value) : static_cast<int64_t>(value);
    pos = end;
    return Status::Ok();
  }
  size_t end = i;
  while (end < s.size() && is_digit(s[end])) ++end;
  bool real = false;
  if (end + 1 < s.size() && s[end] == '.' && is_digit(s[end + 1])) {
    real = true;
    for (++end; end < s.size() && is_digit(s[end]);) ++end;
  }
  if (end == i) return lex_error("Unexpected input: " + std::string(shown_prefix(s.substr(start))));
  if (end < s.size() && (s[end] == 'e' || s[end] == 'E')) {
    size_t e = end + 1;
    if (e < s.size() && (s[e] == '+' || s[e] == '-')) ++e;
    if (e < s.size() && is_digit(s[e])) {
      real = true;
      for (end = e; end < s.size() && is_digit(s[end]);) ++end;
    }
  }
  const std::string literal(s.substr(start, end - start));
  if (real) {
    token.kind = TokenKind::Real;
    token.real = std::strtod(literal.c_str(), nullptr);
  } else {
    token.kind = TokenKind::Number;
    if (!parse_integer(s[start] == '+' ? literal.substr(1) : literal, token.number))
      return out_of_range(literal);
  }
  pos = end;
  return Status::Ok();
}

}  // namespace

Result<std::vector<Token>> tokenize_reference(std::string_view text, size_t& failed_at) {
  std::vector<Token> tokens;
  const size_t n = text.size();
  size_t pos = 0;
  const auto fail = [&](Error error) -> Result<std::vector<Token>> {
    failed_at = pos;
    return error;
  };
  for (;;) {
    pos = skip_trivia(text, pos);
    if (pos == n) return tokens;
    Token token;
    token.offset = pos;
    const char c = text[pos];
    const CharClass cls = char_class(c);
    if (c == '"' || c == '\'') {
      token.kind = TokenKind::String;
      if (Status st = read_quoted(text, pos, token.text); !st) return fail(st.take_error());
    } else if (cls == CharClass::Digit || ((c == '-' || c == '+') && pos + 1 < n &&
                                           (is_digit(text[pos + 1]) || text[pos + 1] == '.'))) {
      if (Status st = read_number(text, pos, token); !st) return fail(st.take_error());
    } else if (c == '.' && pos + 1 < n && is_digit(text[pos + 1])) {
      if (Status st = read_number(text, pos, token); !st) return fail(st.take_error());
    } else if (cls == CharClass::Letter) {
      size_t end = pos + 1;
      while (end < n && (is_ascii_word_char(text[end]) ||
                         (text[end] == '.' && end + 1 < n && is_ascii_word_char(text[end + 1]))))
        ++end;
      const std::string_view word = text.substr(pos, end - pos);
      if (word == "true" || word == "false") {
        token.kind = TokenKind::Number;
        token.number = word == "true";
      } else {
        token.kind = TokenKind::Identifier;
        token.text.assign(word);
      }
      pos = end;
    } else if (cls == CharClass::Punct) {
      token.kind = punctuation_kind(c);
      ++pos;
    } else if (c == '&') {
      token.kind = TokenKind::Ampersand;
      ++pos;
    } else {
      std::string message = "Unexpected input: ";
      message += shown_prefix(trim_white_space(text.substr(pos)));
      return fail(lex_error(std::move(message)));
    }
    tokens.push_back(std::move(token));
  }
}

SourcePosition position_of(std::string_view text, size_t offset) {
  offset = std::min(offset, text.size());
  SourcePosition at;
  size_t line_start = 0;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++at.line;
      line_start = i + 1;
    }
  }
  for (size_t i = line_start; i < offset; ++i)
    if (!is_continuation_byte(static_cast<unsigned char>(text[i]))) ++at.column;
  return at;
}

}  // namespace velvane
