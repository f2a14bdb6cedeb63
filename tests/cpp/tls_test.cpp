// tests/cpp/tls_test.cpp: the server's TLS connections and the blocking client's TLS, over loopback,
// with certificates the openssl command makes for the suite.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <future>

#include "net/async_client.h"
#include "net/connection.h"
#include "net/server.h"
#include "net/tls.h"

namespace velvane::net {
namespace {

using namespace std::chrono_literals;
using framing::Transport;

/// Answers ["who"] with the peer's address and certificate subject, anything else with itself.
/// `on_pool`: pool threads serve each connection (reading, answering, writing through its session).
class WhoDispatcher : public Dispatcher {
 public:
  explicit WhoDispatcher(bool on_pool) : on_pool_(on_pool) {}
  bool answers_on_pool() const override { return on_pool_; }
  Outcome answer_here(std::string payload, RequestMeta meta) override {
    if (payload == "[\"who\"]") payload = "[\"" + meta.peer->address + " " + meta.peer->tls_subject.value_or("(none)") + "\"]";
    return Outcome::reply(std::move(payload));
  }
  void dispatch(std::string payload, RequestMeta meta, Responder respond, BlockingPool&) override {
    respond(answer_here(std::move(payload), std::move(meta)));
  }

 private:
  bool on_pool_;
};

/// Self-signed certificates (each its own authority): "server" for localhost and 127.0.0.1, "client".
class Certificates {
 public:
  Certificates() {
    char pattern[] = "/tmp/velvane-tls-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    ok_ = make("server", "/CN=localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1") &&
          make("client", "/O=Example/CN=client one", "extendedKeyUsage=clientAuth");
  }
  ~Certificates() { std::filesystem::remove_all(dir_); }
  bool ok() const { return ok_; }
  std::string file(const std::string& name) const { return dir_ + "/" + name; }

