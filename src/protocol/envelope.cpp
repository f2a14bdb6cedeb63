// src/protocol/envelope.cpp: message headers of the three protocols and the reading of the body.
#include <optional>
#include <type_traits>
#include <variant>

#include "protocol/envelope.h"
#include "protocol/json_reader.h"
#include "protocol/wire_reader.h"
#include "protocol/standard_json_reader.h"

namespace velvane {

namespace {

using detail::BinaryWire;
using detail::CompactWire;
using detail::StandardCompactWire;

std::string hex(uint32_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v & 15]);
    v >>= 4;
  } while (v);
  return out;
}

/// The method name: its length, its bytes, which must be UTF-8.
template <class Wire>
bool read_name(Wire& in, std::string& name) {
  size_t n;
  const char* p;
  if (!in.read_length(n) || !in.take(n, p)) return false;
  const std::string_view bytes(p, n);
  if (std::string problem = utf8_error_text(bytes); !problem.empty()) return in.fail("IO error: " + problem);
  name.assign(bytes);
  return true;
}

Result<MessageRead> read_binary_header(std::string_view input) {
  BinaryWire in(input, 0);
  MessageRead out;
  uint32_t word;
  if (!in.be32(word)) return in.take_error();
  if ((word & wire::kBinaryVersionMask) != wire::kBinaryVersion1)
    return Error{ErrorKind::BadVersion, "Bad version: 0x" + hex(word)};
  out.header.type = static_cast<uint8_t>(word);
  if (!read_name(in, out.header.name) || !in.read_i32(out.header.seqid)) return in.take_error();
  out.body_offset = in.offset();
  return out;
}

/// Both compact dialects: this system's says the seqid as a zigzag varint, the standard one as a
/// plain varint.
template <class Wire>
Result<MessageRead> read_compact_header(std::string_view input) {
  Wire in(input, 0);
  MessageRead out;
  uint8_t protocol_id, version_and_type;
  if (!in.u8(protocol_id)) return in.take_error();
  if (protocol_id != wire::kCompactProtocolId) return Error{ErrorKind::BadVersion, "Bad protocol id"};
  if (!in.u8(version_and_type)) return in.take_error();
  if ((version_and_type & wire::kCompactVersionMask) != wire::kCompactVersion)
    return Error{ErrorKind::BadVersion, "Bad protocol version"};
  out.header.type = version_and_type >> wire::kCompactTypeShift;
  if (!in.read_size(out.header.seqid) || !read_name(in, out.header.name)) return in.take_error();
  out.body_offset = in.offset();
  return out;
}

/// Low 8 bits of a non-negative integer, else a call.
uint8_t json_message_type(const detail::JsonValue& v) {
  const std::optional<int64_t> n = v.integer();
  return n && (v.is_unsigned() || *n >= 0) ? static_cast<uint8_t>(*n) : uint8_t{wire::kCall};
}

/// Low 32 bits of an integer; 0 for anything else and for unsigned values of 2^63 or more.
int32_t json_seqid(const detail::JsonValue& v) {
  const std::optional<int64_t> n = v.integer();
  if (!n || (v.is_unsigned() && *n < 0)) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(*n));
}

Result<MessageRead> read_json_header(std::string_view input, detail::JsonOrder order = detail::JsonOrder::ByName) {
  // The body is read later, possibly after the caller's buffer has moved on: keep a copy.
  auto parsed = detail::parse_json(input, false, detail::JsonText::Copied, kMaxJsonDepth, order);
  if (!parsed) return parsed.take_error();
  auto message = std::make_shared<const JsonMessage>(JsonMessage{std::move(parsed).value()});
  const detail::JsonValue& array = message->document.root();
  if (!array.is_array()) return Error{ErrorKind::InvalidData, "Invalid field type"};
  const auto a = array.elements();
  if (a.size() < 5) return Error{ErrorKind::InvalidData, "JSON message array too short"};
  MessageRead out;
  out.header.name = a[1].text();
  out.header.type = json_message_type(a[2]);
  out.header.seqid = json_seqid(a[3]);
  out.json = std::move(message);
  return out;
}

