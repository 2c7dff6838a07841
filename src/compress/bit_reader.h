// The least-significant-bit-first reader of DEFLATE (RFC 1951) and WebP
// lossless (RFC 9649) streams, over untrusted bytes given as one view or as
// several pieces read as one (the IDAT chunks of a PNG).
//
// The low count() bits of the 64-bit word are the unread bits; any bits
// above them are the following input bytes at their proper places (or
// zero), so a refill may OR the same bytes in again and a lookup may peek
// past count() as long as it checks what it uses against it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "base/bytes.h"

namespace kd::compress {

using base::ByteView;

class LsbBitReader {
 public:
  // Starts `start` bytes into the first piece. A read past the end of the
  // input fails with ekTruncated and `truncatedMessage`.
  LsbBitReader(std::span<const ByteView> pieces, size_t start, const char* truncatedMessage)
      : pieces_(pieces), message_(truncatedMessage) {
    if (pieces_.empty()) return;
    setFirst(pieces_[0], start);
  }
  // One contiguous input.
  LsbBitReader(ByteView data, size_t start, const char* truncatedMessage)
      : message_(truncatedMessage) {
    setFirst(data, start);
  }

  // At least 8 bytes left in the current piece: refillFast may be used.
  bool fastInput() const { return end_ - p_ >= 8; }

  // Brings the word to at least 56 bits. Needs fastInput().
  void refillFast() {
    buf_ |= base::loadLe64(p_) << count_;
    p_ += (63 - count_) >> 3;
    count_ |= 56;
  }

  // Brings the word to at least 56 bits, or to every bit the input has
  // left.
  void refill() {
    if (fastInput()) {
      refillFast();
      return;
    }
    while (count_ <= 56) {
      if (p_ == end_ && !nextPiece()) return;
      buf_ |= uint64_t{*p_++} << count_;
      count_ += 8;
    }
  }

  uint64_t peek() const { return buf_; }
  // Unread bits held in the word. 64-bit, so that stores of 32-bit pixels
  // next to a reader held in locals cannot alias it.
  uint64_t count() const { return count_; }
  void consume(unsigned n) {
    buf_ >>= n;
    count_ -= n;
  }

  // n (at most 32) bits, least significant first.
  uint32_t bits(unsigned n) {
    if (n > count_) {
      refill();
      if (n > count_) base::fail(base::ekTruncated, message_);
    }
    const auto v = static_cast<uint32_t>(buf_ & ((uint64_t{1} << n) - 1));
    consume(n);
    return v;
  }

  // Drops the bits left in the current byte and hands whole buffered bytes
  // back to the input.
  void alignToByte() {
    size_t back = static_cast<size_t>(count_ / 8);
    while (back > static_cast<size_t>(p_ - begin_)) {
      back -= static_cast<size_t>(p_ - begin_);
      --piece_;
      const ByteView v = pieces_[piece_];
      begin_ = v.data();
      end_ = v.data() + v.size();
      base_ -= v.size();
      p_ = end_;
    }
    p_ -= back;
    buf_ = 0;
    count_ = 0;
  }

  // Whole bytes left in the input. Only valid right after alignToByte.
  uint64_t bytesLeft() const {
    uint64_t n = static_cast<uint64_t>(end_ - p_);
    for (size_t i = piece_ + 1; i < pieces_.size(); ++i) n += pieces_[i].size();
    return n;
  }

  // Copies the next n bytes (the caller has checked bytesLeft). Only valid
  // right after alignToByte.
  void readBytes(uint8_t* dst, size_t n) {
    while (n > 0) {
      if (p_ == end_) nextPiece();
      const size_t take = std::min(n, static_cast<size_t>(end_ - p_));
      std::memcpy(dst, p_, take);
      dst += take;
      p_ += take;
      n -= take;
    }
  }

  // Index, in the concatenated input, after the last byte any consumed bit
  // came from.
  uint64_t consumed() const { return base_ + static_cast<uint64_t>(p_ - begin_) - count_ / 8; }

 private:
  void setFirst(ByteView first, size_t start) {
    start = std::min(start, first.size());
    begin_ = first.data() + start;
    p_ = begin_;
    end_ = first.data() + first.size();
    base_ = start;
  }

  // Moves to the next non-empty piece; false at the end of the input (a
  // reader over one view has no further pieces).
  bool nextPiece() {
    while (piece_ + 1 < pieces_.size()) {
      base_ += static_cast<uint64_t>(end_ - begin_);
      const ByteView v = pieces_[++piece_];
      begin_ = v.data();
      p_ = begin_;
      end_ = v.data() + v.size();
      if (p_ != end_) return true;
    }
    return false;
  }

  std::span<const ByteView> pieces_;
  size_t piece_ = 0;
  const uint8_t* begin_ = nullptr;  // start of the current piece (after `start` for the first)
  const uint8_t* p_ = nullptr;
  const uint8_t* end_ = nullptr;
  uint64_t base_ = 0;  // index of begin_ in the concatenated input
  uint64_t buf_ = 0;
  uint64_t count_ = 0;
  const char* message_;
};

}  // namespace kd::compress
