// libFuzzer target: a server's request reading, from the connection's bytes to the handler's
// arguments. The first byte picks the transport and protocol; the rest is what a peer sent. Each
// message the server-side decoder finds has its header read, its method looked up by name and its
// argument struct read under the method's arguments, as the server does before calling a handler.
// Arguments it accepts must write back and read back to the same value.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "framing/framing.h"
#include "parser/parser.h"
#include "protocol/codec.h"
#include "protocol_fuzz_schema.h"

using namespace velvane;

namespace {

constexpr std::string_view kIdl = R"(
enum Color { RED = 1, GREEN = 2 }
struct Point { 1: required i32 x, 2: i32 y = 0 }
struct Shape { 1: list<Point> points, 2: map<string, Color> tags, 3: optional Shape inner, 4: set<i64> ids }
union Value { 1: i64 whole, 2: double real, 3: string text, 4: binary raw }
exception Oops { 1: string why }
service Base {
  bool ping(),
  oneway void log(1: string line, 2: byte level),
}
service Drawing extends Base {
  Shape draw(1: Shape shape, 2: Color color, 3: bool fill) throws (1: Oops oops),
  i64 add(1: i32 a, 2: i16 b, 3: i64 c),
  list<Value> values(1: map<i32, list<Value>> by_key, 2: set<string> names, 3: double scale),
}
)";

/// The served service as the server holds it: each method's arguments as a struct, by name.
/// `write_schema` also knows the argument structs by name, for writing accepted arguments back.
struct Served {
  std::shared_ptr<const ThriftDocument> doc;
  std::shared_ptr<const Schema> schema;
  std::unordered_map<std::string, StructDef> arguments;
  std::shared_ptr<const Schema> write_schema;
};

const Served& served() {
  static const Served s = [] {
    auto parsed = parse_document(kIdl);
    if (!parsed) fuzzing::fuzz_failure("the fuzz IDL does not parse", parsed.error().text);
    Served out;
    out.doc = std::make_shared<const ThriftDocument>(std::move(parsed).value());
    out.schema = Schema::build(out.doc);
    ThriftDocument with_arguments = *out.doc;
    for (const MethodDef& m : out.doc->services.at("Drawing").methods) {
      StructDef def{m.name + "_args", m.arguments};
      with_arguments.structs[def.name] = def;
      out.arguments.emplace(m.name, std::move(def));
    }
    out.write_schema = Schema::build(with_arguments);
    return out;
  }();
  return s;
}

template <class W>
std::string rewrite(const MessageHeader& header, const StructValue& arguments) {
  std::string out;
  W w(out);
  w.message_begin(header.name, header.type, header.seqid);
  ThriftValue wrapped;
  wrapped.kind = ValueKind::Struct;
  wrapped.strukt = arguments;
  if (Status st = write_value(w, wrapped, *served().write_schema); !st)
    fuzzing::fuzz_failure("writing accepted arguments failed", st.error().text);
  w.message_end();
  if (Status done = w.finish(); !done) fuzzing::fuzz_failure("finishing accepted arguments failed", done.error().text);
  return out;
}

/// The arguments written in a request and read back as the server would.
StructValue round_trip(Protocol protocol, const MessageHeader& header, const StructDef& def,
                       const StructValue& arguments) {
  std::string again;
  switch (protocol) {
    case Protocol::Binary: again = rewrite<BinaryWriter>(header, arguments); break;
    case Protocol::Compact: again = rewrite<CompactWriter>(header, arguments); break;
    case Protocol::Json: again = rewrite<JsonWriter>(header, arguments); break;
    case Protocol::StandardCompact: again = rewrite<StandardCompactWriter>(header, arguments); break;
    case Protocol::StandardJson: again = rewrite<StandardJsonWriter>(header, arguments); break;
  }
  auto head = read_message_begin(protocol, again);
  if (!head) fuzzing::fuzz_failure("re-reading a written request header failed", head.error().text);
  if (head.value().header.name != header.name || head.value().header.seqid != header.seqid)
    fuzzing::fuzz_failure("request header round trip changed the header", header.name);
  auto body = read_message_body(protocol, again, head.value(), def, *served().schema);
  if (!body) fuzzing::fuzz_failure("re-reading written arguments failed", body.error().text);
  return std::move(body).value();
}

void check_round_trip(Protocol protocol, const MessageHeader& header, const StructDef& def,
                      const StructValue& arguments) {
  const StructValue second = round_trip(protocol, header, def, arguments);
  // JSON's first write puts map keys in name order and drops keys of equal text; then it is stable.
  if (protocol != Protocol::Json && protocol != Protocol::StandardJson) {
    if (!fuzzing::same(arguments, second)) fuzzing::fuzz_failure("arguments round trip changed the value", "");
  } else if (!fuzzing::same(second, round_trip(protocol, header, def, second))) {
    fuzzing::fuzz_failure("JSON arguments round trip changed the value", "");
  }
}

/// One message's payload as the server reads it before a handler is called.
void read_request(Protocol protocol, std::string_view payload) {
  auto head = read_message_begin(protocol, payload);
  if (!head) return;
  const auto method = served().arguments.find(head.value().header.name);
  if (method == served().arguments.end()) return;  // answered "Unknown method"
  auto arguments = read_message_body(protocol, payload, head.value(), method->second, *served().schema);
  if (arguments) check_round_trip(protocol, head.value().header, method->second, arguments.value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const auto transport = data[0] & 1 ? framing::Transport::Buffered : framing::Transport::Framed;
  const auto protocol = static_cast<Protocol>((data[0] >> 1) % 5);
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);
  // A connection carries requests one after another until its stream fails or ends.
  for (;;) {
    framing::MessageDecoder decoder(transport, protocol, framing::Side::Server);
    stream.remove_prefix(decoder.feed(stream));
    if (decoder.progress() == framing::Progress::NeedMore) decoder.end_of_input();
    if (decoder.progress() != framing::Progress::Done) return 0;
    const std::string payload = decoder.take_payload();
    if (payload.empty()) return 0;  // the peer's clean end
    read_request(protocol, payload);
  }
}
