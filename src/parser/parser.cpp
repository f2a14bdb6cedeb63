// src/parser/parser.cpp: recursive-descent IDL parser with typedef, enum and extends resolution.
#include "parser/parser.h"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "parser/lexer.h"

namespace velvane {
namespace {

Error syntax_error(std::string_view message) {
  std::string text = "Syntax error: ";
  text += message;
  return Error{ErrorKind::Value, std::move(text)};
}
Error unexpected_token(const Token& token) { return Error{ErrorKind::Value, "Unexpected token: " + to_text(token)}; }
Error end_of_input() { return Error{ErrorKind::Value, "End of input"}; }

#define VELVANE_TRY(expr)                                \
  do {                                                   \
    if (auto velvane_try_ = (expr); !velvane_try_.ok()) \
      return velvane_try_.take_error();                  \
  } while (0)

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

/// A typedef (or enum) target with its size, so substitution can be bounded before it copies.
struct Alias {
  ThriftType type;
  int depth = 0;     // container levels below the top
  size_t nodes = 1;  // type nodes in the tree
};

void measure(const ThriftType& type, int level, int& depth, size_t& nodes) {
  ++nodes;
  if (level > depth) depth = level;
  for (const auto& arg : type.args) measure(arg, level + 1, depth, nodes);
}

size_t element_count(const ThriftType& type) {
  size_t n = 1;
  for (const auto& arg : type.args) n += element_count(arg);
  return n;
}

size_t element_count(const ThriftValue& value) {
  size_t n = 1;
  for (const auto& item : value.items) n += element_count(item);
  for (const auto& field : value.strukt.fields) n += element_count(field.second);
  return n;
}

size_t element_count(const std::vector<ThriftField>& fields) {
  size_t n = 0;
  for (const auto& f : fields) n += 1 + element_count(f.field_type) + (f.default_value ? element_count(*f.default_value) : 0);
  return n;
}

size_t element_count(const std::vector<MethodDef>& methods) {
  size_t n = 0;
  for (const auto& m : methods) n += 1 + element_count(m.return_type) + element_count(m.arguments) + element_count(m.exceptions);
  return n;
}

bool ends_item(TokenKind kind) {
  return kind == TokenKind::Comma || kind == TokenKind::Semicolon || kind == TokenKind::RightParen ||
         kind == TokenKind::RightBrace;
}

class Parser {
 public:
  explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

  Result<ThriftDocument> parse() {
    while (pos_ < tokens_.size()) {
      const Token& token = tokens_[pos_];
      if (!token.is(TokenKind::Keyword)) {
        ++pos_;  // the top level skips whatever does not start a definition
        continue;
      }
      Status status = parse_definition(token.text);
      if (!status.ok()) return status.take_error();
    }
    return std::move(document_);
  }

 private:
  // --- token primitives -------------------------------------------------------------------------

  const Token* peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  bool peek_is(TokenKind kind) const { return pos_ < tokens_.size() && tokens_[pos_].kind == kind; }
  bool peek_keyword(std::string_view word) const { return pos_ < tokens_.size() && tokens_[pos_].is_keyword(word); }

  Result<Token*> next() {
    if (pos_ >= tokens_.size()) return end_of_input();
    return &tokens_[pos_++];
  }

  Result<Token*> expect(TokenKind kind) {
    auto token = next();
    if (token.ok() && !token.value()->is(kind)) return unexpected_token(*token.value());
    return token;
  }

  bool optional(TokenKind kind) {
    if (!peek_is(kind)) return false;
    ++pos_;
    return true;
  }

  void optional_separator() {
    if (!optional(TokenKind::Comma)) optional(TokenKind::Semicolon);
  }

  /// Fails with "End of input" when no token is left, so loops over bodies can stop there.
  Result<const Token*> peek_required() const {
    if (pos_ >= tokens_.size()) return end_of_input();
    return &tokens_[pos_];
  }

  /// Parenthesised annotations, counted rather than recursed so nesting costs no stack.
  Status skip_annotations() {
    while (optional(TokenKind::LeftParen)) {
      size_t open = 1;
      while (open > 0) {
        auto token = next();
        if (!token.ok()) return token.take_error();
        if (token.value()->is(TokenKind::LeftParen)) ++open;
        if (token.value()->is(TokenKind::RightParen)) --open;
      }
    }
    return Status::Ok();
  }

