// src/protocol/value_writer.h: write_value, the walker of stored values shared by the three writers.
#pragma once

#include "model/error.h"
#include "model/schema.h"
#include "model/value.h"
#include "protocol/protocol.h"

namespace velvane {

/// Writes a stored value. A container takes its element ids from `declared`, its declared type, when
/// given (and through it its nested containers), else from its first element (11 when empty); a
/// Struct value writes the fields it holds in the declaration order of its definition, its stored
/// containers typed by their elements as before.
/// `depth` is the nesting level of the enclosing struct or container (0 at the top).
/// Fails with UnknownStruct when a struct value's definition is missing ("Unknown struct in schema: X")
/// or DepthLimit when nesting exceeds kMaxDepth ("Depth limit exceeded").
template <class W>
Status write_value(W& w, const ThriftValue& value, const Schema& schema, int depth = 0,
                   const ThriftType* declared = nullptr);

}  // namespace velvane

#include "protocol/value_writer.tcc"
