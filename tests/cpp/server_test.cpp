// tests/cpp/server_test.cpp: the networking core of the server with a C++ dispatcher, over loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "framing/header.h"
#include "net/connection.h"
#include "net/server.h"

namespace velvane::net {
namespace {

using namespace std::chrono_literals;
using framing::Transport;

/// "meta" and the request's headers, and "deadline~60s" when the caller's deadline is a minute away.
std::string describe(const RequestMeta& meta) {
  std::string out = "meta";
  for (const auto& [key, value] : meta.headers) out += " " + key + "=" + value;
  const auto left = meta.deadline ? *meta.deadline - std::chrono::steady_clock::now() : 0s;
  if (left > 59s && left <= 60s) out += " deadline~60s";
  return out;
}

/// Answers every message with itself; "peer" with the peer's address; "meta" as describe() does; "pool:" messages from a blocking-pool job, "oneway" with
/// nothing, "fail" by ending the connection, "block" only once `released`. `on_pool`: every
/// request is answered on the pool thread that reads it.
class EchoDispatcher : public Dispatcher {
 public:
  explicit EchoDispatcher(bool on_pool = false) : on_pool_(on_pool) {}
  bool answers_on_pool() const override { return on_pool_; }
  Outcome answer_here(std::string payload, RequestMeta meta) override {
    if (payload == "peer") return Outcome::reply("peer " + meta.peer->address);
    if (payload == "meta") return Outcome::reply(describe(meta));
    if (payload == "block") return block_then(std::move(payload));
    if (payload == "oneway") return Outcome{Outcome::Kind::NoReply, {}, {}};
    if (payload == "fail") return Outcome::fail(Error{ErrorKind::InvalidData, "bad request"});
    return Outcome::reply(std::move(payload));
  }
  void dispatch(std::string payload, RequestMeta meta, Responder respond, BlockingPool& pool) override {
    if (payload == "peer") return respond(Outcome::reply("peer " + meta.peer->address));
    if (payload == "meta") return respond(Outcome::reply(describe(meta)));
    if (payload == "oneway") return respond(Outcome{Outcome::Kind::NoReply, {}, {}});
    if (payload == "fail") return respond(Outcome::fail(Error{ErrorKind::InvalidData, "bad request"}));
    if (payload.starts_with("pool:") || payload == "block") {
      auto shared = std::make_shared<Responder>(std::move(respond));
      pool.submit([this, shared, payload] { (*shared)(block_then(payload)); });
      return;
    }
    respond(Outcome::reply(std::move(payload)));
  }

  std::atomic<bool> blocked{false}, released{false};

 private:
  Outcome block_then(std::string payload) {
    if (payload == "block") {
      blocked = true;
      while (!released) std::this_thread::sleep_for(1ms);
    }
    return Outcome::reply(std::move(payload));
  }

  bool on_pool_;
};

template <class Pred>
bool wait_until(Pred pred) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

/// A server on 127.0.0.1 and an ephemeral port, run on its own thread and stopped at the end.
class RunningServer {
 public:
  explicit RunningServer(Transport transport = Transport::Framed, bool on_pool = false, size_t workers = 2,
                         std::function<void(ServeOptions&)> adjust = nullptr) {
    ServeOptions options;
    options.host = "127.0.0.1";
    options.transport = transport;
    options.protocol = Protocol::Json;
    options.workers = workers;
    options.stop_on_interrupt = false;
    options.stops_seen = control_->stop_requests();
    if (adjust) adjust(options);
    dispatcher_ = std::make_shared<EchoDispatcher>(on_pool);
    auto made = Server::create(options, control_, dispatcher_);
    EXPECT_TRUE(made.ok());
    server_ = std::move(made).value();
    thread_ = std::thread([this] { server_->run(); });
    EXPECT_TRUE(wait_until([&] { return control_->running(); }));
  }
  ~RunningServer() {
    control_->request_stop();
    dispatcher_->released = true;
    thread_.join();
  }
  uint16_t port() const { return control_->bound_port(); }
  ServerControl& control() { return *control_; }
  EchoDispatcher& dispatcher() { return *dispatcher_; }

