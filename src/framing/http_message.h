// src/framing/http_message.h: Thrift over HTTP/1.1: one message per request or response body.
//
// A client POSTs each request (Content-Type application/x-thrift, Content-Length, keep-alive) and
// reads the reply from the response body; a server answers POSTs on any path. The head is bounded
// (kMaxHttpHead bytes), a body must say its Content-Length (no chunked bodies), and a length above
// the message limit fails before any of the body is kept; the body grows with the bytes that arrive.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "model/error.h"

namespace velvane::framing {

enum class Progress : uint8_t;
enum class Side : uint8_t;

inline constexpr size_t kMaxHttpHead = 16 * 1024;
inline constexpr std::string_view kThriftContentType = "application/x-thrift";

class HttpDecoder {
 public:
  /// A server's decoder reads a request, a client's a response. `max_size`: of the body, 0 for none.
  HttpDecoder(Side side, size_t max_size);
  size_t feed(std::string_view bytes);
  void end_of_input();
  Progress progress() const { return progress_; }
  std::string& payload() { return body_; }
  const Error& error() const { return error_; }

  /// Once the head is read: whether the peer keeps the connection open after this message.
  bool keep_alive() const { return keep_alive_; }

 private:
  bool parse_head();
  void fail(ErrorKind kind, std::string text);

  bool server_;
  size_t max_size_;
  Progress progress_;
  std::string head_;
  bool in_body_ = false;
  size_t body_left_ = 0;
  bool keep_alive_ = true;
  std::string body_;
  Error error_;
};

/// A client's request: POST `path` with `payload` as its body.
void append_http_request(std::string& out, std::string_view host, std::string_view path, std::string_view payload);
/// A server's 200 response head for a body of `size` bytes (the body follows it on the wire).
void append_http_response_head(std::string& out, size_t size);

}  // namespace velvane::framing
