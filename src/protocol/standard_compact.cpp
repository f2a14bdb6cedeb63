// src/protocol/standard_compact.cpp: the standard compact reader's instantiation.
#include "protocol/wire_reader.h"

namespace velvane::detail {

template class StructReader<StandardCompactWire>;

}  // namespace velvane::detail
