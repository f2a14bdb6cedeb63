// tests/cpp/connection_test.cpp: Connection against a loopback peer, without an interpreter.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "net/connection.h"

namespace velvane::net {
namespace {

using namespace std::chrono_literals;

/// A listening socket on 127.0.0.1; `serve` runs the peer's side of one connection in a thread.
class LoopbackPeer {
 public:
  LoopbackPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    EXPECT_EQ(::bind(listener_, reinterpret_cast<sockaddr*>(&addr), len), 0);
    EXPECT_EQ(::listen(listener_, 4), 0);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~LoopbackPeer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }

  void serve(std::function<void(int)> script) {
    thread_ = std::thread([this, script = std::move(script)] {
      const int fd = ::accept(listener_, nullptr, nullptr);
      script(fd);
      ::close(fd);
    });
  }

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

void send_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t w = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (w <= 0) return;
    data.remove_prefix(static_cast<size_t>(w));
  }
}

std::unique_ptr<Connection> connect_to(Runtime& runtime, uint16_t port) {
  auto c = Connection::connect(runtime, "127.0.0.1", port, std::nullopt);
  EXPECT_TRUE(c.ok()) << (c.ok() ? "" : c.error().text);
  return c.ok() ? std::move(c).value() : nullptr;
}

class ConnectionTest : public testing::TestWithParam<size_t> {
 protected:
  std::unique_ptr<Runtime> runtime = std::move(Runtime::create()).value();
  LoopbackPeer peer;
};

TEST_P(ConnectionTest, FramedMessagesEchoWhateverTheirSize) {
  const std::string payload(GetParam(), 'x');
  peer.serve([](int fd) {
    const std::string prefix = read_exact(fd, 4);
    const uint32_t n = ntohl(*reinterpret_cast<const uint32_t*>(prefix.data()));
    send_all(fd, prefix + read_exact(fd, n));
  });
  auto c = connect_to(*runtime, peer.port());
  ASSERT_TRUE(c);
  ASSERT_TRUE(c->write_message(framing::Transport::Framed, payload, std::nullopt).ok());
  auto reply = c->read_message(framing::Transport::Framed, Protocol::Binary, Clock::now() + 10s);
  ASSERT_TRUE(reply.ok()) << reply.error().text;
  EXPECT_EQ(reply.value(), payload);
}

INSTANTIATE_TEST_SUITE_P(Sizes, ConnectionTest, testing::Values(1, kBufferSize - 4, kBufferSize, 3 * kBufferSize + 7));

TEST(Connection, MessagesArrivingTogetherAreReadOneByOne) {
  auto runtime = std::move(Runtime::create()).value();
  LoopbackPeer peer;
  peer.serve([](int fd) { send_all(fd, std::string("[1]  {\"a\":[]}", 13)); });
  auto c = connect_to(*runtime, peer.port());
  ASSERT_TRUE(c);
  EXPECT_EQ(c->read_message(framing::Transport::Buffered, Protocol::Json, std::nullopt).value(), "[1]");
  EXPECT_EQ(c->read_message(framing::Transport::Buffered, Protocol::Json, std::nullopt).value(), "{\"a\":[]}");
  EXPECT_EQ(c->read_message(framing::Transport::Buffered, Protocol::Json, std::nullopt).value(), "");
}

TEST(Connection, ASilentPeerRunsIntoTheDeadline) {
  auto runtime = std::move(Runtime::create()).value();
  LoopbackPeer peer;
  std::promise<void> done;
  peer.serve([f = done.get_future().share()](int) { f.wait_for(10s); });
  auto c = connect_to(*runtime, peer.port());
  ASSERT_TRUE(c);
  auto reply = c->read_message(framing::Transport::Framed, Protocol::Binary, Clock::now() + 50ms);
  done.set_value();
  ASSERT_FALSE(reply.ok());
  EXPECT_EQ(reply.error().kind, ErrorKind::TimedOut);
}

TEST(Connection, ARefusedConnectCarriesTheSystemText) {
  auto runtime = std::move(Runtime::create()).value();
  uint16_t port;
  {
    LoopbackPeer closed;
    port = closed.port();
  }
  auto c = Connection::connect(*runtime, "127.0.0.1", port, Clock::now() + 10s);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error().kind, ErrorKind::Os);
  EXPECT_EQ(c.error().text, "Connection refused");
}

TEST(Connection, EndpointsThatRefuseAreSkippedAndNamed) {
  uint16_t refused;
  {
    LoopbackPeer closed;
    refused = closed.port();
  }
  LoopbackPeer peer;
  peer.serve([](int fd) { read_exact(fd, 1); });
  auto runtime = Runtime::create();
  ASSERT_TRUE(runtime.ok());
  EndpointSet endpoints({{"127.0.0.1", refused}, {"127.0.0.1", peer.port()}});
  auto made = Connection::connect(*runtime.value(), endpoints, Clock::now() + 5s);
  ASSERT_TRUE(made.ok()) << made.error().text;
  EXPECT_EQ(endpoints.plan().front(), 1u);  // the refusing one is skipped for a while
  EXPECT_EQ(endpoints.plan().front(), 1u);
  made.value().reset();

  EndpointSet alone({{"127.0.0.1", refused}});
  auto failed = Connection::connect(*runtime.value(), alone, std::nullopt);
  ASSERT_FALSE(failed.ok());
  EXPECT_EQ(failed.error().text, "connect to 127.0.0.1:" + std::to_string(refused) + ": Connection refused");
}

TEST(Connection, ThreadsConnectThroughOneRuntimeAndEndpointSet) {
  uint16_t refused;
  {
    LoopbackPeer closed;
    refused = closed.port();
  }
  LoopbackPeer peer;  // connections wait in its backlog: connecting needs no accept
  auto runtime = Runtime::create();
  ASSERT_TRUE(runtime.ok());
  EndpointSet endpoints({{"127.0.0.1", refused}, {"127.0.0.1", peer.port()}});
  std::atomic<int> made{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      auto c = Connection::connect(*runtime.value(), endpoints, Clock::now() + 5s);
      if (c.ok()) made.fetch_add(1);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(made.load(), 4);
}

}  // namespace
}  // namespace velvane::net
