// src/parser/compat_parser.cpp: the reference Thrift compiler's dialect (ThriftParser(compat=True)).
//
// Two steps: the tokens are read into definitions whose named types and values are kept as
// written, then every name is resolved at once (forward references to types are allowed, as the
// reference compiler allows them) and every value is converted under its declared type. What the
// reference compiler refuses is an error here, never a silent skip.
#include <algorithm>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "parser/includes.h"
#include "parser/lexer.h"

namespace velvane::detail {
namespace {

Error syntax_error(std::string message) { return Error{ErrorKind::InvalidData, "Syntax error: " + std::move(message)}; }
Error unexpected_token(const Token& token) { return Error{ErrorKind::InvalidData, "Unexpected token: " + to_text(token)}; }
Error end_of_input() { return Error{ErrorKind::EndOfInput, "End of input"}; }

#define VELVANE_TRY(expr)                                \
  do {                                                   \
    if (auto velvane_try_ = (expr); !velvane_try_.ok()) \
      return velvane_try_.take_error();                  \
  } while (0)

/// Typedefs naming typedefs, at most this deep.
constexpr size_t kMaxTypedefChain = 256;

/// Words that cannot name a definition, field or value.
bool is_reserved(std::string_view w) {
  static const std::unordered_set<std::string_view> kWords = {
      "include", "cpp_include", "namespace", "typedef", "const", "enum",   "senum",  "struct",  "union",
      "exception", "service",   "extends",   "throws",  "oneway", "async", "required", "optional", "void",
      "bool",    "byte",        "i8",        "i16",     "i32",   "i64",    "double", "string",  "binary",
      "slist",   "uuid",        "list",      "set",     "map",   "xsd_all", "xsd_optional", "xsd_nillable",
      "xsd_attrs", "cpp_type"};
  return kWords.count(w) != 0;
}

std::optional<TypeKind> base_type(std::string_view w) {
  if (w == "bool") return TypeKind::Bool;
  if (w == "byte" || w == "i8") return TypeKind::Byte;
  if (w == "i16") return TypeKind::I16;
  if (w == "i32") return TypeKind::I32;
  if (w == "i64") return TypeKind::I64;
  if (w == "double") return TypeKind::Double;
  if (w == "string" || w == "slist") return TypeKind::String;
  if (w == "binary") return TypeKind::Binary;
  if (w == "uuid") return TypeKind::Uuid;
  return std::nullopt;
}

/// A constant value as written.
struct ConstNode {
  enum class Kind : uint8_t { Int, Real, String, Name, List, Map } kind = Kind::Int;
  int64_t integer = 0;
  double real = 0;
  std::string text;
  std::vector<ConstNode> items;  // a map's keys and values alternate
  size_t offset = 0;
};

/// The default values of a field list as written, one entry per field.
using PendingDefaults = std::vector<std::optional<ConstNode>>;

struct PendingStruct {
  StructDef def;
  PendingDefaults defaults;
};

struct PendingService {
  ServiceDef def;
  std::optional<std::string> parent;
  size_t parent_offset = 0;
  std::vector<PendingDefaults> arguments;  // one per method
  std::vector<size_t> method_offsets;
};

struct PendingConst {
  std::string name;
  ThriftType type;
  ConstNode value;
};

struct PendingTypedef {
  ThriftType target;
  size_t offset = 0;
};

/// The definitions of the text in source order (index into its table).
enum class DefKind : uint8_t { Struct, Service, Const };

class CompatParser {
 public:
  CompatParser(std::vector<Token> tokens, size_t text_size, const std::string& file, IncludeLoader* loader,
               SourceLocation& failed_at)
      : tokens_(std::move(tokens)), text_size_(text_size), file_(file), loader_(loader), failed_at_(failed_at) {}

  Status parse() {
    bool definitions_began = false;
    while (pos_ < tokens_.size()) {
      const Token& t = tokens_[pos_];
      if (!t.is(TokenKind::Identifier)) return fail_here(unexpected_token(t));
      const std::string& word = t.text;
      if (word == "include" || word == "cpp_include" || word == "namespace") {
        if (definitions_began) return fail_here(syntax_error(word + " must come before the definitions"));
        ++pos_;
        VELVANE_TRY(word == "namespace" ? parse_namespace() : parse_include(word == "include"));
        continue;
      }
      definitions_began = true;
      ++pos_;
      if (word == "typedef") {
        VELVANE_TRY(parse_typedef());
      } else if (word == "const") {
        VELVANE_TRY(parse_const());
      } else if (word == "enum") {
        VELVANE_TRY(parse_enum());
      } else if (word == "struct" || word == "union" || word == "exception") {
        VELVANE_TRY(parse_struct(word != "exception"));
      } else if (word == "service") {
        VELVANE_TRY(parse_service());
      } else {
        --pos_;
        return fail_here(syntax_error("Unknown definition: " + word));
      }
    }
    return resolve();
  }

