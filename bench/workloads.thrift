// Benchmark workloads shared by velvane and Apache Thrift's generated classes.
namespace cpp velvane_bench

struct Inner {
  1: i64 id,
  2: double score,
  3: string label,
}

struct Small {
  1: i32 a,
  2: i64 b,
  3: double c,
}

struct Medium {
  1: i32 count,
  2: string name,
  3: i64 stamp,
  4: double ratio,
  5: bool active,
  6: list<i32> numbers,
  7: map<string, i64> counters,
  8: list<Inner> inners,
  9: binary blob,
  10: set<string> tags,
}

// The RPC benchmarks' service: a tiny call and a call carrying the medium struct both ways.
service Bench {
  i32 add(1: i32 a, 2: i32 b),
  Medium echo(1: Medium m),
}
