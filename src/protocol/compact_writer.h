// src/protocol/compact_writer.h: the compact protocol's writer.
#pragma once

#include <bit>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/out_buffer.h"
#include "protocol/protocol.h"
#include "protocol/wire_format.h"

namespace velvane {

/// Writes to `Out`: a std::string, or an OutBuffer when serializing Python data. `Standard` writes
/// the compact protocol as other Thrift implementations do: plain varint seqid, lengths and sizes,
/// little-endian doubles, a zigzag varint for a long field id.
template <class Out, bool Standard = false>
class BasicCompactWriter {
 public:
  explicit BasicCompactWriter(Out& out) : out_(out) {}
  void message_begin(std::string_view name, uint8_t type, int32_t seqid) {
    const char head[2] = {static_cast<char>(wire::kCompactProtocolId),
                          static_cast<char>((type << wire::kCompactTypeShift) | wire::kCompactVersion)};
    out_.append(head, 2);
    if constexpr (Standard) {
      wire::put_varint(out_, static_cast<uint32_t>(seqid));
    } else {
      wire::put_varint(out_, wire::zigzag32(seqid));
    }
    write_string(name);
  }
  void message_end() {}
  void struct_begin() {
    last_ids_.push_back(last_id_);
    last_id_ = 0;
  }
  void struct_end() {
    out_.push_back('\0');
    if (!last_ids_.empty()) {
      last_id_ = last_ids_.back();
      last_ids_.pop_back();
    }
  }
  void field_begin(uint8_t type_id, int16_t id) {  // a bool field's header waits for write_bool
    if (type_id == wire::kBool) {
      bool_pending_ = true;
      pending_id_ = id;
      return;
    }
    field_header(wire::compact_code(type_id), id);
  }
  void field_end() {}
  void write_bool(bool v) {
    if (bool_pending_) {
      bool_pending_ = false;
      field_header(v ? wire::kCompactTrue : wire::kCompactFalse, pending_id_);
    } else {
      out_.push_back(v ? wire::kCompactTrue : wire::kCompactFalse);
    }
  }
  void write_byte(int8_t v) { out_.push_back(static_cast<char>(v)); }
  void write_i16(int16_t v) { wire::put_varint(out_, wire::zigzag32(v)); }
  void write_i32(int32_t v) { wire::put_varint(out_, wire::zigzag32(v)); }
  void write_i64(int64_t v) { wire::put_varint(out_, wire::zigzag64(v)); }
  void write_double(double v) {
    if constexpr (Standard) {
      wire::put_le64(out_, std::bit_cast<uint64_t>(v));
    } else {
      wire::put_be64(out_, std::bit_cast<uint64_t>(v));
    }
  }
  void write_string(std::string_view v) {
    if (!status_.fits(v.size(), "String")) return;
    put_size(v.size());
    out_.append(v);
  }
  void write_binary(std::string_view v) { write_string(v); }
  /// The 16 bytes of a uuid, as they are.
  void write_uuid(std::string_view sixteen) { out_.append(sixteen.data(), sixteen.size()); }
  void list_begin(uint8_t elem_id, size_t size) {
    if (!status_.fits(size, "List")) return;
    const uint8_t code = wire::compact_code(elem_id);
    if (size < 15) {
      out_.push_back(static_cast<char>((size << 4) | code));
    } else {
      out_.push_back(static_cast<char>(0xF0 | code));
      put_size(size);
    }
  }
  void list_end() {}
  void set_begin(uint8_t elem_id, size_t size) { list_begin(elem_id, size); }
  void set_end() {}
  void map_begin(uint8_t key_id, uint8_t value_id, size_t size) {
    if (!status_.fits(size, "Map")) return;
    if (size == 0) {
      out_.push_back('\0');
      return;
    }
    put_size(size);
    out_.push_back(static_cast<char>((wire::compact_code(key_id) << 4) | wire::compact_code(value_id)));
  }
  void map_end() {}
  /// True while nothing was refused (finish() would succeed).
  bool ok() const { return status_.ok(); }
  [[nodiscard]] Status finish() { return status_.take(); }

 private:
  /// A length or count the caller checked with status_.fits.
  void put_size(size_t size) {
    if constexpr (Standard) {
      wire::put_varint(out_, size);
    } else {
      wire::put_varint(out_, wire::zigzag32(static_cast<int32_t>(size)));
    }
  }
  void field_header(uint8_t code, int16_t id) {
    const int delta = int{id} - int{last_id_};
    if (delta >= 1 && delta <= 15) {
      out_.push_back(static_cast<char>((delta << 4) | code));
    } else {
      out_.push_back(static_cast<char>(code));
      if constexpr (Standard) {
        wire::put_varint(out_, wire::zigzag32(id));
      } else {
        wire::put_be16(out_, static_cast<uint16_t>(id));
      }
    }
    last_id_ = id;
  }

  Out& out_;
  std::vector<int16_t> last_ids_;  // last field id of each enclosing struct
  int16_t last_id_ = 0;
  bool bool_pending_ = false;      // field_begin for a bool field waits for its value
  int16_t pending_id_ = 0;
  detail::WriterStatus status_;
};

using CompactWriter = BasicCompactWriter<std::string>;
template <class Out>
using BasicStandardCompactWriter = BasicCompactWriter<Out, true>;
using StandardCompactWriter = BasicStandardCompactWriter<std::string>;

}  // namespace velvane
