// bench/peers/apache_server.cpp: the Bench service on Apache Thrift's C++ TThreadedServer, binary
// (or compact, or JSON) protocol, framed or buffered, or the header protocol (which answers each
// request in its own protocol; --protocol is then not used). The ceiling for velvane's server and the
// fast peer for its clients; the interop tests use its other protocols.
//
//   apache_server [--host 127.0.0.1] [--port 0] [--transport framed|buffered|header] [--protocol binary|compact|json]
//
// Prints "listening on HOST:PORT" (the bound port, also for --port 0) on one stdout line once it
// accepts connections; SIGTERM or SIGINT stops it and it exits 0.
#include <csignal>
#include <cstdio>
#include <exception>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <iostream>
#include <memory>
#include <thread>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/protocol/THeaderProtocol.h>
#include <thrift/protocol/TJSONProtocol.h>
#include <thrift/server/TThreadedServer.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TServerSocket.h>

#include "Bench.h"
#include "peer_common.h"

namespace {

using apache::thrift::protocol::TBinaryProtocolFactory;
using apache::thrift::protocol::TCompactProtocolFactory;
using apache::thrift::protocol::THeaderProtocolFactory;
using apache::thrift::protocol::TJSONProtocolFactory;
using apache::thrift::protocol::TProtocolFactory;
using apache::thrift::server::TServerEventHandler;
using apache::thrift::server::TThreadedServer;
using apache::thrift::transport::TBufferedTransportFactory;
using apache::thrift::transport::TFramedTransportFactory;
using apache::thrift::transport::TServerSocket;
using apache::thrift::transport::TTransportFactory;

class BenchHandler : public velvane_bench::BenchIf {
 public:
  int32_t add(const int32_t a, const int32_t b) override { return a + b; }
  void echo(velvane_bench::Medium& result, const velvane_bench::Medium& m) override { result = m; }
};

/// Where the serving thread is: still binding, listening, or finished (stopped or failed).
class ServingState {
 public:
  enum Phase { Starting, Listening, Finished };

  void advance(Phase phase) {
    std::lock_guard lock(mutex_);
    phase_ = std::max(phase_, phase);
    changed_.notify_all();
  }

  Phase wait_past_starting() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return phase_ != Starting; });
    return phase_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Phase phase_ = Starting;  // guarded by mutex_
};

/// Announces the bound port once the socket listens (TServerSocket learns it for port 0 in listen()).
class ListeningAnnouncer : public TServerEventHandler {
 public:
  ListeningAnnouncer(std::shared_ptr<TServerSocket> socket, std::string host, ServingState& state)
      : socket_(std::move(socket)), host_(std::move(host)), state_(state) {}

  void preServe() override {
    std::cout << "listening on " << host_ << ":" << socket_->getPort() << std::endl;
    state_.advance(ServingState::Listening);
  }

 private:
  std::shared_ptr<TServerSocket> socket_;
  std::string host_;
  ServingState& state_;
};

std::shared_ptr<TTransportFactory> transport_factory(const std::string& name) {
  if (name == "framed") return std::make_shared<TFramedTransportFactory>();
  if (name == "buffered") return std::make_shared<TBufferedTransportFactory>();
  if (name == "header") return std::make_shared<TTransportFactory>();  // the protocol frames its messages
  throw std::invalid_argument("--transport is framed, buffered or header, got " + name);
}

std::shared_ptr<TProtocolFactory> protocol_factory(const std::string& name) {
  if (name == "binary") return std::make_shared<TBinaryProtocolFactory>();
  if (name == "compact") return std::make_shared<TCompactProtocolFactory>();
  if (name == "json") return std::make_shared<TJSONProtocolFactory>();
  throw std::invalid_argument("--protocol is binary, compact or json, got " + name);
}

sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

/// Runs the server on its own thread; the main thread only waits for a stop signal or a failure.
int serve(const peers::Flags& flags) {
  const std::string host = flags.text("host");
  auto socket = std::make_shared<TServerSocket>(host, static_cast<int>(flags.integer("port")));
  const std::string transport = flags.text("transport");
  const bool header = transport == "header";
  // The header protocol reads and writes through one protocol object, so a reply goes out in the
  // request's protocol: the server builds it that way when it has no output protocol factory.
  TThreadedServer server(std::make_shared<velvane_bench::BenchProcessor>(std::make_shared<BenchHandler>()), socket,
                         transport_factory(transport), transport_factory(transport),
                         header ? std::make_shared<THeaderProtocolFactory>() : protocol_factory(flags.text("protocol")),
                         header ? nullptr : protocol_factory(flags.text("protocol")));
  ServingState state;
  server.setServerEventHandler(std::make_shared<ListeningAnnouncer>(socket, host, state));

  const sigset_t signals = stop_signals();
  // Blocked before any thread starts, so every thread inherits the mask and only sigwait sees them.
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  std::exception_ptr failure;
  std::thread serving([&] {
    try {
      server.serve();
    } catch (...) {
      failure = std::current_exception();
    }
    state.advance(ServingState::Finished);
    kill(getpid(), SIGTERM);  // process-directed, so it wakes the main thread's sigwait if still waiting
  });

  int received = 0;
  sigwait(&signals, &received);
  // A stop signal that arrives while the server still binds waits for the listen, so it is never lost.
  if (state.wait_past_starting() == ServingState::Listening) server.stop();
  serving.join();
  if (failure) std::rethrow_exception(failure);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return serve(peers::Flags(argc, argv, {{"host", "127.0.0.1"}, {"port", "0"}, {"transport", "framed"}, {"protocol", "binary"}}));
  } catch (const std::exception& e) {
    std::cerr << "apache_server: " << e.what() << std::endl;
    return 1;
  }
}
