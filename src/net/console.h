// src/net/console.h: status and error lines of the networking threads.
#pragma once

#include <string_view>

namespace velvane::net {

/// Writes `line` to the process's own descriptor (1 or 2) in one piece, bypassing any buffering.
void print_line(int fd, std::string_view line);

}  // namespace velvane::net
