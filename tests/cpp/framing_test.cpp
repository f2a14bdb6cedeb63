// tests/cpp/framing_test.cpp: the framed decoder and the buffered scanners, fed whole and byte by byte.
#include <gtest/gtest.h>

#include <string>

#include "framing/framing.h"

namespace velvane::framing {
namespace {

struct Outcome {
  Progress progress;
  std::string payload;  // Done: the message; Failed: the error text
  size_t consumed;

  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  return os << static_cast<int>(o.progress) << " '" << o.payload << "' consumed " << o.consumed;
}

/// Feeds `stream` in pieces of `piece` bytes, then ends the input if the decoder still waits.
Outcome decode(Transport transport, Protocol protocol, std::string_view stream, size_t piece, size_t max_size = 0) {
  MessageDecoder d(transport, protocol, Side::Client, max_size);
  size_t consumed = 0;
  for (size_t at = 0; at < stream.size() && d.progress() == Progress::NeedMore; at += piece)
    consumed += d.feed(stream.substr(at, piece));
  if (d.progress() == Progress::NeedMore) d.end_of_input();
  if (d.progress() == Progress::Failed) return {Progress::Failed, d.error().text, consumed};
  return {d.progress(), d.take_payload(), consumed};
}

/// The outcome, checked to be the same whatever the piece size.
Outcome decode_all_ways(Transport transport, Protocol protocol, std::string_view stream, size_t max_size = 0) {
  const Outcome whole = decode(transport, protocol, stream, stream.size() + 1, max_size);
  for (size_t piece : {1, 2, 3, 7})
    EXPECT_EQ(decode(transport, protocol, stream, piece, max_size), whole) << "piece " << piece;
  return whole;
}

Outcome done(std::string payload, size_t consumed) { return {Progress::Done, std::move(payload), consumed}; }
Outcome failed(std::string text, size_t consumed) { return {Progress::Failed, std::move(text), consumed}; }

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int c : b) s.push_back(static_cast<char>(c));
  return s;
}

// --- Framed ---

TEST(MessageDecoder, AMessageOverTheLimitFailsBeforeItsBodyIsKept) {
  const std::string call = bytes({0x80, 1, 0, 1, 0, 0, 0, 1}) + "f" + bytes({0, 0, 0, 9, 0});  // 14 bytes
  const std::string framed = bytes({0, 0, 0, 14}) + call;
  EXPECT_EQ(decode_all_ways(Transport::Framed, Protocol::Binary, framed, 14), done(call, 18));
  EXPECT_EQ(decode_all_ways(Transport::Framed, Protocol::Binary, framed, 13),
            failed("message of 14 bytes is larger than max_message_size (13 bytes)", 4));
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, call + "next", 14), done(call, 14));
  const std::string over = "message is larger than max_message_size (10 bytes)";
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, call, 10), failed(over, 11));
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Json, "  [1,\"" + std::string(100, 'x'), 10),
            failed(over, 13));
}

TEST(FrameDecoder, ReturnsTheBodyAndLeavesTheNextMessage) {
  const std::string stream = bytes({0, 0, 0, 3}) + "abc" + "next";
  EXPECT_EQ(decode_all_ways(Transport::Framed, Protocol::Binary, stream), done("abc", 7));
}

class FramedEnd : public testing::TestWithParam<std::string> {};

TEST_P(FramedEnd, GivesAnEmptyPayload) {
  const Outcome o = decode_all_ways(Transport::Framed, Protocol::Binary, GetParam());
  EXPECT_EQ(o.progress, Progress::Done);
  EXPECT_EQ(o.payload, "");
}

INSTANTIATE_TEST_SUITE_P(ShortPrefixNegativeOrZeroLength, FramedEnd,
                         testing::Values("", bytes({0}), bytes({0, 0}), bytes({0, 0, 0}), bytes({0, 0, 0, 0}),
                                         bytes({0x80, 0, 0, 0}) + "abc", bytes({0xFF, 0xFF, 0xFF, 0xFF})));

TEST(FrameDecoder, ABodyCutShortIsAnEarlyEof) {
  EXPECT_EQ(decode_all_ways(Transport::Framed, Protocol::Binary, bytes({0, 0, 0, 5}) + "ab"), failed("early eof", 6));
}

TEST(FrameDecoder, AHugeLengthCostsOnlyTheBytesThatArrive) {
  MessageDecoder d(Transport::Framed, Protocol::Binary);
  d.feed(bytes({0x7F, 0xFF, 0xFF, 0xFF}) + "0123456789");
  d.end_of_input();
  EXPECT_EQ(d.error().text, "early eof");
  EXPECT_LT(d.take_payload().capacity(), 4096u);
}

// --- Buffered binary ---

/// Header of a binary reply named "ab" with sequence id 1: 14 bytes.
std::string binary_header() { return bytes({0x80, 1, 0, 2, 0, 0, 0, 2}) + "ab" + bytes({0, 0, 0, 1}); }

