// src/protocol/wire_format.h: byte-level encodings shared by the binary and compact writers.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "model/wire.h"

namespace velvane::wire {

// The put_ functions append to any output with append(const char*, size_t): std::string, or the
// OutBuffer that serializing Python data uses.

template <class Out>
[[gnu::always_inline]] inline void put_be16(Out& out, uint16_t v) {
  const char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 2);
}

template <class Out>
[[gnu::always_inline]] inline void put_be32(Out& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out.append(b, 4);
}

template <class Out>
[[gnu::always_inline]] inline void put_be64(Out& out, uint64_t v) {
  char b[8];
  for (int i = 7; i >= 0; --i, v >>= 8) b[i] = static_cast<char>(v);
  out.append(b, 8);
}

template <class Out>
[[gnu::always_inline]] inline void put_le64(Out& out, uint64_t v) {
  char b[8];
  for (int i = 0; i < 8; ++i, v >>= 8) b[i] = static_cast<char>(v);
  out.append(b, 8);
}

inline void store_be16(char* p, uint16_t v) {
  v = __builtin_bswap16(v);
  std::memcpy(p, &v, 2);
}

inline void store_be32(char* p, uint32_t v) {
  v = __builtin_bswap32(v);
  std::memcpy(p, &v, 4);
}

inline void store_be64(char* p, uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

template <class Out>
inline void put_varint(Out& out, uint64_t v) {
  char b[10];
  int n = 0;
  while (v >= 0x80) {
    b[n++] = static_cast<char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  b[n++] = static_cast<char>(v);
  out.append(b, n);
}

inline uint32_t zigzag32(int32_t n) { return (static_cast<uint32_t>(n) << 1) ^ static_cast<uint32_t>(n >> 31); }
inline uint64_t zigzag64(int64_t n) { return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63); }

/// Compact type code (4 bits) of a wire type id; bool maps to kCompactTrue (its element form), ids
/// without a code to kCompactStop.
inline uint8_t compact_code(uint8_t type_id) {
  static constexpr auto kCodes = [] {
    std::array<uint8_t, 17> codes{};
    codes[kBool] = kCompactTrue;
    codes[kByte] = kCompactByte;
    codes[kDouble] = kCompactDouble;
    codes[kI16] = kCompactI16;
    codes[kI32] = kCompactI32;
    codes[kI64] = kCompactI64;
    codes[kString] = kCompactBinary;
    codes[kStruct] = kCompactStruct;
    codes[kMap] = kCompactMap;
    codes[kSet] = kCompactSet;
    codes[kList] = kCompactList;
    codes[kUuid] = kCompactUuid;
    return codes;
  }();
  return type_id < kCodes.size() ? kCodes[type_id] : uint8_t{kCompactStop};
}

}  // namespace velvane::wire
