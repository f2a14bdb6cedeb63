// src/framing/framing.h: finding whole messages in a byte stream, without doing any I/O.
//
// A MessageDecoder is fed the bytes of a connection in pieces of any size and says when one message
// is complete. The blocking client, the asyncio client and the server drive the same decoders, each
// with its own sockets. Results and error texts are those a reader taking bytes from the stream one
// read at a time would give: a single-byte read that finds the stream ended reports "unexpected end
// of file", an exact read of a longer run "early eof".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "model/error.h"
#include "protocol/protocol.h"

namespace velvane::framing {

enum class Transport : uint8_t { Framed = 0, Buffered = 1, Http = 2, Header = 3 };

/// Whether messages of `transport` go on the wire behind a 4-byte length (the header transport's
/// frames do; what they hold is framing/header.h's business).
constexpr bool is_framed(Transport transport) {
  return transport == Transport::Framed || transport == Transport::Header;
}

enum class Progress : uint8_t { NeedMore, Done, Failed };

}  // namespace velvane::framing

#include "framing/compact_scan.h"
#include "framing/http_message.h"

namespace velvane::framing {

/// Which end reads the stream; only the wording of a buffered binary error differs.
enum class Side : uint8_t { Client, Server };

inline constexpr size_t kMaxScanDepth = kMaxDepth;

/// The largest message a server or client reads unless told otherwise (16 MiB).
inline constexpr size_t kDefaultMaxMessageSize = size_t{16} << 20;

/// Framed: a 4-byte big-endian signed length, then the payload. A stream that ends inside the
/// length, and a negative or zero length, give an empty payload (the connection's clean end).
/// A length above `max_size` (0: no limit) fails as soon as it is read, before any of the body.
class FrameDecoder {
 public:
  explicit FrameDecoder(size_t max_size = 0) : max_size_(max_size) {}
  size_t feed(std::string_view bytes);
  void end_of_input();
  Progress progress() const { return progress_; }
  std::string& payload() { return payload_; }
  const Error& error() const { return error_; }

 private:
  Progress progress_ = Progress::NeedMore;
  uint8_t prefix_[4] = {};
  uint8_t prefix_got_ = 0;
  bool have_length_ = false;
  uint32_t body_left_ = 0;
  size_t max_size_;
  std::string payload_;
  Error error_;
};

/// The error of a message larger than `max_size`; `size` is 0 when the length is not known.
Error oversized_message(size_t size, size_t max_size);

/// Buffered binary: walks the strict binary envelope and one struct, copying every byte. Nesting is
/// bounded at kMaxScanDepth levels; a stream that ends anywhere, even before the first byte, fails.
/// A server reports an unknown type id with " in buffered stream" after the client's text.
class BinaryScanner {
 public:
  explicit BinaryScanner(Side side = Side::Client);
  size_t feed(std::string_view bytes);
  void end_of_input();
  Progress progress() const { return progress_; }
  std::string& payload() { return payload_; }
  const Error& error() const { return error_; }

 private:
  enum class Step : uint8_t {
    Version, NameLength, Name, SeqId, FieldType, FieldIdHigh, FieldIdLow, Scalar, StringLength, StringBody,
    MapHeader, ListHeader
  };
  enum class FrameKind : uint8_t { Struct, List, Map };
  struct Frame {
    FrameKind kind;
    uint8_t key_type = 0;    // list: element type
    uint8_t value_type = 0;
    int64_t left = 0;        // list: elements; map: keys and values still to walk
  };

  void expect(Step step, uint32_t count, bool single_byte);
  void complete_step();
  void begin_value(uint8_t type_id);
  void after_value();
  bool push(Frame frame);
  void fail(Error error);
  uint32_t scratch_be32(size_t at = 0) const;

  Side side_;
  Progress progress_ = Progress::NeedMore;
  Step step_ = Step::Version;
  uint32_t need_ = 0;          // bytes still to take for the current step
  bool single_byte_ = false;   // the current step is a single-byte read
  bool to_scratch_ = true;     // the current step's bytes are interpreted, not only copied
  uint8_t scratch_[8] = {};
  uint8_t scratch_got_ = 0;
  std::vector<Frame> stack_;
  std::string payload_;
  Error error_;
};

/// Buffered JSON: skips whitespace, then counts brackets outside strings until the opening one is
/// closed. A stream that ends before the message starts gives an empty payload.
class JsonScanner {
 public:
  size_t feed(std::string_view bytes);
  void end_of_input();
  Progress progress() const { return progress_; }
  std::string& payload() { return payload_; }
  const Error& error() const { return error_; }

 private:
  Progress progress_ = Progress::NeedMore;
  bool started_ = false;
  bool in_string_ = false;
  bool escaped_ = false;
  uint64_t depth_ = 0;
  std::string payload_;
  Error error_;
};

/// This system's compact messages are not delimited here: a buffered compact read fails at once.
class UnsupportedScanner {
 public:
  size_t feed(std::string_view) { return 0; }
  void end_of_input() {}
  Progress progress() const { return Progress::Failed; }
  std::string& payload() { return payload_; }
  const Error& error() const { return error_; }

 private:
  std::string payload_;
  Error error_{ErrorKind::InvalidInput, "buffered RPC transport currently supports Binary and JSON protocols"};
};

/// The decoder of one message for a transport and protocol. Feed it until progress() leaves
/// NeedMore; bytes it did not consume belong to the next message. A message of more than
/// `max_size` bytes (0: no limit; the frame's length prefix not counted) fails: a framed one when
/// its length is read, a buffered one as soon as the scan holds one byte more than the limit.
class MessageDecoder {
 public:
  MessageDecoder(Transport transport, Protocol protocol, Side side = Side::Client, size_t max_size = 0);

  /// Takes bytes of the stream; returns how many belong to this message.
  size_t feed(std::string_view bytes);
  /// The stream ended: completes the message (an empty payload) or fails.
  void end_of_input();
  Progress progress() const;
  /// Whether any byte of this message has arrived.
  bool started() const { return started_; }
  /// The complete message (empty for a clean end of the connection). Valid once Done.
  std::string take_payload();
  const Error& error() const;
  /// Http: whether the peer keeps the connection open after this message (true for other transports).
  bool keep_alive() const;

 private:
  std::variant<FrameDecoder, BinaryScanner, JsonScanner, StandardCompactScanner, UnsupportedScanner, HttpDecoder> impl_;
  bool started_ = false;
  size_t scan_limit_ = 0;  // a buffered scan's max_size; the framed decoder checks its own
  bool oversized_ = false;
  Error oversized_error_;
};

/// Appends one message as `transport` puts it on the wire.
void append_frame(std::string& out, Transport transport, std::string_view payload);

}  // namespace velvane::framing