  /// Byte offset of the failure, or nullopt when an included file's parse located it.
  std::optional<size_t> failure_offset() const {
    if (include_failure_located_) return std::nullopt;
    return error_offset_;
  }

  ParsedFile result() && {
    ParsedFile out;
    for (auto& [name, t] : resolved_typedefs_) out.typedefs.emplace(name, std::move(t));
    out.doc = std::move(document_);
    return out;
  }

 private:
  // --- tokens ---------------------------------------------------------------------------------

  size_t here() const { return pos_ < tokens_.size() ? tokens_[pos_].offset : text_size_; }

  Status fail_at(size_t offset, Error error) {
    error_offset_ = offset;
    return error;
  }
  Status fail_here(Error error) { return fail_at(here(), std::move(error)); }
  Status fail_at(size_t offset, Status status) {
    if (!status.ok()) error_offset_ = offset;
    return status;
  }

  const Token* peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  bool peek_is(TokenKind kind) const { return pos_ < tokens_.size() && tokens_[pos_].kind == kind; }
  bool peek_word(std::string_view w) const {
    return pos_ < tokens_.size() && tokens_[pos_].is(TokenKind::Identifier) && tokens_[pos_].text == w;
  }
  bool optional(TokenKind kind) {
    if (!peek_is(kind)) return false;
    ++pos_;
    return true;
  }
  void optional_separator() {
    if (!optional(TokenKind::Comma)) optional(TokenKind::Semicolon);
  }

  Status expect(TokenKind kind, const Token** out = nullptr) {
    if (pos_ == tokens_.size()) return fail_here(end_of_input());
    if (!tokens_[pos_].is(kind)) return fail_here(unexpected_token(tokens_[pos_]));
    if (out) *out = &tokens_[pos_];
    ++pos_;
    return Status::Ok();
  }

  /// A name being defined: an identifier without dots that is not a reserved word.
  Status new_name(std::string& out) {
    const Token* t = nullptr;
    VELVANE_TRY(expect(TokenKind::Identifier, &t));
    if (is_reserved(t->text) || t->text.find('.') != std::string::npos) {
      --pos_;
      return fail_here(syntax_error("Cannot use " + t->text + " as a name"));
    }
    out = t->text;
    return Status::Ok();
  }

  /// `( key [= "value"] [,;] ... )`, any number of groups; parsed and dropped.
  Status skip_annotations() {
    while (optional(TokenKind::LeftParen)) {
      while (!optional(TokenKind::RightParen)) {
        VELVANE_TRY(expect(TokenKind::Identifier));
        if (optional(TokenKind::Equal)) VELVANE_TRY(expect(TokenKind::String));
        optional_separator();
      }
    }
    return Status::Ok();
  }

  Status define(std::unordered_map<std::string, size_t>& table, const std::string& name, size_t offset) {
    if (!table.emplace(name, offset).second) return fail_at(offset, syntax_error("Duplicate definition: " + name));
    return Status::Ok();
  }

  // --- headers --------------------------------------------------------------------------------

  Status parse_include(bool thrift_file) {
    const Token* path = nullptr;
    VELVANE_TRY(expect(TokenKind::String, &path));
    if (!thrift_file) return Status::Ok();  // cpp_include: for C++ generators only
    document_.includes.push_back(path->text);
    const std::string prefix = include_prefix(path->text);
    direct_includes_.insert(prefix);
    if (!loader_) return Status::Ok();
    auto included = loader_->include(path->text, file_, failed_at_, include_failure_located_);
    if (!included.ok()) return fail_at(path->offset, included.take_error());
    import_definitions(*included.value(), prefix, document_);
    for (const auto& [name, type] : included.value()->typedefs) {
      ThriftType copy = type;
      qualify(copy, prefix);
      resolved_typedefs_imported_.insert_or_assign(prefix + "." + name, std::move(copy));
    }
    return Status::Ok();
  }

  Status parse_namespace() {
    std::string scope;
    if (optional(TokenKind::Asterisk)) {
      scope = "*";
    } else {
      const Token* t = nullptr;
      VELVANE_TRY(expect(TokenKind::Identifier, &t));
      scope = t->text;
    }
    const Token* value = nullptr;
    VELVANE_TRY(expect(TokenKind::Identifier, &value));
    document_.namespaces.insert_or_assign(std::move(scope), value->text);
    return skip_annotations();
  }

