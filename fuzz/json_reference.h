// fuzz/json_reference.h: nlohmann::json as the reference JSON parser, shared by the JSON tree
// parser's unit tests and its fuzz target.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

/// Accepts like nlohmann's parser without building anything (also for the prefix mode).
struct ReferenceAcceptor : nlohmann::json_sax<nlohmann::json> {
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return true; }
  bool key(string_t&) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

/// Whether nlohmann accepts `text` (as a whole document, or as a first value when not `whole_input`).
inline bool reference_accepts(std::string_view text, bool whole_input) {
  ReferenceAcceptor acceptor;
  return nlohmann::json::sax_parse(text.begin(), text.end(), &acceptor, nlohmann::json::input_format_t::json,
                                   whole_input);
}
