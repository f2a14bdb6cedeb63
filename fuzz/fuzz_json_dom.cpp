// libFuzzer target: our JSON tree parser against nlohmann::json on arbitrary bytes. Both must accept
// the same texts, as a whole document and as "the first value of the input"; when they do, both
// trees must hold the same values (number classes included) with members in the same order.
#include <bit>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "protocol/json_dom.h"
#include "json_reference.h"
#include "protocol_fuzz_schema.h"

using velvane::detail::JsonMember;
using velvane::detail::JsonValue;
using nlohmann::json;

namespace {

/// The reference's tree of the text (of its first value when not `whole_input`).
json reference_tree(std::string_view text, bool whole_input) {
  json root;
  nlohmann::detail::json_sax_dom_parser<json> builder(root, false);
  json::sax_parse(text.begin(), text.end(), &builder, json::input_format_t::json, whole_input);
  return root;
}

bool same_scalar(const JsonValue& ours, const json& theirs) {
  using Kind = JsonValue::Kind;
  switch (theirs.type()) {
    case json::value_t::null: return ours.is_null();
    case json::value_t::boolean: return ours.is_bool() && ours.as_bool() == theirs.get<bool>();
    case json::value_t::number_unsigned:
      return ours.kind() == Kind::Unsigned && static_cast<uint64_t>(*ours.integer()) == theirs.get<uint64_t>();
    case json::value_t::number_integer: return ours.kind() == Kind::Integer && *ours.integer() == theirs.get<int64_t>();
    case json::value_t::number_float:
      return ours.is_float() && std::bit_cast<uint64_t>(ours.number()) == std::bit_cast<uint64_t>(theirs.get<double>());
    case json::value_t::string: return ours.is_string() && ours.text() == theirs.get_ref<const std::string&>();
    default: return false;
  }
}

/// Compares the two trees without recursion (the input may nest thousands deep).
void check_same_tree(const JsonValue& our_root, const json& their_root, std::string_view text) {
  struct Pair {
    const JsonValue* ours;
    const json* theirs;
  };
  std::vector<Pair> todo{{&our_root, &their_root}};
  const auto differ = [&](const char* what) { velvane::fuzzing::fuzz_failure(what, std::string(text)); };
  while (!todo.empty()) {
    const Pair p = todo.back();
    todo.pop_back();
    if (p.theirs->is_array()) {
      const auto& elements = p.theirs->get_ref<const json::array_t&>();
      if (!p.ours->is_array() || p.ours->elements().size() != elements.size()) differ("arrays differ");
      for (size_t i = 0; i < elements.size(); ++i) todo.push_back({&p.ours->elements()[i], &elements[i]});
    } else if (p.theirs->is_object()) {
      const auto& members = p.theirs->get_ref<const json::object_t&>();
      if (!p.ours->is_object() || p.ours->members().size() != members.size()) differ("objects differ");
      size_t i = 0;
      for (const auto& [name, value] : members) {
        const JsonMember& ours = p.ours->members()[i++];
        if (ours.name != name) differ("member names or their order differ");
        todo.push_back({&ours.value, &value});
      }
    } else if (!same_scalar(*p.ours, *p.theirs)) {
      differ("scalar values differ");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const bool whole_input : {true, false}) {
    auto ours = velvane::detail::parse_json(text, whole_input);
    if (ours.ok() != reference_accepts(text, whole_input))
      velvane::fuzzing::fuzz_failure(ours ? "accepted what the reference rejects" : "rejected what the reference accepts",
                                     (whole_input ? "whole input: " : "first value: ") + std::string(text));
    if (!ours) {
      if (ours.error().text.rfind("JSON parse error: syntax error at byte ", 0) != 0)
        velvane::fuzzing::fuzz_failure("error text without the parse error prefix", ours.error().text);
      continue;
    }
    const json reference = reference_tree(text, whole_input);
    check_same_tree(ours.value().root(), reference, text);
    // A document over its own copy of the text is the same tree.
    auto copied =
        velvane::detail::parse_json(text, whole_input, velvane::detail::JsonText::Copied);
    if (!copied) velvane::fuzzing::fuzz_failure("the copied text failed to parse", std::string(text));
    check_same_tree(copied.value().root(), reference, text);
  }
  return 0;
}