  // --- types ----------------------------------------------------------------------------------

  /// `cpp_type "..."` in front of a container's brackets.
  Status skip_cpp_type() {
    if (!peek_word("cpp_type")) return Status::Ok();
    ++pos_;
    return expect(TokenKind::String);
  }

  Status parse_type(int level, ThriftType& out) {
    if (level > kMaxTypeDepth) return fail_here(syntax_error("Nesting too deep"));
    const Token* t = nullptr;
    VELVANE_TRY(expect(TokenKind::Identifier, &t));
    const std::string& word = t->text;
    if (auto base = base_type(word)) {
      out.kind = *base;
      return skip_annotations();
    }
    if (word == "list" || word == "set" || word == "map") {
      const bool is_map = word == "map";
      out.kind = is_map ? TypeKind::Map : word == "list" ? TypeKind::List : TypeKind::Set;
      out.args.resize(is_map ? 2 : 1);
      if (word != "list") VELVANE_TRY(skip_cpp_type());
      VELVANE_TRY(expect(TokenKind::LessThan));
      VELVANE_TRY(parse_type(level + 1, out.args[0]));
      if (is_map) {
        VELVANE_TRY(expect(TokenKind::Comma));
        VELVANE_TRY(parse_type(level + 1, out.args[1]));
      }
      VELVANE_TRY(expect(TokenKind::GreaterThan));
      if (word == "list") VELVANE_TRY(skip_cpp_type());
      return skip_annotations();
    }
    if (is_reserved(word)) {
      --pos_;
      return fail_here(unexpected_token(*t));
    }
    out = ThriftType::Struct(word);
    name_offsets_.emplace(word, t->offset);
    return Status::Ok();
  }

  // --- values ---------------------------------------------------------------------------------

  Status parse_value(int level, ConstNode& out) {
    if (level > kMaxTypeDepth) return fail_here(syntax_error("Nesting too deep"));
    if (pos_ == tokens_.size()) return fail_here(end_of_input());
    const Token& t = tokens_[pos_++];
    out.offset = t.offset;
    switch (t.kind) {
      case TokenKind::Number: out.kind = ConstNode::Kind::Int, out.integer = t.number; return Status::Ok();
      case TokenKind::Real: out.kind = ConstNode::Kind::Real, out.real = t.real; return Status::Ok();
      case TokenKind::String: out.kind = ConstNode::Kind::String, out.text = t.text; return Status::Ok();
      case TokenKind::Identifier: out.kind = ConstNode::Kind::Name, out.text = t.text; return Status::Ok();
      case TokenKind::LeftBracket:
        out.kind = ConstNode::Kind::List;
        while (!optional(TokenKind::RightBracket)) {
          VELVANE_TRY(parse_value(level + 1, out.items.emplace_back()));
          optional_separator();
        }
        return Status::Ok();
      case TokenKind::LeftBrace:
        out.kind = ConstNode::Kind::Map;
        while (!optional(TokenKind::RightBrace)) {
          VELVANE_TRY(parse_value(level + 1, out.items.emplace_back()));
          VELVANE_TRY(expect(TokenKind::Colon));
          VELVANE_TRY(parse_value(level + 1, out.items.emplace_back()));
          optional_separator();
        }
        return Status::Ok();
      default:
        --pos_;
        return fail_here(unexpected_token(t));
    }
  }

  // --- definitions ----------------------------------------------------------------------------

  Status parse_typedef() {
    PendingTypedef def;
    def.offset = here();
    VELVANE_TRY(parse_type(0, def.target));
    std::string name;
    const size_t at = here();
    VELVANE_TRY(new_name(name));
    VELVANE_TRY(define(type_names_, name, at));
    VELVANE_TRY(skip_annotations());
    optional_separator();
    typedefs_.emplace(std::move(name), std::move(def));
    return Status::Ok();
  }

  Status parse_const() {
    PendingConst def;
    VELVANE_TRY(parse_type(0, def.type));
    const size_t at = here();
    VELVANE_TRY(new_name(def.name));
    VELVANE_TRY(define(const_names_, def.name, at));
    VELVANE_TRY(expect(TokenKind::Equal));
    VELVANE_TRY(parse_value(0, def.value));
    optional_separator();
    order_.emplace_back(DefKind::Const, consts_.size());
    consts_.push_back(std::move(def));
    return Status::Ok();
  }

