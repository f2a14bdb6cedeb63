// src/protocol/base64.cpp: the Base64 codec of the JSON protocol.
#include "protocol/base64.h"

#include <array>
#include <cstdint>

namespace velvane {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> make_decode_table() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  return table;
}
constexpr auto kDecode = make_decode_table();

Error base64_error(const char* text) { return Error{ErrorKind::InvalidData, text}; }

}  // namespace

void base64_encode(std::string_view bytes, std::string& out) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  out.reserve(out.size() + (n + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    const uint32_t v = (uint32_t{s[i]} << 16) | (uint32_t{s[i + 1]} << 8) | s[i + 2];
    const char quad[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], kAlphabet[(v >> 6) & 63], kAlphabet[v & 63]};
    out.append(quad, 4);
  }
  if (const size_t rest = n - i; rest > 0) {
    const uint32_t v = (uint32_t{s[i]} << 16) | (rest == 2 ? uint32_t{s[i + 1]} << 8 : 0);
    const char quad[4] = {kAlphabet[v >> 18], kAlphabet[(v >> 12) & 63], rest == 2 ? kAlphabet[(v >> 6) & 63] : '=',
                          '='};
    out.append(quad, 4);
  }
}

std::string base64_encode(std::string_view bytes) {
  std::string out;
  base64_encode(bytes, out);
  return out;
}

Result<std::string> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return base64_error("invalid length");
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  const size_t data_len = text.size() - padding;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  uint32_t acc = 0;
  for (size_t i = 0; i < data_len; ++i) {
    const uint8_t v = kDecode[static_cast<uint8_t>(text[i])];
    if (v == kInvalid) return base64_error(text[i] == '=' ? "invalid padding" : "invalid symbol");
    acc = (acc << 6) | v;
    if (i % 4 == 3) {
      const char triple[3] = {static_cast<char>(acc >> 16), static_cast<char>(acc >> 8), static_cast<char>(acc)};
      out.append(triple, 3);
      acc = 0;
    }
  }
  // A padded final group holds 2 (one '=') or 1 (two '=') bytes; the bits of its last symbol that
  // carry no data must be zero, so that every byte string has exactly one encoding.
  if (padding == 1) {
    if (acc & 0x3) return base64_error("invalid last symbol");
    out.push_back(static_cast<char>(acc >> 10));
    out.push_back(static_cast<char>(acc >> 2));
  } else if (padding == 2) {
    if (acc & 0xF) return base64_error("invalid last symbol");
    out.push_back(static_cast<char>(acc >> 4));
  }
  return out;
}

}  // namespace velvane