/// The standard envelope is the same array; its first element must be the version 1.
Result<MessageRead> read_standard_json_header(std::string_view input) {
  auto read = read_json_header(input, detail::JsonOrder::AsWritten);
  if (!read) return read;
  const auto a = read.value().json->document.root().elements();
  if (a[0].integer() != std::optional<int64_t>(wire::kJsonVersion) || !a[0].is_integer())
    return Error{ErrorKind::BadVersion, "Bad JSON protocol version"};
  if (!a[1].is_string()) return Error{ErrorKind::InvalidData, "JSON message name is not a string"};
  if (!a[2].is_integer() || !a[3].is_integer())
    return Error{ErrorKind::InvalidData, "JSON message type and seqid must be integers"};
  return read;
}

const detail::JsonValue* json_body(const MessageRead& message) {
  if (!message.json) return nullptr;
  const auto a = message.json->document.root().elements();
  return a.size() < 5 ? nullptr : &a[4];
}

bool is_json(Protocol protocol) { return protocol == Protocol::Json || protocol == Protocol::StandardJson; }

Error missing_json_body() { return Error{ErrorKind::InvalidData, "JSON message array too short"}; }
Error body_not_object() { return Error{ErrorKind::WrongShape, "Expected JSON object for struct"}; }

}  // namespace

Result<MessageRead> read_message_begin(Protocol protocol, std::string_view input) {
  switch (protocol) {
    case Protocol::Binary: return read_binary_header(input);
    case Protocol::Compact: return read_compact_header<CompactWire>(input);
    case Protocol::Json: return read_json_header(input);
    case Protocol::StandardCompact: return read_compact_header<StandardCompactWire>(input);
    case Protocol::StandardJson: return read_standard_json_header(input);
  }
  return Error{ErrorKind::InvalidInput, "Unknown protocol"};
}

Result<StructValue> read_message_body(Protocol protocol, std::string_view input, const MessageRead& message,
                                      const StructDef& def, const Schema& schema) {
  if (!is_json(protocol)) return detail::read_wire_struct(protocol, input, message.body_offset, def, schema);
  const detail::JsonValue* body = json_body(message);
  if (!body) return missing_json_body();
  if (!body->is_object()) return body_not_object();
  StructValue out;
  out.name = def.name;
  if (protocol == Protocol::StandardJson) {
    detail::StandardJsonReader reader(schema);
    if (!reader.read_struct(*body, def, out, 1)) return reader.take_error();
    return out;
  }
  detail::JsonStructReader reader(schema, detail::JsonForm::Tagged, input.size());
  if (!reader.read_struct(*body, def, out, 1)) return reader.take_error();
  return out;
}

// The wire cursors re-create a short-lived reader per step because a reader binds one schema and
// the schema is given per value.
struct FieldCursor::State {
  Protocol protocol;
  std::string_view input;
  size_t pos = 0;
  int16_t last = 0;
  detail::WireField current;
  bool ended = false;
  // JSON: the members of the body object, in name order, and the current one.
  const detail::JsonValue* body = nullptr;
  size_t member = 0;
  bool started = false;
};

FieldCursor::FieldCursor(Protocol protocol, std::string_view input, const MessageRead& message)
    : state_(std::make_unique<State>()) {
  state_->protocol = protocol;
  state_->input = input;
  state_->pos = message.body_offset;
  if (is_json(protocol)) state_->body = json_body(message);
}

FieldCursor::~FieldCursor() = default;