  Result<std::string> name() {
    auto token = next();
    if (!token.ok()) return token.take_error();
    if (!token.value()->is(TokenKind::Identifier)) return unexpected_token(*token.value());
    return std::move(token.value()->text);
  }

  /// Appends any `.word` parts that follow to `first`.
  Result<std::string> rest_of_dotted_name(std::string first) {
    while (optional(TokenKind::Dot)) {
      auto part = next();
      if (!part.ok()) return part.take_error();
      if (!part.value()->is_word()) return unexpected_token(*part.value());
      first += '.';
      first += part.value()->text;
    }
    return first;
  }

  Result<std::string> dotted_name() {
    auto first = next();
    if (!first.ok()) return first.take_error();
    if (!first.value()->is_word()) return unexpected_token(*first.value());
    return rest_of_dotted_name(first.value()->text);
  }

  /// Skips a value that could not be read (or needs no reading): one token or bracketed group,
  /// then everything up to the next token that plausibly starts the next item. Iterative, so
  /// arbitrarily deep brackets cannot exhaust the stack.
  void skip_value() {
    if (const Token* t = peek(); !t || ends_item(t->kind)) return;
    size_t parens = 0, braces = 0, brackets = 0;
    const auto adjust = [&](TokenKind kind) {
      switch (kind) {
        case TokenKind::LeftParen: ++parens; break;
        case TokenKind::LeftBrace: ++braces; break;
        case TokenKind::LeftBracket: ++brackets; break;
        case TokenKind::RightParen: if (parens) --parens; break;
        case TokenKind::RightBrace: if (braces) --braces; break;
        case TokenKind::RightBracket: if (brackets) --brackets; break;
        default: break;
      }
    };
    adjust(tokens_[pos_++].kind);
    while (pos_ < tokens_.size()) {
      const TokenKind kind = tokens_[pos_].kind;
      if (parens == 0 && braces == 0 && brackets == 0 &&
          (kind == TokenKind::Keyword || kind == TokenKind::Number || ends_item(kind)))
        return;
      adjust(kind);
      ++pos_;
    }
  }

  Status charge_copy(size_t elements) {
    copied_elements_ += elements;
    if (copied_elements_ > kMaxCopiedSchemaElements) return syntax_error("Schema too large");
    return Status::Ok();
  }

  // --- types ------------------------------------------------------------------------------------

  /// `level` counts the containers around the type being read.
  Result<ThriftType> parse_type(int level) {
    if (level > kMaxTypeDepth) return syntax_error("Nesting too deep");
    auto token = next();
    if (!token.ok()) return token.take_error();
    if (!token.value()->is(TokenKind::Identifier)) return unexpected_token(*token.value());
    std::string& word = token.value()->text;
    if (auto scalar = scalar_kind(word); scalar.has_value()) return ThriftType::Scalar(*scalar);
    if (word == "list" || word == "set") {
      const bool is_list = word == "list";
      VELVANE_TRY(expect(TokenKind::LessThan));
      auto elem = parse_type(level + 1);
      if (!elem.ok()) return elem.take_error();
      VELVANE_TRY(expect(TokenKind::GreaterThan));
      return is_list ? ThriftType::List(std::move(elem).value()) : ThriftType::Set(std::move(elem).value());
    }
    if (word == "map") {
      VELVANE_TRY(expect(TokenKind::LessThan));
      auto key = parse_type(level + 1);
      if (!key.ok()) return key.take_error();
      VELVANE_TRY(expect(TokenKind::Comma));
      auto value = parse_type(level + 1);
      if (!value.ok()) return value.take_error();
      VELVANE_TRY(expect(TokenKind::GreaterThan));
      return ThriftType::Map(std::move(key).value(), std::move(value).value());
    }
    auto full = rest_of_dotted_name(std::move(word));
    if (!full.ok()) return full.take_error();
    return resolve_named_type(std::move(full).value(), level);
  }

  static std::optional<TypeKind> scalar_kind(std::string_view word) {
    switch (word.size()) {
      case 3:
        if (word == "i16") return TypeKind::I16;
        if (word == "i32") return TypeKind::I32;
        if (word == "i64") return TypeKind::I64;
        break;
      case 4:
        if (word == "bool") return TypeKind::Bool;
        if (word == "byte") return TypeKind::Byte;
        break;
      case 6:
        if (word == "double") return TypeKind::Double;
        if (word == "string") return TypeKind::String;
        if (word == "binary") return TypeKind::Binary;
        break;
      default:
        break;
    }
    return std::nullopt;
  }

