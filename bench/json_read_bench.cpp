// bench/json_read_bench.cpp: reading JSON struct documents and JSON messages, end to end (text to
// stored values), on a tiny, a medium and a message-wrapped medium document.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "parser/parser.h"
#include "protocol/codec.h"

namespace {

using velvane::ThriftValue;
using V = velvane::ThriftValue;

constexpr const char* kIdl = R"(
struct Small { 1: i32 a, 2: i64 b, 3: double c }
struct Item { 1: i64 id, 2: double weight, 3: string label }
struct Medium {
  1: i32 count,
  2: string title,
  3: i64 stamp,
  4: double ratio,
  5: bool active,
  6: list<i32> numbers,
  7: map<string, i64> totals,
  8: list<Item> items,
  9: binary blob,
  10: set<string> tags,
}
)";

constexpr const char* kSmallDocument = R"({"1":["i32",7],"2":["i64","1099511627776"],"3":["dbl",2.5]})";

ThriftValue medium_value() {
  std::vector<ThriftValue> numbers, totals, items, tags;
  for (int i = 0; i < 100; ++i) numbers.push_back(V::I32(i * 7919 - 350000));
  for (int i = 0; i < 10; ++i) {
    totals.push_back(V::String("total_" + std::to_string(i)));
    totals.push_back(V::I64(int64_t{1} << (20 + i * 3)));
  }
  for (int i = 0; i < 10; ++i)
    items.push_back(V::Struct("Item", {{"id", V::I64(1000000 + i)},
                                       {"weight", V::Double(0.25 * i + 1.0 / 3)},
                                       {"label", V::String("item number " + std::to_string(i))}}));
  for (const char* tag : {"alpha", "beta", "gamma", "delta", "epsilon"}) tags.push_back(V::String(tag));
  std::string blob;
  for (int i = 0; i < 256; ++i) blob.push_back(static_cast<char>(i));
  return V::Struct("Medium", {{"count", V::I32(42)},
                              {"title", V::String("A medium-sized benchmark document")},
                              {"stamp", V::I64(1700000000123)},
                              {"ratio", V::Double(0.618033988749895)},
                              {"active", V::Bool(true)},
                              {"numbers", V::List(std::move(numbers))},
                              {"totals", V::Map(std::move(totals))},
                              {"items", V::List(std::move(items))},
                              {"blob", V::Binary(std::move(blob))},
                              {"tags", V::Set(std::move(tags))}});
}

/// The medium value as a document (`as_message`: wrapped in a reply message array).
std::string medium_text(const velvane::Schema& schema, bool as_message) {
  std::string out;
  velvane::JsonWriter w(out);
  if (as_message) w.message_begin("fetch", 2, 77);
  velvane::Status st = velvane::write_value(w, medium_value(), schema);
  if (!st) std::fprintf(stderr, "write_value failed: %s\n", st.error().text.c_str());
  if (as_message) w.message_end();
  if (velvane::Status done = w.finish(); !done) std::fprintf(stderr, "finish failed: %s\n", done.error().text.c_str());
  return out;
}

struct Timing {
  double best_ns = 0;
  double median_ns = 0;
  int samples = 0;
};

/// Times `fn` in samples of `per_sample` calls for about a second (at least five samples). The best
/// sample is the least disturbed by other work on the machine; the median shows how steady it was.
template <class Fn>
Timing time_calls(int per_sample, Fn&& fn) {
  using Clock = std::chrono::steady_clock;
  for (int i = 0; i < per_sample; ++i) fn();  // warm-up
  std::vector<double> ns;
  const auto start = Clock::now();
  while (ns.size() < 5 || Clock::now() - start < std::chrono::seconds(1)) {
    const auto t0 = Clock::now();
    for (int i = 0; i < per_sample; ++i) fn();
    ns.push_back(std::chrono::duration<double, std::nano>(Clock::now() - t0).count() / per_sample);
  }
  std::sort(ns.begin(), ns.end());
  return Timing{ns.front(), ns[ns.size() / 2], static_cast<int>(ns.size())};
}

void print_row(const char* name, size_t bytes, const Timing& t) {
  std::printf("%-22s %7zu %10.3f %10.3f %9.1f %7d\n", name, bytes, t.best_ns / 1e3, t.median_ns / 1e3,
              static_cast<double>(bytes) / t.best_ns * 1e3, t.samples);
}

}  // namespace

int main() {
  auto doc = velvane::parse_document(kIdl);
  if (!doc) {
    std::fprintf(stderr, "benchmark IDL did not parse: %s\n", doc.error().text.c_str());
    return 1;
  }
  const auto schema = velvane::Schema::build(doc.value());
  const velvane::StructDef& small = *schema->find("Small");
  const velvane::StructDef& medium = *schema->find("Medium");
  const std::string small_text = kSmallDocument;
  const std::string medium_document = medium_text(*schema, false);
  const std::string medium_message = medium_text(*schema, true);

  // Every input must read back to what was written, or the timings mean nothing.
  auto small_back = velvane::read_json_document(small_text, small, *schema);
  auto medium_back = velvane::read_json_document(medium_document, medium, *schema);
  auto head = velvane::read_message_begin(velvane::Protocol::Json, medium_message);
  if (!small_back || small_back.value().fields.size() != 3 || !medium_back ||
      !(V::Struct("Medium", medium_back.value().fields) == medium_value()) || !head ||
      head.value().header.seqid != 77) {
    std::fprintf(stderr, "benchmark documents did not read back as written\n");
    return 1;
  }

  size_t sink = 0;
  const Timing small_time = time_calls(20000, [&] {
    sink += velvane::read_json_document(small_text, small, *schema).value().fields.size();
  });
  const Timing medium_time = time_calls(1000, [&] {
    sink += velvane::read_json_document(medium_document, medium, *schema).value().fields.size();
  });
  const Timing message_time = time_calls(1000, [&] {
    auto message = velvane::read_message_begin(velvane::Protocol::Json, medium_message);
    sink += velvane::read_message_body(velvane::Protocol::Json, medium_message, message.value(), medium, *schema)
                .value()
                .fields.size();
  });

  std::printf("%-22s %7s %10s %10s %9s %7s\n", "read", "bytes", "best us", "median us", "best MB/s", "samples");
  print_row("document small", small_text.size(), small_time);
  print_row("document medium", medium_document.size(), medium_time);
  print_row("message medium", medium_message.size(), message_time);
  return sink == 0 ? 1 : 0;
}
