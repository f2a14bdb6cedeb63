// src/net/message_io.h: moving whole Thrift messages over an Asio socket from completion handlers.
//
// Message boundaries come from the sans-IO decoders of src/framing/; the read buffer keeps the bytes
// that arrived after one message for the next. Nothing here knows clients or servers.
#pragma once

// Standard headers first: Asio's recycling allocator is chosen from what they define, and every file
// that includes Asio must make the same choice (or memory allocated by one is freed by another's).
#include <memory>
#include <string>
#include <string_view>

#include <asio/buffer.hpp>
#include <asio/ip/tcp.hpp>

#include "framing/framing.h"
#include "model/error.h"
#include "net/connection.h"

namespace velvane::net {

/// The read half of a connection: a 64 KiB buffer and the bytes in it not consumed yet.
class ReadBuffer {
 public:
  ReadBuffer() : data_(std::make_unique<char[]>(kBufferSize)) {}

  /// Hands `decoder` what it takes of the unread bytes.
  void feed(framing::MessageDecoder& decoder) {
    if (begin_ < end_) begin_ += decoder.feed(std::string_view(data_.get() + begin_, end_ - begin_));
  }
  /// Where the next read goes; only once every byte read before has been fed.
  asio::mutable_buffer space() {
    begin_ = end_ = 0;
    return asio::buffer(data_.get(), kBufferSize);
  }
  /// `n` bytes arrived in space().
  void filled(size_t n) { end_ = n; }

 private:
  std::unique_ptr<char[]> data_;
  size_t begin_ = 0;  // unread bytes are data_[begin_, end_)
  size_t end_ = 0;
};

/// What the socket takes of `bytes` without waiting (0 when its send buffer is full); an error
/// carries the operating system's text.
Result<size_t> send_now(asio::ip::tcp::socket& socket, std::string_view bytes);

}  // namespace velvane::net
