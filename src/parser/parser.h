// src/parser/parser.h: the IDL parser, text in, resolved schema document out.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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

struct ParseOptions {
  /// Read the text as the reference Thrift compiler does (see compat_parser.cpp) instead of the
  /// grammar of `parse_document`.
  bool reference_dialect = false;
  /// Where `include`d files are looked for after the directory of the including file.
  std::vector<std::string> include_dirs;
};

/// Where a parse failed: the file (empty for a text), 1-based line and column (0 when unknown).
struct SourceLocation {
  std::string file;
  uint32_t line = 0;
  uint32_t column = 0;
};

/// Parses one text (its includes are recorded, not read), reporting where it failed.
Result<ThriftDocument> parse_document(std::string_view text, const ParseOptions& options, SourceLocation& failed_at);

/// Parses the file at `path` and, once each, every file it includes (recursively); the definitions
/// of an included `x.thrift` are held as `x.Name`. Unreadable files and include cycles fail.
Result<ThriftDocument> parse_file(const std::string& path, const ParseOptions& options, SourceLocation& failed_at);

}  // namespace velvane