TEST(BinaryScanner, CopiesNestedContainersByteForByte) {
  // field 0: map<string, list<struct{1: i64, 2: bool, 3: double}>> with one entry holding two structs.
  const std::string item = bytes({10, 0, 1, 0, 0, 0, 0, 0, 0, 0, 9, 2, 0, 2, 1, 4, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  const std::string body = bytes({13, 0, 0, 11, 15, 0, 0, 0, 1, 0, 0, 0, 1}) + "k" + bytes({12, 0, 0, 0, 2}) + item +
                           item + bytes({6, 0, 2, 0, 7, 3, 0, 3, 0xFF, 0});
  const std::string message = binary_header() + body;
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, message + "tail"),
            done(message, message.size()));
}

TEST(BinaryScanner, EmptyContainersAndNegativeCountsWalkNoElements) {
  const std::string message = binary_header() + bytes({15, 0, 1, 5, 0xFF, 0xFF, 0xFF, 0xFF, 13, 0, 2, 1, 1, 0, 0, 0, 0, 0});
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, message), done(message, message.size()));
}

TEST(BinaryScanner, TruncationAtEveryOffsetReportsTheReadThatFailed) {
  // header (14), field type, field id (2), i32 (4), stop: 22 bytes.
  const std::string message = binary_header() + bytes({8, 0, 1, 0, 0, 0, 7, 0});
  ASSERT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, message), done(message, 22));
  for (size_t cut = 0; cut < message.size(); ++cut) {
    const bool single_byte_read = cut == 14 || cut == 15 || cut == 16 || cut == 21;
    EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, message.substr(0, cut)),
              failed(single_byte_read ? "unexpected end of file" : "early eof", cut))
        << "cut at " << cut;
  }
}

TEST(BinaryScanner, ASingleByteValueCutShortIsUnexpectedEof) {
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, binary_header() + bytes({3, 0, 1})).payload,
            "unexpected end of file");
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, binary_header() + bytes({11, 0, 1, 0, 0, 0, 1}))
                .payload,
            "early eof");
}

struct BadBinary {
  std::string name;
  std::string stream;
  std::string text;
};

class BinaryRefuses : public testing::TestWithParam<BadBinary> {};

TEST_P(BinaryRefuses, WithInvalidData) {
  const Outcome o = decode_all_ways(Transport::Buffered, Protocol::Binary, GetParam().stream);
  EXPECT_EQ(o.progress, Progress::Failed);
  EXPECT_EQ(o.payload, GetParam().text);
}

std::string nested_structs(int levels) {
  std::string s = binary_header();
  for (int i = 1; i < levels; ++i) s += bytes({12, 0, 1});
  return s + std::string(static_cast<size_t>(levels), '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BinaryRefuses,
    testing::Values(BadBinary{"type5", binary_header() + bytes({5, 0, 1, 0}), "Unknown field type byte 0x05"},
                    BadBinary{"listOfType16", binary_header() + bytes({15, 0, 1, 16, 0, 0, 0, 1}),
                              "Unknown field type byte 0x10"},
                    BadBinary{"negativeName", bytes({0x80, 1, 0, 2, 0xFF, 0xFF, 0xFF, 0xFE}),
                              "Negative message name length in buffered stream"},
                    BadBinary{"depth65", nested_structs(65), "Depth limit exceeded"}),
    [](const auto& info) { return info.param.name; });

TEST(BinaryScanner, AServerRefusesANegativeStringLengthAtOnce) {
  const std::string request = binary_header() + bytes({11, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE}) + "xyz";
  MessageDecoder server(Transport::Buffered, Protocol::Binary, Side::Server);
  server.feed(request);
  ASSERT_EQ(server.progress(), Progress::Failed);
  EXPECT_EQ(server.error().kind, ErrorKind::NegativeSize);
  EXPECT_EQ(server.error().text, "Negative string length in buffered stream");
  MessageDecoder client(Transport::Buffered, Protocol::Binary, Side::Client);  // unsigned, as always
  client.feed(request);
  EXPECT_EQ(client.progress(), Progress::NeedMore);
}

TEST(BinaryScanner, SixtyFourLevelsAreAccepted) {
  const std::string message = nested_structs(64);
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Binary, message), done(message, message.size()));
}

// --- Buffered JSON ---

struct JsonCase {
  std::string name;
  std::string stream;
  Outcome outcome;
};

class JsonScan : public testing::TestWithParam<JsonCase> {};

TEST_P(JsonScan, FindsTheEnd) {
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::Json, GetParam().stream), GetParam().outcome);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonScan,
    testing::Values(JsonCase{"whitespace", " \t\n\f\r[1,\"x\",2]next", done("[1,\"x\",2]", 14)},
                    JsonCase{"bracketInString", "[\"a]\"]", done("[\"a]\"]", 6)},
                    JsonCase{"escapedQuote", "[\"\\\"]\"]", done("[\"\\\"]\"]", 7)},
                    JsonCase{"escapedBackslash", "[\"\\\\\"]x", done("[\"\\\\\"]", 6)},
                    JsonCase{"kindsNotMatched", "[1}", done("[1}", 3)},
                    JsonCase{"object", "{\"a\":{\"b\":[]}}", done("{\"a\":{\"b\":[]}}", 14)},
                    JsonCase{"cleanEnd", "  \n", done("", 3)},
                    JsonCase{"cutShort", " [1,[2]", failed("unexpected end of file", 7)},
                    JsonCase{"notAnArray", " 1", failed("expected JSON object or array at start of buffered message", 2)}),
    [](const auto& info) { return info.param.name; });

