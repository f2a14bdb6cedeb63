// src/protocol/json_reader.h: the JSON reader's internals shared with the envelope (private to
// src/protocol/).
#pragma once

#include <optional>

#include "protocol/envelope.h"
#include "protocol/read_struct.h"
#include "protocol/json_dom.h"

namespace velvane {

struct JsonMessage {
  detail::JsonDocument document;  // the message array over its own copy of the text; element 4 is the body
};

namespace detail {

/// The two layouts of JSON struct values: the tagged one of the protocol (members keyed by field id,
/// each value behind its type tag, containers with their headers) and the payload one of the
/// serialize API (members keyed by field name, plain values, defaults for absent fields).
enum class JsonForm : uint8_t { Tagged, Payload };

/// Converts JSON values of either layout into stored values under declared types. Errors are as
/// the JSON document reader reports them.
class JsonStructReader {
 public:
  /// `message_size`: the bytes of the text the values come from, which sets the decoding budget.
  JsonStructReader(const Schema& schema, JsonForm form, size_t message_size)
      : schema_(schema), form_(form), budget_(message_size) {}

  /// `depth` is the level of the struct itself (1 for the outermost).
  bool read_struct(const JsonValue& object, const StructDef& def, StructValue& out, int depth);
  /// `depth` is the level of the enclosing struct or container.
  bool read_value(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth);
  Error take_error() { return std::move(error_); }

 private:
  bool fail(ErrorKind kind, std::string text);
  bool charge(size_t bytes);
  bool read_members(const JsonValue& object, const StructDef& def, StructValue& out, int depth);
  bool read_fields_by_name(const JsonValue& object, const StructDef& def, StructValue& out, int depth);
  bool read_integer(const JsonValue& v, TypeKind kind, ThriftValue& out);
  bool read_binary(const JsonValue& v, ThriftValue& out);
  bool read_list(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth);
  bool read_map(const JsonValue& v, const ThriftType& type, ThriftValue& out, int depth);

  const Schema& schema_;
  const JsonForm form_;
  DecodeBudget budget_;
  Error error_;
};

/// Decimal digits with an optional sign and nothing else; nullopt when malformed or out of range.
std::optional<int64_t> parse_decimal(std::string_view s);
/// A floating-point number as text, "NaN", "Infinity" and "-Infinity" included; nullopt when malformed.
std::optional<double> parse_double(std::string_view s);

/// A member name as a field id: a 16-bit decimal with optional sign, else 0.
int16_t parse_field_id(std::string_view name);

/// Binary wire id of a JSON type tag ("i32" -> 8); 1 (void) for an unknown tag.
uint8_t type_id_of_tag(const JsonValue& tag);

}  // namespace detail
}  // namespace velvane
