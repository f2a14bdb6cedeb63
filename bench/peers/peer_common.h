// bench/peers/peer_common.h: command-line flags and the medium workload shared by the C++ peers.
#pragma once

#include <cstdlib>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

#include "workloads_types.h"

namespace peers {

/// `--name value` pairs; unknown names are an error so a typo never silently falls back to a default.
class Flags {
 public:
  Flags(int argc, char** argv, std::map<std::string, std::string> defaults) : values_(std::move(defaults)) {
    for (int i = 1; i < argc; i += 2) {
      std::string_view name = argv[i];
      if (!name.starts_with("--") || i + 1 >= argc)
        throw std::invalid_argument("expected --name value, got " + std::string(name));
      auto it = values_.find(std::string(name.substr(2)));
      if (it == values_.end()) throw std::invalid_argument("unknown flag " + std::string(name));
      it->second = argv[i + 1];
    }
  }

  const std::string& text(const std::string& name) const { return values_.at(name); }
  long integer(const std::string& name) const {
    return number(name, [](const char* s, char** end) { return std::strtol(s, end, 10); });
  }
  double real(const std::string& name) const {
    return number(name, [](const char* s, char** end) { return std::strtod(s, end); });
  }

 private:
  /// The flag's text read whole by `parse(text, &end)`; trailing junk is an error.
  template <class Parse>
  std::invoke_result_t<Parse, const char*, char**> number(const std::string& name, Parse parse) const {
    const std::string& raw = text(name);
    char* end = nullptr;
    auto value = parse(raw.c_str(), &end);
    if (raw.empty() || *end != '\0') throw std::invalid_argument("--" + name + " wants a number, got " + raw);
    return value;
  }

  std::map<std::string, std::string> values_;
};

/// The medium struct of bench/run.py's medium_dict(), built with Apache Thrift's generated C++ types.
inline velvane_bench::Medium make_medium() {
  velvane_bench::Medium m;
  m.__set_count(42);
  m.__set_name("a medium struct");
  m.__set_stamp(1'700'000'000'000);
  m.__set_ratio(0.125);
  m.__set_active(true);
  for (int i = 0; i < 100; ++i) m.numbers.push_back(i);
  for (int i = 0; i < 10; ++i) m.counters["counter" + std::to_string(i)] = i * 1000;
  for (int i = 0; i < 10; ++i) {
    velvane_bench::Inner inner;
    inner.__set_id(i);
    inner.__set_score(i / 7.0);
    inner.__set_label("inner-" + std::to_string(i));
    m.inners.push_back(inner);
  }
  for (int i = 0; i < 256; ++i) m.blob.push_back(static_cast<char>(i));
  for (int i = 0; i < 5; ++i) m.tags.insert("tag" + std::to_string(i));
  m.__isset.numbers = m.__isset.counters = m.__isset.inners = m.__isset.blob = m.__isset.tags = true;
  return m;
}

}  // namespace peers