  Status parse_enum() {
    ThriftEnum result;
    const size_t at = here();
    VELVANE_TRY(new_name(result.name));
    VELVANE_TRY(define(type_names_, result.name, at));
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    int64_t next = 0;
    while (!optional(TokenKind::RightBrace)) {
      std::string entry;
      const size_t entry_at = here();
      VELVANE_TRY(new_name(entry));
      int64_t value = next;
      if (optional(TokenKind::Equal)) {
        const Token* literal = nullptr;
        VELVANE_TRY(expect(TokenKind::Number, &literal));
        value = literal->number;
      }
      if (value < INT32_MIN || value > INT32_MAX) return fail_at(entry_at, syntax_error("Enum value out of range: " + entry));
      if (!result.values.emplace(entry, static_cast<int32_t>(value)).second)
        return fail_at(entry_at, syntax_error("Duplicate definition: " + result.name + "." + entry));
      next = value + 1;
      VELVANE_TRY(skip_annotations());
      optional_separator();
    }
    VELVANE_TRY(skip_annotations());
    std::string key = result.name;
    document_.enums.insert_or_assign(std::move(key), std::move(result));
    return Status::Ok();
  }

  /// Fields up to `closer`; ids are checked for repeats, missing ones count down from -1.
  Status parse_fields(TokenKind closer, std::vector<ThriftField>& fields, PendingDefaults& defaults) {
    int16_t implicit = -1;
    std::unordered_set<int16_t> ids;
    std::unordered_set<std::string> names;
    while (!optional(closer)) {
      if (pos_ == tokens_.size()) return fail_here(end_of_input());
      ThriftField& field = fields.emplace_back();
      std::optional<ConstNode>& value = defaults.emplace_back();
      const size_t field_at = here();
      bool explicit_id = false;
      if (peek_is(TokenKind::Number)) {
        const int64_t id = tokens_[pos_++].number;
        VELVANE_TRY(expect(TokenKind::Colon));
        if (id > INT16_MAX) return fail_at(field_at, syntax_error("Field id out of range: " + std::to_string(id)));
        explicit_id = id > 0;  // the reference compiler numbers a non-positive id as a missing one
        field.id = static_cast<int16_t>(id);
      }
      if (!explicit_id) field.id = implicit--;
      if (peek_word("required")) {
        ++pos_;
        field.required = true;
      } else if (peek_word("optional")) {
        ++pos_;
      }
      VELVANE_TRY(parse_type(0, field.field_type));
      optional(TokenKind::Ampersand);
      VELVANE_TRY(new_name(field.name));
      if (optional(TokenKind::Equal)) VELVANE_TRY(parse_value(0, value.emplace()));
      VELVANE_TRY(skip_xsd());
      VELVANE_TRY(skip_annotations());
      optional_separator();
      if (!ids.insert(field.id).second || !names.insert(field.name).second)
        return fail_at(field_at, syntax_error("Field id or name used twice: " + std::to_string(field.id) + ": " + field.name));
    }
    return Status::Ok();
  }

  Status skip_xsd() {
    for (;;) {
      if (peek_word("xsd_optional") || peek_word("xsd_nillable")) {
        ++pos_;
      } else if (peek_word("xsd_attrs") && !in_xsd_attrs_) {
        ++pos_;
        in_xsd_attrs_ = true;
        VELVANE_TRY(expect(TokenKind::LeftBrace));
        std::vector<ThriftField> ignored;
        PendingDefaults ignored_values;
        VELVANE_TRY(parse_fields(TokenKind::RightBrace, ignored, ignored_values));
        in_xsd_attrs_ = false;
      } else {
        return Status::Ok();
      }
    }
  }

  Status parse_struct(bool may_be_xsd_all) {
    PendingStruct def;
    const size_t at = here();
    VELVANE_TRY(new_name(def.def.name));
    VELVANE_TRY(define(type_names_, def.def.name, at));
    if (may_be_xsd_all && peek_word("xsd_all")) ++pos_;
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    VELVANE_TRY(parse_fields(TokenKind::RightBrace, def.def.fields, def.defaults));
    VELVANE_TRY(skip_annotations());
    order_.emplace_back(DefKind::Struct, structs_.size());
    structs_.push_back(std::move(def));
    return Status::Ok();
  }

