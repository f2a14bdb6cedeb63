// src/engine/call.cpp: the application-error struct of an exception reply, written and read.
#include "engine/call.h"

#include "protocol/binary_writer.h"
#include "protocol/compact_writer.h"
#include "protocol/json_writer.h"
#include "protocol/standard_json_writer.h"

namespace velvane::engine {

namespace {

template <class W>
std::string encode_application_error_with(const MessageHeader& h, std::string_view message, int32_t type) {
  std::string out;
  W w(out);
  w.message_begin(h.name, wire::kException, h.seqid);
  w.struct_begin();
  w.field_begin(wire::kString, wire::kAppErrorMessageField);
  w.write_string(message);
  w.field_end();
  w.field_begin(wire::kI32, wire::kAppErrorTypeField);
  w.write_i32(type);
  w.field_end();
  w.struct_end();
  w.message_end();
  (void)w.finish();
  return out;
}

}  // namespace

std::string encode_application_error(Protocol protocol, const MessageHeader& header, std::string_view message,
                                     wire::AppErrorType type) {
  switch (protocol) {
    case Protocol::Binary: return encode_application_error_with<BinaryWriter>(header, message, type);
    case Protocol::Compact: return encode_application_error_with<CompactWriter>(header, message, type);
    case Protocol::Json: return encode_application_error_with<JsonWriter>(header, message, type);
    case Protocol::StandardCompact: return encode_application_error_with<StandardCompactWriter>(header, message, type);
    case Protocol::StandardJson: return encode_application_error_with<StandardJsonWriter>(header, message, type);
  }
  return {};
}

Result<ApplicationError> read_application_error(Protocol protocol, std::string_view payload,
                                                const MessageRead& header) {
  static const ThriftType kString = ThriftType::Scalar(TypeKind::String);
  static const ThriftType kI32 = ThriftType::Scalar(TypeKind::I32);
  const Schema none;
  ApplicationError out;
  FieldCursor cursor(protocol, payload, header);
  for (;;) {
    auto field = cursor.next_field();
    if (!field) return field.take_error();
    const FieldHeader f = field.value();
    if (f.type_id == wire::kStop) return out;
    if (f.id == wire::kAppErrorMessageField && f.type_id == wire::kString) {
      auto v = cursor.read_value(kString, none);
      if (!v) return v.take_error();
      out.message = std::move(v.value().bytes);
    } else if (f.id == wire::kAppErrorTypeField && f.type_id == wire::kI32) {
      auto v = cursor.read_value(kI32, none);
      if (!v) return v.take_error();
      out.type = v.value().i32;
    } else if (Status s = cursor.skip_value(); !s) {
      return s.take_error();
    }
  }
}

}  // namespace velvane::engine
