// src/protocol/standard_json.cpp: the standard JSON writer.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "model/value.h"
#include "model/wire.h"
#include "protocol/base64.h"
#include "protocol/standard_json_reader.h"
#include "protocol/standard_json_writer.h"

namespace velvane {

namespace detail {

/// The type names of the standard JSON protocol are the JSON tags.
std::string_view standard_json_type_name(uint8_t type_id) {
  for (const wire::JsonTag& t : wire::kJsonTags)
    if (t.type == type_id) return t.tag;
  return "";
}

}  // namespace detail

using detail::standard_json_type_name;

namespace {

void append_name(std::string& out, uint8_t type_id) {
  out += '"';
  out += standard_json_type_name(type_id);
  out += '"';
}

void append_size(std::string& out, size_t n) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

}  // namespace

bool StandardJsonWriter::before_value() {
  if (open_.empty()) return false;
  Open& top = open_.back();
  const size_t index = top.count++;
  switch (top.kind) {
    case Kind::Struct: return false;  // the field's `{"tag":` is already written
    case Kind::List: out_ += ','; return false;
    case Kind::Map:
      if (index % 2) {
        out_ += ':';
        return false;
      }
      if (index) out_ += ',';
      return true;
  }
  return false;
}

bool StandardJsonWriter::refuse_key() {
  if (refused_.ok())
    refused_ = Error{ErrorKind::InvalidInput, "A map key of a container or struct type has no standard JSON form"};
  return false;
}

void StandardJsonWriter::message_begin(std::string_view name, uint8_t type, int32_t seqid) {
  out_ += '[';
  append_size(out_, wire::kJsonVersion);
  out_ += ',';
  write_string(name);
  out_ += ',';
  append_size(out_, type);
  out_ += ',';
  char buf[16];
  out_.append(buf, std::to_chars(buf, buf + sizeof buf, seqid).ptr);
  out_ += ',';
}

void StandardJsonWriter::struct_begin() {
  if (before_value()) refuse_key();
  out_ += '{';
  open_.push_back(Open{Kind::Struct, 0, fields_.size()});
}

void StandardJsonWriter::field_begin(uint8_t type_id, int16_t id) {
  Open& top = open_.back();
  fields_.push_back(FieldSpan{id, out_.size()});
  if (top.count++) out_ += ',';
  out_ += '"';
  char buf[8];
  out_.append(buf, std::to_chars(buf, buf + sizeof buf, int{id}).ptr);
  out_ += "\":{";
  append_name(out_, type_id);
  out_ += ':';
}

void StandardJsonWriter::struct_end() {
  if (!open_.empty()) {
    sort_fields(open_.back());
    open_.pop_back();
  }
  out_ += '}';
}

/// Members go out in the order the walker visits the fields; other implementations put them in
/// field-id order, so a struct declared out of id order is reordered here.
void StandardJsonWriter::sort_fields(const Open& open) {
  const auto first = fields_.begin() + static_cast<std::ptrdiff_t>(open.fields_from);
  const bool sorted = std::is_sorted(first, fields_.end(), [](auto& a, auto& b) { return a.id < b.id; });
  if (!sorted) {
    std::vector<std::pair<int16_t, std::string>> members;
    for (auto it = first; it != fields_.end(); ++it) {
      const size_t end = it + 1 == fields_.end() ? out_.size() : (it + 1)->begin;
      std::string_view text(out_.data() + it->begin, end - it->begin);
      if (!text.empty() && text.front() == ',') text.remove_prefix(1);
      members.emplace_back(it->id, std::string(text));
    }
    std::stable_sort(members.begin(), members.end(), [](auto& a, auto& b) { return a.first < b.first; });
    out_.resize(first->begin);
    for (size_t i = 0; i < members.size(); ++i) {
      if (i) out_ += ',';
      out_ += members[i].second;
    }
  }
  fields_.erase(first, fields_.end());
}

void StandardJsonWriter::write_integer(int64_t v) {
  const bool key = before_value();
  char buf[24];
  const char* end = std::to_chars(buf, buf + sizeof buf, v).ptr;
  if (key) out_ += '"';
  out_.append(buf, static_cast<size_t>(end - buf));
  if (key) out_ += '"';
}

void StandardJsonWriter::write_double(double v) {
  const bool key = before_value();
  if (std::isnan(v)) {
    out_ += "\"NaN\"";
  } else if (std::isinf(v)) {
    out_ += v > 0 ? "\"Infinity\"" : "\"-Infinity\"";
  } else {
    char buf[40];
    const int n = std::snprintf(buf, sizeof buf, "%.17g", v);  // "C" locale: the module never sets one
    if (key) out_ += '"';
    out_.append(buf, static_cast<size_t>(n));
    if (key) out_ += '"';
  }
}

void StandardJsonWriter::write_string(std::string_view v) {
  before_value();
  if (!status_.fits(v.size(), "String")) return;
  out_ += '"';
  append_escaped(out_, v, EscapeStyle::Json);
  out_ += '"';
}

void StandardJsonWriter::write_binary(std::string_view v) {
  before_value();
  if (!status_.fits(v.size(), "String")) return;
  out_ += '"';
  base64_encode(v, out_);
  out_ += '"';
}

void StandardJsonWriter::list_begin(uint8_t elem_id, size_t size) {
  if (before_value()) refuse_key();
  open_.push_back(Open{Kind::List});
  if (!status_.fits(size, "List")) return;
  out_ += '[';
  append_name(out_, elem_id);
  out_ += ',';
  append_size(out_, size);
}

void StandardJsonWriter::list_end() {
  if (!open_.empty()) open_.pop_back();
  out_ += ']';
}

void StandardJsonWriter::map_begin(uint8_t key_id, uint8_t value_id, size_t size) {
  if (before_value()) refuse_key();
  open_.push_back(Open{Kind::Map});
  if (!status_.fits(size, "Map")) return;
  out_ += '[';
  append_name(out_, key_id);
  out_ += ',';
  append_name(out_, value_id);
  out_ += ',';
  append_size(out_, size);
  out_ += ",{";
}

void StandardJsonWriter::map_end() {
  if (!open_.empty()) open_.pop_back();
  out_ += "}]";
}

Status StandardJsonWriter::finish() {
  if (!refused_.ok()) return std::move(refused_);
  return status_.take();
}

}  // namespace velvane
