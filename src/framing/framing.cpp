// src/framing/framing.cpp: the framed decoder and the two buffered end-of-message scanners.
#include "framing/framing.h"

#include <algorithm>
#include <cstdio>

#include "model/wire.h"
#include "protocol/wire_format.h"

namespace velvane::framing {

namespace {

constexpr std::string_view kEarlyEof = "early eof";
constexpr std::string_view kUnexpectedEof = "unexpected end of file";

Error eof_error(bool single_byte) {
  return Error{ErrorKind::EndOfInput, std::string(single_byte ? kUnexpectedEof : kEarlyEof)};
}

bool is_json_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r'; }

}  // namespace

// --- Framed --------------------------------------------------------------------------------------

size_t FrameDecoder::feed(std::string_view bytes) {
  if (progress_ != Progress::NeedMore) return 0;
  size_t used = 0;
  while (prefix_got_ < 4 && used < bytes.size()) prefix_[prefix_got_++] = static_cast<uint8_t>(bytes[used++]);
  if (prefix_got_ < 4) return used;
  if (!have_length_) {
    have_length_ = true;
    const int32_t length = static_cast<int32_t>(uint32_t{prefix_[0]} << 24 | uint32_t{prefix_[1]} << 16 |
                                                uint32_t{prefix_[2]} << 8 | uint32_t{prefix_[3]});
    if (length <= 0) {
      progress_ = Progress::Done;
      return used;
    }
    if (max_size_ != 0 && static_cast<uint32_t>(length) > max_size_) {
      progress_ = Progress::Failed;
      error_ = oversized_message(static_cast<uint32_t>(length), max_size_);
      return used;
    }
    body_left_ = static_cast<uint32_t>(length);
  }
  // The body grows with the bytes that arrive, never with the length the peer announced.
  const size_t take = std::min<size_t>(body_left_, bytes.size() - used);
  payload_.append(bytes.substr(used, take));
  used += take;
  body_left_ -= static_cast<uint32_t>(take);
  if (body_left_ == 0) progress_ = Progress::Done;
  return used;
}

void FrameDecoder::end_of_input() {
  if (progress_ != Progress::NeedMore) return;
  if (prefix_got_ < 4) {
    progress_ = Progress::Done;
    return;
  }
  progress_ = Progress::Failed;
  error_ = eof_error(false);
}

Error oversized_message(size_t size, size_t max_size) {
  const std::string limit = "max_message_size (" + std::to_string(max_size) + " bytes)";
  if (size == 0) return Error{ErrorKind::SizeLimit, "message is larger than " + limit};
  return Error{ErrorKind::SizeLimit, "message of " + std::to_string(size) + " bytes is larger than " + limit};
}

// --- Buffered binary -----------------------------------------------------------------------------

BinaryScanner::BinaryScanner(Side side) : side_(side) { expect(Step::Version, 4, false); }

void BinaryScanner::expect(Step step, uint32_t count, bool single_byte) {
  step_ = step;
  need_ = count;
  single_byte_ = single_byte;
  to_scratch_ = step != Step::Name && step != Step::StringBody;
  scratch_got_ = 0;
}

uint32_t BinaryScanner::scratch_be32(size_t at) const {
  return uint32_t{scratch_[at]} << 24 | uint32_t{scratch_[at + 1]} << 16 | uint32_t{scratch_[at + 2]} << 8 |
         uint32_t{scratch_[at + 3]};
}

void BinaryScanner::fail(Error error) {
  progress_ = Progress::Failed;
  error_ = std::move(error);
}

size_t BinaryScanner::feed(std::string_view bytes) {
  size_t used = 0;
  while (progress_ == Progress::NeedMore) {
    if (need_ == 0) {  // a step that takes no bytes (an empty name or string)
      complete_step();
      continue;
    }
    if (used == bytes.size()) break;
    const size_t take = std::min<size_t>(need_, bytes.size() - used);
    if (to_scratch_) {
      std::copy_n(bytes.data() + used, take, scratch_ + scratch_got_);
      scratch_got_ += static_cast<uint8_t>(take);
    }
    payload_.append(bytes.substr(used, take));
    used += take;
    need_ -= static_cast<uint32_t>(take);
    if (need_ == 0) complete_step();
  }
  return used;
}

void BinaryScanner::end_of_input() {
  if (progress_ == Progress::NeedMore) fail(eof_error(single_byte_));
}

void BinaryScanner::complete_step() {
  switch (step_) {
    case Step::Version: return expect(Step::NameLength, 4, false);
    case Step::NameLength: {
      const int32_t length = static_cast<int32_t>(scratch_be32());
      if (length < 0) return fail(Error{ErrorKind::NegativeSize, "Negative message name length in buffered stream"});
      return expect(Step::Name, static_cast<uint32_t>(length), false);
    }
    case Step::Name: return expect(Step::SeqId, 4, false);
    case Step::SeqId:
      if (push(Frame{FrameKind::Struct})) expect(Step::FieldType, 1, true);
      return;
    case Step::FieldType: {
      const uint8_t type_id = scratch_[0];
      if (type_id == wire::kStop) {
        stack_.pop_back();
        return after_value();
      }
      stack_.back().value_type = type_id;
      return expect(Step::FieldIdHigh, 1, true);
    }
    case Step::FieldIdHigh: return expect(Step::FieldIdLow, 1, true);
    case Step::FieldIdLow: return begin_value(stack_.back().value_type);
    case Step::Scalar:
    case Step::StringBody: return after_value();
    case Step::StringLength:
      // A client takes the length as unsigned, as it always has; a server refuses what no writer sends
      // instead of waiting for up to 4 GiB that will never come.
      if (side_ == Side::Server && static_cast<int32_t>(scratch_be32()) < 0)
        return fail(Error{ErrorKind::NegativeSize, "Negative string length in buffered stream"});
      return expect(Step::StringBody, scratch_be32(), false);
    case Step::MapHeader: {
      const int32_t count = static_cast<int32_t>(scratch_be32(2));
      if (push(Frame{FrameKind::Map, scratch_[0], scratch_[1], count > 0 ? int64_t{count} * 2 : 0})) after_value();
      return;
    }
    case Step::ListHeader: {
      const int32_t count = static_cast<int32_t>(scratch_be32(1));
      if (push(Frame{FrameKind::List, scratch_[0], 0, count > 0 ? count : 0})) after_value();
      return;
    }
  }
}

bool BinaryScanner::push(Frame frame) {
  if (stack_.size() >= kMaxScanDepth) {
    fail(Error{ErrorKind::DepthLimit, "Depth limit exceeded"});
    return false;
  }
  stack_.push_back(frame);
  return true;
}

void BinaryScanner::begin_value(uint8_t type_id) {
  switch (type_id) {
    case wire::kBool:
    case wire::kByte: return expect(Step::Scalar, 1, true);
    case wire::kI16: return expect(Step::Scalar, 2, false);
    case wire::kI32: return expect(Step::Scalar, 4, false);
    case wire::kDouble:
    case wire::kI64: return expect(Step::Scalar, 8, false);
    case wire::kString: return expect(Step::StringLength, 4, false);
    case wire::kStruct:
      if (push(Frame{FrameKind::Struct})) expect(Step::FieldType, 1, true);
      return;
    case wire::kMap: return expect(Step::MapHeader, 6, false);
    case wire::kSet:
    case wire::kList: return expect(Step::ListHeader, 5, false);
    default: {
      char text[64];
      std::snprintf(text, sizeof text, "Unknown field type byte 0x%02x%s", type_id,
                    side_ == Side::Server ? " in buffered stream" : "");
      return fail(Error{ErrorKind::InvalidData, text});
    }
  }
}

/// One value is complete: walk the next one its container asks for, or finish the container.
void BinaryScanner::after_value() {
  while (!stack_.empty()) {
    Frame& top = stack_.back();
    if (top.kind == FrameKind::Struct) return expect(Step::FieldType, 1, true);
    if (top.left > 0) {
      const bool is_key = top.kind == FrameKind::Map && top.left % 2 == 0;
      --top.left;
      return begin_value(top.kind == FrameKind::List || is_key ? top.key_type : top.value_type);
    }
    stack_.pop_back();
  }
  progress_ = Progress::Done;
}

// --- Buffered JSON -------------------------------------------------------------------------------

size_t JsonScanner::feed(std::string_view bytes) {
  if (progress_ != Progress::NeedMore) return 0;
  size_t i = 0;
  size_t begin = 0;  // where the kept bytes of this piece start
  if (!started_) {
    while (i < bytes.size() && is_json_space(bytes[i])) ++i;
    if (i == bytes.size()) return i;
    if (bytes[i] != '[' && bytes[i] != '{') {
      progress_ = Progress::Failed;
      error_ = Error{ErrorKind::InvalidData, "expected JSON object or array at start of buffered message"};
      return i + 1;
    }
    started_ = true;
    depth_ = 1;
    payload_.reserve(256);
    begin = i++;  // the opening bracket is kept, and already counted
  }
  for (; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '"') {
        in_string_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      }
    } else if (c == '"') {
      in_string_ = true;
    } else if (c == '[' || c == '{') {
      ++depth_;
    } else if ((c == ']' || c == '}') && --depth_ == 0) {
      ++i;
      progress_ = Progress::Done;
      break;
    }
  }
  payload_.append(bytes.substr(begin, i - begin));
  return i;
}

