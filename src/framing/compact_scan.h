// src/framing/compact_scan.h: the end of a standard compact message in a byte stream (sans-IO).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/error.h"

namespace velvane::framing {

enum class Progress : uint8_t;  // framing.h, which includes this file

/// Buffered standard compact: walks the message header and one struct, keeping every byte. A token
/// (a field header, a varint, a container header) is taken only once all its bytes are there; a
/// string's bytes are counted off as they arrive. Nesting is bounded at kMaxDepth levels and nothing
/// is allocated on a count the peer sent. A stream that ends before the first byte is the
/// connection's clean end (an empty payload); one that ends inside a message fails.
class StandardCompactScanner {
 public:
  StandardCompactScanner();
  size_t feed(std::string_view bytes);
  void end_of_input();
  Progress progress() const { return state_; }
  std::string& payload() { return payload_; }
  const Error& error() const { return error_; }

 private:
  enum class FrameKind : uint8_t { Struct, List, Map };
  struct Frame {
    FrameKind kind;
    uint8_t key_code = 0;    // list: element code
    uint8_t value_code = 0;
    int64_t left = 0;        // list: elements; map: keys and values still to walk
  };
  /// Result of taking one token: taken, not all its bytes are there yet, or the stream is invalid.
  enum class Take : uint8_t { Ok, More, Bad };

  void run();
  Take header();
  Take field();
  Take value(uint8_t code);
  Take varint(size_t& at, uint64_t& v, int max_bytes);
  Take byte(size_t& at, uint8_t& b);
  bool push(Frame frame);
  Take fail(std::string text, ErrorKind kind = ErrorKind::InvalidData);

  Progress state_;
  bool header_done_ = false;
  uint8_t pending_ = 0;     // compact code of the value to walk next (0: none)
  uint64_t skip_left_ = 0;  // string bytes still to come
  size_t pos_ = 0;          // bytes of payload_ walked
  size_t seen_ = 0;         // bytes of payload_ looked at
  std::vector<Frame> stack_;
  std::string payload_;
  Error error_;
};

}  // namespace velvane::framing
