// libFuzzer target: the opening-bytes classifier. Its input arrives as a growing prefix of the
// stream (each peek sees more), so a verdict once reached must hold for every longer prefix; only
// fewer than eight bytes may leave it undecided, and an HTTP verdict needs an upper-case method
// followed by its space.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "framing/http_probe.h"

using namespace velvane::framing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view stream(reinterpret_cast<const char*>(data), size);
  const OpeningKind whole = classify_opening(stream);
  if (whole == OpeningKind::NeedMore && size >= kOpeningBytes) std::abort();
  if (whole == OpeningKind::Http) {
    const size_t space = stream.find(' ');
    if (space < 3 || space > 7) std::abort();
    for (size_t i = 0; i < space; ++i)
      if (stream[i] < 'A' || stream[i] > 'Z') std::abort();
  }
  OpeningKind decided = OpeningKind::NeedMore;
  for (size_t n = 1; n <= size; ++n) {
    const OpeningKind now = classify_opening(stream.substr(0, n));
    if (decided != OpeningKind::NeedMore && now != decided) std::abort();
    if (now != OpeningKind::NeedMore) decided = now;
  }
  if (size > 0 && decided != whole) std::abort();
  return 0;
}