  const Alias* find_alias(std::string_view name) const {
    if (aliases_.empty()) return nullptr;
    if (auto it = aliases_.find(name); it != aliases_.end()) return &it->second;
    if (auto dot = name.rfind('.'); dot != std::string_view::npos) {
      if (auto it = aliases_.find(name.substr(dot + 1)); it != aliases_.end()) return &it->second;
    }
    return nullptr;
  }

  Result<ThriftType> resolve_named_type(std::string name, int level) {
    const Alias* alias = find_alias(name);
    if (!alias) return ThriftType::Struct(std::move(name));
    if (level + alias->depth > kMaxTypeDepth) return syntax_error("Nesting too deep");
    VELVANE_TRY(charge_copy(alias->nodes));
    return alias->type;
  }

  // --- values -----------------------------------------------------------------------------------

  /// A `Number`, or `Enum.VALUE` naming a value of an enum defined above.
  Result<int64_t> numeric_value() {
    auto first = peek_required();
    if (!first.ok()) return first.take_error();
    if (first.value()->is(TokenKind::Number)) return tokens_[pos_++].number;
    if (!first.value()->is_word()) return unexpected_token(tokens_[pos_++]);
    auto full = dotted_name();
    if (!full.ok()) return full.take_error();
    const std::string& joined = full.value();
    const size_t dot = joined.find('.');
    if (dot != std::string::npos && joined.find('.', dot + 1) == std::string::npos) {
      if (auto e = document_.enums.find(joined.substr(0, dot)); e != document_.enums.end()) {
        if (auto v = e->second.values.find(joined.substr(dot + 1)); v != e->second.values.end()) return v->second;
      }
    }
    return syntax_error("Unknown numeric default value: " + joined);
  }

  /// Reads a value of `type`. Recursion follows the type's containers, so its depth is bounded by
  /// kMaxTypeDepth like the type itself.
  Result<ThriftValue> read_value(const ThriftType& type) {
    switch (type.kind) {
      case TypeKind::Bool: {
        auto token = next();
        if (!token.ok()) return token.take_error();
        const Token& t = *token.value();
        if (t.is(TokenKind::Number)) return ThriftValue::Bool(t.number != 0);
        if (t.is_word() && (t.text == "true" || t.text == "false")) return ThriftValue::Bool(t.text == "true");
        return unexpected_token(t);
      }
      case TypeKind::Byte:
      case TypeKind::I16:
      case TypeKind::I32:
      case TypeKind::I64:
      case TypeKind::Double: {
        auto n = numeric_value();
        if (!n.ok()) return n.take_error();
        return integer_value(type.kind, n.value());
      }
      case TypeKind::String:
      case TypeKind::Binary: {
        auto token = next();
        if (!token.ok()) return token.take_error();
        Token& t = *token.value();
        if (t.is(TokenKind::String)) {
          return type.kind == TypeKind::String ? ThriftValue::String(std::move(t.text)) : ThriftValue::Binary(std::move(t.text));
        }
        if (type.kind == TypeKind::String && t.is_word()) return ThriftValue::String(std::move(t.text));
        return unexpected_token(t);
      }
      case TypeKind::List:
      case TypeKind::Set: {
        VELVANE_TRY(expect(TokenKind::LeftBracket));
        std::vector<ThriftValue> items;
        for (;;) {
          auto t = peek_required();
          if (!t.ok()) return t.take_error();
          if (optional(TokenKind::RightBracket)) break;
          auto item = read_value(type.elem());
          if (!item.ok()) return item.take_error();
          items.push_back(std::move(item).value());
          optional_separator();
        }
        return type.kind == TypeKind::List ? ThriftValue::List(std::move(items)) : ThriftValue::Set(std::move(items));
      }
      case TypeKind::Map: {
        VELVANE_TRY(expect(TokenKind::LeftBrace));
        std::vector<ThriftValue> items;
        for (;;) {
          auto t = peek_required();
          if (!t.ok()) return t.take_error();
          if (optional(TokenKind::RightBrace)) break;
          auto key = read_value(type.key());
          if (!key.ok()) return key.take_error();
          VELVANE_TRY(expect(TokenKind::Colon));
          auto value = read_value(type.value());
          if (!value.ok()) return value.take_error();
          items.push_back(std::move(key).value());
          items.push_back(std::move(value).value());
          optional_separator();
        }
        return ThriftValue::Map(std::move(items));
      }
      case TypeKind::Struct:
        skip_value();
        return ThriftValue::Struct(type.name);
    }
    return syntax_error("Unknown type");  // not reached: the switch covers every kind
  }

