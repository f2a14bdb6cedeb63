// src/parser/includes.h: files read for `include` statements, shared by both dialects.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "model/error.h"
#include "model/schema.h"
#include "parser/parser.h"

namespace velvane::detail {

/// One parsed file in its own names: its own definitions unqualified, those of the files it
/// includes as `x.Name` (already imported by the parse).
struct ParsedFile {
  ThriftDocument doc;
  std::unordered_map<std::string, ThriftType> typedefs;  // its own typedefs, resolved
};

class IncludeLoader;

/// Parses one text in either dialect. `file` names it in error locations; `loader` reads its
/// includes (nullptr: includes are only recorded).
Result<ParsedFile> parse_default_dialect(std::string_view text, const std::string& file, IncludeLoader* loader,
                                         SourceLocation& failed_at);
Result<ParsedFile> parse_reference_dialect(std::string_view text, const std::string& file, IncludeLoader* loader,
                                           SourceLocation& failed_at);

/// Reads and parses files, each once, refusing include cycles and two files that would share an
/// include name.
class IncludeLoader {
 public:
  explicit IncludeLoader(const ParseOptions& options) : options_(options) {}

  /// The top file.
  Result<ParsedFile> load_top(const std::string& path, SourceLocation& failed_at);

  /// The file that `include "name"` in `including_file` stands for, parsed. When the failure lies
  /// inside that file, `failed_at` is set and `located` becomes true.
  Result<const ParsedFile*> include(std::string_view name, const std::string& including_file,
                                    SourceLocation& failed_at, bool& located);

 private:
  Result<ParsedFile> parse_path(const std::string& path, SourceLocation& failed_at);

  const ParseOptions& options_;
  std::map<std::string, std::unique_ptr<ParsedFile>> parsed_;  // by canonical path
  std::map<std::string, std::string> prefix_owner_;            // include name -> canonical path
  std::vector<std::string> in_progress_;                       // canonical paths, outermost first
};

/// The name an include string gives its definitions: the text after the last '/', minus ".thrift".
std::string include_prefix(std::string_view include);

/// Adds the definitions of `file` to `doc`: its own as `prefix.Name` (the struct names inside their
/// types and values qualified the same way), those it imported under the names they already have.
void import_definitions(const ParsedFile& file, const std::string& prefix, ThriftDocument& doc);

/// `type` as seen from a file that includes its file as `prefix`.
void qualify(ThriftType& type, const std::string& prefix);

}  // namespace velvane::detail
