// src/model/wire.h: Thrift's wire vocabulary, named once for every layer: the type ids, the message
// types, the protocol ids and versions, the application-error types.
//
// The enums are unscoped on purpose: ids travel as plain uint8_t (int32_t for error types) through
// readers, writers and scanners, and compare and switch against these names directly.
#pragma once

#include <cstdint>
#include <string_view>

namespace velvane::wire {

/// Type ids as the binary protocol writes them; the compact and JSON protocols map them to codes and
/// tags of their own, and every writer takes these.
enum TypeId : uint8_t {
  kStop = 0,     // ends a struct's fields
  kVoid = 1,     // no value (readers skip it as nothing)
  kBool = 2,
  kByte = 3,     // i8
  kDouble = 4,
  kI16 = 6,
  kI32 = 8,
  kI64 = 10,
  kString = 11,  // string and binary
  kStruct = 12,  // structs, unions and exceptions
  kMap = 13,
  kSet = 14,
  kList = 15,
  kUuid = 16,    // 16 raw bytes; only a schema that declares uuid fields reads it (not a value type here)
};

/// Whether `id` is the type of a value (stop and void are not).
constexpr bool is_value_type(uint8_t id) {
  constexpr uint16_t kValueTypes = (1u << kBool) | (1u << kByte) | (1u << kDouble) | (1u << kI16) | (1u << kI32) |
                                   (1u << kI64) | (1u << kString) | (1u << kStruct) | (1u << kMap) | (1u << kSet) |
                                   (1u << kList);
  return id < 16 && ((kValueTypes >> id) & 1u) != 0;
}

/// Whether a binary field, list or map header may carry `id`: a value type, or stop or void, which
/// binary readers have always let through (a void value is skipped as nothing).
constexpr bool is_header_type(uint8_t id) { return id == kStop || id == kVoid || is_value_type(id); }

/// The type of a message.
enum MessageType : uint8_t {
  kCall = 1,
  kReply = 2,
  kException = 3,  // its body is the application-error struct
  kOneway = 4,     // a call that gets no reply
};

/// The application-error struct of an exception message: field 1 the message, field 2 the type.
inline constexpr int16_t kAppErrorMessageField = 1;
inline constexpr int16_t kAppErrorTypeField = 2;

/// The types an application error says (Thrift's standard list; the server sends two of them).
enum AppErrorType : int32_t {
  kUnknownError = 0,
  kUnknownMethod = 1,  // no such method, or no handler for it
  kInvalidMessageType = 2,
  kWrongMethodName = 3,
  kBadSequenceId = 4,
  kMissingResult = 5,
  kInternalError = 6,  // the handler failed, or its result could not be encoded
  kProtocolError = 7,
  kInvalidTransform = 8,
  kInvalidProtocol = 9,
  kUnsupportedClientType = 10,
};

// --- Protocol ids and versions -------------------------------------------------------------------

/// A binary message begins with a 32-bit word: the version in the high half, the message type in
/// the low byte.
inline constexpr uint32_t kBinaryVersion1 = 0x80010000u;
inline constexpr uint32_t kBinaryVersionMask = 0xFFFF0000u;

/// A compact message begins with the protocol id, then a byte of version (low 5 bits) and message
/// type (high 3 bits).
inline constexpr uint8_t kCompactProtocolId = 0x82;
inline constexpr uint8_t kCompactVersion = 1;
inline constexpr uint8_t kCompactVersionMask = 0x1F;
inline constexpr int kCompactTypeShift = 5;

/// The compact protocol's 4-bit type codes. A bool field's value is its header's code.
enum CompactType : uint8_t {
  kCompactStop = 0,
  kCompactTrue = 1,   // also a bool element
  kCompactFalse = 2,
  kCompactByte = 3,
  kCompactI16 = 4,
  kCompactI32 = 5,
  kCompactI64 = 6,
  kCompactDouble = 7,
  kCompactBinary = 8,
  kCompactList = 9,
  kCompactSet = 10,
  kCompactMap = 11,
  kCompactStruct = 12,  // the last code of a schema without uuid fields
  kCompactUuid = 13,    // the last code of a schema with them; 14 and 15 are none
};

/// A JSON message is the array [version, name, type, seqid, body].
inline constexpr int kJsonVersion = 1;

/// The JSON protocol's tag of each value type.
struct JsonTag {
  std::string_view tag;
  TypeId type;
};
inline constexpr JsonTag kJsonTags[] = {
    {"tf", kBool}, {"i8", kByte},    {"dbl", kDouble}, {"i16", kI16}, {"i32", kI32}, {"i64", kI64},
    {"str", kString}, {"rec", kStruct}, {"map", kMap},  {"set", kSet}, {"lst", kList}, {"uid", kUuid},
};

}  // namespace velvane::wire
