// src/protocol/base64.h: standard-alphabet Base64 with '=' padding (required when decoding).
#pragma once

#include <string>
#include <string_view>

#include "model/error.h"

namespace velvane {

void base64_encode(std::string_view bytes, std::string& out);  // appends to `out`
std::string base64_encode(std::string_view bytes);

/// Decodes canonical padded Base64. Error texts (kind Value): "invalid length", "invalid symbol",
/// "invalid padding", "invalid last symbol" (bits below the last symbol's data that are not zero).
Result<std::string> base64_decode(std::string_view text);

}  // namespace velvane
