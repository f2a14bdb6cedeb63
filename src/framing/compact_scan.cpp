// src/framing/compact_scan.cpp: the buffered standard compact scanner.
#include "framing/framing.h"

#include <algorithm>

#include "model/value.h"
#include "model/wire.h"
#include "protocol/protocol.h"

namespace velvane::framing {

StandardCompactScanner::StandardCompactScanner() : state_(Progress::NeedMore) {}

size_t StandardCompactScanner::feed(std::string_view bytes) {
  if (state_ != Progress::NeedMore) return 0;
  const size_t before = payload_.size();
  payload_.append(bytes);
  run();
  // A failure is decided by the last byte looked at: the bytes up to it are the ones taken.
  if (state_ == Progress::Failed) return seen_ > before ? std::min(seen_ - before, bytes.size()) : 0;
  if (state_ != Progress::Done) return bytes.size();
  // Bytes past the message's end belong to the next one.
  payload_.resize(pos_);
  return pos_ - before;
}

void StandardCompactScanner::end_of_input() {
  if (state_ != Progress::NeedMore) return;
  if (payload_.empty()) {
    state_ = Progress::Done;
    return;
  }
  fail("early eof", ErrorKind::EndOfInput);
}

StandardCompactScanner::Take StandardCompactScanner::fail(std::string text, ErrorKind kind) {
  state_ = Progress::Failed;
  error_ = Error{kind, std::move(text)};
  return Take::Bad;
}

StandardCompactScanner::Take StandardCompactScanner::byte(size_t& at, uint8_t& b) {
  if (at >= payload_.size()) return Take::More;
  b = static_cast<uint8_t>(payload_[at++]);
  seen_ = std::max(seen_, at);
  return Take::Ok;
}

StandardCompactScanner::Take StandardCompactScanner::varint(size_t& at, uint64_t& v, int max_bytes) {
  v = 0;
  for (int i = 0; i < max_bytes; ++i) {
    uint8_t b;
    if (byte(at, b) == Take::More) return Take::More;
    v |= uint64_t{b & 0x7Fu} << (7 * i);
    if (b < 0x80) return Take::Ok;
  }
  return Take::Bad;
}

bool StandardCompactScanner::push(Frame frame) {
  if (stack_.size() >= static_cast<size_t>(kMaxDepth)) {
    fail("Depth limit exceeded", ErrorKind::DepthLimit);
    return false;
  }
  stack_.push_back(frame);
  return true;
}

void StandardCompactScanner::run() {
  while (state_ == Progress::NeedMore) {
    if (skip_left_) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(skip_left_, payload_.size() - pos_));
      pos_ += take;
      seen_ = std::max(seen_, pos_);
      skip_left_ -= take;
      if (skip_left_) return;
    }
    Take step;
    if (!header_done_) {
      step = header();
    } else if (pending_) {
      step = value(pending_);
    } else if (stack_.empty()) {
      state_ = Progress::Done;
      return;
    } else if (Frame& top = stack_.back(); top.kind == FrameKind::Struct) {
      step = field();
    } else if (top.left > 0) {
      const bool is_key = top.kind == FrameKind::Map && top.left % 2 == 0;
      --top.left;
      pending_ = top.kind == FrameKind::List || is_key ? top.key_code : top.value_code;
      continue;
    } else {
      stack_.pop_back();
      continue;
    }
    if (step != Take::Ok) return;
  }
}

/// 0x82, version and type, seqid, the name's length; the name itself is skipped as it arrives.
StandardCompactScanner::Take StandardCompactScanner::header() {
  size_t at = pos_;
  uint8_t id, version;
  uint64_t seqid, length;
  if (byte(at, id) == Take::More) return Take::More;
  if (id != wire::kCompactProtocolId) return fail("Bad protocol id", ErrorKind::BadVersion);
  if (byte(at, version) == Take::More) return Take::More;
  if ((version & wire::kCompactVersionMask) != wire::kCompactVersion)
    return fail("Bad protocol version", ErrorKind::BadVersion);
  for (uint64_t* v : {&seqid, &length}) {
    const Take t = varint(at, *v, 5);
    if (t == Take::More) return t;
    if (t == Take::Bad) return fail("Variable-length integer is too long");
  }
  if (length > INT32_MAX) return fail("Negative message name length in buffered stream", ErrorKind::NegativeSize);
  pos_ = at;
  skip_left_ = length;
  header_done_ = true;
  push(Frame{FrameKind::Struct});
  return state_ == Progress::Failed ? Take::Bad : Take::Ok;
}

