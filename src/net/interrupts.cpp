// src/net/interrupts.cpp: the process's SIGINT handler, shared by every interrupt pipe.
#include "net/interrupts.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <mutex>
#include <utility>

namespace velvane::net {

namespace {

namespace interrupt {

constexpr size_t kSlots = 64;
std::atomic<int> g_pipes[kSlots];  // write ends plus one; 0 is a free slot
struct sigaction g_previous;
std::mutex g_mutex;  // guards g_users and installing
size_t g_users = 0;

void on_sigint(int sig, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  for (auto& slot : g_pipes) {
    const int fd = slot.load(std::memory_order_acquire) - 1;
    if (fd >= 0) [[maybe_unused]] ssize_t ignored = ::write(fd, "i", 1);
  }
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction) g_previous.sa_sigaction(sig, info, context);
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN) {
    g_previous.sa_handler(sig);
  }
  errno = saved_errno;
}

/// Registers a pipe's write end; the slot index, or -1 when every slot is taken.
int add(int write_fd) {
  std::lock_guard lock(g_mutex);
  int index = -1;
  for (size_t i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (g_pipes[i].compare_exchange_strong(expected, write_fd + 1)) {
      index = static_cast<int>(i);
      break;
    }
  }
  if (index < 0) return -1;
  if (g_users++ == 0) {
    struct sigaction current {};
    ::sigaction(SIGINT, nullptr, &current);
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_IGN) return index;  // the process ignores it
    struct sigaction ours {};
    ours.sa_sigaction = on_sigint;
    ours.sa_flags = SA_SIGINFO | SA_RESTART;
    ::sigemptyset(&ours.sa_mask);
    ::sigaction(SIGINT, &ours, &g_previous);
  }
  return index;
}

void remove(int index) {
  std::lock_guard lock(g_mutex);
  g_pipes[index].store(0, std::memory_order_release);
  if (--g_users == 0) {
    struct sigaction current {};
    ::sigaction(SIGINT, nullptr, &current);
    // Someone who replaced our handler meanwhile keeps theirs.
    if ((current.sa_flags & SA_SIGINFO) && current.sa_sigaction == on_sigint) ::sigaction(SIGINT, &g_previous, nullptr);
  }
}

}  // namespace interrupt

}  // namespace

bool InterruptPipe::open() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  slot_ = interrupt::add(write_fd_);
  return true;
}

int InterruptPipe::take_read_end() { return std::exchange(read_fd_, -1); }

InterruptPipe::~InterruptPipe() {
  if (slot_ >= 0) interrupt::remove(slot_);
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0) ::close(write_fd_);
}

}  // namespace velvane::net