  Status parse_service() {
    PendingService def;
    const size_t at = here();
    VELVANE_TRY(new_name(def.def.name));
    VELVANE_TRY(define(service_names_, def.def.name, at));
    if (peek_word("extends")) {
      ++pos_;
      def.parent_offset = here();
      const Token* parent = nullptr;
      VELVANE_TRY(expect(TokenKind::Identifier, &parent));
      def.parent = parent->text;
    }
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    PendingDefaults throws_defaults;
    while (!optional(TokenKind::RightBrace)) {
      if (pos_ == tokens_.size()) return fail_here(end_of_input());
      MethodDef& m = def.def.methods.emplace_back();
      def.method_offsets.push_back(here());
      if (peek_word("oneway") || peek_word("async")) {
        ++pos_;
        m.oneway = true;
      }
      if (peek_word("void")) {
        ++pos_;
        m.return_type = ThriftType::Struct("void");
      } else {
        VELVANE_TRY(parse_type(0, m.return_type));
      }
      VELVANE_TRY(new_name(m.name));
      for (size_t i = 0; i + 1 < def.def.methods.size(); ++i)
        if (def.def.methods[i].name == m.name)
          return fail_at(def.method_offsets.back(), syntax_error("Duplicate definition: " + def.def.name + "." + m.name));
      VELVANE_TRY(expect(TokenKind::LeftParen));
      def.arguments.emplace_back();
      VELVANE_TRY(parse_fields(TokenKind::RightParen, m.arguments, def.arguments.back()));
      if (peek_word("throws")) {
        ++pos_;
        VELVANE_TRY(expect(TokenKind::LeftParen));
        VELVANE_TRY(parse_fields(TokenKind::RightParen, m.exceptions, throws_defaults));
      }
      VELVANE_TRY(skip_annotations());
      optional_separator();
      if (m.oneway && !m.return_type.is_void())
        return fail_at(def.method_offsets.back(), syntax_error("Oneway method " + m.name + " must return void"));
      if (m.oneway && !m.exceptions.empty())
        return fail_at(def.method_offsets.back(), syntax_error("Oneway method " + m.name + " cannot throw"));
    }
    VELVANE_TRY(skip_annotations());
    order_.emplace_back(DefKind::Service, services_.size());
    services_.push_back(std::move(def));
    return Status::Ok();
  }

  // --- resolution -----------------------------------------------------------------------------

  Status charge_copy(const ThriftType& type) {
    copied_ += 1;
    for (const auto& a : type.args) VELVANE_TRY(charge_copy(a));
    if (copied_ > kMaxCopiedSchemaElements) return syntax_error("Schema too large");
    return Status::Ok();
  }

  size_t name_offset(const std::string& name) const {
    auto it = name_offsets_.find(name);
    return it != name_offsets_.end() ? it->second : 0;
  }

  /// Whether a dotted name is `x.Name` of a file this text includes.
  bool is_included_name(const std::string& name) const {
    const size_t dot = name.find('.');
    return dot != std::string::npos && direct_includes_.count(name.substr(0, dot)) != 0;
  }

  /// The enum a named type stands for (through typedefs), or nullptr.
  const ThriftEnum* enum_of(const ThriftType& declared, int hops = 0) const {
    if (declared.kind != TypeKind::Struct || hops > kMaxTypeDepth) return nullptr;
    if (auto e = document_.enums.find(declared.name); e != document_.enums.end()) return &e->second;
    if (auto t = typedefs_.find(declared.name); t != typedefs_.end()) return enum_of(t->second.target, hops + 1);
    return nullptr;
  }

  Status resolve_type(ThriftType& type, int level) {
    if (level > kMaxTypeDepth) return syntax_error("Nesting too deep");
    if (type.kind != TypeKind::Struct) {
      for (auto& a : type.args) VELVANE_TRY(resolve_type(a, level + 1));
      return Status::Ok();
    }
    const std::string name = type.name;
    const size_t at = name_offset(name);
    if (auto e = document_.enums.find(name); e != document_.enums.end() && (name.find('.') == std::string::npos || is_included_name(name))) {
      type = ThriftType::Scalar(TypeKind::I32);
      return Status::Ok();
    }
    if (name.find('.') == std::string::npos) {
      if (auto t = typedefs_.find(name); t != typedefs_.end()) {
        const ThriftType* target = nullptr;
        VELVANE_TRY(resolved_typedef(name, t->second, target));
        VELVANE_TRY(fail_at(at, charge_copy(*target)));
        type = *target;
        return Status::Ok();
      }
      if (type_names_.count(name)) return Status::Ok();  // a struct, union or exception
    } else if (is_included_name(name)) {
      if (!loader_) return Status::Ok();  // parse(): the included file is not read; a struct reference
      if (auto t = resolved_typedefs_imported_.find(name); t != resolved_typedefs_imported_.end()) {
        VELVANE_TRY(fail_at(at, charge_copy(t->second)));
        type = t->second;
        return Status::Ok();
      }
      if (document_.structs.count(name)) return Status::Ok();
    }
    return fail_at(at, syntax_error("Type " + name + " is not defined"));
  }

