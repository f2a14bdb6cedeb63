// src/protocol/protocol.h: what the protocol units share: the choice of protocol, the nesting and
// length limits, and the order of calls every writer accepts.
//
// Writers share one set of member names so that a walker can be templated over them (the Python data
// walker in src/python/ and write_value). Type ids passed to writers are always the wire type ids
// of model/wire.h (the binary protocol's); each writer maps them to its own codes or tags.
//
// Call sequence a walker produces for one struct:
//   struct_begin(); { field_begin(type_id, id); <one value>; field_end(); }* struct_end();
// A value is one of: write_bool/byte/i16/i32/i64/double/string/binary, a nested struct as above,
// list_begin(elem_id, n) <n values> list_end(), set_begin(elem_id, n) <n values> set_end(),
// map_begin(key_id, value_id, n) <key, value>*n map_end().
// A message is message_begin(name, type, seqid) <struct> message_end(). After the outermost struct or
// message, finish() reports whether everything could be encoded: a length or count the wire cannot
// carry is refused (nothing of it is written) and remembered, and the output is then unusable.
// struct_end() writes the stop byte (binary, compact) or closes the object (JSON).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "model/error.h"

namespace velvane {

/// Nesting of structs and containers is bounded on reading and writing (as Apache Thrift does).
/// The outermost struct is level 1; every nested struct, list, set or map adds one.
inline constexpr int kMaxDepth = 64;

/// JSON text spends at most two levels per struct or container level (a field's [tag, value] and
/// the value; a map's header array and its object) plus the message array, so deeper JSON can never
/// be read and is not built.
inline constexpr size_t kMaxJsonDepth = 2 * kMaxDepth + 2;

/// Decoding a message of N bytes may take at most 32·N + 64 MiB of memory: readers charge what the
/// values they build cost as they build them, and a message that would pass its budget is refused
/// (a list of ten million empty structs is ten megabytes on the wire and gigabytes decoded).
class DecodeBudget {
 public:
  explicit DecodeBudget(size_t message_size) : left_(message_size * 32 + (size_t{64} << 20)) {}
  /// False once the budget is spent.
  bool charge(size_t bytes) {
    if (bytes > left_) {
      left_ = 0;
      return false;
    }
    left_ -= bytes;
    return true;
  }
  static Error exceeded() {
    return Error{ErrorKind::SizeLimit, "Message too large to decode: it needs more than 32 bytes of memory per byte"};
  }

  /// What building a value costs beyond its bytes on the wire, roughly: a struct (a Python instance,
  /// or a stored struct), a stored field, a stored container element, a Python container.
  static constexpr size_t kStruct = 160;
  static constexpr size_t kField = 112;
  static constexpr size_t kElement = 80;
  static constexpr size_t kContainer = 64;

 private:
  size_t left_;
};

/// Every wire says lengths and counts as signed 32-bit integers.
inline constexpr size_t kMaxWireLength = INT32_MAX;

/// Compact and Json are this system's own dialects; StandardCompact and StandardJson are the compact
/// and JSON protocols as other Thrift implementations write them.
enum class Protocol : uint8_t { Binary = 0, Compact = 1, Json = 2, StandardCompact = 3, StandardJson = 4 };

namespace detail {

/// The first refusal of a writer: what it could not encode.
class WriterStatus {
 public:
  /// True when `n` can be said on the wire; otherwise remembers the first refusal.
  bool fits(size_t n, const char* what) {
    if (n <= kMaxWireLength) [[likely]]
      return true;
    refuse(n, what);
    return false;
  }
  bool ok() const { return status_.ok(); }
  [[nodiscard]] Status take() { return std::move(status_); }

 private:
  [[gnu::noinline, gnu::cold]] void refuse(size_t n, const char* what) {
    if (!status_.ok()) return;
    status_ = Error{ErrorKind::SizeLimit, std::string(what) + " size " + std::to_string(n) +
                                              " exceeds the wire limit of " + std::to_string(kMaxWireLength)};
  }

  Status status_;
};

}  // namespace detail

}  // namespace velvane
