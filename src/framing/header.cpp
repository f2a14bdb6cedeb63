// src/framing/header.cpp: header frames taken apart and put together; the zlib transform.
#include "framing/header.h"

#include <zlib.h>

#include <algorithm>
#include <memory>

#include "framing/framing.h"
#include "protocol/wire_format.h"

namespace velvane::framing {

namespace {

constexpr size_t kFixedPart = 10;  // magic, flags, seq_id, header words
constexpr size_t kMaxHeaderSection = size_t{0xFFFF} * 4;
constexpr size_t kInflateChunk = size_t{64} << 10;

Error bad_frame(std::string text) { return Error{ErrorKind::InvalidData, "header frame: " + std::move(text)}; }

uint32_t load_be32(std::string_view s, size_t at) {
  return uint32_t{static_cast<uint8_t>(s[at])} << 24 | uint32_t{static_cast<uint8_t>(s[at + 1])} << 16 |
         uint32_t{static_cast<uint8_t>(s[at + 2])} << 8 | uint32_t{static_cast<uint8_t>(s[at + 3])};
}
uint16_t load_be16(std::string_view s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) << 8 | static_cast<uint8_t>(s[at + 1]));
}

/// Reads the header section: varints of at most 32 bits and strings checked against what remains.
class SectionReader {
 public:
  explicit SectionReader(std::string_view section) : rest_(section) {}
  bool at_end() const { return rest_.empty(); }

  Result<uint32_t> varint() {
    uint64_t value = 0;
    for (int shift = 0; shift < 35; shift += 7) {
      if (rest_.empty()) return bad_frame("the header section ends inside a varint");
      const auto byte = static_cast<uint8_t>(rest_.front());
      rest_.remove_prefix(1);
      value |= uint64_t{byte & 0x7Fu} << shift;
      if (!(byte & 0x80)) {
        if (value > UINT32_MAX) break;
        return static_cast<uint32_t>(value);
      }
    }
    return bad_frame("a varint of the header section is longer than 32 bits");
  }

  Result<std::string> string() {
    auto size = varint();
    if (!size) return size.take_error();
    if (size.value() > rest_.size())
      return bad_frame("a header string of " + std::to_string(size.value()) + " bytes is longer than what remains of "
                       "the header section (" + std::to_string(rest_.size()) + " bytes)");
    std::string text(rest_.substr(0, size.value()));
    rest_.remove_prefix(size.value());
    return text;
  }

 private:
  std::string_view rest_;
};

Status read_section(std::string_view section, HeaderInfo& info) {
  SectionReader in(section);
  auto protocol = in.varint();
  if (!protocol) return protocol.take_error();
  info.protocol_id = protocol.value();
  auto count = in.varint();
  if (!count) return count.take_error();
  for (uint32_t i = 0; i < count.value(); ++i) {
    auto id = in.varint();  // each id takes a byte at least, so a false count runs out of section
    if (!id) return id.take_error();
    if (id.value() != kZlibTransform) return bad_frame("unknown transform " + std::to_string(id.value()));
    info.transforms.push_back(id.value());
  }
  while (!in.at_end()) {
    auto type = in.varint();
    if (!type) return type.take_error();
    // Padding (0) ends the info headers; so does a kind this end does not know, as other
    // implementations do.
    if (type.value() != kInfoKeyValue) break;
    auto pairs = in.varint();
    if (!pairs) return pairs.take_error();
    for (uint32_t i = 0; i < pairs.value(); ++i) {
      auto key = in.string();
      if (!key) return key.take_error();
      auto value = in.string();
      if (!value) return value.take_error();
      info.headers.emplace_back(std::move(key).value(), std::move(value).value());
    }
  }
  return {};
}

struct InflateStream {
  z_stream z{};
  bool ready = false;
  ~InflateStream() {
    if (ready) inflateEnd(&z);
  }
};

/// Inflates `in`, never holding more than `limit` bytes (plus one chunk) of output.
Result<std::string> inflate_bounded(std::string_view in, size_t limit, size_t max_size) {
  InflateStream s;
  if (inflateInit(&s.z) != Z_OK) return Error{ErrorKind::OutOfMemory, "zlib: cannot start inflating"};
  s.ready = true;
  s.z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  s.z.avail_in = static_cast<uInt>(in.size());  // a frame is below 2^31 bytes
  std::string out;
  auto chunk = std::make_unique<char[]>(kInflateChunk);
  for (;;) {
    s.z.next_out = reinterpret_cast<Bytef*>(chunk.get());
    s.z.avail_out = static_cast<uInt>(kInflateChunk);
    const int rc = inflate(&s.z, Z_NO_FLUSH);
    const size_t produced = kInflateChunk - s.z.avail_out;
    if (out.size() + produced > limit) {
      if (max_size != 0) return oversized_message(0, max_size);
      return Error{ErrorKind::SizeLimit, "header frame: the inflated message is larger than the wire allows"};
    }
    out.append(chunk.get(), produced);
    if (rc == Z_STREAM_END) break;
    if (rc == Z_OK) continue;
    if (rc == Z_BUF_ERROR && s.z.avail_in == 0) return bad_frame("the zlib stream ends early");
    if (rc == Z_MEM_ERROR) return Error{ErrorKind::OutOfMemory, "zlib: out of memory"};
    return bad_frame(std::string("corrupt zlib data") + (s.z.msg ? std::string(": ") + s.z.msg : std::string()));
  }
  if (s.z.avail_in != 0) return bad_frame("bytes follow the zlib stream");
  return out;
}

