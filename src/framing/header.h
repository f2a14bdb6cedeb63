// src/framing/header.h: the header transport's frames (THeader), without doing any I/O.
//
// A header frame is a framed message whose body begins with the magic 0x0FFF and carries, before
// the message itself, the protocol the message is in, the transforms applied to it (zlib) and
// string headers:
//
//   length:4 | magic:2 flags:2 | seq_id:4 | header words:2 | protocol id (varint)
//   | transform count (varint), ids (varints) | info headers: type 1, count, (key, value) strings
//   | zero padding to a multiple of 4 | payload (transformed)
//
// The frame's body is read by the framed decoder (MessageDecoder with Transport::Header); this file
// takes it apart and puts frames together.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "model/error.h"
#include "protocol/protocol.h"

namespace velvane::framing {

inline constexpr uint16_t kHeaderMagic = 0x0FFF;
/// The protocol ids a header frame names; the compact one is the standard compact protocol.
inline constexpr uint32_t kHeaderBinary = 0;
inline constexpr uint32_t kHeaderCompact = 2;
inline constexpr uint32_t kZlibTransform = 1;
inline constexpr uint32_t kInfoKeyValue = 1;
/// The header client timeout's name: the caller's remaining time in milliseconds, in decimal.
inline constexpr std::string_view kClientTimeoutHeader = "client_timeout";

using HeaderList = std::vector<std::pair<std::string, std::string>>;

/// What a header frame says about the message it carries.
struct HeaderInfo {
  uint16_t flags = 0;
  int32_t seq_id = 0;
  uint32_t protocol_id = kHeaderBinary;
  std::vector<uint32_t> transforms;  // in the order they were applied when writing
  HeaderList headers;                // in the order written
};

/// The header protocol id of `protocol`, or an InvalidInput error for a protocol the header
/// transport does not carry (it carries binary and standard compact).
Result<uint32_t> header_protocol_id(Protocol protocol);

/// The protocol a header frame's protocol id names, or an InvalidData error for one it cannot carry.
Result<Protocol> header_protocol(uint32_t protocol_id);

/// Takes a header frame's body (what follows its length) apart: `info` gets its header, the result
/// is the message with the transforms undone. The message may hold at most `max_size` bytes once
/// inflated (0: the wire's own limit); inflating stops as soon as it would be larger.
Result<std::string> decode_header_frame(std::string_view body, size_t max_size, HeaderInfo& info);

/// The body of a header frame (what follows its length) carrying `message`, `info.transforms`
/// applied. Fails for an unknown transform or a header section too long for its 16-bit word count.
Result<std::string> encode_header_frame(const HeaderInfo& info, std::string_view message);

}  // namespace velvane::framing
