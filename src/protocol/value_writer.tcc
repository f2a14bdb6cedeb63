// src/protocol/value_writer.tcc: write_value, the stored-value walker shared by the three writers.
#pragma once

namespace velvane {

namespace detail {

inline Error write_depth_error() { return Error{ErrorKind::DepthLimit, "Depth limit exceeded"}; }

/// Element type id of a stored container: its first element's variant, string when empty.
inline uint8_t first_item_id(const std::vector<ThriftValue>& items, size_t index) {
  return items.size() > index ? wire_type_id(items[index].kind) : uint8_t{wire::kString};
}

inline Error mixed_items_error() {
  return Error{ErrorKind::InvalidInput, "Stored container holds values of more than one type"};
}

/// The first `count` items under the type ids their header gave them (a map's keys the first id,
/// its values the second): an item of another type would not match the header.
/// Element (or key, then value) type ids of a container: the declared ones when the type is known.
inline void item_ids(const std::vector<ThriftValue>& items, bool pairs, const ThriftType* declared, uint8_t ids[2]) {
  if (declared) {
    ids[0] = wire_type_id(declared->args[0]);
    ids[1] = wire_type_id(declared->args[pairs ? 1 : 0]);
  } else {
    ids[0] = first_item_id(items, 0);
    ids[1] = first_item_id(items, pairs ? 1 : 0);
  }
}

template <class W>
Status write_items(W& w, const std::vector<ThriftValue>& items, size_t count, bool pairs, const uint8_t ids[2],
                   const ThriftType* declared, const Schema& schema, int depth) {
  for (size_t i = 0; i < count; ++i) {
    const bool is_value = pairs && (i & 1);
    if (wire_type_id(items[i].kind) != ids[is_value ? 1 : 0]) return mixed_items_error();
    const ThriftType* item_type = declared ? &declared->args[is_value ? 1 : 0] : nullptr;
    Status st = write_value(w, items[i], schema, depth, item_type);
    if (!st) return st;
  }
  return {};
}

template <class W>
Status write_struct_value(W& w, const StructValue& value, const Schema& schema, int depth) {
  const StructDef* def = schema.find(value.name);
  if (!def) return Error{ErrorKind::UnknownStruct, "Unknown struct in schema: " + value.name};
  w.struct_begin();
  for (const ThriftField& field : def->fields) {
    const ThriftValue* held = value.find(field.name);
    if (!held) continue;
    w.field_begin(wire_type_id(held->kind), field.id);
    Status st = write_value(w, *held, schema, depth);
    if (!st) return st;
    w.field_end();
  }
  w.struct_end();
  return {};
}

}  // namespace detail

template <class W>
Status write_value(W& w, const ThriftValue& value, const Schema& schema, int depth, const ThriftType* declared) {
  switch (value.kind) {
    case ValueKind::Bool: w.write_bool(value.b); return {};
    case ValueKind::Byte: w.write_byte(value.i8); return {};
    case ValueKind::I16: w.write_i16(value.i16); return {};
    case ValueKind::I32: w.write_i32(value.i32); return {};
    case ValueKind::I64: w.write_i64(value.i64); return {};
    case ValueKind::Double: w.write_double(value.d); return {};
    case ValueKind::String: w.write_string(value.bytes); return {};
    case ValueKind::Binary: w.write_binary(value.bytes); return {};
    case ValueKind::Uuid: w.write_uuid(value.bytes); return {};
    default: break;
  }
  if (depth >= kMaxDepth) return detail::write_depth_error();
  const auto& items = value.items;
  // The declared type is used only when it is a container of the value's own kind.
  if (declared && static_cast<uint8_t>(declared->kind) != static_cast<uint8_t>(value.kind)) declared = nullptr;
  uint8_t ids[2];
  detail::item_ids(items, value.kind == ValueKind::Map, value.kind == ValueKind::Struct ? nullptr : declared, ids);
  switch (value.kind) {
    case ValueKind::List: {
      w.list_begin(ids[0], items.size());
      Status st = detail::write_items(w, items, items.size(), false, ids, declared, schema, depth + 1);
      if (st) w.list_end();
      return st;
    }
    case ValueKind::Set: {
      w.set_begin(ids[0], items.size());
      Status st = detail::write_items(w, items, items.size(), false, ids, declared, schema, depth + 1);
      if (st) w.set_end();
      return st;
    }
    case ValueKind::Map: {
      w.map_begin(ids[0], ids[1], value.map_size());
      // A trailing key without a value is not part of the map.
      Status st = detail::write_items(w, items, value.map_size() * 2, true, ids, declared, schema, depth + 1);
      if (st) w.map_end();
      return st;
    }
    case ValueKind::Struct: return detail::write_struct_value(w, *value.strukt, schema, depth + 1);
    default: return {};
  }
}

}  // namespace velvane
