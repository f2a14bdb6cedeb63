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
  /// A line to write to `fd`, or to hand to `sink` when it is set.
  struct Entry {
    int fd = 2;
    std::shared_ptr<LineSink> sink;
    LogLine line;
  };

  void report(Entry entry) {
    std::unique_lock lock(mutex_);
    const Clock::time_point now = Clock::now();
    const std::string& text = entry.line.text;
    Kind& kind = kinds_[text.substr(0, text.find(':'))];
    kind.fd = entry.fd;
    kind.sink = entry.sink;
    kind.to_sink = entry.sink != nullptr;
    close_window(kind, now);
    if (kind.written >= kLinesPerSecond || lines_.size() >= kQueuedLines) {
      ++kind.dropped;
      return;
    }
    ++kind.written;
    push(std::move(entry));
    if (!started_) started_ = start();
    if (!started_) {  // no thread to write for us: write it here rather than lose it
      Entry first = std::move(lines_.front());
      lines_.pop_front();
      lock.unlock();
      hand_over(first);
      return;
    }
    lock.unlock();
    wake_.notify_one();
  }

 private:
  struct Kind {
    int fd = 2;
    // Weak: a sink may end only on the console thread, without the lock (a logger's attaches).
    std::weak_ptr<LineSink> sink;
    bool to_sink = false;
    Clock::time_point window{};
    size_t written = 0;
    size_t dropped = 0;
  };

  void push(Entry entry) { lines_.push_back(std::move(entry)); }

  /// A window that is over starts again, its dropped lines said as one.
  void close_window(Kind& kind, Clock::time_point now) {
    if (now - kind.window < kWindow) return;
    if (kind.dropped > 0) {
      std::string text = "\u2026 " + std::to_string(kind.dropped) + " similar lines dropped";
      if (!kind.to_sink) {
        push(Entry{kind.fd, nullptr, LogLine{Severity::Warning, text + "\n", {}, {}, {}, {}}});
      } else if (std::shared_ptr<LineSink> sink = kind.sink.lock()) {  // moved into the queue, never dropped here
        push(Entry{kind.fd, std::move(sink), LogLine{Severity::Warning, std::move(text), {}, {}, {}, {}}});
      }
    }
    kind.window = now;
    kind.written = 0;
    kind.dropped = 0;
  }

  static void hand_over(Entry& entry) {
    if (!entry.sink) return print_line(entry.fd, entry.line.text);
    try {
      entry.sink->write(std::move(entry.line));
    } catch (...) {
      // A sink that cannot take the line loses it; the console thread carries on.
    }
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
        Entry entry = std::move(lines_.front());
        lines_.pop_front();
        lock.unlock();
        hand_over(entry);
        entry = Entry{};  // what the line holds is dropped without the lock
        lock.lock();
      }
    }
  }

  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::deque<Entry> lines_;
  std::unordered_map<std::string, Kind> kinds_;  // a handful: the kinds are our own texts
  bool started_ = false;
};

Console& console() {
  static Console* const instance = new Console;  // never destroyed: its thread outlives static destruction
  return *instance;
}

}  // namespace

void report_line(int fd, std::string line) {
  console().report(Console::Entry{fd, nullptr, LogLine{Severity::Info, std::move(line), {}, {}, {}, {}}});
}

void report_line(std::shared_ptr<LineSink> sink, LogLine line) {
  console().report(Console::Entry{2, std::move(sink), std::move(line)});
}

void say(const std::shared_ptr<LineSink>& sink, LogLine line, bool queued) {
  if (sink) return report_line(sink, std::move(line));
  const int fd = line.severity == Severity::Info ? 1 : 2;
  line.text += '\n';
  if (queued) return report_line(fd, std::move(line.text));
  print_line(fd, line.text);
}

}  // namespace velvane::net
