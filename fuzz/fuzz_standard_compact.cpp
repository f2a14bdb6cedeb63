// libFuzzer target: the standard compact struct reader on hostile bytes, and the round trip of what
// it accepts.
#include "protocol_fuzz_schema.h"

using namespace velvane;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto value = read_struct(Protocol::StandardCompact, input, fuzzing::tree_def(), fuzzing::fuzz_schema());
  if (value) fuzzing::check_wire_round_trip<StandardCompactWriter>(Protocol::StandardCompact, value.value());
  return 0;
}
