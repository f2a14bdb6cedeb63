// src/protocol/codec.h: the whole protocol layer as the rest of the system sees it: the
// writers, the writing of stored values, struct reading and the message envelope.
#pragma once

#include "protocol/binary_writer.h"
#include "protocol/compact_writer.h"
#include "protocol/envelope.h"
#include "protocol/json_writer.h"
#include "protocol/protocol.h"
#include "protocol/read_struct.h"
#include "protocol/standard_json_writer.h"
#include "protocol/value_writer.h"
