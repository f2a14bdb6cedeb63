// src/protocol/compact.cpp: the compact reader's instantiation (its primitives live in wire_reader.h).
#include "protocol/wire_reader.h"

namespace velvane::detail {

template class StructReader<CompactWire>;

}  // namespace velvane::detail
