// src/protocol/json_dom.cpp: the strict JSON parser behind the JSON readers.
//
// The parser is iterative: open containers live on its own stacks (values read so far, member
// names, one frame per open container), so a hostile `[[[[…` costs memory, never the call stack.
// When a container closes, its elements move from the stack into one arena block; an object whose
// names are not already strictly ascending (the writer's output always is) is sorted once then.
#include "protocol/json_dom.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

namespace velvane::detail {

JsonValue JsonValue::boolean(bool b) {
  JsonValue v(Kind::Bool, 0);
  v.boolean_ = b;
  return v;
}

JsonValue JsonValue::unsigned_number(uint64_t n) {
  JsonValue v(Kind::Unsigned, 0);
  v.unsigned_ = n;
  return v;
}

JsonValue JsonValue::signed_number(int64_t n) {
  JsonValue v(Kind::Integer, 0);
  v.signed_ = n;
  return v;
}

JsonValue JsonValue::float_number(double d) {
  JsonValue v(Kind::Float, 0);
  v.float_ = d;
  return v;
}

JsonValue JsonValue::string(const char* chars, uint32_t size) {
  JsonValue v(Kind::String, size);
  v.chars_ = chars;
  return v;
}

JsonValue JsonValue::array(const JsonValue* elements, uint32_t size) {
  JsonValue v(Kind::Array, size);
  v.elements_ = elements;
  return v;
}

JsonValue JsonValue::object(const JsonMember* members, uint32_t size) {
  JsonValue v(Kind::Object, size);
  v.members_ = members;
  return v;
}

std::optional<int64_t> JsonValue::integer() const {
  if (kind_ == Kind::Unsigned) return static_cast<int64_t>(unsigned_);
  if (kind_ == Kind::Integer) return signed_;
  return std::nullopt;
}

double JsonValue::number() const {
  switch (kind_) {
    case Kind::Unsigned: return static_cast<double>(unsigned_);
    case Kind::Integer: return static_cast<double>(signed_);
    case Kind::Float: return float_;
    default: return 0.0;
  }
}

const JsonValue* JsonValue::find(std::string_view name) const {
  const auto all = members();
  const auto it = std::lower_bound(all.begin(), all.end(), name,
                                   [](const JsonMember& m, std::string_view n) { return m.name < n; });
  return it != all.end() && it->name == name ? &it->value : nullptr;
}

void* JsonArena::allocate_bytes(size_t bytes, size_t align) {
  const size_t pad = (align - reinterpret_cast<uintptr_t>(next_) % align) % align;
  if (next_ && pad + bytes <= left_) {
    void* out = next_ + pad;
    next_ += pad + bytes;
    left_ -= pad + bytes;
    return out;
  }
  // A request of more than half a block gets a block of its own; the current block stays in use.
  constexpr size_t kMaxBlock = size_t{16} << 20;
  if (bytes > block_size_ / 2 && next_) {
    blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(bytes));
    return blocks_.back().get();
  }
  const size_t size = std::max(block_size_, bytes);
  blocks_.push_back(std::make_unique_for_overwrite<std::byte[]>(size));
  next_ = blocks_.back().get() + bytes;  // new[] storage is aligned for every fundamental type
  left_ = size - bytes;
  block_size_ = std::min(block_size_ * 2, std::max(kMaxBlock, block_size_));  // doubling up to 16 MiB
  return blocks_.back().get();
}