void JsonScanner::end_of_input() {
  if (progress_ != Progress::NeedMore) return;
  if (!started_) {
    progress_ = Progress::Done;
    return;
  }
  progress_ = Progress::Failed;
  error_ = eof_error(true);
}

// --- The decoder of one message ------------------------------------------------------------------

namespace {

std::variant<FrameDecoder, BinaryScanner, JsonScanner, StandardCompactScanner, UnsupportedScanner, HttpDecoder> make_impl(
    Transport transport, Protocol protocol, Side side, size_t max_size) {
  if (is_framed(transport)) return FrameDecoder{max_size};
  if (transport == Transport::Http) return HttpDecoder{side, max_size};
  switch (protocol) {
    case Protocol::Binary: return BinaryScanner{side};
    case Protocol::Json:
    case Protocol::StandardJson: return JsonScanner{};
    case Protocol::StandardCompact: return StandardCompactScanner{};
    case Protocol::Compact: break;
  }
  return UnsupportedScanner{};
}

}  // namespace

MessageDecoder::MessageDecoder(Transport transport, Protocol protocol, Side side, size_t max_size)
    : impl_(make_impl(transport, protocol, side, max_size)),
      scan_limit_(transport == Transport::Buffered ? max_size : 0) {}

bool MessageDecoder::keep_alive() const {
  const auto* http = std::get_if<HttpDecoder>(&impl_);
  return !http || http->keep_alive();
}

