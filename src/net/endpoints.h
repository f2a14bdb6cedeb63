// src/net/endpoints.h: the places a client may connect to, and the order a new connection tries them.
//
// A client given several endpoints spreads its new connections over the healthy ones in turn. One
// that fails to connect is skipped for a while, one second at first, doubling with each failure in a
// row up to thirty; a connection made to it makes it healthy again. When every endpoint is skipped a
// new connection tries them all anyway, the soonest due first: a client never refuses to try.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace velvane::net {

/// A host names a unix socket when it begins with this (its port is then unused).
inline constexpr std::string_view kUnixPrefix = "unix:";

struct Endpoint {
  std::string host;  // a name or address, or "unix:/path"
  uint16_t port = 0;

  bool is_unix() const { return host.starts_with(kUnixPrefix); }
  /// "host:port", or the "unix:/path" itself: how errors name the endpoint.
  std::string text() const { return is_unix() ? host : host + ":" + std::to_string(port); }
};

/// How long an endpoint that failed to connect is skipped: `first` after one failure, doubling with
/// each failure in a row up to `longest`.
struct EndpointBackoff {
  std::chrono::nanoseconds first = std::chrono::seconds(1);
  std::chrono::nanoseconds longest = std::chrono::seconds(30);
};

class EndpointSet {
 public:
  using Clock = std::chrono::steady_clock;

  /// `endpoints` is never empty.
  explicit EndpointSet(std::vector<Endpoint> endpoints, EndpointBackoff backoff = {});

  size_t size() const { return endpoints_.size(); }
  const Endpoint& operator[](size_t i) const { return endpoints_[i]; }

  /// The order a new connection tries the endpoints in: the healthy ones, starting one further along
  /// at each call, then the skipped ones, the soonest due first. Safe from any thread.
  std::vector<size_t> plan(Clock::time_point now = Clock::now());
  /// Connecting to endpoint `i` failed: it is skipped for its back-off, which then doubles.
  void failed(size_t i, Clock::time_point now = Clock::now());
  /// A connection to endpoint `i` was made: it is healthy, its back-off back to the first.
  void succeeded(size_t i);

 private:
  struct Health {
    Clock::time_point skipped_until{};
    std::chrono::nanoseconds backoff{0};  // the next failure's; 0: the first
  };

  const std::vector<Endpoint> endpoints_;
  const EndpointBackoff backoff_;
  std::mutex mutex_;  // guards what follows; held for bookkeeping only
  std::vector<Health> health_;
  size_t turn_ = 0;  // where the next plan starts among the healthy
};

}  // namespace velvane::net
