// src/protocol/codec.h: the three protocols' writers and readers, as the rest of the system sees them.
//
// Writers share one set of member names so that a walker can be templated over them (the Python data
// walker in src/python/ and write_value below). Type ids passed to writers are always binary wire type
// ids (2 bool, 3 byte, 4 double, 6 i16, 8 i32, 10 i64, 11 string/binary, 12 struct, 13 map, 14 set,
// 15 list); each writer maps them to its own codes or tags.
//
// Call sequence a walker produces for one struct:
//   struct_begin(); { field_begin(type_id, id); <one value>; field_end(); }* struct_end();
// A value is one of: write_bool/byte/i16/i32/i64/double/string/binary, a nested struct as above,
// list_begin(elem_id, n) <n values> list_end(), set_begin(elem_id, n) <n values> set_end(),
// map_begin(key_id, value_id, n) <key, value>*n map_end().
// A message is message_begin(name, type, seqid) <struct> message_end(). After the outermost struct or
// message, finish() completes the output (callers always call it; today every writer has already
// written everything by then).
// struct_end() writes the stop byte (binary, compact) or closes the object (JSON).
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "parser/schema.h"
#include "protocol/error.h"
#include "protocol/value.h"

namespace velvane {

/// Nesting of structs and containers is bounded on reading and writing (as Apache Thrift does).
/// The outermost struct is level 1; every nested struct, list, set or map adds one.
inline constexpr int kMaxDepth = 64;

enum class Protocol : uint8_t { Binary = 0, Compact = 1, Json = 2 };

struct MessageHeader {
  std::string name;
  uint8_t type = 1;
  int32_t seqid = 0;
};

namespace wire {

inline void put_be16(std::string& out, uint16_t v) {
  const char b[2] = {static_cast<char>(v >> 8), static_cast<char>(v)};
  out.append(b, 2);
}

inline void put_be32(std::string& out, uint32_t v) {
  const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                     static_cast<char>(v)};
  out.append(b, 4);
}

inline void put_be64(std::string& out, uint64_t v) {
  char b[8];
  for (int i = 7; i >= 0; --i, v >>= 8) b[i] = static_cast<char>(v);
  out.append(b, 8);
}

inline void put_varint(std::string& out, uint64_t v) {
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

/// Compact type code (4 bits) of a binary wire type id; bool maps to 1 (its element form).
inline uint8_t compact_code(uint8_t type_id) {
  static constexpr uint8_t kCodes[16] = {0, 0, 1, 3, 7, 0, 4, 0, 5, 0, 6, 8, 12, 11, 10, 9};
  return type_id < 16 ? kCodes[type_id] : 0;
}

}  // namespace wire

class BinaryWriter {
 public:
  explicit BinaryWriter(std::string& out) : out_(out) {}
  void message_begin(std::string_view name, uint8_t type, int32_t seqid) {
    wire::put_be32(out_, 0x80010000u | type);
    write_string(name);
    write_i32(seqid);
  }
  void message_end() {}
  void struct_begin() {}
  void struct_end() { out_.push_back('\0'); }
  void field_begin(uint8_t type_id, int16_t id) {
    out_.push_back(static_cast<char>(type_id));
    write_i16(id);
  }
  void field_end() {}
  void write_bool(bool v) { out_.push_back(v ? 1 : 0); }
  void write_byte(int8_t v) { out_.push_back(static_cast<char>(v)); }
  void write_i16(int16_t v) { wire::put_be16(out_, static_cast<uint16_t>(v)); }
  void write_i32(int32_t v) { wire::put_be32(out_, static_cast<uint32_t>(v)); }
  void write_i64(int64_t v) { wire::put_be64(out_, static_cast<uint64_t>(v)); }
  void write_double(double v) { wire::put_be64(out_, std::bit_cast<uint64_t>(v)); }
  void write_string(std::string_view v) {
    write_i32(static_cast<int32_t>(v.size()));
    out_.append(v);
  }
  void write_binary(std::string_view v) { write_string(v); }
  void list_begin(uint8_t elem_id, int32_t size) {
    out_.push_back(static_cast<char>(elem_id));
    write_i32(size);
  }
  void list_end() {}
  void set_begin(uint8_t elem_id, int32_t size) { list_begin(elem_id, size); }
  void set_end() {}
  void map_begin(uint8_t key_id, uint8_t value_id, int32_t size) {
    const char ids[2] = {static_cast<char>(key_id), static_cast<char>(value_id)};
    out_.append(ids, 2);
    write_i32(size);
  }
  void map_end() {}
  void finish() {}

