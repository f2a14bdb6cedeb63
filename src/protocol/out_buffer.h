// src/protocol/out_buffer.h: OutBuffer, the growable output of the binary and compact writers when
// they serialize Python data.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>

namespace velvane {

/// Output bytes whose appends are inline: one capacity check and a copy. std::string's append and
/// push_back are calls into the library, and a struct's walk makes one per field header and per value,
/// which cost more than the bytes they write. The buffer keeps its storage across clear(), so a
/// reused buffer allocates nothing once it has grown to the usual message size.
class OutBuffer {
 public:
  OutBuffer() = default;
  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;

  /// `n` more bytes at the end for the caller to fill; valid until the next append.
  [[gnu::always_inline]] char* extend(size_t n) {
    if (static_cast<size_t>(cap_ - end_) < n) [[unlikely]]
      grow(n);
    char* at = end_;
    end_ += n;
    return at;
  }
  [[gnu::always_inline]] void append(const char* p, size_t n) {
    if (n) std::memcpy(extend(n), p, n);
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  [[gnu::always_inline]] void push_back(char c) { *extend(1) = c; }

  /// Room for `n` more bytes without growing.
  void reserve(size_t n) {
    if (static_cast<size_t>(cap_ - end_) < n) grow(n);
  }
  void clear() { end_ = begin_; }
  /// Frees the storage when it is larger than `limit` bytes (a reused buffer keeps no huge block).
  void shrink_above(size_t limit) {
    if (capacity() > limit) {
      storage_.reset();
      begin_ = end_ = cap_ = nullptr;
    }
  }

  const char* data() const { return begin_; }
  size_t size() const { return static_cast<size_t>(end_ - begin_); }
  size_t capacity() const { return static_cast<size_t>(cap_ - begin_); }
  std::string_view view() const { return {begin_, size()}; }

 private:
  [[gnu::noinline]] void grow(size_t n) {
    const size_t used = size();
    size_t want = capacity() < 256 ? 256 : 2 * capacity();
    if (want < used + n) want = used + n;
    auto bigger = std::make_unique_for_overwrite<char[]>(want);
    if (used) std::memcpy(bigger.get(), begin_, used);
    storage_ = std::move(bigger);
    begin_ = storage_.get();
    end_ = begin_ + used;
    cap_ = begin_ + want;
  }

  std::unique_ptr<char[]> storage_;
  char* begin_ = nullptr;
  char* end_ = nullptr;
  char* cap_ = nullptr;
};

}  // namespace velvane