namespace {

constexpr size_t kMaxItems = std::numeric_limits<uint32_t>::max();

bool is_digit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

/// Length of the well-formed UTF-8 sequence (2 to 4 bytes) starting at `p`, or 0. Overlong forms,
/// encoded surrogates and code points above U+10FFFF are not well-formed.
size_t utf8_sequence_length(const char* p, const char* end) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(p[i]); };
  const unsigned char lead = byte(0);
  size_t length;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (static_cast<size_t>(end - p) < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

/// The sign of the decimal exponent of a number's first significant digit; from_chars says only
/// "out of range" for a magnitude above the double range and for one that rounds to zero.
bool magnitude_is_huge(std::string_view number) {
  size_t i = number.front() == '-' ? 1 : 0;
  int64_t point = 0;  // digits before the decimal point
  int64_t first = -1;  // index among all significand digits of the first that is not 0
  int64_t index = 0;
  for (; i < number.size() && (is_digit(number[i]) || number[i] == '.'); ++i) {
    if (number[i] == '.') {
      point = index;
      continue;
    }
    if (number[i] != '0' && first < 0) first = index;
    ++index;
  }
  if (first < 0) return false;
  if (number.find('.') == std::string_view::npos) point = index;
  int64_t exponent = 0;
  bool negative_exponent = false;
  if (i < number.size()) {  // at 'e' or 'E'
    ++i;
    if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative_exponent = number[i++] == '-';
    for (; i < number.size(); ++i) exponent = std::min<int64_t>(exponent * 10 + (number[i] - '0'), int64_t{1} << 40);
  }
  if (negative_exponent) exponent = -exponent;
  return point - first - 1 + exponent > 0;
}

}  // namespace

class JsonParser {
 public:
  JsonParser(std::string_view text, JsonArena& arena, size_t max_depth, JsonOrder order)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()), arena_(arena), max_depth_(max_depth),
        order_(order) {
    // Enough for the usual document without growing step by step.
    values_.reserve(64);
    names_.reserve(32);
    frames_.reserve(16);
  }

  bool parse(JsonValue& root, bool whole_input);
  const std::string& error() const { return error_; }

 private:
  /// An open container: where its elements begin on the value stack, and for an object where its
  /// names begin on the name stack.
  struct Frame {
    size_t values_start;
    size_t names_start;
    bool object;
  };

  bool fail(const char* at, const char* what);
  bool fail_here(const char* what) { return fail(p_, what); }
  bool at_end_of_text() const { return p_ == end_ || *p_ == '\0'; }
  void skip_whitespace() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool skip_byte_order_mark();

  bool read_scalar(JsonValue& out);
  bool read_literal(std::string_view word, JsonValue value, JsonValue& out);
  bool read_number(JsonValue& out);
  bool read_string(std::string_view& out);
  bool read_escaped_rest(const char* start, std::string_view& out);
  bool read_escape();
  bool read_hex4(uint32_t& out);
  bool read_member_name();

  bool open_container(bool object, JsonValue& empty, bool& opened);
  bool skipping() const { return !skipped_.empty(); }
  bool close_skipped(JsonValue& out);
  bool close_array(JsonValue& out);
  bool close_object(JsonValue& out);
  bool unexpected_in_container(bool object);

  const char* const begin_;
  const char* p_;
  const char* const end_;
  JsonArena& arena_;
  const size_t max_depth_;
  std::vector<bool> skipped_;  // open containers beyond max_depth_ (true: object), innermost last
  const JsonOrder order_;
  std::vector<JsonValue> values_;
  std::vector<std::string_view> names_;
  std::vector<Frame> frames_;
  std::string scratch_;  // decoded text of a string with escapes
  std::string error_;
};

bool JsonParser::fail(const char* at, const char* what) {
  error_ = "syntax error at byte " + std::to_string(at - begin_) + ": " + what;
  return false;
}

bool JsonParser::skip_byte_order_mark() {
  if (p_ == end_ || static_cast<unsigned char>(*p_) != 0xEF) return true;
  if (end_ - p_ < 3 || static_cast<unsigned char>(p_[1]) != 0xBB || static_cast<unsigned char>(p_[2]) != 0xBF)
    return fail_here("invalid byte order mark");
  p_ += 3;
  return true;
}