StandardCompactScanner::Take StandardCompactScanner::field() {
  size_t at = pos_;
  uint8_t b;
  if (byte(at, b) == Take::More) return Take::More;
  const uint8_t code = b & 0x0F;
  if (code > wire::kCompactUuid) return fail("Invalid field type");
  if (code != wire::kCompactStop && (b >> 4) == 0) {
    uint64_t id;
    const Take t = varint(at, id, 3);
    if (t == Take::More) return t;
    if (t == Take::Bad) return fail("Variable-length integer is too long");
  }
  pos_ = at;
  if (code == wire::kCompactStop) {
    stack_.pop_back();
  } else if (code != wire::kCompactTrue && code != wire::kCompactFalse) {
    pending_ = code;  // a bool field's value is in its header
  }
  return Take::Ok;
}

StandardCompactScanner::Take StandardCompactScanner::value(uint8_t code) {
  size_t at = pos_;
  uint64_t v = 0;
  uint8_t b = 0;
  Take t = Take::Ok;
  switch (code) {
    case wire::kCompactTrue:  // bool elements
    case wire::kCompactFalse:
    case wire::kCompactByte: t = byte(at, b); break;
    case wire::kCompactI16:
    case wire::kCompactI32: t = varint(at, v, 5); break;
    case wire::kCompactI64: t = varint(at, v, 10); break;
    case wire::kCompactDouble:
      if (payload_.size() - at < 8) return Take::More;
      at += 8;
      seen_ = std::max(seen_, at);
      break;
    case wire::kCompactUuid:  // the reader refuses it for a schema without uuid fields
      if (payload_.size() - at < kUuidSize) return Take::More;
      at += kUuidSize;
      seen_ = std::max(seen_, at);
      break;
    case wire::kCompactBinary:
      t = varint(at, v, 5);
      if (t == Take::Ok && v > INT32_MAX) return fail("Negative length in buffered stream", ErrorKind::NegativeSize);
      skip_left_ = t == Take::Ok ? v : 0;
      break;
    case wire::kCompactList:
    case wire::kCompactSet: {
      t = byte(at, b);
      if (t != Take::Ok) break;
      if ((b & 0x0F) == wire::kCompactStop || (b & 0x0F) > wire::kCompactUuid) return fail("Invalid field type");
      uint64_t size = b >> 4;
      if (size == 15) t = varint(at, size, 5);
      if (t != Take::Ok) break;
      if (size > INT32_MAX) return fail("Negative size in buffered stream", ErrorKind::NegativeSize);
      if (!push(Frame{FrameKind::List, static_cast<uint8_t>(b & 0x0F), 0, static_cast<int64_t>(size)})) return Take::Bad;
      break;
    }
    case wire::kCompactMap: {
      uint64_t size;
      t = varint(at, size, 5);
      if (t != Take::Ok) break;
      if (size > INT32_MAX) return fail("Negative size in buffered stream", ErrorKind::NegativeSize);
      if (size) {
        t = byte(at, b);
        if (t != Take::Ok) break;
        if ((b >> 4) == 0 || (b >> 4) > wire::kCompactUuid || (b & 0x0F) == 0 || (b & 0x0F) > wire::kCompactUuid)
          return fail("Invalid field type");
      }
      const Frame map{FrameKind::Map, static_cast<uint8_t>(b >> 4), static_cast<uint8_t>(b & 0x0F),
                      static_cast<int64_t>(size) * 2};
      if (!push(map)) return Take::Bad;
      break;
    }
    case wire::kCompactStruct:
      if (!push(Frame{FrameKind::Struct})) return Take::Bad;
      break;
    default: return fail("Invalid field type");
  }
  if (t == Take::More) return t;
  if (t == Take::Bad) return fail("Variable-length integer is too long");
  pos_ = at;
  pending_ = 0;
  return Take::Ok;
}

}  // namespace velvane::framing
