// src/net/console.cpp: lines written straight to the process's descriptors.
#include "net/console.h"

#include <unistd.h>

#include <cerrno>

namespace velvane::net {

void print_line(int fd, std::string_view line) {
  while (!line.empty()) {
    const ssize_t n = ::write(fd, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace velvane::net
