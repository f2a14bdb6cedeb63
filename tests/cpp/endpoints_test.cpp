// tests/cpp/endpoints_test.cpp: the order EndpointSet has new connections try endpoints in.
#include <gtest/gtest.h>

#include <vector>

#include "net/endpoints.h"

namespace velvane::net {
namespace {

using namespace std::chrono_literals;
using Plan = std::vector<size_t>;

EndpointSet three() { return EndpointSet({{"a", 1}, {"b", 2}, {"unix:/run/c.sock", 0}}); }

TEST(Endpoints, TextNamesTheEndpoint) {
  EXPECT_EQ((Endpoint{"10.0.0.1", 9090}.text()), "10.0.0.1:9090");
  EXPECT_EQ((Endpoint{"unix:/run/s.sock", 0}.text()), "unix:/run/s.sock");
  EXPECT_TRUE((Endpoint{"unix:/run/s.sock", 0}.is_unix()));
  EXPECT_FALSE((Endpoint{"unixhost", 1}.is_unix()));
}

TEST(Endpoints, HealthyOnesTakeTurnsToGoFirst) {
  EndpointSet set = three();
  const auto now = EndpointSet::Clock::now();
  EXPECT_EQ(set.plan(now), (Plan{0, 1, 2}));
  EXPECT_EQ(set.plan(now), (Plan{1, 2, 0}));
  EXPECT_EQ(set.plan(now), (Plan{2, 0, 1}));
  EXPECT_EQ(set.plan(now), (Plan{0, 1, 2}));
}

TEST(Endpoints, AFailedOneIsSkippedForItsBackoffThenComesBack) {
  EndpointSet set = three();
  const auto t0 = EndpointSet::Clock::now();
  set.failed(1, t0);
  EXPECT_EQ(set.plan(t0), (Plan{0, 2, 1}));  // last, but still tried
  EXPECT_EQ(set.plan(t0 + 999ms), (Plan{2, 0, 1}));
  EXPECT_EQ(set.plan(t0 + 1s), (Plan{2, 0, 1}));  // healthy again: it takes its turn
  EXPECT_EQ(set.plan(t0 + 1s), (Plan{0, 1, 2}));
}

/// Of two endpoints, whether the first is skipped at `t`: healthy ones take turns going first.
bool first_skipped(EndpointSet& set, EndpointSet::Clock::time_point t) {
  return set.plan(t) == Plan{1, 0} && set.plan(t) == Plan{1, 0};
}

TEST(Endpoints, BackoffDoublesUpToTheLongestAndASuccessResetsIt) {
  EndpointSet set({{"a", 1}, {"b", 2}}, EndpointBackoff{1s, 4s});
  auto t = EndpointSet::Clock::now();
  for (const auto backoff : {1s, 2s, 4s, 4s}) {
    set.failed(0, t);
    EXPECT_TRUE(first_skipped(set, t + backoff - 1ms));
    EXPECT_FALSE(first_skipped(set, t + backoff)) << "due after " << backoff.count() << " s";
    t += backoff;
  }
  set.succeeded(0);
  set.failed(0, t);
  EXPECT_TRUE(first_skipped(set, t + 999ms));
  EXPECT_FALSE(first_skipped(set, t + 1s));
}

TEST(Endpoints, WhenAllAreSkippedTheSoonestDueGoesFirst) {
  EndpointSet set = three();
  const auto t0 = EndpointSet::Clock::now();
  set.failed(2, t0);
  set.failed(0, t0 + 100ms);
  set.failed(1, t0 + 200ms);
  EXPECT_EQ(set.plan(t0 + 300ms), (Plan{2, 0, 1}));
}

}  // namespace
}  // namespace velvane::net
