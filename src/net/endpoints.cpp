// src/net/endpoints.cpp: round robin over the healthy endpoints, and each one's back-off.
#include "net/endpoints.h"

#include <algorithm>
#include <utility>

namespace velvane::net {

EndpointSet::EndpointSet(std::vector<Endpoint> endpoints, EndpointBackoff backoff)
    : endpoints_(std::move(endpoints)), backoff_(backoff), health_(endpoints_.size()) {}

std::vector<size_t> EndpointSet::plan(Clock::time_point now) {
  std::lock_guard lock(mutex_);
  std::vector<size_t> healthy, skipped;
  for (size_t i = 0; i < health_.size(); ++i) (health_[i].skipped_until <= now ? healthy : skipped).push_back(i);
  if (!healthy.empty()) std::ranges::rotate(healthy, healthy.begin() + static_cast<ptrdiff_t>(turn_++ % healthy.size()));
  std::ranges::stable_sort(skipped, {}, [this](size_t i) { return health_[i].skipped_until; });
  healthy.insert(healthy.end(), skipped.begin(), skipped.end());
  return healthy;
}

void EndpointSet::failed(size_t i, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  Health& h = health_[i];
  const std::chrono::nanoseconds wait = h.backoff.count() == 0 ? backoff_.first : h.backoff;
  h.skipped_until = now + std::chrono::duration_cast<Clock::duration>(wait);
  h.backoff = std::min(wait * 2, backoff_.longest);
}

void EndpointSet::succeeded(size_t i) {
  std::lock_guard lock(mutex_);
  health_[i] = Health{};
}

}  // namespace velvane::net
