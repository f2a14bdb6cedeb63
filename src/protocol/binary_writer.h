// src/protocol/binary_writer.h: the binary protocol's writer.
#pragma once

#include <bit>
#include <string>
#include <string_view>
#include <type_traits>

#include "protocol/out_buffer.h"
#include "protocol/protocol.h"
#include "protocol/wire_format.h"

namespace velvane {

/// Writes to `Out`: a std::string, or an OutBuffer (whose appends are inline) when serializing
/// Python data. The field header and scalar writes are forced inline: each is a few instructions
/// of its own, less than a call costs, and a struct's walk makes one per field and per value.
template <class Out>
class BasicBinaryWriter {
 public:
  explicit BasicBinaryWriter(Out& out) : out_(out) {}
  void message_begin(std::string_view name, uint8_t type, int32_t seqid) {
    wire::put_be32(out_, wire::kBinaryVersion1 | type);
    write_string(name);
    write_i32(seqid);
  }
  void message_end() {}
  void struct_begin() {}
  void struct_end() { out_.push_back('\0'); }
  [[gnu::always_inline]] void field_begin(uint8_t type_id, int16_t id) {
    const char header[3] = {static_cast<char>(type_id), static_cast<char>(static_cast<uint16_t>(id) >> 8),
                            static_cast<char>(id)};
    out_.append(header, 3);
  }
  void field_end() {}
  [[gnu::always_inline]] void write_bool(bool v) { out_.push_back(v ? 1 : 0); }
  [[gnu::always_inline]] void write_byte(int8_t v) { out_.push_back(static_cast<char>(v)); }
  [[gnu::always_inline]] void write_i16(int16_t v) { wire::put_be16(out_, static_cast<uint16_t>(v)); }
  [[gnu::always_inline]] void write_i32(int32_t v) { wire::put_be32(out_, static_cast<uint32_t>(v)); }
  [[gnu::always_inline]] void write_i64(int64_t v) { wire::put_be64(out_, static_cast<uint64_t>(v)); }
  [[gnu::always_inline]] void write_double(double v) { wire::put_be64(out_, std::bit_cast<uint64_t>(v)); }
  [[gnu::always_inline]] void write_string(std::string_view v) {
    if (!status_.fits(v.size(), "String")) return;
    write_i32(static_cast<int32_t>(v.size()));
    out_.append(v);
  }
  [[gnu::always_inline]] void write_binary(std::string_view v) { write_string(v); }
  /// The 16 bytes of a uuid, as they are.
  void write_uuid(std::string_view sixteen) { out_.append(sixteen.data(), sixteen.size()); }
  void list_begin(uint8_t elem_id, size_t size) {
    if (!status_.fits(size, "List")) return;
    out_.push_back(static_cast<char>(elem_id));
    write_i32(static_cast<int32_t>(size));
  }
  void list_end() {}
  void set_begin(uint8_t elem_id, size_t size) { list_begin(elem_id, size); }
  void set_end() {}
  void map_begin(uint8_t key_id, uint8_t value_id, size_t size) {
    if (!status_.fits(size, "Map")) return;
    const char ids[2] = {static_cast<char>(key_id), static_cast<char>(value_id)};
    out_.append(ids, 2);
    write_i32(static_cast<int32_t>(size));
  }
  void map_end() {}
  /// `n` more bytes at the end of the output for the caller to fill: runs of fixed-width items
  /// are stored with one size check instead of one per item. Valid until the next write.
  char* extend(size_t n) {
    if constexpr (std::is_same_v<Out, OutBuffer>) {
      return out_.extend(n);
    } else {
      const size_t at = out_.size();
      out_.resize(at + n);
      return out_.data() + at;
    }
  }
  /// True while nothing was refused (finish() would succeed).
  bool ok() const { return status_.ok(); }
  [[nodiscard]] Status finish() { return status_.take(); }

 private:
  Out& out_;
  detail::WriterStatus status_;
};

using BinaryWriter = BasicBinaryWriter<std::string>;

}  // namespace velvane
