// tests/cpp/header_frame_test.cpp: header frames against bytes Apache Thrift's THeaderTransport
// wrote, and hostile frames.
#include <gtest/gtest.h>

#include <zlib.h>

#include <string>

#include "framing/header.h"

namespace velvane::framing {
namespace {

std::string unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

// Written by Apache's Python THeaderTransport: compact inside, seq_id 7, headers trace=abc and k=""
// (what follows the headers is the message "\x82\x21\x07\x04ping\x00").
const std::string kApacheHeaders =
    unhex("000000270fff00000000000700050200010205747261636503616263016b000000008221070470696e6700");
// Binary inside, flags 1, the zlib transform over "hello hello hello hello".
const std::string kApacheZlib = unhex("0000001e0fff000100000000000100010100789ccb48cdc9c957c8402701680308b1");

TEST(HeaderFrame, ReadsWhatApacheWrites) {
  HeaderInfo info;
  auto message = decode_header_frame(std::string_view(kApacheHeaders).substr(4), 0, info);
  ASSERT_TRUE(message) << message.error().text;
  EXPECT_EQ(message.value(), std::string("\x82\x21\x07\x04ping\x00", 9));
  EXPECT_EQ(info.seq_id, 7);
  EXPECT_EQ(info.protocol_id, kHeaderCompact);
  EXPECT_TRUE(info.transforms.empty());
  EXPECT_EQ(info.headers, (HeaderList{{"trace", "abc"}, {"k", ""}}));

  HeaderInfo zipped;
  auto hello = decode_header_frame(std::string_view(kApacheZlib).substr(4), 0, zipped);
  ASSERT_TRUE(hello) << hello.error().text;
  EXPECT_EQ(hello.value(), "hello hello hello hello");
  EXPECT_EQ(zipped.flags, 1);
  EXPECT_EQ(zipped.transforms, std::vector<uint32_t>{kZlibTransform});
}

TEST(HeaderFrame, WritesWhatApacheWrites) {
  HeaderInfo info;
  info.seq_id = 7;
  info.protocol_id = kHeaderCompact;
  info.headers = {{"trace", "abc"}, {"k", ""}};
  auto out = encode_header_frame(info, std::string("\x82\x21\x07\x04ping\x00", 9));
  ASSERT_TRUE(out) << out.error().text;
  EXPECT_EQ(out.value(), kApacheHeaders.substr(4));
}

TEST(HeaderFrame, ZlibRoundTripsAndCompresses) {
  HeaderInfo info;
  info.transforms = {kZlibTransform};
  info.headers = {{"client_timeout", "1500"}};
  const std::string message(100000, 'x');
  auto encoded = encode_header_frame(info, message);
  ASSERT_TRUE(encoded) << encoded.error().text;
  const std::string& out = encoded.value();
  EXPECT_LT(out.size(), 1000u);
  HeaderInfo back;
  auto read = decode_header_frame(out, 0, back);
  ASSERT_TRUE(read) << read.error().text;
  EXPECT_EQ(read.value(), message);
  EXPECT_EQ(back.headers, info.headers);
  // The inflated size is bounded by the reader's limit, not by what the sender says.
  HeaderInfo small;
  auto refused = decode_header_frame(out, 4096, small);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().kind, ErrorKind::SizeLimit);
}

std::string frame_body(std::string_view section, std::string_view payload) {
  std::string body = unhex("0fff000000000001");
  body.push_back(static_cast<char>(section.size() / 4 >> 8));
  body.push_back(static_cast<char>(section.size() / 4 & 0xFF));
  body.append(section);
  body.append(payload);
  return body;
}

std::string zlib_of(std::string_view text) {
  uLongf size = compressBound(static_cast<uLong>(text.size()));
  std::string out(size, '\0');
  compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(text.data()), text.size());
  out.resize(size);
  return out;
}

struct Hostile {
  const char* name;
  std::string body;
  const char* error;  // a part of the text
};

class HostileHeaderFrame : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileHeaderFrame, IsRefused) {
  HeaderInfo info;
  auto read = decode_header_frame(GetParam().body, 1 << 20, info);
  ASSERT_FALSE(read) << "read " << read.value().size() << " bytes";
  EXPECT_NE(read.error().text.find(GetParam().error), std::string::npos) << read.error().text;
}

INSTANTIATE_TEST_SUITE_P(
    Frames, HostileHeaderFrame,
    ::testing::Values(
        Hostile{"short", unhex("0fff0000"), "shorter than its 10-byte header"},
        Hostile{"magic", unhex("0ffe000000000001000000000000"), "header magic"},
        Hostile{"section_past_frame", unhex("0fff00000000000100ff00000000"), "longer than the 4 bytes"},
        Hostile{"varint_too_long", frame_body(unhex("ffffffffff7f0000"), ""), "longer than 32 bits"},
        Hostile{"varint_cut", frame_body(unhex("00ffffff"), ""), "ends inside a varint"},
        Hostile{"transform_count_lies", frame_body(unhex("00ff0300"), ""), "unknown transform 0"},
        Hostile{"unknown_transform", frame_body(unhex("00010200"), ""), "unknown transform 2"},
        Hostile{"string_past_section", frame_body(unhex("00000101207465737400000000000000"), ""),
                "longer than what remains"},
        Hostile{"zlib_cut", frame_body(unhex("00010100"), zlib_of("hello hello").substr(0, 6)), "ends early"},
        Hostile{"zlib_trailing", frame_body(unhex("00010100"), zlib_of("hello") + "x"), "bytes follow"},
        Hostile{"zlib_corrupt", frame_body(unhex("00010100"), "not zlib at all"), "corrupt zlib data"},
        Hostile{"zlib_bomb", frame_body(unhex("00010100"), zlib_of(std::string(size_t{8} << 20, '\0'))),
                "larger than max_message_size"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HeaderFrame, ProtocolIds) {
  EXPECT_EQ(header_protocol_id(Protocol::Binary).value(), kHeaderBinary);
  EXPECT_EQ(header_protocol_id(Protocol::StandardCompact).value(), kHeaderCompact);
  EXPECT_FALSE(header_protocol_id(Protocol::Compact));
  EXPECT_FALSE(header_protocol_id(Protocol::StandardJson));
}

}  // namespace
}  // namespace velvane::framing
