// src/net/message_io.h: moving whole Thrift messages over sockets.
//
// Message boundaries come from the sans-IO decoders of src/framing/; the read buffer keeps the bytes
// that arrived after one message for the next. read_message is the one loop between a buffer, a
// decoder and a socket, whoever drives the socket (a blocking client, a server's worker or pool
// thread). Nothing here knows clients or servers.
#pragma once

// Standard headers first: Asio's recycling allocator is chosen from what they define, and every file
// that includes Asio must make the same choice (or memory allocated by one is freed by another's).
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/buffer.hpp>
#include <asio/ip/tcp.hpp>

#include "framing/framing.h"
#include "model/error.h"
#include "net/connection.h"

namespace velvane::net {

/// The read half of a connection: a 64 KiB buffer (allocated when a read needs it) and the bytes
/// in it not consumed yet.
class ReadBuffer {
 public:
  /// Whether every byte read has been fed.
  bool empty() const { return begin_ == end_; }
  /// Hands `decoder` what it takes of the unread bytes.
  void feed(framing::MessageDecoder& decoder) {
    if (begin_ < end_) begin_ += decoder.feed(std::string_view(data_.get() + begin_, end_ - begin_));
  }
  /// Where the next read goes; only once every byte read before has been fed.
  asio::mutable_buffer space() {
    begin_ = end_ = 0;
    if (!data_) data_ = std::make_unique_for_overwrite<char[]>(kBufferSize);  // not zeroed: reads fill it
    return asio::buffer(data_.get(), kBufferSize);
  }
  /// Gives the memory back when every byte read has been fed: an idle connection holds none.
  void release() {
    if (empty()) data_.reset();
  }
  /// `n` bytes arrived in space().
  void filled(size_t n) { end_ = n; }

 private:
  std::unique_ptr<char[]> data_;
  size_t begin_ = 0;  // unread bytes are data_[begin_, end_)
  size_t end_ = 0;
};

/// A reader's answer when the socket has no bytes for now.
inline constexpr size_t kNoBytesYet = SIZE_MAX;

/// Reads one message through `decoder`: the buffered bytes first, then what `read(space)` brings
/// into `buffer.space()` (a byte count, 0 when the peer ended the stream, kNoBytesYet when it would
/// have to wait, or an error). Gives the payload (empty when the peer ended the connection between
/// messages), nullopt when the reader had no bytes for now (the decoder and the buffer keep what
/// they have: call again once there are), or the decoder's or the reader's error.
template <class Read>
Result<std::optional<std::string>> read_message(ReadBuffer& buffer, framing::MessageDecoder& decoder, Read&& read) {
  while (decoder.progress() == framing::Progress::NeedMore) {
    if (buffer.empty()) {
      Result<size_t> n = read(buffer.space());
      if (!n) return n.take_error();
      if (n.value() == kNoBytesYet) return std::optional<std::string>();
      if (n.value() == 0) {
        decoder.end_of_input();
        break;
      }
      buffer.filled(n.value());
    }
    buffer.feed(decoder);
  }
  if (decoder.progress() == framing::Progress::Failed) return decoder.error();
  return std::optional<std::string>(decoder.take_payload());
}

/// What the socket takes of `bytes` without waiting (0 when its send buffer is full); an error
/// carries the operating system's text.
Result<size_t> send_now(int fd, std::string_view bytes);

/// Without waiting: whether an idle connection was ended by its peer (end of input or a reset is
/// waiting to be read). A request written to it would never be answered.
bool peer_has_closed(int fd);

}  // namespace velvane::net
