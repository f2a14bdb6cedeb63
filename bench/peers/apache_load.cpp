// bench/peers/apache_load.cpp: a closed-loop load generator written with Apache Thrift's C++ client.
// N connections, one thread each, each making sequential calls (framed binary) for a duration or a
// call count after a warm-up; every thread starts measuring at the same moment.
//
//   apache_load --port P [--host 127.0.0.1] [--connections 1] [--call add|echo]
//               [--seconds 2 | --calls N] [--warmup-calls 1000] [--check 0|1] [--first-number 0]
//               [--protocol binary|compact|json]
//
// The last stdout line is one JSON object:
//   {"connections":1,"call":"add","calls":123456,"seconds":2.0,"calls_per_s":61728.0,"p50_us":15.2,
//    "p99_us":31.0,"p999_us":80.0,"checked":0,"lost":0,"mixed":0}
// A failed call ends the run with a message on stderr and exit status 1.
//
// --check 1 makes every request unique (add: the connection's number, counted from --first-number,
// and the call's; echo: the struct's count made of both) and verifies each reply against its own request: a reply that belongs to another
// request counts as mixed, a call that fails as lost (its connection then stops). The run still
// reports, and exits with status 1 when anything was lost or mixed.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <iostream>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <thrift/protocol/TBinaryProtocol.h>
#include <thrift/protocol/TCompactProtocol.h>
#include <thrift/protocol/THeaderProtocol.h>
#include <thrift/protocol/TJSONProtocol.h>
#include <thrift/transport/TBufferTransports.h>
#include <thrift/transport/TSocket.h>

#include "Bench.h"
#include "peer_common.h"

namespace {

using apache::thrift::protocol::TBinaryProtocol;
using apache::thrift::protocol::TCompactProtocol;
using apache::thrift::protocol::THeaderProtocol;
using apache::thrift::protocol::TJSONProtocol;
using apache::thrift::protocol::TProtocol;
using apache::thrift::transport::TFramedTransport;
using apache::thrift::transport::TSocket;
using apache::thrift::transport::TTransport;
using Clock = std::chrono::steady_clock;

struct RunPlan {
  std::string host;
  int port;
  int connections;
  std::string call;
  double seconds;   // used when calls == 0
  long calls;       // per connection; 0 means run for `seconds`
  long warmup_calls;
  bool check;
  int first_number;
  std::string protocol;  // binary, compact or json (framed), or header-binary or header-compact
};

/// The protocol `name` asks for over the socket: framed, or in the header protocol's own frames.
std::shared_ptr<TProtocol> make_protocol(const std::string& name, const std::shared_ptr<TSocket>& socket) {
  using apache::thrift::protocol::T_BINARY_PROTOCOL;
  using apache::thrift::protocol::T_COMPACT_PROTOCOL;
  if (name == "header-binary") return std::make_shared<THeaderProtocol>(socket, T_BINARY_PROTOCOL);
  if (name == "header-compact") return std::make_shared<THeaderProtocol>(socket, T_COMPACT_PROTOCOL);
  auto framed = std::make_shared<TFramedTransport>(socket);
  if (name == "binary") return std::make_shared<TBinaryProtocol>(framed);
  if (name == "compact") return std::make_shared<TCompactProtocol>(framed);
  if (name == "json") return std::make_shared<TJSONProtocol>(framed);
  throw std::invalid_argument("--protocol is binary, compact, json, header-binary or header-compact, got " + name);
}

/// One connection's client with the call the plan asks for, checked against the expected answer.
class BenchConnection {
 public:
  BenchConnection(const RunPlan& plan, int number)
      : call_add_(plan.call == "add"), number_(number), medium_(peers::make_medium()) {
    if (!call_add_ && plan.call != "echo") throw std::invalid_argument("--call is add or echo, got " + plan.call);
    auto socket = std::make_shared<TSocket>(plan.host, plan.port);
    auto protocol = make_protocol(plan.protocol, socket);
    transport_ = protocol->getTransport();
    client_ = std::make_unique<velvane_bench::BenchClient>(protocol);
    transport_->open();
  }

  ~BenchConnection() {
    try {
      transport_->close();
    } catch (...) {
    }
  }

  /// One call with fixed arguments; a wrong answer throws.
  void call_once() {
    if (call_add_) {
      if (client_->add(20, 22) != 42) throw std::runtime_error("add returned a wrong sum");
    } else {
      client_->echo(reply_, medium_);
      if (reply_.count != medium_.count || reply_.inners.size() != medium_.inners.size())
        throw std::runtime_error("echo returned a different struct");
    }
  }

  /// One call whose arguments no other call of the run shares; false when the reply is not its own.
  bool call_checked(long call) {
    const auto unique = static_cast<int32_t>(call % 1'000'000);
    if (call_add_) return client_->add(number_ * 1'000'000, unique) == number_ * 1'000'000 + unique;
    medium_.__set_count(number_ * 1'000'000 + unique);
    client_->echo(reply_, medium_);
    return reply_ == medium_;
  }

 private:
  bool call_add_;
  int32_t number_;
  velvane_bench::Medium medium_;
  velvane_bench::Medium reply_;
  std::shared_ptr<TTransport> transport_;
  std::unique_ptr<velvane_bench::BenchClient> client_;
};

/// What one connection's thread measured: per-call latencies in nanoseconds, or the error that ended it.
struct ConnectionResult {
  std::vector<std::int64_t> latencies_ns;
  std::exception_ptr failure;
  long checked = 0, lost = 0, mixed = 0;
};

class LoadRun {
 public:
  explicit LoadRun(const RunPlan& plan) : plan_(plan), ready_(plan.connections + 1) {}

