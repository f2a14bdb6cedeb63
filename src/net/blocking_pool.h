// src/net/blocking_pool.h: threads for work that may block (handlers, hand-offs), started as jobs
// wait for them.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>

namespace velvane::net {

/// Runs jobs on threads started as they are needed, at most `max_threads`; further jobs wait in
/// line. Idle threads end after a while. Jobs still waiting when the pool shuts down are dropped;
/// running ones finish first.
class BlockingPool {
 public:
  using Hook = std::function<void()>;
  BlockingPool(size_t max_threads, Hook on_start, Hook on_stop);
  ~BlockingPool();  // shutdown()
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  /// Queues `job`; false when the pool is shut down (the job is dropped).
  bool submit(std::function<void()> job);
  /// Whether jobs are waiting for a thread.
  bool backlogged() const;
  void shutdown();
  size_t thread_count() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

inline constexpr size_t kMaxBlockingThreads = 512;

}  // namespace velvane::net
