// src/protocol/utf8.h: UTF-8 validation with the error wording the readers report.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velvane {

/// Where `bytes` stop being UTF-8. `error_len` is the length of the invalid sequence (1 to 3), or 0
/// when the input ends in the middle of a sequence that was valid so far.
struct Utf8Fault {
  bool valid = true;
  size_t index = 0;
  size_t error_len = 0;
};

Utf8Fault check_utf8(std::string_view bytes);

/// "invalid utf-8 sequence of {n} bytes from index {i}" or "incomplete utf-8 byte sequence from
/// index {i}"; empty when the bytes are valid.
std::string utf8_error_text(std::string_view bytes);

/// The bytes with every invalid sequence replaced by U+FFFD.
std::string utf8_lossy(std::string_view bytes);

}  // namespace velvane