  Status resolved_typedef(const std::string& name, const PendingTypedef& def, const ThriftType*& out) {
    if (auto done = resolved_typedefs_.find(name); done != resolved_typedefs_.end()) {
      out = &done->second;
      return Status::Ok();
    }
    if (!resolving_.insert(name).second) return fail_at(def.offset, syntax_error("Typedef cycle through " + name));
    // Each typedef in a chain is resolved inside the one naming it: a bound keeps the stack small.
    if (resolving_.size() > kMaxTypedefChain) return fail_at(def.offset, syntax_error("Typedef chain too long"));
    ThriftType target = def.target;
    VELVANE_TRY(resolve_type(target, 0));
    resolving_.erase(name);
    out = &resolved_typedefs_.insert_or_assign(name, std::move(target)).first->second;
    return Status::Ok();
  }

  Status resolve_fields(std::vector<ThriftField>& fields) {
    for (auto& f : fields) VELVANE_TRY(resolve_type(f.field_type, 0));
    return Status::Ok();
  }

  Status convert_defaults(std::vector<ThriftField>& fields, const std::vector<ThriftType>& declared,
                          PendingDefaults& defaults) {
    for (size_t i = 0; i < fields.size(); ++i) {
      if (!defaults[i]) continue;
      VELVANE_TRY(convert(*defaults[i], fields[i].field_type, enum_of(declared[i]), 0, fields[i].default_value.emplace()));
    }
    return Status::Ok();
  }

  static std::vector<ThriftType> declared_types(const std::vector<ThriftField>& fields) {
    std::vector<ThriftType> out;
    out.reserve(fields.size());
    for (const auto& f : fields) out.push_back(f.field_type);
    return out;
  }

  Status resolve() {
    for (const auto& [name, def] : typedefs_) {
      const ThriftType* ignored = nullptr;
      VELVANE_TRY(resolved_typedef(name, def, ignored));
    }
    // Types first (values may name any struct), then values and services in source order.
    std::vector<std::vector<ThriftType>> struct_declared;
    for (auto& s : structs_) {
      struct_declared.push_back(declared_types(s.def.fields));
      VELVANE_TRY(resolve_fields(s.def.fields));
      document_.structs.insert_or_assign(s.def.name, s.def);  // fields without defaults yet
    }
    std::vector<ThriftType> const_declared;
    for (auto& c : consts_) {
      const_declared.push_back(c.type);
      VELVANE_TRY(resolve_type(c.type, 0));
    }
    for (auto [kind, index] : order_) {
      if (kind == DefKind::Struct) {
        PendingStruct& s = structs_[index];
        VELVANE_TRY(convert_defaults(s.def.fields, struct_declared[index], s.defaults));
        document_.structs.insert_or_assign(s.def.name, std::move(s.def));
      } else if (kind == DefKind::Const) {
        PendingConst& c = consts_[index];
        ThriftValue value;
        VELVANE_TRY(convert(c.value, c.type, enum_of(const_declared[index]), 0, value));
        document_.consts.insert_or_assign(c.name, ThriftConst{c.type, std::move(value)});
      } else {
        VELVANE_TRY(resolve_service(services_[index]));
      }
    }
    return Status::Ok();
  }

  Status resolve_service(PendingService& s) {
    for (size_t i = 0; i < s.def.methods.size(); ++i) {
      MethodDef& m = s.def.methods[i];
      if (!m.return_type.is_void()) VELVANE_TRY(resolve_type(m.return_type, 0));
      const auto declared = declared_types(m.arguments);
      VELVANE_TRY(resolve_fields(m.arguments));
      VELVANE_TRY(convert_defaults(m.arguments, declared, s.arguments[i]));
      VELVANE_TRY(resolve_fields(m.exceptions));
    }
    if (s.parent) {
      const std::string& parent = *s.parent;
      auto it = document_.services.find(parent);
      if (it == document_.services.end() || (parent.find('.') != std::string::npos && !is_included_name(parent)))
        return fail_at(s.parent_offset, syntax_error("Service " + parent + " is not defined"));
      std::vector<MethodDef> merged = it->second.methods;
      for (auto& m : s.def.methods) {
        for (const auto& inherited : merged)
          if (inherited.name == m.name)
            return fail_at(s.parent_offset, syntax_error("Duplicate inherited method '" + m.name + "' in extends " + parent));
      }
      for (auto& m : s.def.methods) merged.push_back(std::move(m));
      s.def.methods = std::move(merged);
    }
    document_.services.insert_or_assign(s.def.name, std::move(s.def));
    return Status::Ok();
  }

