// src/net/console.h: status and error lines of the networking threads.
#pragma once

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

}  // namespace velvane::net