 private:
  bool make(const std::string& name, const std::string& subject, const std::string& extension) {
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -keyout " +
                                file(name + ".key") + " -out " + file(name + ".pem") + " -subj '" + subject +
                                "' -addext '" + extension + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

  std::string dir_;
  bool ok_ = false;
};

class TlsServer {
 public:
  TlsServer(std::shared_ptr<const TlsContext> tls, Transport transport, bool on_pool = false) {
    ServeOptions options;
    options.host = "127.0.0.1";
    options.transport = transport;
    options.protocol = Protocol::Json;
    options.workers = 2;
    options.stop_on_interrupt = false;
    options.stops_seen = control_->stop_requests();
    options.tls = std::move(tls);
    auto made = Server::create(options, control_, std::make_shared<WhoDispatcher>(on_pool));
    EXPECT_TRUE(made.ok());
    server_ = std::move(made).value();
    thread_ = std::thread([this] { server_->run(); });
    const auto deadline = Clock::now() + 10s;
    while (!control_->running() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
  }
  ~TlsServer() {
    control_->request_stop();
    thread_.join();
  }
  uint16_t port() const { return control_->bound_port(); }

 private:
  std::shared_ptr<ServerControl> control_ = std::make_shared<ServerControl>();
  std::unique_ptr<Server> server_;
  std::thread thread_;
};

class Tls : public testing::TestWithParam<Transport> {
 protected:
  static void SetUpTestSuite() { certs_ = new Certificates(); }
  static void TearDownTestSuite() { delete certs_; }
  void SetUp() override {
    if (!certs_->ok()) GTEST_SKIP() << "the openssl command could not make certificates";
  }
  static Certificates* certs_;
};
Certificates* Tls::certs_ = nullptr;

INSTANTIATE_TEST_SUITE_P(Server, Tls, testing::Values(Transport::Framed, Transport::Buffered),
                         [](const auto& info) { return info.param == Transport::Framed ? "Framed" : "Buffered"; });

TEST_P(Tls, MutualRoundTripsSeeTheClientsSubject) {
  auto server_tls = TlsContext::for_server(
      {certs_->file("server.pem"), certs_->file("server.key"), certs_->file("client.pem"), true});
  ASSERT_TRUE(server_tls.ok()) << server_tls.error().text;
  auto client_tls = TlsContext::for_client(
      {certs_->file("server.pem"), certs_->file("client.pem"), certs_->file("client.key"), "localhost", true});
  ASSERT_TRUE(client_tls.ok()) << client_tls.error().text;
  Runtime runtime;
  for (const bool on_pool : {false, true}) {
    TlsServer server(server_tls.value(), GetParam(), on_pool);
    // Several connections at once: each worker thread runs handshakes and request loops side by side.
    std::vector<std::thread> clients;
    std::atomic<int> answered{0};
    for (int i = 0; i < 4; ++i) {
      clients.emplace_back([&] {
        auto c = Connection::connect(runtime, "127.0.0.1", server.port(), Clock::now() + 10s, {}, client_tls.value().get());
        ASSERT_TRUE(c.ok()) << c.error().text;
        const std::string big(300'000, 'x');
        for (const std::string& payload : {std::string("[\"who\"]"), "[\"" + big + "\"]"}) {
          const auto deadline = Clock::now() + 10s;
          ASSERT_TRUE(c.value()->write_message(GetParam(), payload, deadline).ok());
          auto reply = c.value()->read_message(GetParam(), Protocol::Json, deadline);
          ASSERT_TRUE(reply.ok()) << reply.error().text;
          if (payload.size() > 10) EXPECT_EQ(reply.value(), payload);
          else EXPECT_TRUE(reply.value().starts_with("[\"127.0.0.1:") && reply.value().ends_with(" CN=client one,O=Example\"]"))
              << reply.value();
        }
        ++answered;
      });
    }
    for (auto& t : clients) t.join();
    EXPECT_EQ(answered, 4) << (on_pool ? "on pool threads" : "on worker threads");
  }
}

TEST_P(Tls, AClientWithoutTheAuthorityIsRefusedAtConnect) {
  auto server_tls = TlsContext::for_server({certs_->file("server.pem"), certs_->file("server.key"), {}, false});
  ASSERT_TRUE(server_tls.ok());
  TlsServer server(server_tls.value(), GetParam());
  auto client_tls = TlsContext::for_client({certs_->file("client.pem"), {}, {}, {}, true});
  ASSERT_TRUE(client_tls.ok());
  Runtime runtime;
  auto c = Connection::connect(runtime, "127.0.0.1", server.port(), Clock::now() + 10s, {}, client_tls.value().get());
  ASSERT_FALSE(c.ok());
  EXPECT_NE(c.error().text.find("certificate verify failed"), std::string::npos) << c.error().text;
}

TEST_P(Tls, AsyncCellsCallFromSeveralThreadsOverOneSession) {
  auto server_tls = TlsContext::for_server({certs_->file("server.pem"), certs_->file("server.key"), {}, false});
  ASSERT_TRUE(server_tls.ok());
  TlsServer server(server_tls.value(), GetParam());
  auto client_tls = TlsContext::for_client({certs_->file("server.pem"), {}, {}, {}, true});
  ASSERT_TRUE(client_tls.ok());
  auto made = ConnectionCell::create();
  ASSERT_TRUE(made.ok());
  auto cell = std::move(made).value();
  cell->set_tls(client_tls.value());
  auto run = [&](auto begin) {
    auto promise = std::make_shared<std::promise<Completion>>();
    auto result = promise->get_future();
    begin([promise](Completion c) { promise->set_value(std::move(c)); });
    EXPECT_EQ(result.wait_for(10s), std::future_status::ready);
    return result.get();
  };
  auto endpoints = std::make_shared<EndpointSet>(std::vector<Endpoint>{{"localhost", server.port()}});
  const Completion opened = run([&](CompletionHandler h) { cell->open(endpoints, 10s, h); });
  ASSERT_EQ(opened.kind, Completion::Kind::Done) << opened.error.text;
  // Calls in line on one session: a request goes out from one thread while another reads a reply.
  std::atomic<int> matched{0};
  std::vector<std::thread> callers;
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) {
        const std::string request = "[\"" + std::to_string(t * 100 + i) + std::string(i * 997, 'x') + "\"]";
        const Completion done = run([&](CompletionHandler h) {
          cell->call(request, GetParam(), Protocol::Json, false, 10s, h);
        });
        if (done.kind == Completion::Kind::Done && done.reply == request) ++matched;
      }
    });
  }
  for (auto& t : callers) t.join();
  EXPECT_EQ(matched.load(), 80);
  run([&](CompletionHandler h) { cell->close(h); });
}

}  // namespace
}  // namespace velvane::net