  // --- values under their types ---------------------------------------------------------------

  Status type_error(const ConstNode& node, const ThriftType& type) {
    return fail_at(node.offset, syntax_error("Value does not fit the type " + to_text(type)));
  }

  /// A constant named by `name` (own, or `x.NAME` of an included file), already converted.
  const ThriftConst* find_const(const std::string& name) const {
    if (name.find('.') != std::string::npos && !is_included_name(name)) return nullptr;
    auto it = document_.consts.find(name);
    return it != document_.consts.end() ? &it->second : nullptr;
  }

  /// `E.V` or `x.E.V`: the value of an enum known to this text; when `only` is given, of that enum.
  std::optional<int32_t> enum_value(const std::string& name, const ThriftEnum* only) const {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return std::nullopt;
    const std::string enum_name = name.substr(0, dot);
    if (enum_name.find('.') != std::string::npos && !is_included_name(enum_name)) return std::nullopt;
    auto e = document_.enums.find(enum_name);
    if (e == document_.enums.end() || (only && &e->second != only)) return std::nullopt;
    auto v = e->second.values.find(name.substr(dot + 1));
    if (v == e->second.values.end()) return std::nullopt;
    return v->second;
  }

  Status convert(const ConstNode& node, const ThriftType& type, const ThriftEnum* as_enum, int level, ThriftValue& out) {
    if (level > kMaxTypeDepth) return fail_at(node.offset, syntax_error("Nesting too deep"));
    if (node.kind == ConstNode::Kind::Name) {
      if (const ThriftConst* c = find_const(node.text)) {
        if (c->type != type) return type_error(node, type);
        out = c->value;
        return Status::Ok();
      }
    }
    switch (type.kind) {
      case TypeKind::Bool:
        if (node.kind != ConstNode::Kind::Int) return type_error(node, type);
        out = ThriftValue::Bool(node.integer != 0);
        return Status::Ok();
      case TypeKind::Byte:
      case TypeKind::I16:
      case TypeKind::I32:
      case TypeKind::I64: {
        int64_t n = 0;
        if (node.kind == ConstNode::Kind::Int) {
          n = node.integer;
          if (as_enum && std::none_of(as_enum->values.begin(), as_enum->values.end(),
                                      [&](const auto& v) { return v.second == n; }))
            return fail_at(node.offset, syntax_error("No value " + std::to_string(n) + " in enum " + as_enum->name));
        } else if (node.kind == ConstNode::Kind::Name && as_enum && node.text.find('.') != std::string::npos) {
          // As the reference compiler does: the value's own name, looked up in the declared enum.
          auto v = as_enum->values.find(node.text.substr(node.text.rfind('.') + 1));
          if (v == as_enum->values.end()) return fail_at(node.offset, syntax_error("Unknown value: " + node.text));
          n = v->second;
        } else if (node.kind == ConstNode::Kind::Name) {
          auto v = enum_value(node.text, nullptr);
          if (!v) return fail_at(node.offset, syntax_error("Unknown value: " + node.text));
          n = *v;
        } else {
          return type_error(node, type);
        }
        switch (type.kind) {
          case TypeKind::Byte: out = ThriftValue::Byte(static_cast<int8_t>(n)); break;
          case TypeKind::I16: out = ThriftValue::I16(static_cast<int16_t>(n)); break;
          case TypeKind::I32: out = ThriftValue::I32(static_cast<int32_t>(n)); break;
          default: out = ThriftValue::I64(n); break;
        }
        return Status::Ok();
      }
      case TypeKind::Double:
        if (node.kind == ConstNode::Kind::Int) {
          out = ThriftValue::Double(static_cast<double>(node.integer));
        } else if (node.kind == ConstNode::Kind::Real) {
          out = ThriftValue::Double(node.real);
        } else {
          return type_error(node, type);
        }
        return Status::Ok();
      case TypeKind::String:
      case TypeKind::Binary:
        if (node.kind != ConstNode::Kind::String) return type_error(node, type);
        out = type.kind == TypeKind::String ? ThriftValue::String(node.text) : ThriftValue::Binary(node.text);
        return Status::Ok();
      case TypeKind::Uuid: {
        if (node.kind != ConstNode::Kind::String) return type_error(node, type);
        auto bytes = uuid_from_text(node.text);
        if (!bytes) return fail_at(node.offset, syntax_error("Not a UUID: " + node.text));
        out = ThriftValue::Uuid(std::move(*bytes));
        return Status::Ok();
      }
      case TypeKind::List:
      case TypeKind::Set: {
        const bool empty_map = node.kind == ConstNode::Kind::Map && node.items.empty();
        if (node.kind != ConstNode::Kind::List && !(empty_map && type.kind == TypeKind::Set)) return type_error(node, type);
        out.kind = type.kind == TypeKind::List ? ValueKind::List : ValueKind::Set;
        out.items.resize(node.items.size());
        for (size_t i = 0; i < node.items.size(); ++i)
          VELVANE_TRY(convert(node.items[i], type.elem(), nullptr, level + 1, out.items[i]));
        return Status::Ok();
      }
      case TypeKind::Map: {
        const bool empty_list = node.kind == ConstNode::Kind::List && node.items.empty();
        if (node.kind != ConstNode::Kind::Map && !empty_list) return type_error(node, type);
        out.kind = ValueKind::Map;
        out.items.resize(node.items.size());
        for (size_t i = 0; i < node.items.size(); ++i)
          VELVANE_TRY(convert(node.items[i], i % 2 == 0 ? type.key() : type.value(), nullptr, level + 1, out.items[i]));
        return Status::Ok();
      }
      case TypeKind::Struct: {
        if (node.kind != ConstNode::Kind::Map) return type_error(node, type);
        auto def = document_.structs.find(type.name);
        if (def == document_.structs.end()) return type_error(node, type);
        out = ThriftValue::Struct(type.name);
        for (size_t i = 0; i + 1 < node.items.size(); i += 2) {
          const ConstNode& key = node.items[i];
          if (key.kind != ConstNode::Kind::String) return type_error(key, ThriftType::Scalar(TypeKind::String));
          const ThriftField* field = def->second.find_field(key.text);
          if (!field)
            return fail_at(key.offset, syntax_error("No field " + key.text + " in struct " + type.name));
          ThriftValue value;
          VELVANE_TRY(convert(node.items[i + 1], field->field_type, nullptr, level + 1, value));
          out.strukt->set(key.text, std::move(value));
        }
        return Status::Ok();
      }
    }
    return type_error(node, type);
  }