Result<std::string> deflate_all(std::string_view in) {
  uLongf size = compressBound(static_cast<uLong>(in.size()));
  std::string out(size, '\0');
  const int rc = compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(in.data()),
                          static_cast<uLong>(in.size()));
  if (rc != Z_OK) return Error{rc == Z_MEM_ERROR ? ErrorKind::OutOfMemory : ErrorKind::Internal, "zlib: cannot deflate"};
  out.resize(size);
  return out;
}

void put_string(std::string& out, std::string_view text) {
  wire::put_varint(out, text.size());
  out.append(text);
}

}  // namespace

Result<uint32_t> header_protocol_id(Protocol protocol) {
  if (protocol == Protocol::Binary) return kHeaderBinary;
  if (protocol == Protocol::StandardCompact) return kHeaderCompact;
  return Error{ErrorKind::InvalidInput,
               "the header transport carries ProtocolType.Binary or ProtocolType.StandardCompact only"};
}

Result<Protocol> header_protocol(uint32_t protocol_id) {
  if (protocol_id == kHeaderBinary) return Protocol::Binary;
  if (protocol_id == kHeaderCompact) return Protocol::StandardCompact;
  return bad_frame("the message is in protocol " + std::to_string(protocol_id) + ", neither binary (0) nor compact (2)");
}

Result<std::string> decode_header_frame(std::string_view body, size_t max_size, HeaderInfo& info) {
  if (body.size() < kFixedPart)
    return bad_frame("a frame of " + std::to_string(body.size()) + " bytes is shorter than its 10-byte header");
  if (load_be16(body, 0) != kHeaderMagic) return bad_frame("the frame does not begin with the header magic 0x0FFF");
  info.flags = load_be16(body, 2);
  info.seq_id = static_cast<int32_t>(load_be32(body, 4));
  const size_t section_size = size_t{load_be16(body, 8)} * 4;
  if (section_size > body.size() - kFixedPart)
    return bad_frame("a header section of " + std::to_string(section_size) + " bytes is longer than the " +
                     std::to_string(body.size() - kFixedPart) + " bytes that remain");
  if (Status s = read_section(body.substr(kFixedPart, section_size), info); !s) return s.take_error();
  std::string message(body.substr(kFixedPart + section_size));
  const size_t limit = max_size != 0 ? max_size : kMaxWireLength;
  for (auto t = info.transforms.rbegin(); t != info.transforms.rend(); ++t) {
    auto inflated = inflate_bounded(message, limit, max_size);  // zlib is the one transform read_section lets by
    if (!inflated) return inflated.take_error();
    message = std::move(inflated).value();
  }
  return message;
}

Result<std::string> encode_header_frame(const HeaderInfo& info, std::string_view message) {
  std::string section;
  wire::put_varint(section, info.protocol_id);
  wire::put_varint(section, info.transforms.size());
  for (uint32_t id : info.transforms) {
    if (id != kZlibTransform) return Error{ErrorKind::InvalidInput, "unknown header transform " + std::to_string(id)};
    wire::put_varint(section, id);
  }
  if (!info.headers.empty()) {
    wire::put_varint(section, kInfoKeyValue);
    wire::put_varint(section, info.headers.size());
    for (const auto& [key, value] : info.headers) {
      put_string(section, key);
      put_string(section, value);
    }
  }
  section.append((4 - section.size() % 4) % 4, '\0');
  if (section.size() > kMaxHeaderSection)
    return Error{ErrorKind::InvalidInput, "the headers take " + std::to_string(section.size()) +
                                              " bytes; a header frame holds at most " +
                                              std::to_string(kMaxHeaderSection)};
  std::string transformed;
  for (size_t i = 0; i < info.transforms.size(); ++i) {
    auto deflated = deflate_all(i == 0 ? message : std::string_view(transformed));
    if (!deflated) return deflated.take_error();
    transformed = std::move(deflated).value();
  }
  const std::string_view payload = info.transforms.empty() ? message : std::string_view(transformed);
  const size_t length = kFixedPart + section.size() + payload.size();
  if (length > kMaxWireLength)
    return Error{ErrorKind::SizeLimit, "a header frame of " + std::to_string(length) + " bytes is longer than the wire allows"};
  std::string out;
  out.reserve(length);
  wire::put_be16(out, kHeaderMagic);
  wire::put_be16(out, info.flags);
  wire::put_be32(out, static_cast<uint32_t>(info.seq_id));
  wire::put_be16(out, static_cast<uint16_t>(section.size() / 4));
  out.append(section);
  out.append(payload);
  return out;
}

}  // namespace velvane::framing
