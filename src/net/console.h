// src/net/console.h: status and error lines of the networking threads, written to the process's
// descriptors or handed to a sink of the program's (a logger).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace velvane::net {

/// Writes `line` to the process's own descriptor (1 or 2) in one piece, bypassing any buffering.
void print_line(int fd, std::string_view line);

/// Lines per second written of one kind (the text up to its first ':'); the rest are counted.
inline constexpr size_t kLinesPerSecond = 100;
/// Lines waiting for the console thread at most; more are counted as dropped.
inline constexpr size_t kQueuedLines = 1024;

/// For lines of threads that must never wait for whoever reads the descriptor (a connection's end,
/// an accept error): the line is queued for the "velvane-console" thread, which writes it. Beyond
/// kLinesPerSecond lines of one kind in a second, or kQueuedLines waiting, lines are dropped and
/// counted, and once the second is over the count is written as "… N similar lines dropped".
void report_line(int fd, std::string line);

enum class Severity : uint8_t { Info, Warning, Error };

/// A line with what a logger records besides its text.
struct LogLine {
  Severity severity = Severity::Info;
  std::string text;  // without a line end
  std::string peer;
  std::string method;
  std::string error_kind;
  std::shared_ptr<void> attachment;  // the sink's own (dropped on the console thread after write)
};

/// Where a server's lines go instead of the descriptors. Called on the "velvane-console" thread
/// only, one line at a time, in the order the lines were reported.
class LineSink {
 public:
  virtual ~LineSink() = default;
  virtual void write(LogLine line) = 0;
};

/// Queues `line` for the console thread, which hands it to `sink`, under the same limits as
/// report_line (the count of dropped lines reaches the sink as a warning).
void report_line(std::shared_ptr<LineSink> sink, LogLine line);

/// A line on the descriptor its severity calls for (Info: 1, else 2), or to `sink` when there is one;
/// `queued`: through the console thread even without a sink.
void say(const std::shared_ptr<LineSink>& sink, LogLine line, bool queued);

}  // namespace velvane::net
