// src/net/threads.h: the threads of the networking layer (named, with a set stack and every signal
// blocked) and the short polls with which they hand work to each other.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>

#include "model/error.h"

namespace velvane::net {

/// Starts a detached thread named `name` with a stack of `stack_size` bytes and every signal blocked
/// (the process's main thread keeps them). The error carries the operating system's text.
Status spawn_detached(const char* name, size_t stack_size, std::function<void()> body);

/// A joinable thread like spawn_detached's.
class Thread {
 public:
  Thread() = default;
  static Result<Thread> spawn(const char* name, size_t stack_size, std::function<void()> body);
  Thread(Thread&& o) noexcept;
  Thread& operator=(Thread&& o) noexcept;
  ~Thread();  // detaches a thread that was never joined
  void join();
  void detach();
  bool joinable() const { return started_; }

 private:
  unsigned long handle_ = 0;  // pthread_t
  bool started_ = false;
};

inline constexpr size_t kServerThreadStack = 2 * 1024 * 1024;

/// The worker count `workers` asks for: 0 means one per processor, and then at least 2.
size_t effective_workers(size_t workers);

/// Hand-offs between our threads poll before they sleep: a wake-up through the kernel costs far
/// more than a short poll when the answer comes quickly. Polling only pays when the thread it waits
/// for can run at the same time, so a process confined to one CPU never polls; and a poll never
/// yields, which on a busy machine would hand the CPU to another process for a whole time slice.
bool polling_pays();

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

/// Polls `done` for at most `budget` (not at all where polling does not pay); its last answer.
template <class Pred>
bool spin_until(Pred&& done, std::chrono::microseconds budget) {
  if (!polling_pays()) return done();
  const auto end = std::chrono::steady_clock::now() + budget;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (done()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= end) return done();
  }
}

}  // namespace velvane::net