 private:
  std::string& out_;
};

class CompactWriter {
 public:
  explicit CompactWriter(std::string& out) : out_(out) {}
  void message_begin(std::string_view name, uint8_t type, int32_t seqid) {
    const char head[2] = {static_cast<char>(0x82), static_cast<char>((type << 5) | 1)};
    out_.append(head, 2);
    wire::put_varint(out_, wire::zigzag32(seqid));
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
    if (type_id == 2) {
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
      field_header(v ? 1 : 2, pending_id_);
    } else {
      out_.push_back(v ? 1 : 2);
    }
  }
  void write_byte(int8_t v) { out_.push_back(static_cast<char>(v)); }
  void write_i16(int16_t v) { wire::put_varint(out_, wire::zigzag32(v)); }
  void write_i32(int32_t v) { wire::put_varint(out_, wire::zigzag32(v)); }
  void write_i64(int64_t v) { wire::put_varint(out_, wire::zigzag64(v)); }
  void write_double(double v) { wire::put_be64(out_, std::bit_cast<uint64_t>(v)); }
  void write_string(std::string_view v) {
    wire::put_varint(out_, wire::zigzag32(static_cast<int32_t>(v.size())));
    out_.append(v);
  }
  void write_binary(std::string_view v) { write_string(v); }
  void list_begin(uint8_t elem_id, int32_t size) {
    const uint8_t code = wire::compact_code(elem_id);
    if (size >= 0 && size < 15) {
      out_.push_back(static_cast<char>((size << 4) | code));
    } else {
      out_.push_back(static_cast<char>(0xF0 | code));
      wire::put_varint(out_, wire::zigzag32(size));
    }
  }
  void list_end() {}
  void set_begin(uint8_t elem_id, int32_t size) { list_begin(elem_id, size); }
  void set_end() {}
  void map_begin(uint8_t key_id, uint8_t value_id, int32_t size) {
    if (size == 0) {
      out_.push_back('\0');
      return;
    }
    wire::put_varint(out_, wire::zigzag32(size));
    out_.push_back(static_cast<char>((wire::compact_code(key_id) << 4) | wire::compact_code(value_id)));
  }
  void map_end() {}
  void finish() {}

 private:
  void field_header(uint8_t code, int16_t id) {
    const int delta = int{id} - int{last_id_};
    if (delta >= 1 && delta <= 15) {
      out_.push_back(static_cast<char>((delta << 4) | code));
    } else {
      out_.push_back(static_cast<char>(code));
      wire::put_be16(out_, static_cast<uint16_t>(id));
    }
    last_id_ = id;
  }

  std::string& out_;
  std::vector<int16_t> last_ids_;  // last field id of each enclosing struct
  int16_t last_id_ = 0;
  bool bool_pending_ = false;      // field_begin for a bool field waits for its value
  int16_t pending_id_ = 0;
};

/// Writes the JSON text of the tagged layout straight into `out`; members of each object are put in
/// name order when the object closes. `finish()` leaves the finished text in `out`.
class JsonWriter {
 public:
  explicit JsonWriter(std::string& out);
  ~JsonWriter();
  JsonWriter(const JsonWriter&) = delete;
  JsonWriter& operator=(const JsonWriter&) = delete;
  void message_begin(std::string_view name, uint8_t type, int32_t seqid);
  void message_end();
  void struct_begin();
  void struct_end();
  void field_begin(uint8_t type_id, int16_t id);
  void field_end();
  void write_bool(bool v);
  void write_byte(int8_t v);
  void write_i16(int16_t v);
  void write_i32(int32_t v);
  void write_i64(int64_t v);
  void write_double(double v);  // NaN and the infinities as the strings "NaN", "Infinity", "-Infinity"
  void write_string(std::string_view v);
  void write_binary(std::string_view v);
  void list_begin(uint8_t elem_id, int32_t size);
  void list_end();
  void set_begin(uint8_t elem_id, int32_t size);
  void set_end();
  void map_begin(uint8_t key_id, uint8_t value_id, int32_t size);
  void map_end();
  void finish();

