// src/parser/parser.cpp: recursive-descent IDL parser with typedef, enum and extends resolution.
//
// Rules fill caller-owned records (out-parameters) and return a Status, so fields, types and
// values are built in place in their final vectors instead of being moved through Result layers.
#include "parser/parser.h"

#include <optional>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "parser/includes.h"
#include "parser/lexer.h"

namespace velvane {
namespace {

Error syntax_error(std::string_view message) {
  std::string text = "Syntax error: ";
  text += message;
  return Error{ErrorKind::InvalidData, std::move(text)};
}
Error unexpected_token(const Token& token) { return Error{ErrorKind::InvalidData, "Unexpected token: " + to_text(token)}; }
Error end_of_input() { return Error{ErrorKind::EndOfInput, "End of input"}; }

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
  for (const auto& field : value.strukt->fields) n += element_count(field.second);
  return n;
}

size_t element_count(const std::vector<ThriftField>& fields) {
  size_t n = 0;
  for (const auto& f : fields)
    n += 1 + element_count(f.field_type) + (f.default_value ? element_count(*f.default_value) : 0);
  return n;
}

size_t element_count(const std::vector<MethodDef>& methods) {
  size_t n = 0;
  for (const auto& m : methods)
    n += 1 + element_count(m.return_type) + element_count(m.arguments) + element_count(m.exceptions);
  return n;
}

bool is_closer(TokenKind kind) {
  return kind == TokenKind::RightParen || kind == TokenKind::RightBrace || kind == TokenKind::RightBracket;
}

/// The closer that pairs with an opening bracket; nullopt for every other token.
std::optional<TokenKind> closer_for(TokenKind kind) {
  switch (kind) {
    case TokenKind::LeftParen: return TokenKind::RightParen;
    case TokenKind::LeftBrace: return TokenKind::RightBrace;
    case TokenKind::LeftBracket: return TokenKind::RightBracket;
    default: return std::nullopt;
  }
}

/// Tokens in front of which the value skipper stops without taking anything.
bool ends_item(TokenKind kind) {
  return kind == TokenKind::Comma || kind == TokenKind::Semicolon || is_closer(kind);
}

std::optional<TypeKind> scalar_kind(std::string_view word) {
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

/// Narrowing keeps the low bits (two's complement conversions are defined since C++20).
ThriftValue numeric_as(TypeKind kind, int64_t n) {
  switch (kind) {
    case TypeKind::Byte: return ThriftValue::Byte(static_cast<int8_t>(n));
    case TypeKind::I16: return ThriftValue::I16(static_cast<int16_t>(n));
    case TypeKind::I32: return ThriftValue::I32(static_cast<int32_t>(n));
    case TypeKind::Double: return ThriftValue::Double(static_cast<double>(n));
    default: return ThriftValue::I64(n);
  }
}

class Parser {
 public:
  /// `failed_at` receives the location of a failure inside an included file.
  Parser(std::vector<Token> tokens, const std::string& file, detail::IncludeLoader* loader, SourceLocation& failed_at)
      : tokens_(std::move(tokens)), file_(file), loader_(loader), failed_at_(failed_at) {}

  Status parse() {
    while (pos_ < tokens_.size()) {
      const Token& token = tokens_[pos_];
      if (!token.is(TokenKind::Keyword)) {
        ++pos_;  // the top level ignores whatever does not start a definition
        continue;
      }
      VELVANE_TRY(parse_definition(token.text));
    }
    return Status::Ok();
  }

  /// Where the failure of parse() lies: the byte offset, or nullopt when an included file's parse
  /// already located it.
  std::optional<size_t> failure_offset(const Error& error, size_t text_size) const {
    if (include_failure_located_) return std::nullopt;
    if (error_offset_) return error_offset_;
    if (error.kind == ErrorKind::EndOfInput || pos_ == 0) return text_size;
    return tokens_[pos_ - 1].offset;
  }

  detail::ParsedFile result() && {
    detail::ParsedFile out;
    for (auto& [name, alias] : aliases_)
      if (name.find('.') == std::string::npos && !document_.enums.count(name)) out.typedefs.emplace(name, alias.type);
    out.doc = std::move(document_);
    return out;
  }

 private:
  // --- token primitives -------------------------------------------------------------------------

  const Token* peek() const { return pos_ < tokens_.size() ? &tokens_[pos_] : nullptr; }
  bool peek_is(TokenKind kind) const { return pos_ < tokens_.size() && tokens_[pos_].kind == kind; }
  bool peek_keyword(std::string_view word) const { return pos_ < tokens_.size() && tokens_[pos_].is_keyword(word); }

  /// The next token, taken; nullptr at the end of the list.
  Token* take() { return pos_ < tokens_.size() ? &tokens_[pos_++] : nullptr; }

  /// Takes the next token, which must be of `kind`; hands it out through `out` when asked.
  Status expect(TokenKind kind, Token** out = nullptr) {
    Token* token = take();
    if (!token) return end_of_input();
    if (!token->is(kind)) return unexpected_token(*token);
    if (out) *out = token;
    return Status::Ok();
  }

  /// The next token without taking it; "End of input" when there is none.
  Status peek_required(const Token*& out) const {
    out = peek();
    return out ? Status::Ok() : Status(end_of_input());
  }

  bool optional(TokenKind kind) {
    if (!peek_is(kind)) return false;
    ++pos_;
    return true;
  }

  void optional_separator() {
    if (!optional(TokenKind::Comma)) optional(TokenKind::Semicolon);
  }

  /// Parenthesised annotations, counted rather than recursed so nesting costs no stack.
  Status skip_annotations() {
    while (optional(TokenKind::LeftParen)) {
      for (size_t open = 1; open > 0;) {
        const Token* token = take();
        if (!token) return end_of_input();
        if (token->is(TokenKind::LeftParen)) ++open;
        if (token->is(TokenKind::RightParen)) --open;
      }
    }
    return Status::Ok();
  }

  Status name(std::string& out) {
    Token* token = nullptr;
    VELVANE_TRY(expect(TokenKind::Identifier, &token));
    out = std::move(token->text);
    return Status::Ok();
  }

  /// Appends any `.word` parts that follow to `name`.
  Status rest_of_dotted_name(std::string& name) {
    while (optional(TokenKind::Dot)) {
      const Token* part = take();
      if (!part) return end_of_input();
      if (!part->is_word()) return unexpected_token(*part);
      name += '.';
      name += part->text;
    }
    return Status::Ok();
  }

  Status dotted_name(std::string& out) {
    Token* first = take();
    if (!first) return end_of_input();
    if (!first->is_word()) return unexpected_token(*first);
    out = std::move(first->text);
    return rest_of_dotted_name(out);
  }

  /// Skips a value that could not be read (or needs no reading): one token or bracketed group,
  /// then everything up to the next token that plausibly starts the next item. Brackets pair up
  /// from where the skip began: a closer it did not open ends the value untaken, and a mismatched
  /// or missing closer is an error, so a broken value cannot swallow the definition around it.
  /// Iterative, so arbitrarily deep brackets cannot exhaust the stack.
  Status skip_value() {
    std::vector<TokenKind> closers;  // innermost last
    for (bool first = true; pos_ < tokens_.size(); first = false) {
      const TokenKind kind = tokens_[pos_].kind;
      if (closers.empty()) {
        if (ends_item(kind) || (!first && (kind == TokenKind::Keyword || kind == TokenKind::Number)))
          return Status::Ok();
      } else if (is_closer(kind)) {
        if (kind != closers.back()) return syntax_error("Unbalanced brackets in value");
        closers.pop_back();
      }
      if (auto closer = closer_for(kind)) closers.push_back(*closer);
      ++pos_;
    }
    return closers.empty() ? Status::Ok() : Status(syntax_error("Unbalanced brackets in value"));
  }

  Status charge_copy(size_t elements) {
    copied_elements_ += elements;
    if (copied_elements_ > kMaxCopiedSchemaElements) return syntax_error("Schema too large");
    return Status::Ok();
  }

  // --- types ------------------------------------------------------------------------------------

  /// `level` counts the containers around the type being read.
  Status parse_type(int level, ThriftType& out) {
    if (level > kMaxTypeDepth) return syntax_error("Nesting too deep");
    Token* token = nullptr;
    VELVANE_TRY(expect(TokenKind::Identifier, &token));
    std::string& word = token->text;
    if (auto scalar = scalar_kind(word)) {
      out.kind = *scalar;
      return Status::Ok();
    }
    if (word == "list" || word == "set" || word == "map") {
      const bool is_map = word == "map";
      out.kind = is_map ? TypeKind::Map : word == "list" ? TypeKind::List : TypeKind::Set;
      out.args.resize(is_map ? 2 : 1);
      VELVANE_TRY(expect(TokenKind::LessThan));
      VELVANE_TRY(parse_type(level + 1, out.args[0]));
      if (is_map) {
        VELVANE_TRY(expect(TokenKind::Comma));
        VELVANE_TRY(parse_type(level + 1, out.args[1]));
      }
      return expect(TokenKind::GreaterThan);
    }
    std::string full = std::move(word);
    VELVANE_TRY(rest_of_dotted_name(full));
    return resolve_named_type(std::move(full), level, out);
  }

  const Alias* find_alias(std::string_view name) const {
    if (aliases_.empty()) return nullptr;
    if (auto it = aliases_.find(name); it != aliases_.end()) return &it->second;
    if (auto dot = name.rfind('.'); dot != std::string_view::npos) {
      if (auto it = aliases_.find(name.substr(dot + 1)); it != aliases_.end()) return &it->second;
    }
    return nullptr;
  }

  Status resolve_named_type(std::string name, int level, ThriftType& out) {
    const Alias* alias = find_alias(name);
    if (!alias) {
      out.kind = TypeKind::Struct;
      out.name = std::move(name);
      return Status::Ok();
    }
    if (level + alias->depth > kMaxTypeDepth) return syntax_error("Nesting too deep");
    VELVANE_TRY(charge_copy(alias->nodes));
    out = alias->type;
    return Status::Ok();
  }

  // --- values -----------------------------------------------------------------------------------

  /// A `Number`, or `Enum.VALUE` naming a value of an enum defined above.
  Status numeric_value(int64_t& out) {
    const Token* first = nullptr;
    VELVANE_TRY(peek_required(first));
    if (first->is(TokenKind::Number)) {
      out = take()->number;
      return Status::Ok();
    }
    if (!first->is_word()) return unexpected_token(*take());
    std::string joined;
    VELVANE_TRY(dotted_name(joined));
    // `Enum.VALUE`, or `x.Enum.VALUE` for an enum of an included file read by parse_file.
    const size_t dot = joined.rfind('.');
    if (dot != std::string::npos) {
      if (auto e = document_.enums.find(joined.substr(0, dot)); e != document_.enums.end()) {
        if (auto v = e->second.values.find(joined.substr(dot + 1)); v != e->second.values.end()) {
          out = v->second;
          return Status::Ok();
        }
      }
    }
    return syntax_error("Unknown numeric default value: " + joined);
  }

  /// Reads a value of `type`. Recursion follows the type's containers, so its depth is bounded by
  /// kMaxTypeDepth like the type itself.
  Status read_value(const ThriftType& type, ThriftValue& out) {
    switch (type.kind) {
      case TypeKind::Bool: {
        const Token* t = take();
        if (!t) return end_of_input();
        if (t->is(TokenKind::Number)) {
          out = ThriftValue::Bool(t->number != 0);
        } else if (t->is_word() && (t->text == "true" || t->text == "false")) {
          out = ThriftValue::Bool(t->text == "true");
        } else {
          return unexpected_token(*t);
        }
        return Status::Ok();
      }
      case TypeKind::Byte:
      case TypeKind::I16:
      case TypeKind::I32:
      case TypeKind::I64:
      case TypeKind::Double: {
        int64_t n = 0;
        VELVANE_TRY(numeric_value(n));
        out = numeric_as(type.kind, n);
        return Status::Ok();
      }
      case TypeKind::String:
      case TypeKind::Binary: {
        Token* t = take();
        if (!t) return end_of_input();
        if (!t->is(TokenKind::String) && !(type.kind == TypeKind::String && t->is_word())) return unexpected_token(*t);
        out.kind = type.kind == TypeKind::String ? ValueKind::String : ValueKind::Binary;
        out.bytes = std::move(t->text);
        return Status::Ok();
      }
      case TypeKind::List:
      case TypeKind::Set:
        out.kind = type.kind == TypeKind::List ? ValueKind::List : ValueKind::Set;
        return read_list_items(type.elem(), out.items);
      case TypeKind::Map:
        out.kind = ValueKind::Map;
        return read_map_items(type.key(), type.value(), out.items);
      case TypeKind::Struct:
        VELVANE_TRY(skip_value());
        out = ThriftValue::Struct(type.name);
        return Status::Ok();
      case TypeKind::Uuid: break;  // not a type of this grammar
    }
    return syntax_error("Unknown type");  // not reached: the switch covers every kind
  }

  Status read_list_items(const ThriftType& elem, std::vector<ThriftValue>& items) {
    VELVANE_TRY(expect(TokenKind::LeftBracket));
    for (;;) {
      const Token* t = nullptr;
      VELVANE_TRY(peek_required(t));
      if (optional(TokenKind::RightBracket)) return Status::Ok();
      const size_t start = pos_;
      VELVANE_TRY(read_value(elem, items.emplace_back()));
      optional_separator();
      // A struct element in front of `)` or `}` takes no token; stop instead of looping forever.
      if (pos_ == start) return unexpected_token(tokens_[pos_]);
    }
  }

  Status read_map_items(const ThriftType& key, const ThriftType& value, std::vector<ThriftValue>& items) {
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    for (;;) {
      const Token* t = nullptr;
      VELVANE_TRY(peek_required(t));
      if (optional(TokenKind::RightBrace)) return Status::Ok();
      VELVANE_TRY(read_value(key, items.emplace_back()));
      VELVANE_TRY(expect(TokenKind::Colon));
      VELVANE_TRY(read_value(value, items.emplace_back()));
      optional_separator();
    }
  }

  /// A default or constant value; one that cannot be read is forgotten and skipped from where it
  /// began, since the failed read may have stopped inside brackets it opened.
  Status read_or_skip_value(const ThriftType& type, std::optional<ThriftValue>& out) {
    const size_t start = pos_;
    if (read_value(type, out.emplace()).ok()) return Status::Ok();
    out.reset();
    pos_ = start;
    return skip_value();
  }

  // --- fields and methods -----------------------------------------------------------------------

  Status parse_field(ThriftField& field) {
    Token* id = nullptr;
    VELVANE_TRY(expect(TokenKind::Number, &id));
    field.id = static_cast<int16_t>(id->number);
    VELVANE_TRY(expect(TokenKind::Colon));
    const Token* qualifier = nullptr;
    VELVANE_TRY(peek_required(qualifier));
    if (qualifier->is_keyword("required")) {
      ++pos_;
      field.required = true;
    } else if (qualifier->is_keyword("optional")) {
      ++pos_;
    }
    VELVANE_TRY(parse_type(0, field.field_type));
    VELVANE_TRY(skip_annotations());
    VELVANE_TRY(name(field.name));
    if (optional(TokenKind::Equal)) VELVANE_TRY(read_or_skip_value(field.field_type, field.default_value));
    VELVANE_TRY(skip_annotations());
    optional_separator();
    return Status::Ok();
  }

  /// Fields up to (not including) the `)` of an argument or `throws` list.
  Status parse_field_list(std::vector<ThriftField>& fields) {
    for (;;) {
      const Token* t = nullptr;
      VELVANE_TRY(peek_required(t));
      if (t->is(TokenKind::RightParen)) return Status::Ok();
      VELVANE_TRY(parse_field(fields.emplace_back()));
      optional(TokenKind::Comma);
    }
  }

  Status parse_method(MethodDef& method) {
    if (peek_keyword("oneway")) {
      ++pos_;
      method.oneway = true;
    }
    VELVANE_TRY(parse_type(0, method.return_type));
    VELVANE_TRY(name(method.name));
    VELVANE_TRY(expect(TokenKind::LeftParen));
    VELVANE_TRY(parse_field_list(method.arguments));
    VELVANE_TRY(expect(TokenKind::RightParen));
    if (peek_keyword("throws")) {
      ++pos_;
      VELVANE_TRY(expect(TokenKind::LeftParen));
      VELVANE_TRY(parse_field_list(method.exceptions));
      VELVANE_TRY(expect(TokenKind::RightParen));
    }
    VELVANE_TRY(skip_annotations());
    optional_separator();
    return Status::Ok();
  }

  /// `extends P`, when present: the joined parent name.
  Status parse_extends(std::optional<std::string>& parent, size_t& parent_offset) {
    if (!peek_keyword("extends")) return Status::Ok();
    ++pos_;
    if (pos_ < tokens_.size()) parent_offset = tokens_[pos_].offset;
    return dotted_name(parent.emplace());
  }

  /// `status`, failing at `offset` rather than at the last token taken.
  Status at(size_t offset, Status status) {
    if (!status.ok()) error_offset_ = offset;
    return status;
  }

  // --- inheritance --------------------------------------------------------------------------------

  /// Puts `inherited` in front of `items`, refusing an item whose name (or, for fields, id) repeats
  /// one before it.
  template <class Item>
  Status merge_inherited(const std::vector<Item>& inherited, std::vector<Item>& items, std::string_view what,
                         const std::string& parent) {
    constexpr bool kHasIds = std::is_same_v<Item, ThriftField>;
    VELVANE_TRY(charge_copy(element_count(inherited)));
    std::vector<Item> merged;
    merged.reserve(inherited.size() + items.size());  // no reallocation: `names` views stay valid
    merged.insert(merged.end(), inherited.begin(), inherited.end());
    std::unordered_set<int16_t> ids;
    std::unordered_set<std::string_view> names;
    const auto note = [&](const Item& item) {
      if constexpr (kHasIds) ids.insert(item.id);
      names.insert(item.name);
    };
    const auto repeats = [&](const Item& item) {
      if constexpr (kHasIds) {
        if (ids.count(item.id)) return true;
      }
      return names.count(item.name) != 0;
    };
    for (const Item& item : merged) note(item);
    for (Item& item : items) {
      if (repeats(item))
        return syntax_error("Duplicate inherited " + std::string(what) + " '" + item.name + "' in extends " + parent);
      merged.push_back(std::move(item));
      note(merged.back());
    }
    items = std::move(merged);
    return Status::Ok();
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
    Token* path = nullptr;
    VELVANE_TRY(expect(TokenKind::String, &path));
    document_.includes.push_back(std::move(path->text));
    optional(TokenKind::Semicolon);
    if (!loader_) return Status::Ok();
    const std::string& name = document_.includes.back();
    auto included = loader_->include(name, file_, failed_at_, include_failure_located_);
    if (!included.ok()) return at(path->offset, included.take_error());
    const std::string prefix = detail::include_prefix(name);
    detail::import_definitions(*included.value(), prefix, document_);
    for (const auto& [alias_name, type] : included.value()->typedefs) {
      Alias alias{type};
      detail::qualify(alias.type, prefix);
      alias.nodes = 0;
      measure(alias.type, 0, alias.depth, alias.nodes);
      aliases_.insert_or_assign(prefix + "." + alias_name, std::move(alias));
    }
    for (const auto& [enum_name, values] : included.value()->doc.enums)
      if (enum_name.find('.') == std::string::npos)
        aliases_.insert_or_assign(prefix + "." + enum_name, Alias{ThriftType::Scalar(TypeKind::I32)});
    return Status::Ok();
  }

  Status parse_namespace() {
    ++pos_;
    Token* scope = take();
    if (!scope) return end_of_input();
    if (!scope->is_word() && !scope->is(TokenKind::Asterisk)) return unexpected_token(*scope);
    Token* first = take();
    if (!first) return end_of_input();
    if (!first->is_word() && !first->is(TokenKind::String)) return unexpected_token(*first);
    std::string value = std::move(first->text);
    VELVANE_TRY(rest_of_dotted_name(value));
    document_.namespaces.insert_or_assign(scope->is_word() ? std::move(scope->text) : std::string("*"),
                                          std::move(value));
    optional(TokenKind::Semicolon);
    return Status::Ok();
  }

  Status parse_typedef() {
    ++pos_;
    Alias alias;
    VELVANE_TRY(parse_type(0, alias.type));
    std::string alias_name;
    VELVANE_TRY(name(alias_name));
    alias.nodes = 0;
    measure(alias.type, 0, alias.depth, alias.nodes);
    aliases_.insert_or_assign(std::move(alias_name), std::move(alias));
    optional(TokenKind::Semicolon);
    return Status::Ok();
  }

  Status parse_const() {
    ++pos_;
    ThriftType type;
    VELVANE_TRY(parse_type(0, type));
    std::string const_name;
    VELVANE_TRY(name(const_name));
    if (optional(TokenKind::Equal)) {
      std::optional<ThriftValue> value;
      VELVANE_TRY(read_or_skip_value(type, value));
      if (value) document_.consts.insert_or_assign(std::move(const_name), ThriftConst{std::move(type), std::move(*value)});
    }
    optional(TokenKind::Semicolon);
    return Status::Ok();
  }

  Status parse_enum() {
    ++pos_;
    ThriftEnum result;
    VELVANE_TRY(name(result.name));
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    int32_t counter = 0;
    for (;;) {
      const Token* t = nullptr;
      VELVANE_TRY(peek_required(t));
      if (optional(TokenKind::RightBrace)) break;
      if (optional(TokenKind::Comma) || optional(TokenKind::Semicolon)) continue;
      std::string entry;
      VELVANE_TRY(name(entry));
      int32_t value = counter;
      if (optional(TokenKind::Equal)) {
        Token* literal = nullptr;
        VELVANE_TRY(expect(TokenKind::Number, &literal));
        value = static_cast<int32_t>(literal->number);
      }
      result.values.insert_or_assign(std::move(entry), value);
      counter = static_cast<int32_t>(static_cast<uint32_t>(value) + 1u);
    }
    VELVANE_TRY(skip_annotations());
    optional(TokenKind::Semicolon);
    aliases_.insert_or_assign(result.name, Alias{ThriftType::Scalar(TypeKind::I32)});
    std::string key = result.name;
    document_.enums.insert_or_assign(std::move(key), std::move(result));
    return Status::Ok();
  }

  Status parse_struct() {
    return parse_extendable(document_.structs, &StructDef::fields, "struct", "field", &Parser::parse_field);
  }

  Status parse_service() {
    return parse_extendable(document_.services, &ServiceDef::methods, "service", "method", &Parser::parse_method);
  }

  /// A struct or a service: its name, `extends`, then its items (fields or methods) in braces. A
  /// parent's items come first.
  template <class Def, class Item>
  Status parse_extendable(std::unordered_map<std::string, Def>& table, std::vector<Item> Def::*items,
                          std::string_view kind, std::string_view item_kind, Status (Parser::*parse_item)(Item&)) {
    ++pos_;
    Def def;
    VELVANE_TRY(name(def.name));
    std::optional<std::string> parent;
    size_t parent_offset = 0;
    VELVANE_TRY(parse_extends(parent, parent_offset));
    VELVANE_TRY(skip_annotations());
    VELVANE_TRY(expect(TokenKind::LeftBrace));
    while (!optional(TokenKind::RightBrace)) {
      const Token* t = nullptr;
      VELVANE_TRY(peek_required(t));
      VELVANE_TRY((this->*parse_item)((def.*items).emplace_back()));
    }
    VELVANE_TRY(skip_annotations());
    if (parent) {
      auto it = table.find(*parent);
      if (it == table.end()) return at(parent_offset, syntax_error("Unknown parent " + std::string(kind) + ": " + *parent));
      VELVANE_TRY(at(parent_offset, merge_inherited(it->second.*items, def.*items, item_kind, *parent)));
    }
    std::string key = def.name;
    table.insert_or_assign(std::move(key), std::move(def));
    return Status::Ok();
  }

  std::vector<Token> tokens_;
  size_t pos_ = 0;
  const std::string& file_;
  detail::IncludeLoader* loader_;
  SourceLocation& failed_at_;
  bool include_failure_located_ = false;
  std::optional<size_t> error_offset_;
  std::unordered_map<std::string, Alias, StringHash, std::equal_to<>> aliases_;
  size_t copied_elements_ = 0;
  // Also serves as the tables of known structs, services and enum values: a later definition
  // replaces an earlier one, and lookups see only what lies above them in the text.
  ThriftDocument document_;
};

}  // namespace

namespace detail {

Result<ParsedFile> parse_default_dialect(std::string_view text, const std::string& file, IncludeLoader* loader,
                                         SourceLocation& failed_at) {
  const auto locate = [&](size_t offset) {
    const SourcePosition at = position_of(text, offset);
    failed_at = SourceLocation{file, at.line, at.column};
  };
  size_t lex_failed_at = 0;
  auto tokens = tokenize(text, lex_failed_at);
  if (!tokens.ok()) {
    locate(lex_failed_at);
    return syntax_error(tokens.error().text);
  }
  Parser parser(std::move(tokens).value(), file, loader, failed_at);
  Status st = parser.parse();
  if (!st.ok()) {
    if (auto offset = parser.failure_offset(st.error(), text.size())) locate(*offset);
    return st.take_error();
  }
  return std::move(parser).result();
}

}  // namespace detail

Result<ThriftDocument> parse_document(std::string_view text) {
  SourceLocation ignored;
  return parse_document(text, ParseOptions{}, ignored);
}

}  // namespace velvane