  static ThriftValue integer_value(TypeKind kind, int64_t n) {
    // Narrowing keeps the low bits: two's complement conversions are defined since C++20.
    switch (kind) {
      case TypeKind::Byte: return ThriftValue::Byte(static_cast<int8_t>(n));
      case TypeKind::I16: return ThriftValue::I16(static_cast<int16_t>(n));
      case TypeKind::I32: return ThriftValue::I32(static_cast<int32_t>(n));
      case TypeKind::Double: return ThriftValue::Double(static_cast<double>(n));
      default: return ThriftValue::I64(n);
    }
  }

  /// A default or constant value; one that cannot be read is skipped and forgotten.
  std::optional<ThriftValue> read_or_skip_value(const ThriftType& type) {
    auto value = read_value(type);
    if (value.ok()) return std::move(value).value();
    skip_value();
    return std::nullopt;
  }

  // --- fields and methods -----------------------------------------------------------------------

  Result<ThriftField> parse_field() {
    ThriftField field;
    auto id = next();
    if (!id.ok()) return id.take_error();
    if (!id.value()->is(TokenKind::Number)) return unexpected_token(*id.value());
    field.id = static_cast<int16_t>(id.value()->number);
    VELVANE_TRY(expect(TokenKind::Colon));
    VELVANE_TRY(peek_required());
    if (peek_keyword("required")) {
      ++pos_;
      field.required = true;
    } else if (peek_keyword("optional")) {
      ++pos_;
    }
    auto type = parse_type(0);
    if (!type.ok()) return type.take_error();
    field.field_type = std::move(type).value();
    VELVANE_TRY(skip_annotations());
    auto field_name = name();
    if (!field_name.ok()) return field_name.take_error();
    field.name = std::move(field_name).value();
    if (optional(TokenKind::Equal)) field.default_value = read_or_skip_value(field.field_type);
    VELVANE_TRY(skip_annotations());
    optional_separator();
    return field;
  }

  /// Fields up to (not including) the `)` of an argument or `throws` list.
  Result<std::vector<ThriftField>> parse_field_list() {
    std::vector<ThriftField> fields;
    for (;;) {
      auto t = peek_required();
      if (!t.ok()) return t.take_error();
      if (t.value()->is(TokenKind::RightParen)) break;
      auto field = parse_field();
      if (!field.ok()) return field.take_error();
      fields.push_back(std::move(field).value());
      optional(TokenKind::Comma);
    }
    return fields;
  }

  Result<MethodDef> parse_method() {
    MethodDef method;
    if (peek_keyword("oneway")) {
      ++pos_;
      method.oneway = true;
    }
    auto return_type = parse_type(0);
    if (!return_type.ok()) return return_type.take_error();
    method.return_type = std::move(return_type).value();
    auto method_name = name();
    if (!method_name.ok()) return method_name.take_error();
    method.name = std::move(method_name).value();
    VELVANE_TRY(expect(TokenKind::LeftParen));
    auto arguments = parse_field_list();
    if (!arguments.ok()) return arguments.take_error();
    method.arguments = std::move(arguments).value();
    VELVANE_TRY(expect(TokenKind::RightParen));
    if (peek_keyword("throws")) {
      ++pos_;
      VELVANE_TRY(expect(TokenKind::LeftParen));
      auto exceptions = parse_field_list();
      if (!exceptions.ok()) return exceptions.take_error();
      method.exceptions = std::move(exceptions).value();
      VELVANE_TRY(expect(TokenKind::RightParen));
    }
    VELVANE_TRY(skip_annotations());
    optional_separator();
    return method;
  }

  /// `extends P`, when present: the joined parent name.
  Result<std::optional<std::string>> parse_extends() {
    if (!peek_keyword("extends")) return std::optional<std::string>{};
    ++pos_;
    auto parent = dotted_name();
    if (!parent.ok()) return parent.take_error();
    return std::optional<std::string>{std::move(parent).value()};
  }

