// src/net/server_stats.cpp: counting and the Prometheus text exposition.
#include "net/server_stats.h"

#include <algorithm>
#include <cstdio>
#include <string_view>
#include <unordered_set>

namespace velvane::net {

namespace {

uint64_t load(const std::atomic<uint64_t>& counter) { return counter.load(std::memory_order_relaxed); }

/// A label value: backslash, double quote and newline escaped.
std::string label(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    out += c;
  }
  return out;
}

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP ";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE ";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void sample(std::string& out, const char* name, uint64_t value) {
  out += name;
  out += ' ';
  out += std::to_string(value);
  out += '\n';
}

}  // namespace

ServerStats::ServerStats(std::vector<std::string> methods)
    : names_(std::move(methods)), methods_(std::make_unique<MethodCounters[]>(names_.size())) {}

void ServerStats::record_call(size_t method, std::chrono::steady_clock::duration took, bool error) {
  if (method >= names_.size()) return;
  MethodCounters& m = methods_[method];
  add(m.calls);
  if (error) add(m.errors);
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(took).count();
  add(m.nanoseconds, static_cast<uint64_t>(std::max<int64_t>(ns, 0)));
  const double seconds = static_cast<double>(ns) * 1e-9;
  const size_t bucket = static_cast<size_t>(
      std::lower_bound(kLatencyBounds.begin(), kLatencyBounds.end(), seconds) - kLatencyBounds.begin());
  add(m.buckets[bucket]);
}

ServerStats::Snapshot ServerStats::snapshot() const {
  Snapshot s;
  s.accepted = load(accepted_);
  const uint64_t closed = load(closed_);
  s.open = s.accepted > closed ? s.accepted - closed : 0;
  s.refused = load(refused_);
  s.bytes_in = load(bytes_in_);
  s.bytes_out = load(bytes_out_);
  std::unordered_set<std::string_view> seen;
  for (size_t i = 0; i < names_.size(); ++i) {
    if (!seen.insert(names_[i]).second) continue;
    const MethodCounters& m = methods_[i];
    MethodSnapshot ms;
    ms.name = names_[i];
    ms.errors = load(m.errors);
    uint64_t running = 0;
    for (size_t b = 0; b < ms.buckets.size(); ++b) ms.buckets[b] = running += load(m.buckets[b]);
    ms.calls = running;  // the histogram's count, so the exposition agrees with itself
    ms.seconds = static_cast<double>(load(m.nanoseconds)) * 1e-9;
    s.methods.push_back(std::move(ms));
  }
  return s;
}

std::string ServerStats::exposition() const {
  const Snapshot s = snapshot();
  std::string out;
  family(out, "velvane_connections_accepted_total", "counter", "Connections accepted.");
  sample(out, "velvane_connections_accepted_total", s.accepted);
  family(out, "velvane_connections_open", "gauge", "Connections open now.");
  sample(out, "velvane_connections_open", s.open);
  family(out, "velvane_connections_refused_total", "counter",
         "Connections ended by the server over what the peer sent.");
  sample(out, "velvane_connections_refused_total", s.refused);
  family(out, "velvane_received_bytes_total", "counter", "Bytes of request messages received.");
  sample(out, "velvane_received_bytes_total", s.bytes_in);
  family(out, "velvane_sent_bytes_total", "counter", "Bytes of reply messages sent.");
  sample(out, "velvane_sent_bytes_total", s.bytes_out);

  family(out, "velvane_calls_total", "counter", "Calls answered, by method.");
  for (const auto& m : s.methods)
    out += "velvane_calls_total{method=\"" + label(m.name) + "\"} " + std::to_string(m.calls) + "\n";
  family(out, "velvane_call_errors_total", "counter", "Calls answered with an exception, by method.");
  for (const auto& m : s.methods)
    out += "velvane_call_errors_total{method=\"" + label(m.name) + "\"} " + std::to_string(m.errors) + "\n";
  family(out, "velvane_call_duration_seconds", "histogram", "Time from a decoded request to its answer.");
  for (const auto& m : s.methods) {
    const std::string method = "method=\"" + label(m.name) + "\"";
    for (size_t b = 0; b < m.buckets.size(); ++b) {
      const std::string le = b < kLatencyBounds.size() ? number(kLatencyBounds[b]) : "+Inf";
      out += "velvane_call_duration_seconds_bucket{" + method + ",le=\"" + le + "\"} " +
             std::to_string(m.buckets[b]) + "\n";
    }
    out += "velvane_call_duration_seconds_sum{" + method + "} " + number(m.seconds) + "\n";
    out += "velvane_call_duration_seconds_count{" + method + "} " + std::to_string(m.calls) + "\n";
  }
  return out;
}

}  // namespace velvane::net
