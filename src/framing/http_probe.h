// src/framing/http_probe.h: telling, from a connection's opening bytes, whether it begins like an
// HTTP request, without doing any I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velvane::framing {

enum class OpeningKind : uint8_t {
  Http,      // the bytes begin with a request method and its space
  Thrift,    // they cannot begin one
  NeedMore,  // they are a proper prefix of a method and its space: look again when more arrive
};

/// How many opening bytes decide: the longest method with its space ("OPTIONS ", "CONNECT ").
inline constexpr size_t kOpeningBytes = 8;

/// Classifies the bytes at the start of a connection (at most kOpeningBytes of them matter). The
/// methods are matched as ASCII, case-sensitive, each with its trailing space. No bytes at all (the
/// peer closed at once) is Thrift: the request loop then finds the end of the stream.
OpeningKind classify_opening(std::string_view bytes);

}  // namespace velvane::framing
