// libFuzzer target: the framed decoder and the buffered scanners. The first byte picks the transport,
// protocol and reading side, the next eight a cycle of piece sizes; the rest is the stream. Whatever the pieces,
// the outcome must be the one the whole stream gives at once.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "framing/framing.h"

using namespace velvane;
using namespace velvane::framing;

namespace {

struct Outcome {
  Progress progress;
  std::string payload;
  ErrorKind kind;
  std::string text;
  size_t consumed;
  bool operator==(const Outcome&) const = default;
};

template <class NextPiece>
Outcome decode(Transport transport, Protocol protocol, Side side, std::string_view stream, NextPiece next_piece) {
  MessageDecoder d(transport, protocol, side);
  size_t at = 0, consumed = 0;
  while (d.progress() == Progress::NeedMore && at < stream.size()) {
    const std::string_view piece = stream.substr(at, next_piece());
    const size_t used = d.feed(piece);
    if (used > piece.size()) std::abort();
    consumed += used;
    if (d.progress() == Progress::NeedMore && used != piece.size()) std::abort();  // waiting, yet left bytes
    at += piece.size();
  }
  if (d.progress() == Progress::NeedMore) d.end_of_input();
  Outcome o{d.progress(), {}, d.error().kind, d.error().text, consumed};
  if (o.progress == Progress::Done) o.payload = d.take_payload();
  return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  const Transport transport = data[0] & 1 ? Transport::Buffered : Transport::Framed;
  const Protocol protocol = static_cast<Protocol>((data[0] >> 1) % 5);
  const Side side = data[0] & 8 ? Side::Server : Side::Client;
  const uint8_t* sizes = data + 1;
  const std::string_view stream(reinterpret_cast<const char*>(data + 9), size - 9);

  const Outcome whole = decode(transport, protocol, side, stream, [&] { return stream.size(); });
  size_t turn = 0;
  const Outcome pieces = decode(transport, protocol, side, stream, [&] { return size_t{sizes[turn++ % 8]} % 17 + 1; });
  if (!(whole == pieces)) std::abort();

  if (whole.progress == Progress::Done && !whole.payload.empty()) {
    // The payload is the message's bytes as they stood in the stream.
    const std::string_view taken = stream.substr(0, whole.consumed);
    const bool copied = transport == Transport::Framed ? taken.substr(4) == whole.payload
                                                       : taken.ends_with(whole.payload);
    if (!copied) std::abort();
  }
  return 0;
}
