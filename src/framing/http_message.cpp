// src/framing/http_message.cpp: the HTTP/1.1 heads around Thrift messages, read and written.
#include "framing/http_message.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "framing/framing.h"

namespace velvane::framing {

namespace {

constexpr size_t kMaxHeaderLines = 100;

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(x) == std::tolower(y); });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

/// Splits off the next line (without its CRLF or LF).
std::string_view next_line(std::string_view& rest) {
  const size_t end = rest.find('\n');
  std::string_view line = rest.substr(0, end);
  rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

HttpDecoder::HttpDecoder(Side side, size_t max_size)
    : server_(side == Side::Server), max_size_(max_size), progress_(Progress::NeedMore) {}

void HttpDecoder::fail(ErrorKind kind, std::string text) {
  progress_ = Progress::Failed;
  error_ = Error{kind, std::move(text)};
}

size_t HttpDecoder::feed(std::string_view bytes) {
  size_t used = 0;
  if (!in_body_ && progress_ == Progress::NeedMore) {
    const size_t before = head_.size();
    const size_t room = kMaxHttpHead - before;
    head_.append(bytes.substr(0, room));
    size_t end = head_.find("\r\n\r\n", before >= 3 ? before - 3 : 0);
    size_t mark = 4;
    if (end == std::string::npos) {
      end = head_.find("\n\n", before >= 1 ? before - 1 : 0);
      mark = 2;
    }
    if (end == std::string::npos) {
      if (head_.size() >= kMaxHttpHead) fail(ErrorKind::SizeLimit, "HTTP head larger than 16 KiB");
      return bytes.size() > room ? room : bytes.size();
    }
    used = end + mark - before;
    head_.resize(end);
    if (!parse_head()) return used;
    in_body_ = true;
  }
  if (in_body_ && progress_ == Progress::NeedMore) {
    const size_t take = std::min(body_left_, bytes.size() - used);
    body_.append(bytes.substr(used, take));
    used += take;
    body_left_ -= take;
    if (body_left_ == 0) progress_ = Progress::Done;
  }
  return used;
}

bool HttpDecoder::parse_head() {
  std::string_view rest = head_;
  std::string_view start = next_line(rest);
  std::string_view version;
  if (server_) {
    const size_t sp = start.find(' ');
    const std::string_view method = start.substr(0, sp);
    version = start.substr(start.rfind(' ') + 1);
    if (sp == std::string_view::npos || method != "POST") {
      fail(ErrorKind::InvalidData, "HTTP request is not a POST: " + std::string(start.substr(0, 64)));
      return false;
    }
  } else {
    version = start.substr(0, start.find(' '));
    const std::string_view status = start.substr(std::min(start.size(), version.size() + 1));
    if (!status.starts_with("200")) {
      fail(ErrorKind::InvalidData, "HTTP status " + std::string(status.substr(0, 64)));
      return false;
    }
  }
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    fail(ErrorKind::InvalidData, "not an HTTP/1.x message: " + std::string(start.substr(0, 64)));
    return false;
  }
  keep_alive_ = version == "HTTP/1.1";
  bool have_length = false;
  uint64_t length = 0;
  for (size_t lines = 0; !rest.empty(); ++lines) {
    if (lines == kMaxHeaderLines) {
      fail(ErrorKind::SizeLimit, "more than 100 HTTP header lines");
      return false;
    }
    const std::string_view line = next_line(rest);
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = trim(line.substr(0, colon)), value = trim(line.substr(colon + 1));
    if (iequals(name, "Content-Length")) {
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
      if (ec != std::errc() || end != value.data() + value.size() || (have_length && length != body_left_)) {
        fail(ErrorKind::InvalidData, "bad HTTP Content-Length: " + std::string(value.substr(0, 32)));
        return false;
      }
      have_length = true;
      body_left_ = length;
    } else if (iequals(name, "Transfer-Encoding")) {
      fail(ErrorKind::InvalidData, "HTTP bodies without a Content-Length are not supported");
      return false;
    } else if (iequals(name, "Connection")) {
      if (iequals(value, "close")) keep_alive_ = false;
      else if (iequals(value, "keep-alive")) keep_alive_ = true;
    }
  }
  if (!have_length) {
    fail(ErrorKind::InvalidData, "HTTP message without a Content-Length");
    return false;
  }
  if (max_size_ != 0 && length > max_size_) {
    progress_ = Progress::Failed;
    error_ = oversized_message(length, max_size_);
    return false;
  }
  body_.reserve(std::min<uint64_t>(length, 64 * 1024));
  if (length == 0) progress_ = Progress::Done;
  return true;
}

void HttpDecoder::end_of_input() {
  if (progress_ != Progress::NeedMore) return;
  if (!in_body_ && head_.empty()) {
    progress_ = Progress::Done;  // between messages: the connection's clean end
    keep_alive_ = false;
    return;
  }
  fail(ErrorKind::EndOfInput, "early eof");
}

void append_http_request(std::string& out, std::string_view host, std::string_view path, std::string_view payload) {
  out.append("POST ").append(path).append(" HTTP/1.1\r\nHost: ").append(host);
  out.append("\r\nContent-Type: ").append(kThriftContentType).append("\r\nAccept: ").append(kThriftContentType);
  out.append("\r\nConnection: keep-alive\r\nContent-Length: ").append(std::to_string(payload.size()));
  out.append("\r\n\r\n").append(payload);
}

void append_http_response_head(std::string& out, size_t size) {
  out.append("HTTP/1.1 200 OK\r\nContent-Type: ").append(kThriftContentType);
  out.append("\r\nContent-Length: ").append(std::to_string(size)).append("\r\n\r\n");
}

}  // namespace velvane::framing
