// src/protocol/json_dom.h: a strict JSON parser into a compact, arena-backed tree, for the JSON
// readers (private to src/protocol/).
//
// The tree keeps what the readers look at: numbers as unsigned 64-bit (non-negative integers),
// signed 64-bit (negative integers) or double (anything with a fraction or an exponent, and integers
// beyond both ranges), and object members ordered by name as text, of equal names only the last.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "model/error.h"

namespace velvane::detail {

struct JsonMember;

/// One JSON value: a small handle. Strings point into the parsed text (when they have no escapes)
/// or into the document's arena, elements and members into the arena, so a value is valid as long
/// as its document (and, for a borrowed text, the text).
class JsonValue {
 public:
  /// TooDeep stands for a container that opened beyond the parse's depth bound: it was checked but
  /// not built.
  enum class Kind : uint8_t { Null, Bool, Unsigned, Integer, Float, String, Array, Object, TooDeep };

  static JsonValue null() { return JsonValue(Kind::Null, 0); }
  static JsonValue too_deep() { return JsonValue(Kind::TooDeep, 0); }
  static JsonValue boolean(bool b);
  static JsonValue unsigned_number(uint64_t v);
  static JsonValue signed_number(int64_t v);
  static JsonValue float_number(double v);
  static JsonValue string(const char* chars, uint32_t size);
  static JsonValue array(const JsonValue* elements, uint32_t size);
  static JsonValue object(const JsonMember* members, uint32_t size);

  JsonValue() = default;

  Kind kind() const { return kind_; }
  bool is_null() const { return kind_ == Kind::Null; }
  bool is_bool() const { return kind_ == Kind::Bool; }
  bool is_number() const { return kind_ == Kind::Unsigned || kind_ == Kind::Integer || kind_ == Kind::Float; }
  bool is_integer() const { return kind_ == Kind::Unsigned || kind_ == Kind::Integer; }
  bool is_unsigned() const { return kind_ == Kind::Unsigned; }
  bool is_float() const { return kind_ == Kind::Float; }
  bool is_string() const { return kind_ == Kind::String; }
  bool is_array() const { return kind_ == Kind::Array; }
  bool is_object() const { return kind_ == Kind::Object; }
  bool is_too_deep() const { return kind_ == Kind::TooDeep; }

  /// false unless a bool.
  bool as_bool() const { return kind_ == Kind::Bool && boolean_; }
  /// An integer as signed 64-bit (unsigned values above the signed range wrap); nullopt otherwise.
  std::optional<int64_t> integer() const;
  /// A number converted to double; 0.0 for anything else.
  double number() const;
  /// The text of a string; empty for anything else.
  std::string_view text() const { return kind_ == Kind::String ? std::string_view(chars_, size_) : std::string_view(); }
  /// The elements of an array; empty for anything else.
  std::span<const JsonValue> elements() const;
  /// The members of an object, ordered by name; empty for anything else.
  std::span<const JsonMember> members() const;
  /// The member of that name of an object; null when absent or not an object.
  const JsonValue* find(std::string_view name) const;

 private:
  JsonValue(Kind kind, uint32_t size) : kind_(kind), size_(size) {}

  Kind kind_ = Kind::Null;
  uint32_t size_ = 0;  // string bytes, array elements or object members
  union {
    bool boolean_;
    uint64_t unsigned_ = 0;
    int64_t signed_;
    double float_;
    const char* chars_;
    const JsonValue* elements_;
    const JsonMember* members_;
  };
};

struct JsonMember {
  std::string_view name;
  JsonValue value;
};

inline std::span<const JsonValue> JsonValue::elements() const {
  if (kind_ != Kind::Array) return {};
  return {elements_, size_};
}

inline std::span<const JsonMember> JsonValue::members() const {
  if (kind_ != Kind::Object) return {};
  return {members_, size_};
}

/// Bump allocation in blocks that are released together with the arena; nothing is freed singly,
/// so tearing a tree down costs one free per block however deep or wide the tree is.
class JsonArena {
 public:
  explicit JsonArena(size_t first_block_size) : block_size_(first_block_size) {}
  /// Room for `count` objects of a trivially copyable T.
  template <class T>
  T* allocate(size_t count) {
    return static_cast<T*>(allocate_bytes(count * sizeof(T), alignof(T)));
  }

 private:
  void* allocate_bytes(size_t bytes, size_t align);

  std::vector<std::unique_ptr<std::byte[]>> blocks_;
  std::byte* next_ = nullptr;
  size_t left_ = 0;
  size_t block_size_;
};

/// Whether the tree may point into the parsed text (the caller keeps the text alive) or the
/// document keeps a copy of it.
enum class JsonText { Borrowed, Copied };

/// Object members ordered by name, of equal names only the last (what `find` needs), or every
/// member in the order of the text (maps whose order the reader keeps; `find` is then unusable).
enum class JsonOrder { ByName, AsWritten };

class JsonDocument;

/// Parses one JSON value (RFC 8259, UTF-8; a leading byte order mark is skipped). `whole_input`:
/// nothing but whitespace may follow it (a NUL byte ends the text); otherwise whatever follows the
/// value is not looked at. The error is InvalidData "JSON parse error: {description}".
/// The parser keeps its own stack, so nesting never costs the call stack. A container that opens
/// deeper than `max_depth` levels is checked but not built (a bit per level while it is open): it
/// becomes a TooDeep value, so deep input costs no more than its nesting in bits. `order` says how an
/// object's members are kept (sorted by name, or as written).
Result<JsonDocument> parse_json(std::string_view text, bool whole_input, JsonText storage = JsonText::Borrowed,
                                size_t max_depth = SIZE_MAX, JsonOrder order = JsonOrder::ByName);

/// A parsed text: the root value and the arena that holds the tree. Moving a document keeps every
/// value of it valid.
class JsonDocument {
 public:
  const JsonValue& root() const { return root_; }

 private:
  friend Result<JsonDocument> parse_json(std::string_view, bool, JsonText, size_t, JsonOrder);
  explicit JsonDocument(size_t first_block_size) : arena_(first_block_size) {}

  JsonArena arena_;
  JsonValue root_;
};

}  // namespace velvane::detail