// --- Buffered standard compact ---

std::string standard_compact_header() { return bytes({0x82, 0x21, 0x96, 0x01, 2}) + "ab"; }

/// Every kind of token: a bool in its field header, a long field id, a string, a list with its size
/// after the header, a map, an empty map, bools as list elements, a nested struct.
std::string standard_compact_message() {
  std::string m = standard_compact_header();
  m += bytes({0x11, 0x06, 0xD8, 0x04, 0x02, 0x18, 3}) + "xyz";
  m += bytes({0x19, 0xF8, 20});
  for (int i = 0; i < 20; ++i) m += bytes({1, 'q'});
  m += bytes({0x1B, 1, 0x57, 0x02, 0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0x1B, 0, 0x19, 0x21, 1, 2, 0x1C, 0x00, 0x00});
  return m;
}

TEST(StandardCompactScanner, CopiesAMessageByteForByteAndLeavesTheNext) {
  const std::string message = standard_compact_message();
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::StandardCompact, message + bytes({0x82, 0x21})),
            done(message, message.size()));
}

TEST(StandardCompactScanner, TruncationAtEveryOffsetIsAnEarlyEof) {
  const std::string message = standard_compact_message();
  for (size_t cut = 1; cut < message.size(); ++cut)
    EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::StandardCompact, message.substr(0, cut)),
              failed("early eof", cut))
        << "cut at " << cut;
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::StandardCompact, ""), done("", 0));
}

std::string nested_compact_structs(int levels) {
  std::string s = standard_compact_header();
  for (int i = 1; i < levels; ++i) s += bytes({0x1C});
  return s + std::string(static_cast<size_t>(levels), '\0');
}

TEST(StandardCompactScanner, RefusesWhatNoMessageHolds) {
  const std::string ok = nested_compact_structs(64);
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::StandardCompact, ok), done(ok, ok.size()));
  const auto refused = [](std::string stream) {
    return decode_all_ways(Transport::Buffered, Protocol::StandardCompact, stream).payload;
  };
  EXPECT_EQ(refused(nested_compact_structs(65)), "Depth limit exceeded");
  EXPECT_EQ(refused(bytes({0x80, 0x01, 0, 0})), "Bad protocol id");
  EXPECT_EQ(refused(bytes({0x82, 0x22, 0, 0})), "Bad protocol version");
  EXPECT_EQ(refused(standard_compact_header() + bytes({0x1E})), "Invalid field type");  // 13 is uuid, 14 nothing
  EXPECT_EQ(refused(standard_compact_header() + bytes({0x19, 0x1E})), "Invalid field type");
  EXPECT_EQ(refused(standard_compact_header() + bytes({0x15, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01})),
            "Variable-length integer is too long");
  EXPECT_EQ(refused(standard_compact_header() + bytes({0x18, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F})),
            "Negative length in buffered stream");
}

TEST(StandardCompactScanner, WalksUuids) {
  // A uuid field (code 13, 16 bytes), then a list of two: the message ends after the stop.
  const std::string uuids = standard_compact_header() + bytes({0x1D}) + std::string(16, 'u') + bytes({0x19, 0x2D}) +
                            std::string(32, 'v') + bytes({0x00});
  EXPECT_EQ(decode_all_ways(Transport::Buffered, Protocol::StandardCompact, uuids + "next"),
            done(uuids, uuids.size()));
}

TEST(StandardCompactScanner, AHugeCountWaitsForBytesWithoutAllocating) {
  // A list announcing 2^31-1 elements: the scan holds only the bytes that came.
  const std::string stream = standard_compact_header() + bytes({0x19, 0xF5, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 2});
  MessageDecoder d(Transport::Buffered, Protocol::StandardCompact);
  EXPECT_EQ(d.feed(stream), stream.size());
  EXPECT_EQ(d.progress(), Progress::NeedMore);
  d.end_of_input();
  EXPECT_EQ(d.error().text, "early eof");
}

TEST(MessageDecoder, BufferedCompactFailsBeforeReadingAnything) {
  MessageDecoder d(Transport::Buffered, Protocol::Compact);
  EXPECT_EQ(d.progress(), Progress::Failed);
  EXPECT_EQ(d.feed("\x82"), 0u);
  EXPECT_EQ(d.error().kind, ErrorKind::InvalidInput);
  EXPECT_EQ(d.error().text, "buffered RPC transport currently supports Binary and JSON protocols");
}

}  // namespace
}  // namespace velvane::framing
