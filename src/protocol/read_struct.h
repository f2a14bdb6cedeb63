// src/protocol/read_struct.h: one struct read from the bytes of any of the three protocols.
#pragma once

#include <string_view>

#include "model/error.h"
#include "model/schema.h"
#include "model/value.h"
#include "protocol/protocol.h"

namespace velvane {

/// Reads one struct's fields (up to and including its stop byte) from binary or compact bytes, or a
/// JSON struct document (see read_json_document). Unknown field ids are skipped; bytes after the
/// stop byte are ignored.
/// Errors carry the protocol error texts: "IO error: failed to fill whole buffer", "Invalid type: 5",
/// "Invalid field type", "Unknown struct type: X", UTF-8 errors, depth errors.
Result<StructValue> read_struct(Protocol protocol, std::string_view input, const StructDef& def,
                                const Schema& schema);

/// A JSON struct document (the serialize API's reader): frame-prefix rule, payload form or id-keyed
/// form. Errors: WrongShape for a JSON value of the wrong kind ("Expected JSON object for struct",
/// "Expected JSON array", …); otherwise "JSON parse error: …", "Base64 error: …", "Unknown struct: X",
/// "expected JSON integer", "Depth limit exceeded". `payload_form`, when given, tells which form was read.
Result<StructValue> read_json_document(std::string_view input, const StructDef& def, const Schema& schema,
                                       bool* payload_form = nullptr);

/// A struct in the standard JSON protocol (`{"1":{"i32":5}}`), the whole input one JSON value.
/// Errors: WrongShape for a JSON value of the wrong kind; otherwise InvalidData ("JSON parse error: …",
/// a type name other than the declared one, a count that differs from the elements), DepthLimit.
Result<StructValue> read_standard_json_document(std::string_view input, const StructDef& def, const Schema& schema);

}  // namespace velvane
