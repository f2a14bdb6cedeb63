// src/model/value.h: ThriftValue, the tagged in-memory value of any Thrift type.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velvane {

/// The variants, in the order shared with ThriftType. Uuid (16 bytes in `bytes`) comes only from
/// the reference compiler's dialect and from values of its uuid fields.
enum class ValueKind : uint8_t { Bool, Byte, I16, I32, I64, Double, String, Binary, List, Set, Map, Struct, Uuid };

/// The wire type id (model/wire.h) of a variant; String and Binary share one.
uint8_t wire_type_id(ValueKind kind);

/// A UUID is 16 bytes on the wire; its text is the canonical lowercase 8-4-4-4-12 hex form.
inline constexpr size_t kUuidSize = 16;
/// The canonical text of 16 bytes.
std::string uuid_to_text(std::string_view bytes);
/// The 16 bytes of a UUID in the 8-4-4-4-12 hex form (either case), or nullopt.
std::optional<std::string> uuid_from_text(std::string_view text);

struct ThriftValue;

/// A struct value: keyed by field name, no order kept. A vector of pairs is cheaper than a map for
/// the small field counts of real structs; `set` keeps names unique.
struct StructValue {
  std::string name;
  std::vector<std::pair<std::string, ThriftValue>> fields;

  const ThriftValue* find(std::string_view field) const;
  void set(std::string field, ThriftValue value);  // replaces an existing entry of that name
  bool erase(std::string_view field);
};

/// A heap-held T with value semantics (copies are deep), allocated on first write access, so that
/// values which are not structs carry one pointer for the struct payload.
template <class T>
class Boxed {
 public:
  Boxed() = default;
  Boxed(const Boxed& o) : p_(o.p_ ? std::make_unique<T>(*o.p_) : nullptr) {}
  Boxed(Boxed&&) noexcept = default;
  Boxed& operator=(const Boxed& o) {
    if (this != &o) p_ = o.p_ ? std::make_unique<T>(*o.p_) : nullptr;
    return *this;
  }
  Boxed& operator=(Boxed&&) noexcept = default;
  Boxed& operator=(T value) {
    get() = std::move(value);
    return *this;
  }
  T& get() {
    if (!p_) p_ = std::make_unique<T>();
    return *p_;
  }
  const T& get() const { return p_ ? *p_ : empty(); }
  T* operator->() { return &get(); }
  const T* operator->() const { return &get(); }
  T& operator*() { return get(); }
  const T& operator*() const { return get(); }

 private:
  static const T& empty() {
    static const T kEmpty;
    return kEmpty;
  }
  std::unique_ptr<T> p_;
};

/// Values own their contents; copies are deep. Scalars live in the union-like members below; only
/// the member that matches `kind` is meaningful.
struct ThriftValue {
  ValueKind kind = ValueKind::Bool;
  union {
    bool b;
    int8_t i8;
    int16_t i16;
    int32_t i32;
    int64_t i64;
    double d;
  };
  std::string bytes;                 // String (UTF-8), Binary and Uuid
  std::vector<ThriftValue> items;    // List and Set elements; Map as key, value, key, value, ...
  Boxed<StructValue> strukt;         // Struct

  ThriftValue() : i64(0) {}
  static ThriftValue Bool(bool v);
  static ThriftValue Byte(int8_t v);
  static ThriftValue I16(int16_t v);
  static ThriftValue I32(int32_t v);
  static ThriftValue I64(int64_t v);
  static ThriftValue Double(double v);
  static ThriftValue String(std::string v);
  static ThriftValue Binary(std::string v);
  static ThriftValue Uuid(std::string sixteen_bytes);
  static ThriftValue List(std::vector<ThriftValue> v);
  static ThriftValue Set(std::vector<ThriftValue> v);
  static ThriftValue Map(std::vector<ThriftValue> alternating_keys_and_values);
  static ThriftValue Struct(std::string name, std::vector<std::pair<std::string, ThriftValue>> fields = {});

  size_t map_size() const { return items.size() / 2; }
  bool operator==(const ThriftValue& other) const;
};

/// The debug text form used by reprs: `Bool(true)`, `I32(5)`, `Double(2.0)`, `String("a")`,
/// `Binary([104, 105])`, `List([I32(1)])`, `Map([(String("a"), I32(1))])`,
/// `Struct { name: "P", fields: {} }`.
std::string to_text(const ThriftValue& value);

/// Double-quoted text with `"` and `\` escaped and control characters as backslash escapes.
std::string quoted(std::string_view text);

/// How append_escaped writes control characters: JSON's escapes (`\b \f \n \r \t`, else `\u00XX`)
/// or the debug forms of the reprs (`\n \r \t \0`, else `\u{X}`, DEL included).
enum class EscapeStyle : uint8_t { Json, Debug };

/// Appends `text` with `"`, `\` and control characters escaped; other bytes are copied as they are.
void append_escaped(std::string& out, std::string_view text, EscapeStyle style);

}  // namespace velvane