namespace {

/// The borrowed position of a wire cursor.
struct WirePlace {
  std::string_view input;
  size_t& pos;
  int16_t& last;
};

template <class Wire>
Result<FieldHeader> wire_next_field(WirePlace at, detail::WireField& current) {
  const Schema none;
  detail::StructReader<Wire> reader(at.input, at.pos, none);
  current = {};
  if (!reader.field_header(current, at.last)) return reader.take_error();
  at.pos = reader.offset();
  return FieldHeader{current.type_id, current.id};
}

template <class Wire>
Result<ThriftValue> wire_read_value(WirePlace at, const detail::WireField& current, const ThriftType& declared,
                                    const Schema& schema) {
  detail::StructReader<Wire> reader(at.input, at.pos, schema);
  ThriftValue value;
  if (!reader.read_value(declared, value, 1, current.header_bool)) return reader.take_error();
  at.pos = reader.offset();
  return value;
}

template <class Wire>
Status wire_skip(WirePlace at, const detail::WireField& current) {
  const Schema none;
  detail::StructReader<Wire> reader(at.input, at.pos, none);
  if (!reader.skip(current.type_id, 1, current.header_bool)) return reader.take_error();
  at.pos = reader.offset();
  return {};
}

}  // namespace

Result<FieldHeader> FieldCursor::next_field() {
  State& s = *state_;
  if (s.ended) return FieldHeader{};
  if (!is_json(s.protocol)) {
    WirePlace at{s.input, s.pos, s.last};
    auto header = s.protocol == Protocol::Binary    ? wire_next_field<BinaryWire>(at, s.current)
                  : s.protocol == Protocol::Compact ? wire_next_field<CompactWire>(at, s.current)
                                                    : wire_next_field<StandardCompactWire>(at, s.current);
    if (header && header.value().type_id == wire::kStop) s.ended = true;
    return header;
  }
  if (!s.body) return missing_json_body();
  if (!s.body->is_object()) return body_not_object();
  const auto members = s.body->members();
  s.member = s.started ? s.member + 1 : 0;
  s.started = true;
  const bool standard = s.protocol == Protocol::StandardJson;
  const auto is_field = [standard](const detail::JsonValue& v) {
    if (standard) return v.is_object() && v.members().size() == 1;
    return v.is_array() && v.elements().size() >= 2;
  };
  while (s.member < members.size() && !is_field(members[s.member].value)) ++s.member;
  if (s.member == members.size()) {
    s.ended = true;
    return FieldHeader{};
  }
  const detail::JsonMember& field = members[s.member];
  if (standard) {
    const uint8_t type_id = detail::standard_json_type_id(field.value.members()[0].name);
    return FieldHeader{type_id ? type_id : uint8_t{wire::kVoid}, detail::parse_field_id(field.name)};
  }
  return FieldHeader{detail::type_id_of_tag(field.value.elements()[0]), detail::parse_field_id(field.name)};
}

Result<ThriftValue> FieldCursor::read_value(const ThriftType& declared, const Schema& schema) {
  State& s = *state_;
  if (is_json(s.protocol)) {
    if (!s.started || s.ended) return Error{ErrorKind::InvalidInput, "No current field"};
    ThriftValue value;
    const detail::JsonValue& tagged = s.body->members()[s.member].value;
    if (s.protocol == Protocol::StandardJson) {
      detail::StandardJsonReader reader(schema);
      if (!reader.read_value(tagged.members()[0].value, declared, value, 1)) return reader.take_error();
      return value;
    }
    detail::JsonStructReader reader(schema, detail::JsonForm::Tagged, s.input.size());
    if (!reader.read_value(tagged.elements()[1], declared, value, 1)) return reader.take_error();
    return value;
  }
  WirePlace at{s.input, s.pos, s.last};
  switch (s.protocol) {
    case Protocol::Binary: return wire_read_value<BinaryWire>(at, s.current, declared, schema);
    case Protocol::Compact: return wire_read_value<CompactWire>(at, s.current, declared, schema);
    default: return wire_read_value<StandardCompactWire>(at, s.current, declared, schema);
  }
}

Status FieldCursor::skip_value() {
  State& s = *state_;
  if (is_json(s.protocol)) return {};
  WirePlace at{s.input, s.pos, s.last};
  switch (s.protocol) {
    case Protocol::Binary: return wire_skip<BinaryWire>(at, s.current);
    case Protocol::Compact: return wire_skip<CompactWire>(at, s.current);
    default: return wire_skip<StandardCompactWire>(at, s.current);
  }
}

}  // namespace velvane
