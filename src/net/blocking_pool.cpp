// src/net/blocking_pool.cpp: the blocking pool's threads, which poll briefly for the next job
// before they sleep.
#include "net/blocking_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "net/console.h"
#include "net/threads.h"

namespace velvane::net {

struct BlockingPool::State {
  size_t max_threads;
  Hook on_start, on_stop;
  std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::condition_variable all_ended;
  std::deque<std::function<void()>> jobs;
  size_t threads = 0;
  size_t idle = 0;      // waiting on `wake`
  size_t spinners = 0;  // polling `queued`; they need no notification
  bool shut = false;
  std::atomic<size_t> queued{0};  // jobs.size(), readable without the lock
};

namespace {

constexpr auto kIdleThreadLifetime = std::chrono::seconds(10);
constexpr auto kJobSpin = std::chrono::microseconds(100);

void pool_thread(const std::shared_ptr<BlockingPool::State>& st) {
  if (st->on_start) st->on_start();
  std::unique_lock lock(st->mutex);
  for (;;) {
    if (!st->jobs.empty()) {
      std::function<void()> job = std::move(st->jobs.front());
      st->jobs.pop_front();
      st->queued.store(st->jobs.size(), std::memory_order_relaxed);
      lock.unlock();
      try {
        job();
      } catch (...) {  // a job reports its own failures; one that throws must not end the thread uncounted
        print_line(2, "blocking job failed: " + current_exception_error().text + "\n");
      }
      job = nullptr;
      // The next job often follows at once (the same connection's next request): poll first.
      lock.lock();
      if (!st->jobs.empty() || st->shut) continue;
      ++st->spinners;
      lock.unlock();
      spin_until([&] { return st->queued.load(std::memory_order_acquire) > 0; }, kJobSpin);
      lock.lock();
      --st->spinners;
      continue;
    }
    if (st->shut) break;
    ++st->idle;
    const bool woken = st->wake.wait_for(lock, kIdleThreadLifetime, [&] { return st->shut || !st->jobs.empty(); });
    --st->idle;
    if (!woken) break;
  }
  lock.unlock();
  if (st->on_stop) st->on_stop();
  lock.lock();
  --st->threads;
  st->all_ended.notify_all();
}

}  // namespace

BlockingPool::BlockingPool(size_t max_threads, Hook on_start, Hook on_stop) : state_(std::make_shared<State>()) {
  state_->max_threads = max_threads;
  state_->on_start = std::move(on_start);
  state_->on_stop = std::move(on_stop);
}

BlockingPool::~BlockingPool() { shutdown(); }

bool BlockingPool::submit(std::function<void()> job) {
  std::unique_lock lock(state_->mutex);
  if (state_->shut) return false;
  state_->jobs.push_back(std::move(job));
  state_->queued.store(state_->jobs.size(), std::memory_order_release);
  if (state_->spinners >= state_->jobs.size()) return true;
  if (state_->idle > 0) {
    lock.unlock();
    state_->wake.notify_one();
    return true;
  }
  if (state_->threads < state_->max_threads) {
    ++state_->threads;
    Status s = spawn_detached("velvane-blocking", 0, [st = state_] { pool_thread(st); });
    if (!s) --state_->threads;  // the job waits for a thread that is running already, if any
  }
  return true;
}

void BlockingPool::shutdown() {
  std::deque<std::function<void()>> dropped;
  {
    std::unique_lock lock(state_->mutex);
    state_->shut = true;
    dropped.swap(state_->jobs);
    state_->queued.store(0);
    state_->wake.notify_all();
    state_->all_ended.wait(lock, [&] { return state_->threads == 0; });
  }
}

bool BlockingPool::backlogged() const { return state_->queued.load(std::memory_order_acquire) > 0; }

size_t BlockingPool::thread_count() const {
  std::lock_guard lock(state_->mutex);
  return state_->threads;
}

}  // namespace velvane::net
