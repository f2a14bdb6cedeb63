// src/net/interrupts.h: Ctrl+C (SIGINT) routed to every listening server.
#pragma once

namespace velvane::net {

/// While it lives, each SIGINT writes one byte to this pipe (so its read end becomes readable), and
/// then runs the handler that was installed before ours (Python's, usually). Our handler is put in
/// place by the first live pipe and taken away with the last, unless someone replaced it meanwhile.
class InterruptPipe {
 public:
  InterruptPipe() = default;
  ~InterruptPipe();  // unregisters, then closes the write end
  InterruptPipe(const InterruptPipe&) = delete;
  InterruptPipe& operator=(const InterruptPipe&) = delete;

  /// Makes the pipe and registers it; false when the system gives no pipe.
  bool open();
  /// The read end, closed by the caller from now on.
  int take_read_end();

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
  int slot_ = -1;
};

}  // namespace velvane::net
