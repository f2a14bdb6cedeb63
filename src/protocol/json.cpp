// src/protocol/json.cpp: the JSON writer of the tagged layout.
//
// Text goes straight into the caller's buffer. Object members must come out ordered by their name
// as text (so field "10" precedes field "2"), and of two map keys with the same text only the later
// pair stays. Members are therefore written as they arrive and their positions recorded; when an
// object closes and its names are not already strictly ascending, its body is rewritten once in
// name order. Numbers, strings and escapes are formatted exactly as nlohmann::json's dump() does.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>

#include "model/value.h"
#include "model/wire.h"
#include "protocol/base64.h"
#include "protocol/json_writer.h"
#include "protocol/utf8.h"

namespace velvane {

namespace {

/// The JSON tag of a wire type id; "" for an id that has none.
std::string_view tag_of(uint8_t type_id) {
  static constexpr auto kTagOf = [] {
    std::array<std::string_view, 17> tags{};
    for (const wire::JsonTag& t : wire::kJsonTags) tags[t.type] = t.tag;
    return tags;
  }();
  return type_id < kTagOf.size() ? kTagOf[type_id] : std::string_view();
}

/// Inverse of append_escaped, for the member names of map keys that were written as strings.
std::string unescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    switch (c) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u':
        if (i + 4 < text.size()) {
          unsigned v = 0;
          std::from_chars(text.data() + i + 1, text.data() + i + 5, v, 16);
          out += static_cast<char>(v);
          i += 4;
        }
        break;
      default: out += c;
    }
  }
  return out;
}

void append_quoted(std::string& out, std::string_view text) {
  out += '"';
  if (check_utf8(text).valid) {
    append_escaped(out, text, EscapeStyle::Json);
  } else {
    append_escaped(out, utf8_lossy(text), EscapeStyle::Json);
  }
  out += '"';
}

template <class Int>
void append_int(std::string& out, Int v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

}  // namespace

struct JsonWriter::State {
  enum class Kind : uint8_t { Array, StructObject, MapObject };
  struct Open {
    Kind kind;
    bool expect_key = true;  // MapObject: the next value is a key
    uint32_t count = 0;      // values (Array) or members (objects) so far
    size_t body_start = 0;   // objects: offset just after '{'
    size_t members_begin = 0;
    size_t key_start = 0;    // MapObject: where the key being written starts
  };
  struct Member {
    size_t start;  // offset of the member's opening quote
    std::string name;
  };

  explicit State(std::string& o) : out(o) {
    frames.reserve(16);
    members.reserve(32);
  }

  /// Separator before a value, depending on the container it goes into.
  void before_value() {
    if (frames.empty()) return;
    Open& f = frames.back();
    if (f.kind == Kind::Array) {
      if (f.count++) out += ',';
    } else if (f.kind == Kind::MapObject && f.expect_key) {
      if (f.count) out += ',';
      f.key_start = out.size();
    }
  }

  /// After a complete value: a map key becomes the member name of the pair.
  void after_value() {
    if (frames.empty() || frames.back().kind != Kind::MapObject) return;
    Open& f = frames.back();
    if (f.expect_key) {
      make_member_name(f.key_start);
      f.expect_key = false;
    } else {
      f.expect_key = true;
      ++f.count;
    }
  }

  /// The key written at `start` becomes `"name":`. A string key is its own name; any other key's
  /// name is its JSON text (numbers in decimal, other values compact).
  void make_member_name(size_t start) {
    std::string_view text(out.data() + start, out.size() - start);
    if (!text.empty() && text.front() == '"') {
      members.push_back({start, unescape(text.substr(1, text.size() - 2))});
      out += ':';
      return;
    }
    std::string name(text);
    out.resize(start);
    out += '"';
    append_escaped(out, name, EscapeStyle::Json);
    out += "\":";
    members.push_back({start, std::move(name)});
  }

  void open(Kind kind, uint32_t count) {
    Open f{kind};
    f.count = count;
    f.body_start = out.size();
    f.members_begin = members.size();
    frames.push_back(f);
  }

  /// Puts the members of the innermost object in name order (the later of equal names wins).
  void close_object() {
    const Open& f = frames.back();
    const size_t first = f.members_begin, n = members.size() - first;
    bool ordered = true;
    for (size_t i = first + 1; i < members.size() && ordered; ++i) ordered = members[i - 1].name < members[i].name;
    if (!ordered) rewrite_in_name_order(f.body_start, first, n);
    members.resize(first);
  }