  /// Runs every connection; returns each one's result and the measured wall-clock seconds.
  std::pair<std::vector<ConnectionResult>, double> run() {
    std::vector<ConnectionResult> results(plan_.connections);
    std::vector<std::jthread> threads;
    for (int i = 0; i < plan_.connections; ++i)
      threads.emplace_back([this, i, &results] { drive_connection(i, results[static_cast<size_t>(i)]); });
    ready_.arrive_and_wait();
    const auto start = Clock::now();
    {
      std::lock_guard lock(start_mutex_);
      deadline_ = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(plan_.seconds));
      started_ = true;
    }
    start_signal_.notify_all();
    threads.clear();  // joins
    return {std::move(results), std::chrono::duration<double>(Clock::now() - start).count()};
  }

 private:
  void drive_connection(int number, ConnectionResult& result) {
    std::unique_ptr<BenchConnection> connection;
    try {
      connection = std::make_unique<BenchConnection>(plan_, plan_.first_number + number);
      for (long i = 0; i < plan_.warmup_calls; ++i) connection->call_once();
    } catch (...) {
      result.failure = std::current_exception();
    }
    ready_.arrive_and_wait();
    const Clock::time_point deadline = wait_for_start();
    if (result.failure) return;
    try {
      measure(*connection, deadline, result);
    } catch (...) {
      if (plan_.check)
        ++result.lost;
      else
        result.failure = std::current_exception();
    }
  }

  Clock::time_point wait_for_start() {
    std::unique_lock lock(start_mutex_);
    start_signal_.wait(lock, [&] { return started_; });
    return deadline_;
  }

  void measure(BenchConnection& connection, Clock::time_point deadline, ConnectionResult& result) {
    std::vector<std::int64_t>& latencies = result.latencies_ns;
    latencies.reserve(plan_.calls > 0 ? plan_.calls : plan_.connections > 64 ? 1 << 12 : 1 << 20);
    const bool timed = plan_.calls == 0;
    for (long done = 0; timed || done < plan_.calls; ++done) {
      const auto before = Clock::now();
      if (timed && before >= deadline) break;
      if (!plan_.check) {
        connection.call_once();
      } else if (connection.call_checked(done)) {
        ++result.checked;
      } else {
        ++result.mixed;
      }
      latencies.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count());
    }
  }

  const RunPlan& plan_;
  std::latch ready_;
  std::mutex start_mutex_;
  std::condition_variable start_signal_;
  bool started_ = false;        // guarded by start_mutex_
  Clock::time_point deadline_;  // guarded by start_mutex_
};

double percentile_us(const std::vector<std::int64_t>& sorted_ns, double fraction) {
  if (sorted_ns.empty()) return 0.0;
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted_ns.size() - 1) + 0.5);
  return static_cast<double>(sorted_ns[index]) / 1000.0;
}

int report(const RunPlan& plan, std::vector<ConnectionResult> results, double seconds) {
  std::vector<std::int64_t> all;
  long checked = 0, lost = 0, mixed = 0;
  for (auto& result : results) {
    checked += result.checked;
    lost += result.lost;
    mixed += result.mixed;
    if (result.failure) {
      try {
        std::rethrow_exception(result.failure);
      } catch (const std::exception& e) {
        std::cerr << "apache_load: a connection failed: " << e.what() << std::endl;
      }
      return 1;
    }
    all.insert(all.end(), result.latencies_ns.begin(), result.latencies_ns.end());
  }
  std::sort(all.begin(), all.end());
  std::printf("{\"connections\":%d,\"call\":\"%s\",\"calls\":%zu,\"seconds\":%.3f,\"calls_per_s\":%.1f,"
              "\"p50_us\":%.1f,\"p99_us\":%.1f,\"p999_us\":%.1f,\"checked\":%ld,\"lost\":%ld,\"mixed\":%ld}\n",
              plan.connections, plan.call.c_str(), all.size(), seconds, static_cast<double>(all.size()) / seconds,
              percentile_us(all, 0.50), percentile_us(all, 0.99), percentile_us(all, 0.999), checked, lost, mixed);
  return lost == 0 && mixed == 0 ? 0 : 1;
}

RunPlan plan_from(const peers::Flags& flags) {
  RunPlan plan{flags.text("host"), static_cast<int>(flags.integer("port")),
               static_cast<int>(flags.integer("connections")), flags.text("call"), flags.real("seconds"),
               flags.integer("calls"), flags.integer("warmup-calls"), flags.integer("check") != 0,
               static_cast<int>(flags.integer("first-number")), flags.text("protocol")};
  if (plan.port <= 0 || plan.port > 65535) throw std::invalid_argument("--port must name the server's port");
  if (plan.connections < 1) throw std::invalid_argument("--connections must be at least 1");
  if (plan.calls == 0 && plan.seconds <= 0) throw std::invalid_argument("--seconds must be positive");
  return plan;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const RunPlan plan = plan_from(peers::Flags(argc, argv,
        {{"host", "127.0.0.1"}, {"port", "0"}, {"connections", "1"}, {"call", "add"}, {"seconds", "2"},
         {"calls", "0"}, {"warmup-calls", "1000"}, {"check", "0"}, {"first-number", "0"}, {"protocol", "binary"}}));
    auto [results, seconds] = LoadRun(plan).run();
    return report(plan, std::move(results), seconds);
  } catch (const std::exception& e) {
    std::cerr << "apache_load: " << e.what() << std::endl;
    return 1;
  }
}
