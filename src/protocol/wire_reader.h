// src/protocol/wire_reader.h: the binary and compact readers (private to src/protocol/).
//
// A reader is a cursor over borrowed bytes plus the first error it met. Every primitive returns
// false after recording that error, so the walkers stay free of Result plumbing on the hot path.
// `StructReader<Wire>` walks structs, values and skips for both wires; the wires differ only in
// their primitives and headers.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "model/error.h"
#include "model/schema.h"
#include "model/value.h"
#include "model/wire.h"
#include "protocol/protocol.h"
#include "protocol/utf8.h"

namespace velvane::detail {

inline constexpr std::string_view kEofText = "IO error: failed to fill whole buffer";

/// One field header as read: wire type id (kStop ends the struct), id, and the bool a compact header carries
/// (-1 when it carries none).
struct WireField {
  uint8_t type_id = 0;
  int16_t id = 0;
  int8_t header_bool = -1;
};

class WireBase {
 public:
  WireBase(std::string_view input, size_t pos)
      : begin_(input.data()), p_(input.data() + pos), end_(input.data() + input.size()) {}

  size_t remaining() const { return static_cast<size_t>(end_ - p_); }
  size_t offset() const { return static_cast<size_t>(p_ - begin_); }
  const Error& error() const { return error_; }
  Error take_error() { return std::move(error_); }

  bool fail(std::string text) { return fail(ErrorKind::InvalidData, std::move(text)); }
  bool fail(ErrorKind kind, std::string text) {
    error_ = Error{kind, std::move(text)};
    return false;
  }
  bool fail_eof() { return fail(ErrorKind::EndOfInput, std::string(kEofText)); }
  bool fail_invalid_type(uint8_t t) { return fail("Invalid type: " + std::to_string(t)); }
  bool fail_invalid_field_type() { return fail("Invalid field type"); }
  bool fail_depth() { return fail(ErrorKind::DepthLimit, "Depth limit exceeded"); }

  bool take(size_t n, const char*& out) {
    if (remaining() < n) return fail_eof();
    out = p_;
    p_ += n;
    return true;
  }
  bool skip_bytes(size_t n) {
    const char* unused = nullptr;
    return take(n, unused);
  }
  bool u8(uint8_t& v) {
    if (p_ == end_) return fail_eof();
    v = static_cast<uint8_t>(*p_++);
    return true;
  }
  bool be16(uint16_t& v) {
    const char* p = nullptr;
    if (!take(2, p)) return false;
    v = static_cast<uint16_t>((uint8_t(p[0]) << 8) | uint8_t(p[1]));
    return true;
  }
  bool be32(uint32_t& v) {
    const char* p = nullptr;
    if (!take(4, p)) return false;
    std::memcpy(&v, p, 4);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap32(v);
    return true;
  }
  bool be64(uint64_t& v) {
    const char* p = nullptr;
    if (!take(8, p)) return false;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return true;
  }
  bool read_byte(int8_t& v) {
    uint8_t b = 0;
    if (!u8(b)) return false;
    v = static_cast<int8_t>(b);
    return true;
  }
  bool read_double(double& v) {
    uint64_t bits;
    if (!be64(bits)) return false;
    v = std::bit_cast<double>(bits);
    return true;
  }
  /// A length that must fit in what is left; negative lengths are refused before anything else.
  bool check_length(int32_t n, size_t& out) {
    if (n < 0) return fail(ErrorKind::NegativeSize, "Negative length: " + std::to_string(n));
    if (static_cast<size_t>(n) > remaining()) return fail_eof();
    out = static_cast<size_t>(n);
    return true;
  }
  bool check_size(int32_t n, uint32_t& out) {
    if (n < 0) return fail(ErrorKind::NegativeSize, "Negative size: " + std::to_string(n));
    out = static_cast<uint32_t>(n);
    return true;
  }
  /// `count` elements of at least `min_size` bytes each must fit in what is left.
  bool check_fits(uint32_t count, size_t min_size) {
    if (uint64_t{count} * min_size > remaining()) return fail_eof();
    return true;
  }