size_t MessageDecoder::feed(std::string_view bytes) {
  started_ = started_ || !bytes.empty();
  if (scan_limit_ == 0) return std::visit([&](auto& d) { return d.feed(bytes); }, impl_);
  if (oversized_) return 0;
  // A scan keeps every byte it takes: give it no more than one byte past the limit.
  return std::visit([&](auto& d) {
    size_t used = 0;
    while (used < bytes.size() && d.progress() == Progress::NeedMore) {
      const size_t room = scan_limit_ - d.payload().size() + 1;
      const size_t took = d.feed(bytes.substr(used, room));
      used += took;
      if (d.payload().size() > scan_limit_ && d.progress() != Progress::Failed) {
        oversized_ = true;
        oversized_error_ = oversized_message(0, scan_limit_);
        break;
      }
      if (took == 0) break;
    }
    return used;
  }, impl_);
}

void MessageDecoder::end_of_input() {
  if (oversized_) return;
  std::visit([](auto& d) { d.end_of_input(); }, impl_);
}

Progress MessageDecoder::progress() const {
  if (oversized_) return Progress::Failed;
  return std::visit([](const auto& d) { return d.progress(); }, impl_);
}

std::string MessageDecoder::take_payload() {
  return std::visit([](auto& d) { return std::move(d.payload()); }, impl_);
}

const Error& MessageDecoder::error() const {
  if (oversized_) return oversized_error_;
  return std::visit([](const auto& d) -> const Error& { return d.error(); }, impl_);
}

void append_frame(std::string& out, Transport transport, std::string_view payload) {
  if (is_framed(transport)) wire::put_be32(out, static_cast<uint32_t>(payload.size()));
  out.append(payload);
}

}  // namespace velvane::framing
