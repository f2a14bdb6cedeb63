// src/net/server_stats.h: counters of one serve(): connections, bytes, and calls, errors and latency
// per method, with their Prometheus text exposition.
//
// Counting is on every request's path, so every counter is a relaxed atomic add; each method's
// counters sit on cache lines of their own. A snapshot reads them without stopping anything, so its
// numbers may be a few calls apart from each other.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velvane::net {

class ServerStats {
 public:
  /// Upper bounds, in seconds, of the latency buckets; a last bucket (+Inf) takes the rest.
  static constexpr std::array<double, 14> kLatencyBounds = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05,
                                                            0.1,    0.25,  0.5,    1,     2.5,  5,     10};

  /// Counts calls of `methods` (by index); a name given twice is shown once, for its first index.
  explicit ServerStats(std::vector<std::string> methods);

  void connection_accepted() { add(accepted_); }
  void connection_closed() { add(closed_); }
  /// A connection the server ended over what the peer sent (malformed, too large, unreadable).
  void connection_refused() { add(refused_); }
  void bytes_in(uint64_t n) { add(bytes_in_, n); }
  void bytes_out(uint64_t n) { add(bytes_out_, n); }
  void record_call(size_t method, std::chrono::steady_clock::duration took, bool error);

  struct MethodSnapshot {
    std::string name;
    uint64_t calls = 0;
    uint64_t errors = 0;
    std::array<uint64_t, kLatencyBounds.size() + 1> buckets{};  // cumulative, as Prometheus has them
    double seconds = 0;                                           // the latencies' sum
  };
  struct Snapshot {
    uint64_t accepted = 0, open = 0, refused = 0, bytes_in = 0, bytes_out = 0;
    std::vector<MethodSnapshot> methods;
  };
  Snapshot snapshot() const;
  /// The Prometheus text exposition (format 0.0.4) of a snapshot.
  std::string exposition() const;

 private:
  struct alignas(64) MethodCounters {
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> errors{0};
    std::atomic<uint64_t> nanoseconds{0};
    std::array<std::atomic<uint64_t>, kLatencyBounds.size() + 1> buckets{};  // not cumulative
  };
  static void add(std::atomic<uint64_t>& counter, uint64_t n = 1) { counter.fetch_add(n, std::memory_order_relaxed); }

  std::vector<std::string> names_;
  std::unique_ptr<MethodCounters[]> methods_;
  alignas(64) std::atomic<uint64_t> accepted_{0};
  std::atomic<uint64_t> closed_{0};
  std::atomic<uint64_t> refused_{0};
  alignas(64) std::atomic<uint64_t> bytes_in_{0};
  alignas(64) std::atomic<uint64_t> bytes_out_{0};
};

}  // namespace velvane::net