  // --- inheritance --------------------------------------------------------------------------------

  Result<std::vector<ThriftField>> merge_fields(const std::string& parent, std::vector<ThriftField> own) {
    auto it = document_.structs.find(parent);
    if (it == document_.structs.end()) return syntax_error("Unknown parent struct: " + parent);
    const std::vector<ThriftField>& inherited = it->second.fields;
    VELVANE_TRY(charge_copy(element_count(inherited)));
    std::vector<ThriftField> merged;
    merged.reserve(inherited.size() + own.size());  // no reallocation: `names` views stay valid
    merged.insert(merged.end(), inherited.begin(), inherited.end());
    std::unordered_set<int16_t> ids;
    std::unordered_set<std::string_view> names;
    for (const auto& f : merged) {
      ids.insert(f.id);
      names.insert(f.name);
    }
    for (auto& f : own) {
      if (ids.count(f.id) || names.count(f.name))
        return syntax_error("Duplicate inherited field '" + f.name + "' in extends " + parent);
      merged.push_back(std::move(f));
      ids.insert(merged.back().id);
      names.insert(merged.back().name);
    }
    return merged;
  }

  Result<std::vector<MethodDef>> merge_methods(const std::string& parent, std::vector<MethodDef> own) {
    auto it = document_.services.find(parent);
    if (it == document_.services.end()) return syntax_error("Unknown parent service: " + parent);
    const std::vector<MethodDef>& inherited = it->second.methods;
    VELVANE_TRY(charge_copy(element_count(inherited)));
    std::vector<MethodDef> merged;
    merged.reserve(inherited.size() + own.size());  // no reallocation: `names` views stay valid
    merged.insert(merged.end(), inherited.begin(), inherited.end());
    std::unordered_set<std::string_view> names;
    for (const auto& m : merged) names.insert(m.name);
    for (auto& m : own) {
      if (names.count(m.name))
        return syntax_error("Duplicate inherited method '" + m.name + "' in extends " + parent);
      merged.push_back(std::move(m));
      names.insert(merged.back().name);
    }
    return merged;
  }

  // --- definitions ------------------------------------------------------------------------------

  Status parse_definition(std::string_view keyword) {
    switch (keyword.size()) {
      case 4:
        if (keyword == "enum") return parse_enum();
        break;
      case 5:
        if (keyword == "const") return parse_const();
        if (keyword == "union") return parse_struct();
        break;
      case 6:
        if (keyword == "struct") return parse_struct();
        break;
      case 7:
        if (keyword == "include") return parse_include();
        if (keyword == "typedef") return parse_typedef();
        if (keyword == "service") return parse_service();
        break;
      case 9:
        if (keyword == "namespace") return parse_namespace();
        if (keyword == "exception") return parse_struct();
        break;
      default:
        break;
    }
    ++pos_;  // extends, throws, oneway, required, optional: ignored at the top level
    return Status::Ok();
  }

  Status parse_include() {
    ++pos_;
    auto path = expect(TokenKind::String);
    if (!path.ok()) return path.take_error();
    document_.includes.push_back(std::move(path.value()->text));
    optional(TokenKind::Semicolon);
    return Status::Ok();
  }

  Status parse_namespace() {
    ++pos_;
    auto scope_token = next();
    if (!scope_token.ok()) return scope_token.take_error();
    std::string scope;
    if (scope_token.value()->is_word()) {
      scope = std::move(scope_token.value()->text);
    } else if (scope_token.value()->is(TokenKind::Asterisk)) {
      scope = "*";
    } else {
      return unexpected_token(*scope_token.value());
    }
    auto first = next();
    if (!first.ok()) return first.take_error();
    if (!first.value()->is_word() && !first.value()->is(TokenKind::String)) return unexpected_token(*first.value());
    auto value = rest_of_dotted_name(std::move(first.value()->text));
    if (!value.ok()) return value.take_error();
    document_.namespaces.insert_or_assign(std::move(scope), std::move(value).value());
    optional(TokenKind::Semicolon);
    return Status::Ok();
  }

  Status parse_typedef() {
    ++pos_;
    auto type = parse_type(0);
    if (!type.ok()) return type.take_error();
    auto alias_name = name();
    if (!alias_name.ok()) return alias_name.take_error();
    Alias alias{std::move(type).value()};
    alias.nodes = 0;
    measure(alias.type, 0, alias.depth, alias.nodes);
    aliases_.insert_or_assign(std::move(alias_name).value(), std::move(alias));
    optional(TokenKind::Semicolon);
    return Status::Ok();
  }

