// Byte strings, the one bounds-safe way to read untrusted bytes, and the
// byte layer every format builds on: little- and big-endian loads and stores
// and most-significant-bit-first sample unpacking.
//
// Lenient side (metadata readers): loadU16/loadU32 return 0 when the bytes do
// not fit and never throw. Strict side (codecs, compression): ByteReader
// throws KeldraException(ekTruncated) with the caller's message.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
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

// ---- Fixed-width integers at a pointer -----------------------------------
// The caller has checked the bytes are there (fits, ByteReader::need or one
// check of a whole header or row); these never look at bounds.

constexpr uint16_t loadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
constexpr uint16_t loadBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
constexpr uint32_t loadLe24(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
}
constexpr uint32_t loadLe32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
constexpr uint32_t loadBe32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

// Eight bytes in one load whatever the host's byte order: the one place a
// big-endian host reorders what it loads.
inline uint64_t loadLe64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}
inline void storeLe64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

constexpr void storeLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
constexpr void storeBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
constexpr void storeLe32(uint8_t* p, uint32_t v) {
  storeLe16(p, static_cast<uint16_t>(v));
  storeLe16(p + 2, static_cast<uint16_t>(v >> 16));
}
constexpr void storeBe32(uint8_t* p, uint32_t v) {
  storeBe16(p, static_cast<uint16_t>(v >> 16));
  storeBe16(p + 2, static_cast<uint16_t>(v));
}

// Appending forms for writers that grow their output.
inline void appendLe16(Bytes& out, uint16_t v) {
  uint8_t b[2];
  storeLe16(b, v);
  out.insert(out.end(), b, b + 2);
}
inline void appendBe16(Bytes& out, uint16_t v) {
  uint8_t b[2];
  storeBe16(b, v);
  out.insert(out.end(), b, b + 2);
}
inline void appendLe32(Bytes& out, uint32_t v) {
  uint8_t b[4];
  storeLe32(b, v);
  out.insert(out.end(), b, b + 4);
}
inline void appendBe32(Bytes& out, uint32_t v) {
  uint8_t b[4];
  storeBe32(b, v);
  out.insert(out.end(), b, b + 4);
}

// Unpacks `count` samples of `bits` bits (1, 2, 4 or 8), packed most
// significant first as in BMP, PNG, PNM, PCX and TIFF rows, into one byte
// each. The caller has checked that (count * bits + 7) / 8 bytes are there.
inline void unpackMsbFirst(const uint8_t* src, size_t count, unsigned bits, uint8_t* dst) {
  if (bits == 8) {
    if (count > 0) std::memcpy(dst, src, count);
    return;
  }
  const unsigned perByte = 8 / bits;
  const unsigned mask = (1u << bits) - 1;
  size_t i = 0;
  for (; count - i >= perByte; i += perByte, ++src) {
    const unsigned byte = *src;
    for (unsigned k = 0; k < perByte; ++k) {
      dst[i + k] = static_cast<uint8_t>(byte >> (8 - bits * (k + 1)) & mask);
    }
  }
  for (unsigned k = 0; i < count; ++i, ++k) {
    dst[i] = static_cast<uint8_t>(*src >> (8 - bits * (k + 1)) & mask);
  }
}

// ---- Lenient reads (metadata side) ---------------------------------------

// The byte order of a multi-byte value, for reads whose order is only known
// at run time (a TIFF header's "II" or "MM").
enum class ByteOrder : uint8_t { kLittle, kBig };

inline uint16_t loadU16(ByteView v, int64_t pos, ByteOrder order) {
  if (!fits(v, pos, 2)) return 0;
  const uint8_t* p = v.data() + pos;
  return order == ByteOrder::kLittle ? loadLe16(p) : loadBe16(p);
}

inline uint32_t loadU32(ByteView v, int64_t pos, ByteOrder order) {
  if (!fits(v, pos, 4)) return 0;
  const uint8_t* p = v.data() + pos;
  return order == ByteOrder::kLittle ? loadLe32(p) : loadBe32(p);
}

// The same with the order as a flag: `littleEndian` true reads "II" order.

inline uint16_t loadU16(ByteView v, int64_t pos, bool littleEndian) {
  if (!fits(v, pos, 2)) return 0;
  const uint8_t* p = v.data() + pos;
  return littleEndian ? loadLe16(p) : loadBe16(p);
}

inline uint32_t loadU32(ByteView v, int64_t pos, bool littleEndian) {
  if (!fits(v, pos, 4)) return 0;
  const uint8_t* p = v.data() + pos;
  return littleEndian ? loadLe32(p) : loadBe32(p);
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
  uint16_t u16be() { return loadBe16(advance(2)); }
  uint16_t u16le() { return loadLe16(advance(2)); }
  uint32_t u32be() { return loadBe32(advance(4)); }
  uint32_t u32le() { return loadLe32(advance(4)); }

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
  // The next n bytes, which the reader then skips.
  const uint8_t* advance(size_t n) {
    need(n);
    const uint8_t* p = data_.data() + pos_;
    pos_ += n;
    return p;
  }

  ByteView data_;
  size_t pos_ = 0;
  const char* message_;
};

}  // namespace kd::base