 protected:
  /// A type id a header may carry (wire::is_header_type). The uuid id (compact code kCompactUuid)
  /// is read only for a schema that declares uuid fields; for every other one it stays invalid.
  bool valid_id(uint8_t t) const { return wire::is_header_type(t) || (t == wire::kUuid && uuid_known_); }
  /// Compact codes at or above this are invalid.
  uint8_t max_code() const { return uuid_known_ ? wire::kCompactUuid + 1 : wire::kCompactStruct + 1; }

  const char* begin_;
  const char* p_;
  const char* end_;
  bool uuid_known_ = false;

 private:
  Error error_;
};

class BinaryWire : public WireBase {
 public:
  using WireBase::WireBase;

  /// Smallest encoding of a value of each wire type id.
  static size_t min_size(uint8_t type_id) {
    static constexpr auto kSizes = [] {
      using namespace wire;
      std::array<uint8_t, 17> sizes{};
      sizes[kBool] = sizes[kByte] = 1;
      sizes[kI16] = 2;
      sizes[kI32] = 4;
      sizes[kDouble] = sizes[kI64] = 8;
      sizes[kString] = 4;  // the length
      sizes[kStruct] = 1;  // the stop
      sizes[kMap] = 6;     // key and value types, count
      sizes[kSet] = sizes[kList] = 5;
      sizes[kUuid] = 16;
      return sizes;
    }();
    return type_id < kSizes.size() ? kSizes[type_id] : 0;
  }