 private:
  std::shared_ptr<ServerControl> control_ = std::make_shared<ServerControl>();
  std::shared_ptr<EchoDispatcher> dispatcher_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
};

std::unique_ptr<Connection> connect_to(Runtime& runtime, uint16_t port) {
  auto c = Connection::connect(runtime, "127.0.0.1", port, Clock::now() + 10s);
  EXPECT_TRUE(c.ok());
  return c ? std::move(c).value() : nullptr;
}

std::string round_trip(Connection& c, std::string_view payload, Transport transport = Transport::Framed) {
  const Deadline deadline = Clock::now() + 10s;
  EXPECT_TRUE(c.write_message(transport, payload, deadline).ok());
  auto reply = c.read_message(transport, Protocol::Json, deadline);
  return reply ? std::move(reply).value() : "error: " + reply.error().text;
}

int raw_connect(uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

/// Requests answered through dispatch(), or on the pool thread that reads them.
class Served : public testing::TestWithParam<bool> {};
INSTANTIATE_TEST_SUITE_P(Server, Served, testing::Bool(),
                         [](const auto& info) { return info.param ? "OnPool" : "Dispatched"; });

TEST_P(Served, EchoesFramedMessages) {
  RunningServer server(Transport::Framed, GetParam());
  Runtime runtime;
  auto c = connect_to(runtime, server.port());
  EXPECT_EQ(round_trip(*c, "[1]"), "[1]");
  EXPECT_EQ(round_trip(*c, "pool:[2]"), "pool:[2]");
  const std::string big = "pool:" + std::string(200'000, 'x');
  EXPECT_EQ(round_trip(*c, big), big);
}

TEST_P(Served, TheDispatcherLearnsThePeersAddress) {
  RunningServer server(Transport::Framed, GetParam());
  Runtime runtime;
  auto c = connect_to(runtime, server.port());
  const std::string reply = round_trip(*c, "peer");
  ASSERT_TRUE(reply.starts_with("peer 127.0.0.1:")) << reply;
  EXPECT_GT(std::stoi(reply.substr(15)), 0);
  EXPECT_EQ(round_trip(*c, "peer"), reply);  // one peer for the connection's every request
}

TEST_P(Served, HeaderRequestsBringTheirHeadersAndDeadlineAndAreAnsweredInKind) {
  RunningServer server(Transport::Header, GetParam(), 2, [](ServeOptions& o) { o.protocol = Protocol::Binary; });
  Runtime runtime;
  auto c = connect_to(runtime, server.port());
  framing::HeaderInfo info;
  info.flags = 1;
  info.seq_id = 9;
  info.transforms = {framing::kZlibTransform};
  info.headers = {{"trace", "t"}, {"client_timeout", "60000"}};
  for (const char* message : {"meta", "pool:x"}) {
    auto frame = framing::encode_header_frame(info, message);
    ASSERT_TRUE(frame.ok());
    framing::HeaderInfo back;
    auto reply = framing::decode_header_frame(round_trip(*c, frame.value(), Transport::Header), 0, back);
    ASSERT_TRUE(reply.ok()) << reply.error().text;
    EXPECT_EQ(reply.value(), message == std::string("meta") ? "meta trace=t client_timeout=60000 deadline~60s" : message);
    EXPECT_EQ(back.flags, 1);
    EXPECT_EQ(back.seq_id, 9);
    EXPECT_EQ(back.transforms, info.transforms);
    EXPECT_TRUE(back.headers.empty());
  }
  // A frame that is not a header frame ends its connection.
  EXPECT_EQ(round_trip(*c, "[1]", Transport::Header), "");
}

TEST_P(Served, BufferedJsonMessagesArriveWhole) {
  RunningServer server(Transport::Buffered, GetParam());
  Runtime runtime;
  auto c = connect_to(runtime, server.port());
  EXPECT_EQ(round_trip(*c, "[\"a]\",{\"b\":[1]}]", Transport::Buffered), "[\"a]\",{\"b\":[1]}]");
}

TEST_P(Served, OnewayIsNotAnsweredAndAFailureEndsOnlyItsConnection) {
  RunningServer server(Transport::Framed, GetParam());
  Runtime runtime;
  auto c = connect_to(runtime, server.port());
  auto other = connect_to(runtime, server.port());
  ASSERT_TRUE(c->write_message(Transport::Framed, "oneway", Clock::now() + 10s).ok());
  EXPECT_EQ(round_trip(*c, "[3]"), "[3]");
  ASSERT_TRUE(c->write_message(Transport::Framed, "fail", Clock::now() + 10s).ok());
  auto ended = c->read_message(Transport::Framed, Protocol::Json, Clock::now() + 10s);
  ASSERT_TRUE(ended.ok());
  EXPECT_EQ(ended.value(), "");  // the server closed it
  EXPECT_EQ(round_trip(*other, "[4]"), "[4]");
}

TEST_P(Served, AFrameClaimingTwoGibibytesCostsOnlyWhatArrived) {
  RunningServer server(Transport::Framed, GetParam());
  const int fd = raw_connect(server.port());
  const unsigned char claim[] = {0x7f, 0xff, 0xff, 0xff, 'x'};
  ASSERT_EQ(::send(fd, claim, sizeof claim, 0), 5);
  Runtime runtime;
  auto c = connect_to(runtime, server.port());
  EXPECT_EQ(round_trip(*c, "[5]"), "[5]");
  ::close(fd);
  EXPECT_EQ(round_trip(*c, "[6]"), "[6]");
}

TEST_P(Served, ManyConnectionsAtOnceGetTheirOwnReplies) {
  RunningServer server(Transport::Framed, GetParam());
  std::atomic<int> good{0};
  std::vector<std::thread> clients;
  for (int i = 0; i < 20; ++i) {
    clients.emplace_back([&, i] {
      Runtime runtime;
      auto c = connect_to(runtime, server.port());
      bool all = c != nullptr;
      for (int k = 0; all && k < 20; ++k) {
        const std::string m = "pool:" + std::to_string(i) + "/" + std::to_string(k);
        all = round_trip(*c, m) == m;
      }
      if (all) ++good;
    });
  }
  for (auto& t : clients) t.join();
  EXPECT_EQ(good.load(), 20);
}

TEST(Server, AReplyTheSocketCannotTakeAtOnceIsFinishedByTheRuntime) {
  RunningServer server(Transport::Framed, true);
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const int small = 4096;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(server.port());
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  std::string request = {0, char(0x80), 0, 0};  // an 8 MiB frame: more than any send buffer takes
  request += std::string(8 << 20, 'y');
  ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));

  Runtime runtime;  // the unread reply holds up nobody else
  auto c = connect_to(runtime, server.port());
  EXPECT_EQ(round_trip(*c, "[7]"), "[7]");

  std::string reply(request.size(), '\0');
  size_t got = 0;
  while (got < reply.size()) {
    const ssize_t n = ::recv(fd, reply.data() + got, reply.size() - got, 0);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ(reply, request);  // one length prefix, then the body, nothing doubled or lost
  ::close(fd);
}

TEST_P(Served, StopsWhileAClientKeepsCalling) {
  auto server = std::make_unique<RunningServer>(Transport::Framed, GetParam());
  std::atomic<bool> done{false};
  std::atomic<int> calls{0};
  std::thread client([&, port = server->port()] {
    Runtime runtime;
    auto c = connect_to(runtime, port);
    while (c && round_trip(*c, "[8]") == "[8]") ++calls;
    done = true;
  });
  EXPECT_TRUE(wait_until([&] { return calls > 50; }));
  server.reset();  // stops and joins the server thread
  const int stopped = calls;
  // A stopped server answers no more, busy connection or not: the connection ends, and the client
  // can still count at most the one reply that was on its way when the stop finished. (How many
  // calls are answered while the stop is under way depends only on scheduling.)
  EXPECT_TRUE(wait_until([&] { return done.load(); }));
  client.join();
  EXPECT_LE(calls - stopped, 1);
}

TEST(Server, AStopBeforeListeningIsHonoured) {
  auto control = std::make_shared<ServerControl>();
  ServeOptions options;
  options.host = "127.0.0.1";
  options.stop_on_interrupt = false;
  options.stops_seen = control->stop_requests();
  auto made = Server::create(options, control, std::make_shared<EchoDispatcher>());
  ASSERT_TRUE(made.ok());
  control->request_stop();
  made.value()->run();  // returns: the stop was kept until the loop listened
  EXPECT_FALSE(control->running());
}

TEST(Server, ABindErrorLeavesTheServerStopped) {
  RunningServer first;
  auto control = std::make_shared<ServerControl>();
  ServeOptions options;
  options.host = "127.0.0.1";
  options.port = first.port();
  options.stop_on_interrupt = false;
  auto made = Server::create(options, control, std::make_shared<EchoDispatcher>());
  ASSERT_TRUE(made.ok());
  made.value()->run();
  EXPECT_FALSE(control->running());
}

bool readable_within(int fd, std::chrono::milliseconds wait) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(wait.count())) == 1;
}

TEST_P(Served, AMessageOverTheSizeEndsItsConnectionAndOneOverTheCountWaits) {
  RunningServer server(Transport::Framed, GetParam(), 2, [](ServeOptions& o) {
    o.max_message_size = 16;
    o.max_connections = 1;
  });
  Runtime runtime;
  auto first = connect_to(runtime, server.port());
  EXPECT_EQ(round_trip(*first, "[1]"), "[1]");
  const int waiting = raw_connect(server.port());  // left in the backlog
  const unsigned char request[] = {0, 0, 0, 3, '[', '2', ']'};
  ASSERT_EQ(::send(waiting, request, sizeof request, 0), 7);
  EXPECT_FALSE(readable_within(waiting, 200ms));
  const std::string big = "[" + std::string(20, '3') + "]";
  EXPECT_NE(round_trip(*first, big), big);  // the server ends the connection without a reply
  ASSERT_TRUE(readable_within(waiting, 10s));
  char reply[7];
  EXPECT_EQ(::recv(waiting, reply, sizeof reply, MSG_WAITALL), 7);
  EXPECT_EQ(std::string(reply + 4, 3), "[2]");
  ::close(waiting);
}

TEST_P(Served, AStopEndsEveryConnectionWhileAHandlerStillRuns) {
  RunningServer server(Transport::Framed, GetParam());
  Runtime runtime;
  auto idle = connect_to(runtime, server.port());
  EXPECT_EQ(round_trip(*idle, "[1]"), "[1]");
  auto busy = connect_to(runtime, server.port());
  ASSERT_TRUE(busy->write_message(Transport::Framed, "block", Clock::now() + 10s).ok());
  ASSERT_TRUE(wait_until([&] { return server.dispatcher().blocked.load(); }));
  server.control().request_stop();
  // The handler has not returned, yet both peers see their connection end.
  for (Connection* c : {idle.get(), busy.get()}) {
    auto ended = c->read_message(Transport::Framed, Protocol::Json, Clock::now() + 10s);
    EXPECT_TRUE(ended.ok() && ended.value().empty());
  }
  EXPECT_FALSE(server.dispatcher().released.load());
}

TEST(BlockingPool, StartsThreadsOnlyWhenJobsWait) {
  BlockingPool pool(3, nullptr, nullptr);
  EXPECT_EQ(pool.thread_count(), 0u);
  std::atomic<int> done{0};
  std::atomic<bool> release{false};
  for (int i = 0; i < 6; ++i)
    pool.submit([&] {
      while (!release) std::this_thread::sleep_for(1ms);
      ++done;
    });
  EXPECT_EQ(pool.thread_count(), 3u);
  release = true;
  EXPECT_TRUE(wait_until([&] { return done == 6; }));
  pool.shutdown();
  EXPECT_FALSE(pool.submit([] {}));
}

TEST(BlockingPool, AJobThatThrowsLeavesItsThreadServing) {
  auto* pool = new BlockingPool(1, nullptr, nullptr);  // leaked if the thread is lost: shutdown() would hang
  std::atomic<bool> ran{false};
  pool->submit([] { throw std::runtime_error("job fault"); });
  pool->submit([&] { ran = true; });
  ASSERT_TRUE(wait_until([&] { return ran.load(); }));
  pool->shutdown();
  EXPECT_EQ(pool->thread_count(), 0u);
  delete pool;
}

TEST(EffectiveWorkers, ZeroMeansOnePerProcessorAndAtLeastTwo) {
  EXPECT_GE(effective_workers(0), 2u);
  EXPECT_EQ(effective_workers(1), 1u);
  EXPECT_EQ(effective_workers(5), 5u);
}

}  // namespace
}  // namespace velvane::net