bool JsonParser::parse(JsonValue& root, bool whole_input) {
  if (!skip_byte_order_mark()) return false;
  for (;;) {
    // A value starts here: a scalar, or a container that is either empty or now open.
    skip_whitespace();
    JsonValue value;
    if (p_ != end_ && (*p_ == '[' || *p_ == '{')) {
      bool opened = false;
      if (!open_container(*p_ == '{', value, opened)) return false;
      if (opened) continue;
    } else if (!read_scalar(value)) {
      return false;
    }
    // The value is complete: it joins the innermost open container, which may close in turn.
    for (;;) {
      if (frames_.empty() && !skipping()) {
        root = value;
        if (!whole_input) return true;
        skip_whitespace();
        return at_end_of_text() || fail_here("unexpected character after the value");
      }
      if (!skipping()) values_.push_back(value);
      const bool object = skipping() ? skipped_.back() : frames_.back().object;
      skip_whitespace();
      if (p_ != end_ && *p_ == ',') {
        ++p_;
        if (object && !read_member_name()) return false;
        break;
      }
      if (p_ != end_ && *p_ == (object ? '}' : ']')) {
        ++p_;
        if (!(skipping() ? close_skipped(value) : object ? close_object(value) : close_array(value))) return false;
        continue;
      }
      return unexpected_in_container(object);
    }
  }
}

bool JsonParser::unexpected_in_container(bool object) {
  if (at_end_of_text()) return fail_here("unexpected end of input");
  return fail_here(object ? "expected ',' or '}'" : "expected ',' or ']'");
}

/// At '[' or '{'. An empty container is complete at once (`opened` stays false); otherwise it is
/// pushed and, for an object, its first member name read.
bool JsonParser::open_container(bool object, JsonValue& empty, bool& opened) {
  ++p_;
  skip_whitespace();
  const bool too_deep = skipping() || frames_.size() >= max_depth_;
  if (p_ != end_ && *p_ == (object ? '}' : ']')) {
    ++p_;
    empty = too_deep ? JsonValue::too_deep() : object ? JsonValue::object(nullptr, 0) : JsonValue::array(nullptr, 0);
    return true;
  }
  if (too_deep) {
    skipped_.push_back(object);
  } else {
    frames_.push_back(Frame{values_.size(), names_.size(), object});
  }
  opened = true;
  return !object || read_member_name();
}

/// A member name and its ':' (after '{' or ',').
bool JsonParser::read_member_name() {
  skip_whitespace();
  if (p_ == end_ || *p_ != '"')
    return at_end_of_text() ? fail_here("unexpected end of input") : fail_here("expected a member name");
  std::string_view name;
  if (!read_string(name)) return false;
  skip_whitespace();
  if (p_ == end_ || *p_ != ':') return at_end_of_text() ? fail_here("unexpected end of input") : fail_here("expected ':'");
  ++p_;
  if (!skipping()) names_.push_back(name);
  return true;
}

/// A container beyond the depth bound closes: the outermost of them becomes one TooDeep value.
bool JsonParser::close_skipped(JsonValue& out) {
  skipped_.pop_back();
  out = JsonValue::too_deep();
  return true;
}

bool JsonParser::close_array(JsonValue& out) {
  const size_t start = frames_.back().values_start;
  frames_.pop_back();
  const size_t count = values_.size() - start;
  if (count > kMaxItems) return fail_here("array too large");
  JsonValue* elements = arena_.allocate<JsonValue>(count);
  std::copy(values_.begin() + static_cast<ptrdiff_t>(start), values_.end(), elements);
  values_.resize(start);
  out = JsonValue::array(elements, static_cast<uint32_t>(count));
  return true;
}

