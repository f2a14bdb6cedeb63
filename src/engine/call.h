// src/engine/call.h: the Python-free half of a remote call: the request's envelope around the
// argument struct, the parts of a reply the decoder looks at, and the application-error struct of
// an exception reply, written and read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/error.h"
#include "model/wire.h"
#include "protocol/envelope.h"
#include "protocol/protocol.h"

namespace velvane::engine {

/// Opens a request: the message header, then the argument struct whose fields the caller writes.
template <class W>
void begin_call(W& w, std::string_view method_name, bool oneway, int32_t seqid) {
  w.message_begin(method_name, oneway ? wire::kOneway : wire::kCall, seqid);
  w.struct_begin();
}

/// Closes the argument struct and the message; fails when the writer refused a length or count.
template <class W>
[[nodiscard]] Status end_call(W& w) {
  w.struct_end();
  w.message_end();
  return w.finish();
}

/// The sequence id a counter value is sent as: ids wrap from 2^31-1 to -2^31.
inline int32_t seqid_of(uint32_t counter) { return static_cast<int32_t>(counter); }

/// The body of an exception message: field 1 (string) is the message, field 2 (i32) the type;
/// reading it skips every other field.
struct ApplicationError {
  std::string message;
  int32_t type = 0;
};
Result<ApplicationError> read_application_error(Protocol protocol, std::string_view payload,
                                                const MessageRead& header);

/// The exception message that answers the request `header` with an application error.
std::string encode_application_error(Protocol protocol, const MessageHeader& header, std::string_view message,
                                     wire::AppErrorType type);

}  // namespace velvane::engine
