// src/protocol/binary.cpp: the binary reader's instantiation and the struct-reading entry points.
#include "protocol/read_struct.h"
#include "protocol/wire_reader.h"

namespace velvane {

namespace detail {

template class StructReader<BinaryWire>;

template <class Wire>
static Result<StructValue> read_with(std::string_view input, size_t pos, const StructDef& def, const Schema& schema) {
  StructReader<Wire> reader(input, pos, schema);
  StructValue out;
  out.name = def.name;
  if (!reader.read_struct(def, out, 1)) return reader.take_error();
  return out;
}

Result<StructValue> read_wire_struct(Protocol protocol, std::string_view input, size_t pos, const StructDef& def,
                                     const Schema& schema) {
  if (protocol == Protocol::Compact) return read_with<CompactWire>(input, pos, def, schema);
  if (protocol == Protocol::StandardCompact) return read_with<StandardCompactWire>(input, pos, def, schema);
  return read_with<BinaryWire>(input, pos, def, schema);
}

}  // namespace detail

Result<StructValue> read_struct(Protocol protocol, std::string_view input, const StructDef& def,
                                const Schema& schema) {
  if (protocol == Protocol::Json) return read_json_document(input, def, schema);
  if (protocol == Protocol::StandardJson) return read_standard_json_document(input, def, schema);
  return detail::read_wire_struct(protocol, input, 0, def, schema);
}

}  // namespace velvane
