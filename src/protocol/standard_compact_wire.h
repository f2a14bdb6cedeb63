// src/protocol/standard_compact_wire.h: the compact protocol as other Thrift implementations write
// it (private to src/protocol/). It differs from CompactWire in its primitives only: plain varint
// lengths and sizes, little-endian doubles, a zigzag varint for a long field id.
#pragma once

#include "protocol/wire_reader.h"

namespace velvane::detail {

class StandardCompactWire : public CompactWire {
 public:
  using CompactWire::CompactWire;

  bool field_header(WireField& f, int16_t& last) {
    uint8_t b = 0;
    if (!u8(b)) return false;
    const uint8_t code = b & 0x0F;
    if (code == wire::kCompactStop) {
      f.type_id = wire::kStop;
      return true;
    }
    if (code > wire::kCompactStruct) return fail_invalid_field_type();
    if (const uint8_t delta = b >> 4; delta != 0) {
      f.id = static_cast<int16_t>(last + delta);
    } else if (!read_i16(f.id)) {
      return false;
    }
    last = f.id;
    f.type_id = type_id_of(code);
    f.header_bool = code == wire::kCompactTrue ? 1 : code == wire::kCompactFalse ? 0 : -1;
    return true;
  }
  bool read_double(double& v) {
    const char* p = nullptr;
    if (!take(8, p)) return false;
    uint64_t bits;
    std::memcpy(&bits, p, 8);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
    v = std::bit_cast<double>(bits);
    return true;
  }
  /// A plain varint of at most 32 bits read as a signed length or count.
  bool varint_size(int32_t& v) {
    uint32_t u;
    if (!varint32(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool read_length(size_t& n) {
    int32_t len;
    return varint_size(len) && check_length(len, n);
  }
  bool list_header(uint8_t& elem, uint32_t& n) {
    uint8_t b = 0;
    if (!u8(b)) return false;
    const uint8_t code = b & 0x0F;
    if (code > wire::kCompactStruct) return fail_invalid_field_type();
    elem = type_id_of(code);
    if ((b >> 4) != 15) {
      n = b >> 4;
      return true;
    }
    int32_t size;
    return varint_size(size) && check_size(size, n);
  }
  bool map_header(uint8_t& key, uint8_t& value, uint32_t& n) {
    int32_t size;
    if (!varint_size(size) || !check_size(size, n)) return false;
    if (n == 0) {
      key = value = 0;
      return true;
    }
    uint8_t b = 0;
    if (!u8(b)) return false;
    if ((b >> 4) > wire::kCompactStruct || (b & 0x0F) > wire::kCompactStruct) return fail_invalid_field_type();
    key = type_id_of(b >> 4);
    value = type_id_of(b & 0x0F);
    return true;
  }
};

extern template class StructReader<StandardCompactWire>;

}  // namespace velvane::detail
