// libFuzzer target: message headers and bodies of the three protocols. The first byte picks the
// protocol; the rest is the message.
#include "protocol_fuzz_schema.h"

using namespace velvane;

namespace {

/// Reads every field with a cursor: known ids under their declared type, others skipped.
void walk_fields(Protocol protocol, std::string_view input, const MessageRead& message) {
  FieldCursor cursor(protocol, input, message);
  for (;;) {
    auto f = cursor.next_field();
    if (!f || f.value().type_id == 0) return;
    if (const ThriftField* known = fuzzing::tree_def().find_field(f.value().id)) {
      if (!cursor.read_value(known->field_type, fuzzing::fuzz_schema())) return;
    } else if (!cursor.skip_value()) {
      return;
    }
  }
}

template <class W>
std::string rewrite(const MessageHeader& header, const StructValue& body) {
  std::string out;
  W w(out);
  w.message_begin(header.name, header.type, header.seqid);
  ThriftValue wrapped;
  wrapped.kind = ValueKind::Struct;
  wrapped.strukt = body;
  Status st = write_value(w, wrapped, fuzzing::fuzz_schema());
  if (!st) fuzzing::fuzz_failure("write_value failed on a message body the reader produced", st.error().text);
  w.message_end();
  if (Status done = w.finish(); !done)
    fuzzing::fuzz_failure("finish failed on a message body the reader produced", done.error().text);
  return out;
}

void check_round_trip(Protocol protocol, const MessageHeader& header, const StructValue& body) {
  std::string again;
  switch (protocol) {
    case Protocol::Binary: again = rewrite<BinaryWriter>(header, body); break;
    case Protocol::Compact: again = rewrite<CompactWriter>(header, body); break;
    case Protocol::Json: again = rewrite<JsonWriter>(header, body); break;
    case Protocol::StandardCompact: again = rewrite<StandardCompactWriter>(header, body); break;
    case Protocol::StandardJson: again = rewrite<StandardJsonWriter>(header, body); break;
  }
  auto head = read_message_begin(protocol, again);
  if (!head) fuzzing::fuzz_failure("re-reading a written header failed", head.error().text);
  const MessageHeader& h = head.value().header;
  // The compact header keeps three bits of the type.
  const bool compact = protocol == Protocol::Compact || protocol == Protocol::StandardCompact;
  const uint8_t type = compact ? header.type & 7 : header.type;
  if (h.name != header.name || h.type != type || h.seqid != header.seqid)
    fuzzing::fuzz_failure("header round trip changed the header", h.name);
  auto again_body = read_message_body(protocol, again, head.value(), fuzzing::tree_def(), fuzzing::fuzz_schema());
  if (!again_body) fuzzing::fuzz_failure("re-reading a written body failed", again_body.error().text);
  const bool json = protocol == Protocol::Json || protocol == Protocol::StandardJson;
  if (!json && !fuzzing::same(body, again_body.value()))
    fuzzing::fuzz_failure("body round trip changed the value", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const auto protocol = static_cast<Protocol>(data[0] % 5);
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  auto message = read_message_begin(protocol, input);
  if (!message) return 0;
  walk_fields(protocol, input, message.value());
  auto body = read_message_body(protocol, input, message.value(), fuzzing::tree_def(), fuzzing::fuzz_schema());
  if (body) check_round_trip(protocol, message.value().header, body.value());
  return 0;
}
