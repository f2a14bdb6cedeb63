// libFuzzer target: header frames. A frame that reads is written again and reads back the same
// (headers, protocol, flags, seq id and message); an inflated message never passes the limit.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "framing/header.h"

using namespace velvane::framing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  constexpr size_t kLimit = size_t{1} << 20;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  HeaderInfo info;
  auto message = decode_header_frame(body, kLimit, info);
  if (!message) return 0;
  if (message.value().size() > kLimit) std::abort();
  auto again = encode_header_frame(info, message.value());
  if (!again) std::abort();  // what was read always fits a frame again
  HeaderInfo back;
  auto reread = decode_header_frame(again.value(), kLimit, back);
  if (!reread || reread.value() != message.value() || back.headers != info.headers ||
      back.protocol_id != info.protocol_id || back.flags != info.flags || back.seq_id != info.seq_id ||
      back.transforms != info.transforms)
    std::abort();
  return 0;
}
