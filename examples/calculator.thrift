/*
 * A calculator service: the example the demo prints.
 */
include "shared.thrift"

namespace py example.calculator
namespace java com.example.calculator
namespace * example

typedef i64 Timestamp
typedef list<i32> Operands

const i32 MAX_OPERANDS = 16
const map<string, string> GREETINGS = {"en": "hello", "fr": "bonjour"}

enum Operation {
  ADD = 1,
  SUBTRACT = 2,
  MULTIPLY = 3,
  DIVIDE = 4,
}

/** Common fields of every request. */
struct Header {
  1: required string request_id,
  2: Timestamp sent_at,
  3: optional map<string, string> tags (python.immutable = ""),
}

struct Work extends Header {
  4: Operation op = Operation.ADD,
  5: Operands operands,
  6: optional string comment = "none",
  7: shared.Point origin,
}

union Number {
  1: i64 whole,
  2: double real,
}

exception InvalidOperation {
  1: Operation op,
  2: string why,
}

service Base {
  bool ping(),
  oneway void log(1: string line),
}

service Calculator extends Base {
  Number calculate(1: Work work) throws (1: InvalidOperation ouch),
  i64 add(1: i32 a, 2: i32 b),
  list<Number> history(1: Timestamp since = 0),
}
