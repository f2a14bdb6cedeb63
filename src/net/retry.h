// src/net/retry.h: when a client repeats a call, and how long it waits first.
//
// A call is repeated only when repeating cannot run it twice (connecting failed, or none of the
// request was written) or when its method is idempotent. Replies, application errors and declared
// exceptions are outcomes, never failures to repeat.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <random>

namespace velvane::net {

struct RetryPolicy {
  uint32_t retries = 0;                              // attempts after the first
  std::chrono::nanoseconds backoff{0};               // the mean wait before the first repeat; doubles each time
  std::optional<std::chrono::nanoseconds> deadline;  // for all attempts together, from the first
  bool idempotent = false;                           // the call's method may run twice

  /// Whether attempt `made` + 1 may follow a failure. `written`: some of the request went out.
  bool allows(uint32_t made, bool written) const { return made <= retries && (!written || idempotent); }

  /// The wait before repeat `n` (1 for the first): drawn evenly from [0, 2 × backoff × 2^(n-1)], the
  /// doubling capped at 64, so clients that failed together do not come back together.
  std::chrono::nanoseconds delay(uint32_t n) const {
    thread_local std::minstd_rand random{std::random_device{}()};
    const double mean = static_cast<double>(backoff.count()) * static_cast<double>(1u << std::min(n - 1, 6u));
    std::uniform_real_distribution<double> draw(0.0, 2.0 * mean);
    return std::chrono::nanoseconds(static_cast<int64_t>(draw(random)));
  }
};

}  // namespace velvane::net