bool JsonParser::close_object(JsonValue& out) {
  const Frame frame = frames_.back();
  frames_.pop_back();
  const size_t count = values_.size() - frame.values_start;
  if (count > kMaxItems) return fail_here("object too large");
  JsonMember* members = arena_.allocate<JsonMember>(count);
  bool ascending = true;
  for (size_t i = 0; i < count; ++i) {
    members[i] = JsonMember{names_[frame.names_start + i], values_[frame.values_start + i]};
    if (i > 0 && !(members[i - 1].name < members[i].name)) ascending = false;
  }
  values_.resize(frame.values_start);
  names_.resize(frame.names_start);
  size_t kept = count;
  if (!ascending && order_ == JsonOrder::ByName) {
    // Of members with equal names the last one stays, as if each replaced the one before.
    const auto by_name = [](const JsonMember& a, const JsonMember& b) { return a.name < b.name; };
    std::stable_sort(members, members + count, by_name);
    kept = 0;
    for (size_t i = 0; i < count; ++i)
      if (i + 1 == count || members[i + 1].name != members[i].name) members[kept++] = members[i];
  }
  out = JsonValue::object(members, static_cast<uint32_t>(kept));
  return true;
}

bool JsonParser::read_scalar(JsonValue& out) {
  if (at_end_of_text()) return fail_here("unexpected end of input");
  switch (*p_) {
    case '"': {
      std::string_view text;
      if (!read_string(text)) return false;
      out = JsonValue::string(text.data(), static_cast<uint32_t>(text.size()));
      return true;
    }
    case 't': return read_literal("true", JsonValue::boolean(true), out);
    case 'f': return read_literal("false", JsonValue::boolean(false), out);
    case 'n': return read_literal("null", JsonValue::null(), out);
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': return read_number(out);
    default: return fail_here("expected a value");
  }
}

bool JsonParser::read_literal(std::string_view word, JsonValue value, JsonValue& out) {
  if (static_cast<size_t>(end_ - p_) < word.size() || std::string_view(p_, word.size()) != word)
    return fail_here("invalid literal");
  p_ += word.size();
  out = value;
  return true;
}

/// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?, read greedily: the number ends at the first
/// byte that cannot continue it.
bool JsonParser::read_number(JsonValue& out) {
  const char* start = p_;
  const auto digit_here = [&] { return p_ != end_ && is_digit(*p_); };
  const bool negative = *p_ == '-';
  if (negative) {
    ++p_;
    if (!digit_here()) return fail_here("expected a digit after '-'");
  }
  if (*p_ == '0') {
    ++p_;
  } else {
    while (digit_here()) ++p_;
  }
  bool integral = true;
  if (p_ != end_ && *p_ == '.') {
    ++p_;
    integral = false;
    if (!digit_here()) return fail_here("expected a digit after '.'");
    while (digit_here()) ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    ++p_;
    integral = false;
    if (p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (!digit_here()) return fail_here("expected a digit in the exponent");
    while (digit_here()) ++p_;
  }
  // Integers keep their exact value when it fits 64 bits, else they become doubles.
  if (integral && negative) {
    int64_t v;
    if (std::from_chars(start, p_, v).ec == std::errc()) {
      out = JsonValue::signed_number(v);
      return true;
    }
  } else if (integral) {
    uint64_t v;
    if (std::from_chars(start, p_, v).ec == std::errc()) {
      out = JsonValue::unsigned_number(v);
      return true;
    }
  }
  double d = 0;
  const auto [end, ec] = std::from_chars(start, p_, d);
  if (ec == std::errc::result_out_of_range) {
    if (magnitude_is_huge(std::string_view(start, static_cast<size_t>(p_ - start))))
      return fail(start, "number out of range");
    d = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || end != p_ || !std::isfinite(d)) {
    return fail(start, "number out of range");
  }
  out = JsonValue::float_number(d);
  return true;
}

/// At the opening quote. Text without escapes is returned in place; text with escapes is decoded
/// into the arena.
bool JsonParser::read_string(std::string_view& out) {
  const char* start = ++p_;
  for (;;) {
    if (p_ == end_) return fail_here("unterminated string");
    const auto c = static_cast<unsigned char>(*p_);
    if (c == '"') break;
    if (c == '\\') return read_escaped_rest(start, out);
    if (c < 0x20) return fail_here("control character in string");
    if (c < 0x80) {
      ++p_;
    } else if (const size_t n = utf8_sequence_length(p_, end_)) {
      p_ += n;
    } else {
      return fail_here("invalid UTF-8 in string");
    }
  }
  const size_t size = static_cast<size_t>(p_ - start);
  if (size > kMaxItems) return fail_here("string too long");
  ++p_;
  out = std::string_view(start, size);
  return true;
}

/// At the first backslash of a string that began at `start`.
bool JsonParser::read_escaped_rest(const char* start, std::string_view& out) {
  scratch_.assign(start, p_);
  for (;;) {
    const char* run = p_;
    while (p_ != end_ && *p_ != '"' && *p_ != '\\' && static_cast<unsigned char>(*p_) >= 0x20) {
      if (static_cast<unsigned char>(*p_) < 0x80) {
        ++p_;
      } else if (const size_t n = utf8_sequence_length(p_, end_)) {
        p_ += n;
      } else {
        return fail_here("invalid UTF-8 in string");
      }
    }
    scratch_.append(run, p_);
    if (p_ == end_) return fail_here("unterminated string");
    if (*p_ == '"') break;
    if (*p_ != '\\') return fail_here("control character in string");
    if (!read_escape()) return false;
  }
  if (scratch_.size() > kMaxItems) return fail_here("string too long");
  ++p_;
  if (skipping()) {  // nobody reads it
    out = {};
    return true;
  }
  char* chars = arena_.allocate<char>(scratch_.size());
  std::memcpy(chars, scratch_.data(), scratch_.size());
  out = std::string_view(chars, scratch_.size());
  return true;
}

/// At a backslash: appends what the escape stands for.
bool JsonParser::read_escape() {
  ++p_;
  if (p_ == end_) return fail_here("unterminated string");
  char plain;
  switch (*p_) {
    case '"': plain = '"'; break;
    case '\\': plain = '\\'; break;
    case '/': plain = '/'; break;
    case 'b': plain = '\b'; break;
    case 'f': plain = '\f'; break;
    case 'n': plain = '\n'; break;
    case 'r': plain = '\r'; break;
    case 't': plain = '\t'; break;
    case 'u': {
      ++p_;
      uint32_t cp;
      if (!read_hex4(cp)) return false;
      if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(p_ - 6, "unpaired surrogate in string");
      if (cp >= 0xD800 && cp <= 0xDBFF) {
        uint32_t low;
        if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return fail(p_ - 6, "unpaired surrogate in string");
        p_ += 2;
        if (!read_hex4(low)) return false;
        if (low < 0xDC00 || low > 0xDFFF) return fail(p_ - 12, "unpaired surrogate in string");
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
      }
      append_utf8(scratch_, cp);
      return true;
    }
    default: return fail_here("invalid escape in string");
  }
  ++p_;
  scratch_.push_back(plain);
  return true;
}

bool JsonParser::read_hex4(uint32_t& out) {
  out = 0;
  for (int i = 0; i < 4; ++i, ++p_) {
    const int d = p_ == end_ ? -1 : hex_digit(*p_);
    if (d < 0) return fail_here("expected four hex digits after \\u");
    out = out * 16 + static_cast<uint32_t>(d);
  }
  return true;
}

Result<JsonDocument> parse_json(std::string_view text, bool whole_input, JsonText storage, size_t max_depth,
                                JsonOrder order) {
  // Room for a typical tree of this text in one block (plus the copy of the text when kept).
  const size_t copy = storage == JsonText::Copied ? text.size() : 0;
  const size_t estimate = std::min<size_t>(text.size() * 2, size_t{1} << 20) + 256;
  JsonDocument document(copy + estimate);
  if (storage == JsonText::Copied && !text.empty()) {
    char* kept = document.arena_.allocate<char>(text.size());
    std::memcpy(kept, text.data(), text.size());
    text = std::string_view(kept, text.size());
  }
  JsonParser parser(text, document.arena_, max_depth, order);
  if (!parser.parse(document.root_, whole_input)) return Error{ErrorKind::InvalidData, "JSON parse error: " + parser.error()};
  return document;
}

}  // namespace velvane::detail
