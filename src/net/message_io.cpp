// src/net/message_io.cpp: sending without waiting on an Asio socket.
#include "net/message_io.h"

#include <sys/socket.h>

#include <cerrno>
#include <system_error>

namespace velvane::net {

bool peer_has_closed(int fd) {
  char byte;
  const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
}

Result<size_t> send_now(int fd, std::string_view bytes) {
  for (;;) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return size_t{0};
    return Error{ErrorKind::Os, std::error_code(errno, std::system_category()).message()};
  }
}

}  // namespace velvane::net
