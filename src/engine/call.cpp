// src/engine/call.cpp: reading the application-error struct of an exception reply.
#include "engine/call.h"

namespace velvane::engine {

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
