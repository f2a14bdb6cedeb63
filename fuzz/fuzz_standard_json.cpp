// libFuzzer target: the standard JSON struct reader on hostile text. What it accepts is written
// back; from then on writing and reading must agree exactly.
#include "protocol_fuzz_schema.h"

using namespace velvane;

static StructValue read_back(const std::string& text) {
  auto value = read_standard_json_document(text, fuzzing::tree_def(), fuzzing::fuzz_schema());
  if (!value) fuzzing::fuzz_failure("re-reading written standard JSON failed", value.error().text + "\n" + text);
  return std::move(value).value();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto first = read_standard_json_document(input, fuzzing::tree_def(), fuzzing::fuzz_schema());
  if (!first) return 0;
  // The first write may change the text of a value (a bool written as 2, a double as an integer);
  // after that the value is stable.
  const StructValue second = read_back(fuzzing::encode_struct<StandardJsonWriter>(first.value()));
  const std::string text = fuzzing::encode_struct<StandardJsonWriter>(second);
  if (!fuzzing::same(second, read_back(text))) fuzzing::fuzz_failure("standard JSON round trip changed the value", text);
  return 0;
}
