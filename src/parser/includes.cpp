// src/parser/includes.cpp: reading included files and importing their definitions.
#include "parser/includes.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace velvane::detail {
namespace {

namespace fs = std::filesystem;

Error file_error(std::string text) { return Error{ErrorKind::InvalidData, std::move(text)}; }

bool is_local(const std::string& name) { return name.find('.') == std::string::npos; }

std::string qualified_key(const std::string& name, const std::string& prefix) {
  return is_local(name) ? prefix + "." + name : name;
}

void qualify_value(ThriftValue& value, const std::string& prefix) {
  if (value.kind == ValueKind::Struct) {
    value.strukt->name = qualified_key(value.strukt->name, prefix);
    for (auto& [name, field] : value.strukt->fields) qualify_value(field, prefix);
  }
  for (auto& item : value.items) qualify_value(item, prefix);
}

void qualify_fields(std::vector<ThriftField>& fields, const std::string& prefix) {
  for (auto& f : fields) {
    qualify(f.field_type, prefix);
    if (f.default_value) qualify_value(*f.default_value, prefix);
  }
}

/// Reads a whole file.
Result<std::string> read_file(const std::string& path) {
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) return Error{ErrorKind::Os, "Cannot read " + path + (errno ? std::string(": ") + std::strerror(errno) : "")};
  std::ostringstream buf;
  buf << in.rdbuf();
  if (in.bad()) return Error{ErrorKind::Os, "Cannot read " + path};
  return std::move(buf).str();
}

std::string canonical(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::path(path), ec);
  return ec ? path : p.string();
}

}  // namespace

std::string include_prefix(std::string_view include) {
  if (auto slash = include.rfind('/'); slash != std::string_view::npos) include.remove_prefix(slash + 1);
  constexpr std::string_view ext = ".thrift";
  if (include.size() >= ext.size() && include.substr(include.size() - ext.size()) == ext)
    include.remove_suffix(ext.size());
  return std::string(include);
}

void qualify(ThriftType& type, const std::string& prefix) {
  if (type.kind == TypeKind::Struct && !type.is_void()) type.name = qualified_key(type.name, prefix);
  for (auto& arg : type.args) qualify(arg, prefix);
}

void import_definitions(const ParsedFile& file, const std::string& prefix, ThriftDocument& doc) {
  const ThriftDocument& from = file.doc;
  for (const auto& [name, def] : from.structs) {
    StructDef copy = def;
    copy.name = qualified_key(name, prefix);
    if (is_local(name)) qualify_fields(copy.fields, prefix);
    doc.structs.insert_or_assign(copy.name, std::move(copy));
  }
  for (const auto& [name, def] : from.services) {
    ServiceDef copy = def;
    copy.name = qualified_key(name, prefix);
    if (is_local(name)) {
      for (auto& m : copy.methods) {
        qualify(m.return_type, prefix);
        qualify_fields(m.arguments, prefix);
        qualify_fields(m.exceptions, prefix);
      }
    }
    doc.services.insert_or_assign(copy.name, std::move(copy));
  }
  for (const auto& [name, def] : from.enums) {
    ThriftEnum copy = def;
    copy.name = qualified_key(name, prefix);
    doc.enums.insert_or_assign(copy.name, std::move(copy));
  }
  for (const auto& [name, constant] : from.consts) {
    ThriftConst copy = constant;
    if (is_local(name)) {
      qualify(copy.type, prefix);
      qualify_value(copy.value, prefix);
    }
    doc.consts.insert_or_assign(qualified_key(name, prefix), std::move(copy));
  }
}

Result<ParsedFile> IncludeLoader::parse_path(const std::string& path, SourceLocation& failed_at) {
  auto text = read_file(path);
  if (!text.ok()) return text.take_error();
  in_progress_.push_back(canonical(path));
  auto parsed = options_.reference_dialect ? parse_reference_dialect(text.value(), path, this, failed_at)
                                           : parse_default_dialect(text.value(), path, this, failed_at);
  in_progress_.pop_back();
  return parsed;
}

Result<ParsedFile> IncludeLoader::load_top(const std::string& path, SourceLocation& failed_at) {
  return parse_path(path, failed_at);
}

Result<const ParsedFile*> IncludeLoader::include(std::string_view name, const std::string& including_file,
                                                 SourceLocation& failed_at, bool& located) {
  located = false;
  std::vector<fs::path> candidates;
  const fs::path wanted(name);
  if (wanted.is_absolute()) {
    candidates.push_back(wanted);
  } else {
    candidates.push_back(fs::path(including_file).parent_path() / wanted);
    for (const auto& dir : options_.include_dirs) candidates.push_back(fs::path(dir) / wanted);
  }
  std::string found;
  for (const auto& c : candidates) {
    std::error_code ec;
    if (fs::is_regular_file(c, ec)) {
      found = c.string();
      break;
    }
  }
  if (found.empty()) return file_error("Cannot find included file " + std::string(name));
  const std::string key = canonical(found);
  for (size_t i = 0; i < in_progress_.size(); ++i) {
    if (in_progress_[i] != key) continue;
    std::string chain = "Include cycle: ";
    for (size_t j = i; j < in_progress_.size(); ++j) chain += fs::path(in_progress_[j]).filename().string() + " -> ";
    return file_error(chain + fs::path(key).filename().string());
  }
  const std::string prefix = include_prefix(name);
  if (auto owner = prefix_owner_.find(prefix); owner != prefix_owner_.end() && owner->second != key)
    return file_error("Two included files are both named " + prefix + ": " + owner->second + " and " + key);
  prefix_owner_.emplace(prefix, key);
  if (auto it = parsed_.find(key); it != parsed_.end()) return it->second.get();
  auto parsed = parse_path(found, failed_at);
  if (!parsed.ok()) {
    located = failed_at.line != 0;
    return parsed.take_error();
  }
  auto& slot = parsed_[key];
  slot = std::make_unique<ParsedFile>(std::move(parsed).value());
  return slot.get();
}

}  // namespace velvane::detail

namespace velvane {

Result<ThriftDocument> parse_document(std::string_view text, const ParseOptions& options, SourceLocation& failed_at) {
  auto parsed = options.reference_dialect ? detail::parse_reference_dialect(text, {}, nullptr, failed_at)
                                          : detail::parse_default_dialect(text, {}, nullptr, failed_at);
  if (!parsed.ok()) return parsed.take_error();
  return std::move(parsed.value().doc);
}

Result<ThriftDocument> parse_file(const std::string& path, const ParseOptions& options, SourceLocation& failed_at) {
  detail::IncludeLoader loader(options);
  auto parsed = loader.load_top(path, failed_at);
  if (!parsed.ok()) return parsed.take_error();
  return std::move(parsed.value().doc);
}

}  // namespace velvane
