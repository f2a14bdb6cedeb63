// src/protocol/envelope.h: RPC message headers of the three protocols and the reading of message bodies.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "model/error.h"
#include "model/schema.h"
#include "model/value.h"
#include "model/wire.h"
#include "protocol/protocol.h"

namespace velvane {

struct MessageHeader {
  std::string name;
  uint8_t type = wire::kCall;
  int32_t seqid = 0;
};

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
/// Errors are of kind BadVersion, or InvalidData and EndOfInput as the readers report them.
Result<MessageRead> read_message_begin(Protocol protocol, std::string_view input);

/// Reads the body struct of a message whose header `read_message_begin` returned for this `input`.
Result<StructValue> read_message_body(Protocol protocol, std::string_view input, const MessageRead& message,
                                      const StructDef& def, const Schema& schema);

/// One field header of a struct body: `type_id` is the wire type id, kStop for the stop that ends
/// the struct. A JSON member whose tag is unknown reports kVoid.
struct FieldHeader {
  uint8_t type_id = wire::kStop;
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
