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
// message, finish() completes the output (JSON turns its tree into text; the others do nothing).
// struct_end() writes the stop byte (binary, compact) or closes the object (JSON).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "parser/schema.h"
#include "protocol/error.h"
#include "protocol/value.h"

namespace velvane {

/// Nesting of structs and containers is bounded on reading and writing (as Apache Thrift does).
inline constexpr int kMaxDepth = 64;

enum class Protocol : uint8_t { Binary = 0, Compact = 1, Json = 2 };

enum class MessageType : uint8_t { Call = 1, Reply = 2, Exception = 3, Oneway = 4 };

struct MessageHeader {
  std::string name;
  uint8_t type = 1;
  int32_t seqid = 0;
};

class BinaryWriter {
 public:
  explicit BinaryWriter(std::string& out) : out_(out) {}
  void message_begin(std::string_view name, uint8_t type, int32_t seqid);
  void message_end() {}
  void struct_begin() {}
  void struct_end() { out_.push_back('\0'); }
  void field_begin(uint8_t type_id, int16_t id);
  void field_end() {}
  void write_bool(bool v) { out_.push_back(v ? 1 : 0); }
  void write_byte(int8_t v) { out_.push_back(static_cast<char>(v)); }
  void write_i16(int16_t v);
  void write_i32(int32_t v);
  void write_i64(int64_t v);
  void write_double(double v);
  void write_string(std::string_view v);
  void write_binary(std::string_view v) { write_string(v); }
  void list_begin(uint8_t elem_id, int32_t size);
  void list_end() {}
  void set_begin(uint8_t elem_id, int32_t size) { list_begin(elem_id, size); }
  void set_end() {}
  void map_begin(uint8_t key_id, uint8_t value_id, int32_t size);
  void map_end() {}
  void finish() {}

 private:
  std::string& out_;
};

class CompactWriter {
 public:
  explicit CompactWriter(std::string& out) : out_(out) {}
  void message_begin(std::string_view name, uint8_t type, int32_t seqid);
  void message_end() {}
  void struct_begin();
  void struct_end();
  void field_begin(uint8_t type_id, int16_t id);  // a bool field's header waits for write_bool
  void field_end() {}
  void write_bool(bool v);
  void write_byte(int8_t v);
  void write_i16(int16_t v);
  void write_i32(int32_t v);
  void write_i64(int64_t v);
  void write_double(double v);
  void write_string(std::string_view v);
  void write_binary(std::string_view v) { write_string(v); }
  void list_begin(uint8_t elem_id, int32_t size);
  void list_end() {}
  void set_begin(uint8_t elem_id, int32_t size) { list_begin(elem_id, size); }
  void set_end() {}
  void map_begin(uint8_t key_id, uint8_t value_id, int32_t size);
  void map_end() {}
  void finish() {}

 private:
  std::string& out_;
  std::vector<int16_t> last_ids_;  // last field id of each open struct
  int16_t last_id_ = 0;
  bool bool_pending_ = false;      // field_begin for a bool field waits for its value
  int16_t pending_id_ = 0;
};

/// Builds the JSON text of the tagged layout; `finish()` writes it into `out`.
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
  void write_double(double v);
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
/// Fails with InvalidData when a struct value's definition is missing or nesting exceeds kMaxDepth.
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
Result<StructValue> read_json_document(std::string_view input, const StructDef& def, const Schema& schema);

/// A message header at the start of `input`; `consumed` is set to the header's length in bytes
/// (binary, compact). For JSON the whole message array is parsed and the body struct is read with
/// the streaming reader into `json_body` when `def` is given.
struct MessageRead {
  MessageHeader header;
  size_t body_offset = 0;  // binary and compact: where the struct begins
};
Result<MessageRead> read_message_begin(Protocol protocol, std::string_view input);

}  // namespace velvane

#include "protocol/codec.tcc"