  void rewrite_in_name_order(size_t body_start, size_t first, size_t n) {
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i) order[i] = first + i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return members[a].name < members[b].name; });
    scratch.assign(out, body_start, std::string::npos);
    out.resize(body_start);
    auto span_of = [&](size_t m) {
      const size_t begin = members[m].start - body_start;
      const size_t end = m + 1 < first + n ? members[m + 1].start - body_start - 1 : scratch.size();
      return std::string_view(scratch).substr(begin, end - begin);
    };
    bool any = false;
    for (size_t k = 0; k < n; ++k) {
      if (k + 1 < n && members[order[k]].name == members[order[k + 1]].name) continue;
      if (any) out += ',';
      any = true;
      out.append(span_of(order[k]));
    }
  }

  std::string& out;
  std::vector<Open> frames;
  std::vector<Member> members;
  std::string scratch;
};

JsonWriter::JsonWriter(std::string& out) : out_(out), state_(std::make_unique<State>(out)) {}

JsonWriter::~JsonWriter() = default;

void JsonWriter::message_begin(std::string_view name, uint8_t type, int32_t seqid) {
  state_->before_value();
  out_ += '[';
  append_int(out_, wire::kJsonVersion);
  out_ += ',';
  append_quoted(out_, name);
  out_ += ',';
  append_int(out_, int{type});
  out_ += ',';
  append_int(out_, seqid);
  state_->open(State::Kind::Array, 4);
}

void JsonWriter::message_end() {
  out_ += ']';
  state_->frames.pop_back();
  state_->after_value();
}

void JsonWriter::struct_begin() {
  state_->before_value();
  out_ += '{';
  state_->open(State::Kind::StructObject, 0);
}

void JsonWriter::struct_end() {
  state_->close_object();
  out_ += '}';
  state_->frames.pop_back();
  state_->after_value();
}

void JsonWriter::field_begin(uint8_t type_id, int16_t id) {
  State::Open& f = state_->frames.back();
  if (f.count++) out_ += ',';
  std::string name;
  append_int(name, id);
  state_->members.push_back({out_.size(), name});
  out_ += '"';
  out_ += name;
  out_ += "\":[\"";
  out_ += tag_of(type_id);
  out_ += '"';
  state_->open(State::Kind::Array, 1);
}

void JsonWriter::field_end() {
  out_ += ']';
  state_->frames.pop_back();
}

void JsonWriter::write_bool(bool v) {
  state_->before_value();
  out_ += v ? '1' : '0';
  state_->after_value();
}

void JsonWriter::write_byte(int8_t v) { write_i32(v); }
void JsonWriter::write_i16(int16_t v) { write_i32(v); }

void JsonWriter::write_i32(int32_t v) {
  state_->before_value();
  append_int(out_, v);
  state_->after_value();
}

void JsonWriter::write_i64(int64_t v) {
  state_->before_value();
  out_ += '"';
  append_int(out_, v);
  out_ += '"';
  state_->after_value();
}

void JsonWriter::write_double(double v) {
  state_->before_value();
  if (std::isnan(v)) {
    out_ += "\"NaN\"";
  } else if (std::isinf(v)) {
    out_ += v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else {
    char buf[64];
    char* end = nlohmann::detail::to_chars(buf, buf + sizeof buf, v);
    out_.append(buf, end);
  }
  state_->after_value();
}

void JsonWriter::write_string(std::string_view v) {
  state_->before_value();
  append_quoted(out_, v);
  state_->after_value();
}

void JsonWriter::write_binary(std::string_view v) {
  state_->before_value();
  out_ += '"';
  base64_encode(v, out_);
  out_ += '"';
  state_->after_value();
}

void JsonWriter::list_begin(uint8_t elem_id, size_t size) {
  status_.fits(size, "List");  // a refused size is remembered; the text stays well formed
  state_->before_value();
  out_ += "[\"";
  out_ += tag_of(elem_id);
  out_ += "\",";
  append_int(out_, size);
  state_->open(State::Kind::Array, 2);
}

void JsonWriter::list_end() {
  out_ += ']';
  state_->frames.pop_back();
  state_->after_value();
}

void JsonWriter::set_begin(uint8_t elem_id, size_t size) { list_begin(elem_id, size); }
void JsonWriter::set_end() { list_end(); }

void JsonWriter::map_begin(uint8_t key_id, uint8_t value_id, size_t size) {
  status_.fits(size, "Map");
  state_->before_value();
  out_ += "[\"";
  out_ += tag_of(key_id);
  out_ += "\",\"";
  out_ += tag_of(value_id);
  out_ += "\",";
  append_int(out_, size);
  out_ += ",{";
  state_->open(State::Kind::MapObject, 0);
}

void JsonWriter::map_end() {
  state_->close_object();
  out_ += "}]";
  state_->frames.pop_back();
  state_->after_value();
}

Status JsonWriter::finish() { return status_.take(); }

}  // namespace velvane