 private:
  struct State;
  std::string& out_;
  std::unique_ptr<State> state_;
};

/// Writes a stored value (containers take their element ids from their first element, 11 when
/// empty; a Struct value writes the fields it holds in the declaration order of its definition).
/// `depth` is the nesting level of the enclosing struct or container (0 at the top).
/// Fails with InvalidData when a struct value's definition is missing ("Unknown struct in schema: X")
/// or nesting exceeds kMaxDepth ("Depth limit exceeded").
template <class W>
Status write_value(W& w, const ThriftValue& value, const Schema& schema, int depth = 0);

/// Reads one struct's fields (up to and including its stop byte) from binary or compact bytes.
/// Unknown field ids are skipped; bytes after the stop byte are ignored.
/// Errors carry the protocol error texts: "IO error: failed to fill whole buffer", "Invalid type: 5",
/// "Invalid field type", "Unknown struct type: X", UTF-8 errors, depth errors.
Result<StructValue> read_struct(Protocol protocol, std::string_view input, const StructDef& def,
                                const Schema& schema);

/// A JSON struct document (the serialize API's reader): frame-prefix rule, payload form or id-keyed
/// form. Errors: kind Value ("JSON parse error: …", "Base64 error: …", "Unknown struct: X",
/// "expected JSON integer") or kind Type ("Expected JSON object for struct", "Expected JSON array", …).
/// `payload_form`, when given, tells which form was read.
Result<StructValue> read_json_document(std::string_view input, const StructDef& def, const Schema& schema,
                                       bool* payload_form = nullptr);

/// The parsed message array of a JSON message (opaque outside the JSON reader).
struct JsonMessage;

/// A message header read from the start of `input`.
struct MessageRead {
  MessageHeader header;
  size_t body_offset = 0;                   // binary and compact: where the body struct begins
  std::shared_ptr<const JsonMessage> json;  // JSON: the whole message array, body included
};

/// Reads and checks a message header. Binary: "Bad version: 0x…"; compact: "Bad protocol id",
/// "Bad protocol version"; JSON: "Invalid field type" (not an array), "JSON message array too short".
/// Every error is of kind InvalidData.
Result<MessageRead> read_message_begin(Protocol protocol, std::string_view input);

/// Reads the body struct of a message whose header `read_message_begin` returned for this `input`.
Result<StructValue> read_message_body(Protocol protocol, std::string_view input, const MessageRead& message,
                                      const StructDef& def, const Schema& schema);

/// One field header of a struct body: `type_id` is the binary wire type id, 0 for the stop that
/// ends the struct. A JSON member whose tag is unknown reports type id 1 (void).
struct FieldHeader {
  uint8_t type_id = 0;
  int16_t id = 0;
};

/// Field-by-field access to a message body, for callers that look at the field headers themselves
/// (the reply decoder reads only the first field of a result struct). Borrows `input` and the
/// MessageRead; both must outlive the cursor.
class FieldCursor {
 public:
  FieldCursor(Protocol protocol, std::string_view input, const MessageRead& message);
  ~FieldCursor();
  FieldCursor(const FieldCursor&) = delete;
  FieldCursor& operator=(const FieldCursor&) = delete;

  /// The next field's header; type id 0 once the struct has ended.
  Result<FieldHeader> next_field();
  /// The current field's value under a declared type (not the wire type).
  Result<ThriftValue> read_value(const ThriftType& declared, const Schema& schema);
  /// Skips the current field's value by its wire type.
  Status skip_value();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velvane

#include "protocol/codec.tcc"