  std::vector<Token> tokens_;
  size_t pos_ = 0;
  size_t text_size_;
  const std::string& file_;
  IncludeLoader* loader_;
  SourceLocation& failed_at_;
  bool include_failure_located_ = false;
  bool in_xsd_attrs_ = false;
  size_t error_offset_ = 0;
  size_t copied_ = 0;

  std::unordered_set<std::string> direct_includes_;
  std::unordered_map<std::string, size_t> type_names_, const_names_, service_names_;
  std::unordered_map<std::string, size_t> name_offsets_;  // first use of each named type
  std::unordered_map<std::string, PendingTypedef> typedefs_;
  std::unordered_map<std::string, ThriftType> resolved_typedefs_;
  std::unordered_map<std::string, ThriftType> resolved_typedefs_imported_;  // `x.Name`
  std::unordered_set<std::string> resolving_;
  std::vector<PendingStruct> structs_;
  std::vector<PendingService> services_;
  std::vector<PendingConst> consts_;
  std::vector<std::pair<DefKind, size_t>> order_;
  ThriftDocument document_;
};

}  // namespace

Result<ParsedFile> parse_reference_dialect(std::string_view text, const std::string& file, IncludeLoader* loader,
                                           SourceLocation& failed_at) {
  const auto located = [&](Error error, size_t offset) {
    const SourcePosition at = position_of(text, offset);
    failed_at = SourceLocation{file, at.line, at.column};
    error.text += " (" + (file.empty() ? std::string() : file + ", ") + "line " + std::to_string(at.line) +
                  ", column " + std::to_string(at.column) + ")";
    return error;
  };
  size_t lex_failed_at = 0;
  auto tokens = tokenize_reference(text, lex_failed_at);
  if (!tokens.ok()) return located(syntax_error(tokens.error().text), lex_failed_at);
  CompatParser parser(std::move(tokens).value(), text.size(), file, loader, failed_at);
  Status st = parser.parse();
  if (!st.ok()) {
    auto offset = parser.failure_offset();
    if (!offset) return st.take_error();
    return located(st.take_error(), *offset);
  }
  return std::move(parser).result();
}

}  // namespace velvane::detail
