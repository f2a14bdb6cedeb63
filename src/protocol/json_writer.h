// src/protocol/json_writer.h: the JSON protocol's writer of the tagged layout.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "protocol/protocol.h"

namespace velvane {

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
  /// A uuid's canonical lowercase text.
  void write_uuid(std::string_view sixteen) { write_string(uuid_to_text(sixteen)); }
  void list_begin(uint8_t elem_id, size_t size);
  void list_end();
  void set_begin(uint8_t elem_id, size_t size);
  void set_end();
  void map_begin(uint8_t key_id, uint8_t value_id, size_t size);
  void map_end();
  [[nodiscard]] Status finish();

 private:
  struct State;
  std::string& out_;
  std::unique_ptr<State> state_;
  detail::WriterStatus status_;
};

}  // namespace velvane
