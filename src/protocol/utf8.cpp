// src/protocol/utf8.cpp: UTF-8 validation. The fault positions follow the usual convention: an
// invalid sequence is the longest prefix of a well-formed sequence plus the byte that breaks it.
#include "protocol/utf8.h"

#include <cstdint>
#include <cstring>

namespace velvane {

namespace {

/// Valid range of the second byte after a given lead byte (the others are always 80..BF).
struct SecondRange {
  uint8_t lo, hi;
};

SecondRange second_range(uint8_t lead) {
  if (lead == 0xE0) return {0xA0, 0xBF};
  if (lead == 0xED) return {0x80, 0x9F};
  if (lead == 0xF0) return {0x90, 0xBF};
  if (lead == 0xF4) return {0x80, 0x8F};
  return {0x80, 0xBF};
}

size_t sequence_width(uint8_t lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool ascii_word(const unsigned char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return (w & 0x8080808080808080ull) == 0;
}

}  // namespace

Utf8Fault check_utf8(std::string_view bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    if (i + 8 <= n && ascii_word(s + i)) {
      i += 8;
      continue;
    }
    const uint8_t lead = s[i];
    const size_t width = sequence_width(lead);
    if (width == 1) {
      ++i;
      continue;
    }
    if (width == 0) return {false, i, 1};
    for (size_t k = 1; k < width; ++k) {
      if (i + k >= n) return {false, i, 0};
      const uint8_t c = s[i + k];
      const SecondRange r = k == 1 ? second_range(lead) : SecondRange{0x80, 0xBF};
      if (c < r.lo || c > r.hi) return {false, i, k};
    }
    i += width;
  }
  return {};
}

std::string utf8_error_text(std::string_view bytes) {
  const Utf8Fault f = check_utf8(bytes);
  if (f.valid) return {};
  if (f.error_len == 0) return "incomplete utf-8 byte sequence from index " + std::to_string(f.index);
  return "invalid utf-8 sequence of " + std::to_string(f.error_len) + " bytes from index " +
         std::to_string(f.index);
}

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    const Utf8Fault f = check_utf8(bytes);
    if (f.valid) {
      out.append(bytes);
      break;
    }
    out.append(bytes.substr(0, f.index));
    out.append("\xEF\xBF\xBD");
    const size_t bad = f.error_len == 0 ? bytes.size() - f.index : f.error_len;
    bytes.remove_prefix(f.index + bad);
  }
  return out;
}

}  // namespace velvane
