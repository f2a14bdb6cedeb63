// src/framing/http_probe.cpp: the request methods a connection handed to an HTTP callback begins with.
#include "framing/http_probe.h"

namespace velvane::framing {

namespace {

/// Every method with its trailing space, one after another; each token is a slice of this text.
constexpr std::string_view kMethods = "GET POST PUT HEAD DELETE PATCH OPTIONS TRACE CONNECT ";

}  // namespace

OpeningKind classify_opening(std::string_view bytes) {
  if (bytes.empty()) return OpeningKind::Thrift;
  if (bytes.size() > kOpeningBytes) bytes = bytes.substr(0, kOpeningBytes);
  bool prefix_of_some = false;
  for (size_t at = 0; at < kMethods.size();) {
    const size_t space = kMethods.find(' ', at);
    const std::string_view token = kMethods.substr(at, space + 1 - at);
    at = space + 1;
    if (bytes.starts_with(token)) return OpeningKind::Http;
    if (bytes.size() < token.size() && token.starts_with(bytes)) prefix_of_some = true;
  }
  return prefix_of_some ? OpeningKind::NeedMore : OpeningKind::Thrift;
}

}  // namespace velvane::framing
