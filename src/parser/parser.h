// src/parser/parser.h: the IDL parser, text in, resolved schema document out.
#pragma once

#include <string_view>

#include "model/schema.h"
#include "model/error.h"

namespace velvane {

/// Deepest container nesting accepted in a type (aliases included) before the parse fails with
/// "Syntax error: Nesting too deep".
inline constexpr int kMaxTypeDepth = 64;

/// Upper bound on the schema elements (type nodes, fields, methods) that typedef substitution and
/// `extends` may copy in one document; beyond it the parse fails with "Syntax error: Schema too
/// large". A handful of typedefs that each double their predecessor would otherwise ask for
/// exponential memory.
inline constexpr size_t kMaxCopiedSchemaElements = size_t{1} << 21;

/// Tokenizes and parses one IDL text. On failure the error text is the display form of the first
/// error without the "Parse error: " prefix: "Syntax error: …", "Unexpected token: …" or
/// "End of input".
Result<ThriftDocument> parse_document(std::string_view text);

}  // namespace velvane
