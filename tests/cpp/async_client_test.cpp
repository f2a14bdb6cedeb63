// tests/cpp/async_client_test.cpp: ConnectionCell on the shared runtime against a loopback peer,
// without an interpreter.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "net/async_client.h"

namespace velvane::net {
namespace {

using namespace std::chrono_literals;
using Kind = Completion::Kind;

constexpr auto kDeadline = 10s;

/// One accepted loopback connection, run by `script` on a thread of its own.
class Peer {
 public:
  explicit Peer(std::function<void(int)> script) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this, script = std::move(script)] {
      const int fd = ::accept(listener_, nullptr, nullptr);
      script(fd);
      ::close(fd);
    });
  }
  ~Peer() {
    thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

 private:
  int listener_;
  uint16_t port_ = 0;
  std::thread thread_;
};

std::string read_exact(int fd, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

std::string frame(std::string_view payload) {
  std::string out(4, '\0');
  out[3] = static_cast<char>(payload.size());
  return out.append(payload);
}

bool peer_sees_close(int fd) {
  char byte;
  return ::recv(fd, &byte, 1, 0) == 0;
}

/// Starts an operation and waits for its completion; the handle lets the test cancel it meanwhile.
struct Started {
  std::future<Completion> result;
  OperationHandle handle;
  std::weak_ptr<int> handler_alive;  // expires once the completion handler is gone

  Completion wait() {
    EXPECT_EQ(result.wait_for(kDeadline), std::future_status::ready);
    return result.get();
  }
};

template <class Begin>
Started start(Begin begin) {
  auto promise = std::make_shared<std::promise<Completion>>();
  auto alive = std::make_shared<int>(0);
  Started s{promise->get_future(), {}, alive};
  s.handle = begin([promise, alive](Completion c) { promise->set_value(std::move(c)); });
  return s;
}

std::shared_ptr<EndpointSet> loopback(uint16_t port) {
  return std::make_shared<EndpointSet>(std::vector<Endpoint>{{"127.0.0.1", port}});
}

std::shared_ptr<ConnectionCell> opened(uint16_t port) {
  auto cell = ConnectionCell::create();
  EXPECT_TRUE(cell.ok());
  auto c = std::move(cell).value();
  Completion done = start([&](CompletionHandler h) { return c->open(loopback(port), std::nullopt, h); }).wait();
  EXPECT_EQ(done.kind, Kind::Done) << done.error.text;
  return c;
}

Started call(const std::shared_ptr<ConnectionCell>& c, std::string request, Timeout timeout = std::nullopt) {
  return start([&](CompletionHandler h) {
    return c->call(std::move(request), framing::Transport::Framed, Protocol::Binary, false, timeout, h);
  });
}

TEST(AsyncClient, CallOnACellNeverOpenedFindsNoConnection) {
  auto cell = ConnectionCell::create();
  ASSERT_TRUE(cell.ok());
  EXPECT_FALSE(cell.value()->is_open());
  EXPECT_EQ(call(cell.value(), "x").wait().kind, Kind::NotOpen);
}

TEST(AsyncClient, RepliesFollowTheirRequestsInOrder) {
  Peer peer([](int fd) {
    for (int i = 0; i < 20; ++i) {
      const std::string request = read_exact(fd, 5);
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    }
  });
  auto c = opened(peer.port());
  std::vector<Started> calls;
  for (int i = 0; i < 20; ++i) calls.push_back(call(c, std::string(1, static_cast<char>('a' + i))));
  for (int i = 0; i < 20; ++i) {
    Completion done = calls[i].wait();
    ASSERT_EQ(done.kind, Kind::Done) << done.error.text;
    EXPECT_EQ(done.reply, std::string(1, static_cast<char>('a' + i)));
  }
  EXPECT_TRUE(c->is_open());
  EXPECT_EQ(start([&](CompletionHandler h) { return c->close(h); }).wait().kind, Kind::Done);
  EXPECT_FALSE(c->is_open());
}

enum class Stop { Cancel, Timeout };

class StoppedMidReply : public ::testing::TestWithParam<Stop> {};

TEST_P(StoppedMidReply, DropsTheConnectionAndForgetsTheOperation) {
  std::promise<void> half_sent;
  Peer peer([&](int fd) {
    read_exact(fd, 5);
    const std::string reply = frame("reply");
    ::send(fd, reply.data(), 6, MSG_NOSIGNAL);
    half_sent.set_value();
    EXPECT_TRUE(peer_sees_close(fd));
  });
  auto c = opened(peer.port());
  Started s = call(c, "x", GetParam() == Stop::Timeout ? Timeout(50ms) : std::nullopt);
  if (GetParam() == Stop::Cancel) {
    half_sent.get_future().wait();
    s.handle.cancel();
  }
  Completion done = s.wait();
  EXPECT_TRUE(done.written);  // the request went out before the stop
  if (GetParam() == Stop::Cancel) {
    EXPECT_EQ(done.kind, Kind::Cancelled);
  } else {
    EXPECT_EQ(done.kind, Kind::Failed);
    EXPECT_EQ(done.error.kind, ErrorKind::TimedOut);
  }
  EXPECT_FALSE(c->is_open());
  for (int i = 0; i < 1000 && !s.handler_alive.expired(); ++i) std::this_thread::sleep_for(1ms);
  EXPECT_TRUE(s.handler_alive.expired());
  EXPECT_EQ(call(c, "x").wait().kind, Kind::NotOpen);
}

INSTANTIATE_TEST_SUITE_P(Ways, StoppedMidReply, ::testing::Values(Stop::Cancel, Stop::Timeout));

TEST(AsyncClient, ACallCancelledInLineLeavesTheConnection) {
  std::promise<void> first_arrived, release;
  auto released = release.get_future();
  Peer peer([&](int fd) {
    read_exact(fd, 5);
    first_arrived.set_value();
    released.wait();
    const std::string replies = frame("one") + frame("two");
    ::send(fd, replies.data(), replies.size(), MSG_NOSIGNAL);
    read_exact(fd, 5);
  });
  auto c = opened(peer.port());
  Started first = call(c, "1");
  first_arrived.get_future().wait();
  Started second = call(c, "2");
  second.handle.cancel();
  Completion cancelled = second.wait();
  EXPECT_EQ(cancelled.kind, Kind::Cancelled);
  EXPECT_FALSE(cancelled.written);
  release.set_value();
  EXPECT_EQ(first.wait().reply, "one");
  Completion third = call(c, "3").wait();
  EXPECT_EQ(third.reply, "two");  // the cancelled call sent nothing
  EXPECT_TRUE(c->is_open());
}

TEST(AsyncClient, CallsFromSeveralThreadsEachGetTheirOwnReply) {
  constexpr int kThreads = 4, kCalls = 25;
  Peer peer([](int fd) {
    for (std::string request; (request = read_exact(fd, 5)).size() == 5;)
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  });
  auto c = opened(peer.port());
  std::atomic<int> matched{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < kThreads; ++t) {
    callers.emplace_back([&, t] {
      std::vector<std::pair<char, Started>> mine;
      for (int i = 0; i < kCalls; ++i) {
        const char tag = static_cast<char>('A' + t * kCalls + i);
        mine.emplace_back(tag, call(c, std::string(1, tag)));
      }
      for (auto& [tag, started] : mine)
        if (started.wait().reply == std::string(1, tag)) ++matched;
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(matched.load(), kThreads * kCalls);
  // A close racing with calls from another thread: each call is answered before it or finds no
  // connection after it.
  std::vector<Started> late;
  std::thread closer([&] { start([&](CompletionHandler h) { return c->close(h); }).wait(); });
  for (int i = 0; i < 10; ++i) late.push_back(call(c, "z"));
  closer.join();
  for (auto& s : late) {
    const Completion done = s.wait();
    EXPECT_TRUE(done.kind == Kind::NotOpen || (done.kind == Kind::Done && done.reply == "z")) << done.error.text;
  }
}

TEST(AsyncClient, OpenFailureKeepsTheOldConnection) {
  Peer peer([](int fd) { EXPECT_TRUE(peer_sees_close(fd)); });
  auto c = opened(peer.port());
  Completion failed = start([&](CompletionHandler h) { return c->open(loopback(1), std::nullopt, h); }).wait();
  EXPECT_EQ(failed.kind, Kind::Failed);
  EXPECT_FALSE(failed.error.text.empty());
  EXPECT_TRUE(c->is_open());
  start([&](CompletionHandler h) { return c->close(h); }).wait();
}

TEST(AsyncClient, OpenSkipsAnEndpointThatRefusesAndNamesTheLastTried) {
  Peer peer([](int fd) { EXPECT_TRUE(peer_sees_close(fd)); });
  auto endpoints = std::make_shared<EndpointSet>(std::vector<Endpoint>{{"127.0.0.1", 1}, {"127.0.0.1", peer.port()}});
  auto cell = ConnectionCell::create();
  ASSERT_TRUE(cell.ok());
  auto c = cell.value();
  Completion done = start([&](CompletionHandler h) { return c->open(endpoints, std::nullopt, h); }).wait();
  ASSERT_EQ(done.kind, Kind::Done) << done.error.text;
  EXPECT_EQ(endpoints->plan().front(), 1u);  // port 1 refused: skipped for a while
  EXPECT_EQ(endpoints->plan().front(), 1u);
  Completion refused = start([&](CompletionHandler h) { return c->open(loopback(1), std::nullopt, h); }).wait();
  EXPECT_EQ(refused.kind, Kind::Failed);
  EXPECT_TRUE(refused.connecting);
  EXPECT_EQ(refused.error.text.rfind("connect to 127.0.0.1:1: ", 0), 0u) << refused.error.text;
  start([&](CompletionHandler h) { return c->close(h); }).wait();
}

TEST(WakeTimer, RunsOncePerArmingAndNotAfterItIsDropped) {
  std::atomic<int> runs{0};
  std::promise<void> ran;
  auto timer = WakeTimer::create([&] {
    if (runs.fetch_add(1) == 0) ran.set_value();
  });
  ASSERT_TRUE(timer);
  std::shared_ptr<WakeTimer> t = std::move(timer).value();
  t->arm(1ms);
  t->arm(1ms);  // already due: no second run
  ASSERT_EQ(ran.get_future().wait_for(kDeadline), std::future_status::ready);
  // Armed again, then dropped before it is due: it never runs, though a later timer does.
  t->arm(20ms);
  t.reset();
  std::promise<void> later;
  auto probe = WakeTimer::create([&] { later.set_value(); });
  ASSERT_TRUE(probe);
  probe.value()->arm(60ms);
  ASSERT_EQ(later.get_future().wait_for(kDeadline), std::future_status::ready);
  EXPECT_EQ(runs.load(), 1);
}

}  // namespace
}  // namespace velvane::net