  Status parse_const() {
    ++pos_;
    auto type = parse_type(0);
    if (!type.ok()) return type.take_error();
    VELVANE_TRY(name());
    if (optional(TokenKind::Equal)) read_or_skip_value(type.value());
    optional(TokenKind::Semicolon);
    return Status::Ok();
  }

  Status parse_enum() {
    ++pos_;
    auto enum_name = name();
    if (!enum_name.ok()) return enum_name.take_error();
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    ThriftEnum result{enum_name.value(), {}};
    int32_t counter = 0;
    for (;;) {
      auto t = peek_required();
      if (!t.ok()) return t.take_error();
      if (optional(TokenKind::RightBrace)) break;
      if (optional(TokenKind::Comma) || optional(TokenKind::Semicolon)) continue;
      auto entry = name();
      if (!entry.ok()) return entry.take_error();
      int32_t value = counter;
      if (optional(TokenKind::Equal)) {
        auto literal = expect(TokenKind::Number);
        if (!literal.ok()) return literal.take_error();
        value = static_cast<int32_t>(literal.value()->number);
      }
      result.values.insert_or_assign(std::move(entry).value(), value);
      counter = static_cast<int32_t>(static_cast<uint32_t>(value) + 1u);
    }
    VELVANE_TRY(skip_annotations());
    optional(TokenKind::Semicolon);
    aliases_.insert_or_assign(enum_name.value(), Alias{ThriftType::Scalar(TypeKind::I32)});
    document_.enums.insert_or_assign(std::move(enum_name).value(), std::move(result));
    return Status::Ok();
  }

  Status parse_struct() {
    ++pos_;
    auto struct_name = name();
    if (!struct_name.ok()) return struct_name.take_error();
    auto parent = parse_extends();
    if (!parent.ok()) return parent.take_error();
    VELVANE_TRY(skip_annotations());
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    std::vector<ThriftField> fields;
    for (;;) {
      auto t = peek_required();
      if (!t.ok()) return t.take_error();
      if (optional(TokenKind::RightBrace)) break;
      auto field = parse_field();
      if (!field.ok()) return field.take_error();
      fields.push_back(std::move(field).value());
    }
    VELVANE_TRY(skip_annotations());
    if (parent.value()) {
      auto merged = merge_fields(*parent.value(), std::move(fields));
      if (!merged.ok()) return merged.take_error();
      fields = std::move(merged).value();
    }
    std::string key = struct_name.value();
    document_.structs.insert_or_assign(std::move(key), StructDef{std::move(struct_name).value(), std::move(fields)});
    return Status::Ok();
  }

  Status parse_service() {
    ++pos_;
    auto service_name = name();
    if (!service_name.ok()) return service_name.take_error();
    auto parent = parse_extends();
    if (!parent.ok()) return parent.take_error();
    VELVANE_TRY(skip_annotations());
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    std::vector<MethodDef> methods;
    for (;;) {
      auto t = peek_required();
      if (!t.ok()) return t.take_error();
      if (optional(TokenKind::RightBrace)) break;
      auto method = parse_method();
      if (!method.ok()) return method.take_error();
      methods.push_back(std::move(method).value());
    }
    VELVANE_TRY(skip_annotations());
    if (parent.value()) {
      auto merged = merge_methods(*parent.value(), std::move(methods));
      if (!merged.ok()) return merged.take_error();
      methods = std::move(merged).value();
    }
    std::string key = service_name.value();
    document_.services.insert_or_assign(std::move(key), ServiceDef{std::move(service_name).value(), std::move(methods)});
    return Status::Ok();
  }

  std::vector<Token> tokens_;
  size_t pos_ = 0;
  std::unordered_map<std::string, Alias, StringHash, std::equal_to<>> aliases_;
  size_t copied_elements_ = 0;
  // Also the tables of known structs, services and enum values: lookups see what is above.
  ThriftDocument document_;
};

}  // namespace

Result<ThriftDocument> parse_document(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens.ok()) return syntax_error(tokens.error().text);
  return Parser(std::move(tokens).value()).parse();
}

}  // namespace velvane
