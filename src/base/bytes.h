// Byte strings and the one bounds-safe way to read untrusted bytes.
//
// Lenient side (metadata readers): loadU16/loadU32 return 0 when the bytes do
// not fit and never throw. Strict side (codecs, compression): ByteReader
// throws KeldraException(ekTruncated) with the caller's message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/error.h"

namespace kd::base {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

// The single bounds test: n bytes starting at pos lie inside v. Subtracts,
// never adds, so it cannot overflow for any pos and n.
constexpr bool fits(ByteView v, int64_t pos, int64_t n) {
  return pos >= 0 && n >= 0 && static_cast<uint64_t>(n) <= v.size() &&
         static_cast<uint64_t>(pos) <= v.size() - static_cast<uint64_t>(n);
}

inline uint16_t loadU16(ByteView v, int64_t pos, bool littleEndian) {
  if (!fits(v, pos, 2)) return 0;
  const uint8_t* p = v.data() + pos;
  return littleEndian ? static_cast<uint16_t>(p[0] | p[1] << 8)
                      : static_cast<uint16_t>(p[0] << 8 | p[1]);
}

inline uint32_t loadU32(ByteView v, int64_t pos, bool littleEndian) {
  if (!fits(v, pos, 4)) return 0;
  const uint8_t* p = v.data() + pos;
  return littleEndian ? (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                         uint32_t{p[3]} << 24)
                      : (uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
                         uint32_t{p[3]});
}

// Forward reader over a view. Every read is bounds-checked; a read past the
// end throws ekTruncated with the reader's message (or the one given to
// need/take/skip/sub). Child readers made by sub() cannot see past their
// chunk.
class ByteReader {
 public:
  ByteReader(ByteView data, const char* truncatedMessage)
      : data_(data), message_(truncatedMessage) {}

  size_t pos() const { return pos_; }
  size_t size() const { return data_.size(); }
  size_t remaining() const { return data_.size() - pos_; }
  bool atEnd() const { return pos_ == data_.size(); }
  ByteView view() const { return data_; }
  ByteView rest() const { return data_.subspan(pos_); }

  void need(size_t n, const char* message) const {
    if (n > remaining()) fail(ekTruncated, message);
  }
  void need(size_t n) const { need(n, message_); }

  uint8_t u8() {
    need(1);
    return data_[pos_++];
  }
  uint16_t u16be() { return static_cast<uint16_t>(read(2, false)); }
  uint16_t u16le() { return static_cast<uint16_t>(read(2, true)); }
  uint32_t u32be() { return static_cast<uint32_t>(read(4, false)); }
  uint32_t u32le() { return static_cast<uint32_t>(read(4, true)); }

  ByteView take(size_t n, const char* message) {
    need(n, message);
    ByteView out = data_.subspan(pos_, n);
    pos_ += n;
    return out;
  }
  ByteView take(size_t n) { return take(n, message_); }
  void skip(size_t n, const char* message) {
    need(n, message);
    pos_ += n;
  }
  void skip(size_t n) { skip(n, message_); }
  // Moves to an absolute position inside the view.
  void seek(size_t pos, const char* message) {
    if (pos > data_.size()) fail(ekTruncated, message);
    pos_ = pos;
  }
  // A reader over the next n bytes, which this reader then skips.
  ByteReader sub(size_t n, const char* message) { return ByteReader(take(n, message), message_); }
  ByteReader sub(size_t n) { return sub(n, message_); }

 private:
  uint64_t read(size_t n, bool littleEndian) {
    need(n);
    const uint8_t* p = data_.data() + pos_;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
      v = littleEndian ? v | uint64_t{p[i]} << (8 * i) : v << 8 | p[i];
    }
    pos_ += n;
    return v;
  }

  ByteView data_;
  size_t pos_ = 0;
  const char* message_;
};

}  // namespace kd::base
