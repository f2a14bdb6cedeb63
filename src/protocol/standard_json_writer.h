// src/protocol/standard_json_writer.h: the JSON protocol as other Thrift implementations write it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "model/value.h"
#include "protocol/protocol.h"

namespace velvane {

/// Writes `{"1":{"i32":5}}` members (put in field-id order when the struct closes), lists as
/// `["i32",3,1,2,3]`, maps as `["str","i32",2,{"a":1}]` with every key a JSON string, bools as 1 and
/// 0, binary as padded Base64, doubles with 17 significant digits ("NaN", "Infinity", "-Infinity"
/// as strings) and the envelope `[1,"name",type,seqid,{...}]`. A map key of a container or struct
/// type has no standard form and is refused.
class StandardJsonWriter {
 public:
  explicit StandardJsonWriter(std::string& out) : out_(out) {}
  void message_begin(std::string_view name, uint8_t type, int32_t seqid);
  void message_end() { out_ += ']'; }
  void struct_begin();
  void struct_end();
  void field_begin(uint8_t type_id, int16_t id);
  void field_end() { out_ += '}'; }
  void write_bool(bool v) { write_integer(v ? 1 : 0); }
  void write_byte(int8_t v) { write_integer(v); }
  void write_i16(int16_t v) { write_integer(v); }
  void write_i32(int32_t v) { write_integer(v); }
  void write_i64(int64_t v) { write_integer(v); }
  void write_double(double v);
  void write_string(std::string_view v);
  void write_binary(std::string_view v);
  void write_uuid(std::string_view sixteen) { write_string(uuid_to_text(sixteen)); }
  void list_begin(uint8_t elem_id, size_t size);
  void list_end();
  void set_begin(uint8_t elem_id, size_t size) { list_begin(elem_id, size); }
  void set_end() { list_end(); }
  void map_begin(uint8_t key_id, uint8_t value_id, size_t size);
  void map_end();
  bool ok() const { return status_.ok() && refused_.ok(); }
  [[nodiscard]] Status finish();

 private:
  enum class Kind : uint8_t { Struct, List, Map };
  struct Open {
    Kind kind;
    size_t count = 0;        // values written (a map counts keys and values)
    size_t fields_from = 0;  // a struct's first entry in fields_
  };
  struct FieldSpan {
    int16_t id;
    size_t begin;  // offset of the member's separator or name
  };

  /// Separator before a value; true when the value is a map key (numbers are quoted there).
  bool before_value();
  void write_integer(int64_t v);
  void sort_fields(const Open& open);
  bool refuse_key();

  std::string& out_;
  std::vector<Open> open_;
  std::vector<FieldSpan> fields_;
  detail::WriterStatus status_;
  Status refused_;
};

}  // namespace velvane
