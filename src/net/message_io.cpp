// src/net/message_io.cpp: coroutine message reads and writes on an Asio socket.
#include "net/message_io.h"

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <array>

#include "protocol/wire_format.h"

namespace velvane::net {

asio::awaitable<Result<std::string>> ReadBuffer::read_message(asio::ip::tcp::socket& socket,
                                                              framing::MessageDecoder& decoder) {
  while (decoder.progress() == framing::Progress::NeedMore) {
    if (begin_ == end_) {
      std::error_code ec;
      const size_t n = co_await socket.async_read_some(asio::buffer(data_.get(), kBufferSize),
                                                       asio::redirect_error(asio::use_awaitable, ec));
      if (ec == asio::error::eof || (!ec && n == 0)) {
        decoder.end_of_input();
        break;
      }
      if (ec) co_return Error{ErrorKind::Os, ec.message()};
      begin_ = 0;
      end_ = n;
    }
    begin_ += decoder.feed(std::string_view(data_.get() + begin_, end_ - begin_));
  }
  if (decoder.progress() == framing::Progress::Failed) co_return decoder.error();
  co_return decoder.take_payload();
}

asio::awaitable<Status> write_message(asio::ip::tcp::socket& socket, framing::Transport transport,
                                      std::string_view payload) {
  std::string prefix;
  if (transport == framing::Transport::Framed) wire::put_be32(prefix, static_cast<uint32_t>(payload.size()));
  const std::array<asio::const_buffer, 2> pieces{asio::buffer(prefix), asio::buffer(payload)};
  std::error_code ec;
  co_await asio::async_write(socket, pieces, asio::redirect_error(asio::use_awaitable, ec));
  if (ec) co_return Error{ErrorKind::Os, ec.message()};
  co_return Status{};
}

}  // namespace velvane::net
