// src/net/message_io.h: moving whole Thrift messages over an Asio socket with C++20 coroutines.
//
// The asynchronous counterpart of Connection::write_message / read_message: message boundaries come
// from the sans-IO decoders of src/framing/, and the read buffer keeps the bytes that arrived after
// one message for the next. Nothing here knows clients or servers, so the asyncio client's
// connection and a server's connection task can both drive it.
#pragma once

// Standard headers first: Asio's recycling allocator is chosen from what they define, and every file
// that includes Asio must make the same choice (or memory allocated by one is freed by another's).
#include <memory>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>
#include <asio/ip/tcp.hpp>

#include "framing/framing.h"
#include "model/error.h"
#include "net/connection.h"

namespace velvane::net {

/// The read half of a connection: a 64 KiB buffer and the bytes in it not consumed yet.
class ReadBuffer {
 public:
  ReadBuffer() : data_(std::make_unique<char[]>(kBufferSize)) {}

  /// Reads one message with `decoder` (fresh for each message). An empty payload means the peer
  /// ended the connection cleanly before a message began. A socket error, cancellation included,
  /// carries the operating system's text.
  asio::awaitable<Result<std::string>> read_message(asio::ip::tcp::socket& socket, framing::MessageDecoder& decoder);

 private:
  std::unique_ptr<char[]> data_;
  size_t begin_ = 0;  // unread bytes are data_[begin_, end_)
  size_t end_ = 0;
};

/// Writes one message (the length prefix first when framed) in a single gathered write.
asio::awaitable<Status> write_message(asio::ip::tcp::socket& socket, framing::Transport transport,
                                      std::string_view payload);

}  // namespace velvane::net