  bool field_header(WireField& f, int16_t& /*last*/) {
    if (!u8(f.type_id)) return false;
    if (f.type_id == wire::kStop) return true;
    if (!valid_id(f.type_id)) return fail_invalid_type(f.type_id);
    uint16_t id;
    if (!be16(id)) return false;
    f.id = static_cast<int16_t>(id);
    return true;
  }
  bool read_bool(bool& v) {
    uint8_t b = 0;
    if (!u8(b)) return false;
    v = b != 0;
    return true;
  }
  bool read_i16(int16_t& v) {
    uint16_t u;
    if (!be16(u)) return false;
    v = static_cast<int16_t>(u);
    return true;
  }
  bool read_i32(int32_t& v) {
    uint32_t u;
    if (!be32(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool read_i64(int64_t& v) {
    uint64_t u;
    if (!be64(u)) return false;
    v = static_cast<int64_t>(u);
    return true;
  }
  bool read_length(size_t& n) {
    int32_t len;
    return read_i32(len) && check_length(len, n);
  }
  bool list_header(uint8_t& elem, uint32_t& n) {
    int32_t size;
    if (!u8(elem)) return false;
    if (!valid_id(elem)) return fail_invalid_field_type();
    return read_i32(size) && check_size(size, n);
  }
  bool map_header(uint8_t& key, uint8_t& value, uint32_t& n) {
    int32_t size;
    if (!u8(key) || !u8(value)) return false;
    if (!valid_id(key) || !valid_id(value)) return fail_invalid_field_type();
    return read_i32(size) && check_size(size, n);
  }
  /// Skipping ignores negative counts, as the skip rules have always done.
  static constexpr bool skip_negative_counts() { return true; }
  bool skip_int(uint8_t type_id) { return skip_bytes(min_size(type_id)); }
};

/// The compact wire, in this system's own dialect (zigzag varint lengths and sizes, big-endian
/// doubles, a 2-byte long field id) or, `Standard`, as other Thrift implementations write it (plain
/// varint lengths and sizes, little-endian doubles, a zigzag varint long field id).
template <bool Standard>
class BasicCompactWire : public WireBase {
 public:
  using WireBase::WireBase;

  /// Smallest encoding of a value of each wire type id: one byte, but eight for a double.
  static size_t min_size(uint8_t type_id) {
    static constexpr auto kSizes = [] {
      std::array<uint8_t, 17> sizes{};
      for (uint8_t id = 0; id < 16; ++id) sizes[id] = wire::is_value_type(id) ? 1 : 0;
      sizes[wire::kDouble] = 8;
      sizes[wire::kUuid] = 16;
      return sizes;
    }();
    return type_id < kSizes.size() ? kSizes[type_id] : 0;
  }
  /// Wire type id of a compact type code up to kCompactStruct (the codes after it have none).
  static uint8_t type_id_of(uint8_t code) {
    using namespace wire;
    // In code order: stop, true, false, byte, i16, i32, i64, double, binary, list, set, map, struct, uuid.
    static constexpr uint8_t kIds[kCompactUuid + 1] = {kStop,   kBool,   kBool, kByte, kI16, kI32,    kI64,
                                                       kDouble, kString, kList, kSet,  kMap, kStruct, kUuid};
    return kIds[code];
  }

  bool field_header(WireField& f, int16_t& last) {
    uint8_t b = 0;
    if (!u8(b)) return false;
    const uint8_t code = b & 0x0F;
    if (code == wire::kCompactStop) {
      f.type_id = wire::kStop;
      return true;
    }
    if (code >= max_code()) return fail_invalid_field_type();
    if (const uint8_t delta = b >> 4; delta != 0) {
      f.id = static_cast<int16_t>(last + delta);
    } else if constexpr (Standard) {
      if (!read_i16(f.id)) return false;
    } else {
      uint16_t id;
      if (!be16(id)) return false;
      f.id = static_cast<int16_t>(id);
    }
    last = f.id;
    f.type_id = type_id_of(code);
    f.header_bool = code == wire::kCompactTrue ? 1 : code == wire::kCompactFalse ? 0 : -1;
    return true;
  }
  bool read_bool(bool& v) {
    uint8_t b = 0;
    if (!u8(b)) return false;
    v = b == 1;
    return true;
  }
  bool varint32(uint32_t& v) {
    uint64_t wide;
    if (!varint(wide, 5)) return false;
    v = static_cast<uint32_t>(wide);
    return true;
  }
  bool varint(uint64_t& v, int max_bytes) {
    if (p_ != end_ && static_cast<uint8_t>(*p_) < 0x80) {  // most lengths, sizes and small numbers
      v = static_cast<uint8_t>(*p_++);
      return true;
    }
    v = 0;
    for (int i = 0; i < max_bytes; ++i) {
      uint8_t b = 0;
      if (!u8(b)) return false;
      v |= uint64_t{b & 0x7Fu} << (7 * i);
      if (b < 0x80) return true;
    }
    return fail("Variable-length integer is too long");
  }
  bool zigzag_i32(int32_t& v) {
    uint32_t z;
    if (!varint32(z)) return false;
    v = static_cast<int32_t>((z >> 1) ^ (0u - (z & 1)));
    return true;
  }
  bool read_i16(int16_t& v) {
    int32_t wide;
    if (!zigzag_i32(wide)) return false;
    v = static_cast<int16_t>(wide);
    return true;
  }
  bool read_i32(int32_t& v) { return zigzag_i32(v); }
  bool read_double(double& v) {
    if constexpr (!Standard) return WireBase::read_double(v);
    const char* p = nullptr;
    if (!take(8, p)) return false;
    uint64_t bits;
    std::memcpy(&bits, p, 8);
    if constexpr (std::endian::native == std::endian::big) bits = __builtin_bswap64(bits);
    v = std::bit_cast<double>(bits);
    return true;
  }
  /// A length or count as the dialect writes it: a zigzag varint, or (Standard) a plain one.
  bool read_size(int32_t& v) {
    if constexpr (!Standard) return zigzag_i32(v);
    uint32_t u;
    if (!varint32(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
  }
  bool read_i64(int64_t& v) {
    uint64_t z;
    if (!varint(z, 10)) return false;
    v = static_cast<int64_t>((z >> 1) ^ (0ull - (z & 1)));
    return true;
  }
  bool read_length(size_t& n) {
    int32_t len;
    return read_size(len) && check_length(len, n);
  }
  bool list_header(uint8_t& elem, uint32_t& n) {
    uint8_t b = 0;
    if (!u8(b)) return false;
    const uint8_t code = b & 0x0F;
    if (code >= max_code()) return fail_invalid_field_type();
    elem = type_id_of(code);
    if ((b >> 4) != 15) {
      n = b >> 4;
      return true;
    }
    int32_t size;
    return read_size(size) && check_size(size, n);
  }
  bool map_header(uint8_t& key, uint8_t& value, uint32_t& n) {
    int32_t size;
    if (!read_size(size) || !check_size(size, n)) return false;
    if (n == 0) {
      key = value = 0;
      return true;
    }
    uint8_t b = 0;
    if (!u8(b)) return false;
    if ((b >> 4) >= max_code() || (b & 0x0F) >= max_code()) return fail_invalid_field_type();
    key = type_id_of(b >> 4);
    value = type_id_of(b & 0x0F);
    return true;
  }
  static constexpr bool skip_negative_counts() { return false; }
  bool skip_int(uint8_t type_id) {
    if (type_id == wire::kI64) {
      int64_t unused;
      return read_i64(unused);
    }
    int32_t unused;
    return zigzag_i32(unused);
  }
};

using CompactWire = BasicCompactWire<false>;
using StandardCompactWire = BasicCompactWire<true>;

/// Walks structs, values and skips over one wire. Depth counts the open structs and containers,
/// the outermost struct being 1.
template <class Wire>
class StructReader : public Wire {
 public:
  StructReader(std::string_view input, size_t pos, const Schema& schema)
      : Wire(input, pos), schema_(schema), budget_(input.size()) {
    this->uuid_known_ = schema.declares_uuid();
  }

  bool read_struct(const StructDef& def, StructValue& out, int depth);
  /// The field loop of one struct at level `depth`, up to and including its stop: fields `def`
  /// declares go to `on_field(index, header_bool)`, which reads the value (false: stop, the error
  /// is recorded); other fields are skipped.
  template <class OnField>
  bool read_fields(const StructDef& def, int depth, OnField&& on_field);
  /// `depth` is the level of the enclosing struct or container; `header_bool` is the bool a compact
  /// field header carried (-1: none).
  bool read_value(const ThriftType& type, ThriftValue& out, int depth, int header_bool = -1);
  bool skip(uint8_t type_id, int depth, int header_bool = -1);
  /// Charges the message's decoding budget; false (the error recorded) once it is spent.
  bool charge(size_t bytes) {
    if (budget_.charge(bytes)) return true;
    Error e = DecodeBudget::exceeded();
    return this->fail(e.kind, std::move(e.text));
  }

 private:
  static size_t declared_min_size(const ThriftType& t) {
    return Wire::min_size(wire_type_id(static_cast<ValueKind>(t.kind)));
  }
  bool read_text(ThriftValue& out, ValueKind kind);
  bool read_sequence(const ThriftType& type, ThriftValue& out, int depth);
  bool read_map(const ThriftType& type, ThriftValue& out, int depth);
  bool read_nested_struct(const ThriftType& type, ThriftValue& out, int depth);
  bool skip_struct(int depth);
  bool skip_elements(uint32_t count, uint8_t elem, int depth);

  const Schema& schema_;
  DecodeBudget budget_;
};

inline size_t find_field_index(const StructDef& def, int16_t id, size_t hint) {
  const auto& fields = def.fields;
  if (hint < fields.size() && fields[hint].id == id) return hint;
  for (size_t i = 0; i < fields.size(); ++i)
    if (fields[i].id == id) return i;
  return static_cast<size_t>(-1);
}

template <class Wire>
template <class OnField>
bool StructReader<Wire>::read_fields(const StructDef& def, int depth, OnField&& on_field) {
  if (depth > kMaxDepth) return this->fail_depth();
  if (!charge(DecodeBudget::kStruct)) return false;
  int16_t last = 0;
  size_t hint = 0;
  for (;;) {
    WireField f;
    if (!this->field_header(f, last)) return false;
    if (f.type_id == wire::kStop) return true;
    const size_t index = find_field_index(def, f.id, hint);
    if (index == static_cast<size_t>(-1)) {
      if (!skip(f.type_id, depth, f.header_bool)) return false;
      continue;
    }
    hint = index + 1;
    if (!on_field(index, f.header_bool)) return false;
  }
}

template <class Wire>
bool StructReader<Wire>::read_struct(const StructDef& def, StructValue& out, int depth) {
  uint64_t seen = 0;  // declared fields 0..63 already stored; later duplicates replace them
  return read_fields(def, depth, [&](size_t index, int header_bool) {
    const ThriftField& field = def.fields[index];
    ThriftValue value;
    if (!charge(DecodeBudget::kField) || !read_value(field.field_type, value, depth, header_bool)) return false;
    const uint64_t bit = index < 64 ? uint64_t{1} << index : 0;
    if (bit && !(seen & bit)) {
      // Room for the declared fields, but never more than the input left could still hold: a
      // list of empty structs of a wide type must not allocate per declared field.
      if (seen == 0) out.fields.reserve(std::min(def.fields.size(), this->remaining() + 1));
      seen |= bit;
      out.fields.emplace_back(field.name, std::move(value));
    } else {
      out.set(field.name, std::move(value));
    }
    return true;
  });
}

template <class Wire>
bool StructReader<Wire>::read_value(const ThriftType& type, ThriftValue& out, int depth, int header_bool) {
  switch (type.kind) {
    case TypeKind::Bool:
      out.kind = ValueKind::Bool;
      if (header_bool >= 0) {
        out.b = header_bool != 0;
        return true;
      }
      return this->read_bool(out.b);
    case TypeKind::Byte: out.kind = ValueKind::Byte; return this->read_byte(out.i8);
    case TypeKind::I16: out.kind = ValueKind::I16; return this->read_i16(out.i16);
    case TypeKind::I32: out.kind = ValueKind::I32; return this->read_i32(out.i32);
    case TypeKind::I64: out.kind = ValueKind::I64; return this->read_i64(out.i64);
    case TypeKind::Double: out.kind = ValueKind::Double; return this->read_double(out.d);
    case TypeKind::String: return read_text(out, ValueKind::String);
    case TypeKind::Binary: return read_text(out, ValueKind::Binary);
    case TypeKind::List:
    case TypeKind::Set: return read_sequence(type, out, depth + 1);
    case TypeKind::Map: return read_map(type, out, depth + 1);
    case TypeKind::Struct: return read_nested_struct(type, out, depth + 1);
    case TypeKind::Uuid: {
      const char* p = nullptr;
      if (!this->take(kUuidSize, p)) return false;
      out = ThriftValue::Uuid(std::string(p, kUuidSize));
      return true;
    }
  }
  return this->fail_invalid_field_type();
}

template <class Wire>
bool StructReader<Wire>::read_text(ThriftValue& out, ValueKind kind) {
  size_t n;
  const char* p = nullptr;
  if (!this->read_length(n) || !this->take(n, p)) return false;
  const std::string_view bytes(p, n);
  if (kind == ValueKind::String) {
    if (std::string problem = utf8_error_text(bytes); !problem.empty()) return this->fail("IO error: " + problem);
  }
  out.kind = kind;
  out.bytes.assign(bytes);
  return true;
}

template <class Wire>
bool StructReader<Wire>::read_sequence(const ThriftType& type, ThriftValue& out, int depth) {
  if (depth > kMaxDepth) return this->fail_depth();
  uint8_t elem;
  uint32_t n;
  if (!this->list_header(elem, n) || !this->check_fits(n, declared_min_size(type.elem()))) return false;
  out.kind = type.kind == TypeKind::List ? ValueKind::List : ValueKind::Set;
  if (!charge(size_t{n} * DecodeBudget::kElement)) return false;
  out.items.resize(n);
  for (ThriftValue& item : out.items)
    if (!read_value(type.elem(), item, depth)) return false;
  return true;
}

template <class Wire>
bool StructReader<Wire>::read_map(const ThriftType& type, ThriftValue& out, int depth) {
  if (depth > kMaxDepth) return this->fail_depth();
  uint8_t key, value;
  uint32_t n;
  if (!this->map_header(key, value, n)) return false;
  if (!this->check_fits(n, declared_min_size(type.key()) + declared_min_size(type.value()))) return false;
  out.kind = ValueKind::Map;
  if (!charge(size_t{n} * 2 * DecodeBudget::kElement)) return false;
  out.items.resize(size_t{n} * 2);
  for (size_t i = 0; i < out.items.size(); i += 2) {
    if (!read_value(type.key(), out.items[i], depth) || !read_value(type.value(), out.items[i + 1], depth))
      return false;
  }
  return true;
}

template <class Wire>
bool StructReader<Wire>::read_nested_struct(const ThriftType& type, ThriftValue& out, int depth) {
  const StructDef* def = schema_.find(type.name);
  if (!def) return this->fail(ErrorKind::UnknownStruct, "Unknown struct type: " + type.name);
  out.kind = ValueKind::Struct;
  out.strukt->name = type.name;
  return read_struct(*def, *out.strukt, depth);
}

template <class Wire>
bool StructReader<Wire>::skip(uint8_t type_id, int depth, int header_bool) {
  switch (type_id) {
    case wire::kStop:
    case wire::kVoid: return true;
    case wire::kBool: return header_bool >= 0 || this->skip_bytes(1);
    case wire::kByte: return this->skip_bytes(1);
    case wire::kDouble: return this->skip_bytes(8);
    case wire::kI16:
    case wire::kI32:
    case wire::kI64: return this->skip_int(type_id);
    case wire::kString: {
      // Unknown string and binary fields are skipped without a UTF-8 check: a binary field added
      // by a newer schema must not make older readers fail.
      size_t n;
      return this->read_length(n) && this->skip_bytes(n);
    }
    case wire::kStruct: return skip_struct(depth + 1);
    case wire::kUuid: return this->skip_bytes(kUuidSize);
    case wire::kMap: {
      if (depth + 1 > kMaxDepth) return this->fail_depth();
      uint8_t key, value;
      int32_t raw = 0;
      uint32_t n;
      if constexpr (Wire::skip_negative_counts()) {
        if (!this->u8(key) || !this->u8(value)) return false;
        if (!this->valid_id(key) || !this->valid_id(value)) return this->fail_invalid_field_type();
        if (!this->read_i32(raw)) return false;
        if (raw <= 0) return true;
        n = static_cast<uint32_t>(raw);
      } else {
        if (!this->map_header(key, value, n)) return false;
      }
      const size_t pair = Wire::min_size(key) + Wire::min_size(value);
      if (n == 0 || pair == 0) return true;
      if (!this->check_fits(n, pair)) return false;
      for (uint32_t i = 0; i < n; ++i)
        if (!skip(key, depth + 1) || !skip(value, depth + 1)) return false;
      return true;
    }
    case wire::kSet:
    case wire::kList: {
      if (depth + 1 > kMaxDepth) return this->fail_depth();
      uint8_t elem;
      uint32_t n;
      if constexpr (Wire::skip_negative_counts()) {
        int32_t raw;
        if (!this->u8(elem)) return false;
        if (!this->valid_id(elem)) return this->fail_invalid_field_type();
        if (!this->read_i32(raw)) return false;
        if (raw <= 0) return true;
        n = static_cast<uint32_t>(raw);
      } else {
        if (!this->list_header(elem, n)) return false;
      }
      return skip_elements(n, elem, depth + 1);
    }
  }
  return this->fail_invalid_type(type_id);
}

template <class Wire>
bool StructReader<Wire>::skip_elements(uint32_t count, uint8_t elem, int depth) {
  const size_t size = Wire::min_size(elem);
  if (count == 0 || size == 0) return true;
  if (!this->check_fits(count, size)) return false;
  for (uint32_t i = 0; i < count; ++i)
    if (!skip(elem, depth)) return false;
  return true;
}

template <class Wire>
bool StructReader<Wire>::skip_struct(int depth) {
  if (depth > kMaxDepth) return this->fail_depth();
  int16_t last = 0;
  for (;;) {
    WireField f;
    if (!this->field_header(f, last)) return false;
    if (f.type_id == wire::kStop) return true;
    if (!skip(f.type_id, depth, f.header_bool)) return false;
  }
}

extern template class StructReader<BinaryWire>;
extern template class StructReader<CompactWire>;
extern template class StructReader<StandardCompactWire>;

/// Reads a whole struct from `pos` with the wire of `protocol` (binary or compact).
Result<StructValue> read_wire_struct(Protocol protocol, std::string_view input, size_t pos, const StructDef& def,
                                     const Schema& schema);

}  // namespace velvane::detail
