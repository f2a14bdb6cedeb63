// bench/parse_bench.cpp: IDL lexer and parser throughput on a large generated document.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "parser/lexer.h"
#include "parser/parser.h"

namespace {

constexpr int kStructs = 500;
constexpr int kFieldsPerStruct = 20;
constexpr int kServices = 50;
constexpr int kMethodsPerService = 20;

const char* const kFieldTypes[] = {
    "i32", "i64", "string", "bool", "double", "binary", "byte", "i16", "list<string>", "set<i64>",
    "map<string, i32>", "list<map<string, list<i64>>>", "Timestamp", "Color", "Point", "shared.Point",
};

/// A default that suits the field type at `index` in kFieldTypes, or nothing.
const char* default_for(size_t index) {
  switch (index) {
    case 0: return " = 42";
    case 2: return " = \"hello, world\"";
    case 3: return " = true";
    case 4: return " = 3";
    case 8: return " = [\"a\", \"b\", \"c\"]";
    case 10: return " = {\"one\": 1, \"two\": 2}";
    case 13: return " = Color.GREEN";
    case 14: return " = {\"x\": 1, \"y\": 2}";
    default: return "";
  }
}

std::string make_document() {
  std::string doc;
  doc.reserve(2 << 20);
  doc += "// Generated benchmark document.\n"
         "include \"shared.thrift\"\nnamespace py bench.gen\nnamespace cpp bench\n"
         "typedef i64 Timestamp\n"
         "enum Color { RED = 1, GREEN, BLUE }\n"
         "struct Point { 1: i32 x, 2: i32 y }\n\n";
  constexpr size_t kTypeCount = sizeof(kFieldTypes) / sizeof(kFieldTypes[0]);
  for (int s = 0; s < kStructs; ++s) {
    doc += "/**\n * Record number " + std::to_string(s) + ", with a block comment.\n */\n";
    doc += "struct Record" + std::to_string(s) + " {\n";
    for (int f = 1; f <= kFieldsPerStruct; ++f) {
      const size_t t = static_cast<size_t>(s * 7 + f) % kTypeCount;
      doc += "  " + std::to_string(f) + ": " + (f % 3 == 0 ? "required " : f % 3 == 1 ? "optional " : "") +
             kFieldTypes[t] + " field_" + std::to_string(f) + default_for(t) +
             (f % 5 == 0 ? " (annotation = \"x\")" : "") + ",";
      doc += f % 4 == 0 ? "  // trailing comment\n" : "\n";
    }
    doc += "}\n\n";
  }
  for (int v = 0; v < kServices; ++v) {
    doc += "# Service " + std::to_string(v) + "\nservice Service" + std::to_string(v) + " {\n";
    for (int m = 0; m < kMethodsPerService; ++m) {
      const int r = (v + m) % kStructs;
      if (m % 7 == 6) {
        doc += "  oneway void notify_" + std::to_string(m) + "(1: string message, 2: i64 at)\n";
      } else {
        doc += "  Record" + std::to_string(r) + " call_" + std::to_string(m) + "(1: i32 id, 2: list<Record" +
               std::to_string((r + 1) % kStructs) + "> items, 3: map<string, Timestamp> stamps) throws (1: Oops oops),\n";
      }
    }
    doc += "}\n\n";
  }
  return doc;
}

struct Timing {
  double best_ms = 0;
  double median_ms = 0;
  int runs = 0;
};

/// Runs `fn` for about two seconds (at least five times). The best time is the least disturbed by
/// other work on the machine; the median shows how steady the runs were.
template <class Fn>
Timing time_runs(Fn&& fn) {
  using Clock = std::chrono::steady_clock;
  fn();  // warm-up
  std::vector<double> ms;
  const auto start = Clock::now();
  while (ms.size() < 5 || Clock::now() - start < std::chrono::seconds(2)) {
    const auto t0 = Clock::now();
    fn();
    ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  return Timing{ms.front(), ms[ms.size() / 2], static_cast<int>(ms.size())};
}

void print_row(const char* stage, const Timing& t, double mb) {
  std::printf("%-16s %9.3f %9.3f %9.1f %9.1f %7d\n", stage, t.best_ms, t.median_ms, mb / (t.best_ms / 1e3),
              mb / (t.median_ms / 1e3), t.runs);
}

}  // namespace

int main() {
  const std::string doc = make_document();
  const double mb = static_cast<double>(doc.size()) / 1e6;

  auto check = velvane::parse_document(doc);
  if (!check.ok() || check.value().structs.size() != kStructs + 1 || check.value().services.size() != kServices) {
    std::fprintf(stderr, "benchmark document did not parse as expected: %s\n",
                 check.ok() ? "wrong counts" : check.error().text.c_str());
    return 1;
  }
  const auto tokens = velvane::tokenize(doc);

  size_t sink = 0;
  const Timing tokenize_time = time_runs([&] { sink += velvane::tokenize(doc).value().size(); });
  const Timing parse_time = time_runs([&] { sink += velvane::parse_document(doc).value().structs.size(); });

  std::printf("document: %.2f MB, %zu tokens, %d structs x %d fields, %d services x %d methods\n", mb,
              tokens.value().size(), kStructs, kFieldsPerStruct, kServices, kMethodsPerService);
  std::printf("%-16s %9s %9s %9s %9s %7s\n", "stage", "best ms", "median ms", "best MB/s", "med MB/s", "runs");
  print_row("tokenize", tokenize_time, mb);
  print_row("parse_document", parse_time, mb);
  return sink == 0 ? 1 : 0;
}
