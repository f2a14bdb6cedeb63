// src/net/console.cpp: lines written straight to the process's descriptors, and the console thread
// that writes the networking threads' lines for them.
#include "net/console.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "net/threads.h"

namespace velvane::net {

void print_line(int fd, std::string_view line) {
  while (!line.empty()) {
    const ssize_t n = ::write(fd, line.data(), line.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    line.remove_prefix(static_cast<size_t>(n));
  }
}

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWindow = std::chrono::seconds(1);

class Console {
 public:
  void report(int fd, std::string line) {
    std::unique_lock lock(mutex_);
    const Clock::time_point now = Clock::now();
    Kind& kind = kinds_[line.substr(0, line.find(':'))];
    kind.fd = fd;
    close_window(kind, now);
    if (kind.written >= kLinesPerSecond || lines_.size() >= kQueuedLines) {
      ++kind.dropped;
      return;
    }
    ++kind.written;
    lines_.emplace_back(fd, std::move(line));
    if (!started_) started_ = start();
    if (!started_) {  // no thread to write for us: write it here rather than lose it
      auto [out, text] = std::move(lines_.front());
      lines_.pop_front();
      lock.unlock();
      print_line(out, text);
      return;
    }
    lock.unlock();
    wake_.notify_one();
  }

 private:
  struct Kind {
    int fd = 2;
    Clock::time_point window{};
    size_t written = 0;
    size_t dropped = 0;
  };

  /// A window that is over starts again, its dropped lines said as one.
  void close_window(Kind& kind, Clock::time_point now) {
    if (now - kind.window < kWindow) return;
    if (kind.dropped > 0)
      lines_.emplace_back(kind.fd, "\u2026 " + std::to_string(kind.dropped) + " similar lines dropped\n");
    kind.window = now;
    kind.written = 0;
    kind.dropped = 0;
  }

  bool start() {
    return static_cast<bool>(spawn_detached("velvane-console", 0, [this] { run(); }));
  }

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait_for(lock, kWindow, [&] { return !lines_.empty(); });
      const Clock::time_point now = Clock::now();
      for (auto& [name, kind] : kinds_) close_window(kind, now);
      while (!lines_.empty()) {
        auto [fd, text] = std::move(lines_.front());
        lines_.pop_front();
        lock.unlock();
        print_line(fd, text);
        lock.lock();
      }
    }
  }

  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::deque<std::pair<int, std::string>> lines_;
  std::unordered_map<std::string, Kind> kinds_;  // a handful: the kinds are our own texts
  bool started_ = false;
};

}  // namespace

void report_line(int fd, std::string line) {
  static Console* const console = new Console;  // never destroyed: its thread outlives static destruction
  console->report(fd, std::move(line));
}

}  // namespace velvane::net
