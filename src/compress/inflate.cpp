// DEFLATE decoder (RFC 1951) with an output cap.
//
// Huffman codes (assigned, enumerated and walked by compress/huffman.h, read
// through compress/bit_reader.h) are decoded through a primary lookup table
// (11 bits for literal/length codes, 8 for distance codes) whose entries
// link to subtables for longer codes. Each entry carries what the symbol means (a
// literal byte, a length or distance base and its extra-bit count, the end
// of the block), so the hot loop never maps symbols through a second table.
// Bit patterns that no code matches, and whole codes whose lengths are
// over-subscribed, go through `walk`, the canonical length-by-length walk,
// so every stream gives exactly the symbols, bytes and failures of a decoder
// that reads one bit at a time.
//
// The input may come in pieces (the IDAT chunks of a PNG) and the output may
// go through a sliding window to a sink instead of into one buffer.
#include "compress/inflate.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

#include "compress/bit_reader.h"
#include "compress/deflate.h"
#include "compress/huffman.h"
#include "compress/zlib.h"

namespace kd::compress {

using base::fail;
using enum base::ErrorKind;

namespace {

constexpr size_t kMaxMatch = 258;
// The output buffer always keeps this much room past the write position
// (within the cap) while symbols are decoded, so a match is copied 16 bytes
// at a time without checks (copyMatch's slack).
constexpr size_t kRoom = kMaxMatch + 32;
constexpr size_t kMaxExpansion = kDeflateMaxExpansion;
// The farthest a match reaches back.
constexpr size_t kHistory = 32768;
// Output produced between two hand-overs to a sink, beyond what it holds.
constexpr size_t kWindowWork = size_t{128} << 10;
// Output summed into the Adler-32 at a time while a zlib stream decodes
// into one buffer, so the bytes are summed while they are still in cache.
constexpr size_t kAdlerStep = size_t{64} << 10;

constexpr const char* kTruncatedMessage = "deflate: stream truncated";
[[noreturn]] void failTruncated() { fail(ekTruncated, kTruncatedMessage); }
[[noreturn]] void failCap() { fail(ekInvalid, "deflate: output exceeds the size cap"); }

// Largest output `inputLeft` bytes of stream can produce (saturating).
size_t mostOutput(uint64_t inputLeft) {
  return inputLeft > SIZE_MAX / kMaxExpansion - 1 ? SIZE_MAX
                                                   : static_cast<size_t>((inputLeft + 1) * kMaxExpansion);
}

// The input side of every inflate entry: the shared LSB-first reader,
// failing with this decoder's message.
class BitReader : public LsbBitReader {
 public:
  BitReader(std::span<const ByteView> pieces, size_t start)
      : LsbBitReader(pieces, start, kTruncatedMessage) {}
};

// A canonical Huffman code: per-length counts and symbols ordered by
// (length, symbol), which is all `walk` needs.
class CanonicalCode {
 public:
  // lengths[s] is the code length of symbol s (0: absent, at most 15). No
  // completeness check: an incomplete code fails only when an unused
  // pattern is met. Returns codeSpaceLeft.
  int64_t assign(const uint8_t* lengths, size_t symbolCount) {
    sortCanonical(lengths, symbolCount, count_, symbols_);
    return codeSpaceLeft(count_);
  }

  // Reads the code one bit at a time, length by length, as RFC 1951's
  // canonical assignment defines it. The reader must hold at least 15 bits
  // or all that is left of the input.
  unsigned walk(BitReader& in) const {
    const WalkResult r = walkCanonical(count_, symbols_, in.peek(), in.count());
    if (r.symbol == kOutOfBits) failTruncated();
    if (r.symbol == kNoCodeWord) fail(ekInvalid, "deflate: invalid Huffman code");
    in.consume(r.length);
    return static_cast<unsigned>(r.symbol);
  }

 protected:
  LengthCounts count_;
  uint16_t symbols_[320];
};

// The code-length code: a small table over 7 bits, entries symbol << 16 |
// code length, 0 sending the decoder to `walk`.
class LengthsCode : public CanonicalCode {
 public:
  void build(const uint8_t* lengths, size_t symbolCount) {
    std::fill(std::begin(table_), std::end(table_), uint32_t{0});
    if (assign(lengths, symbolCount) < 0) return;
    forEachCodeWord(count_, symbols_, [&](uint16_t symbol, unsigned len, uint32_t reversed) {
      if (len > kTableBits) return;
      const uint32_t entry = uint32_t{symbol} << 16 | len;
      for (uint32_t i = reversed; i < (1u << kTableBits); i += 1u << len) table_[i] = entry;
    });
  }

  // The reader must hold at least 15 bits or all that is left of the input.
  unsigned decode(BitReader& in) const {
    uint32_t entry = table_[in.peek() & ((1u << kTableBits) - 1)];
    unsigned len = entry & 0xFF;
    if (len == 0) return walk(in);
    if (len > in.count()) failTruncated();
    in.consume(len);
    return entry >> 16;
  }

 private:
  static constexpr unsigned kTableBits = 7;
  uint32_t table_[1u << kTableBits];
};

// Entries of the literal/length and distance tables:
//   bits 0-7   bits to consume: code length plus extra bits (0 for links
//              and special entries)
//   bits 8-11  code length (for a link: the subtable's index bits)
//   bit 12     literal: the value is the byte
//   bit 13     link: the value is the subtable's offset in the table
//   bit 14     special: the value says which (kWalk, kEndOfBlock, kBadSymbol)
//   bits 16-31 value: literal byte, length or distance base, link offset
// Without bits 12-14 the entry is a length or distance.
constexpr uint32_t kLiteral = 1u << 12;
constexpr uint32_t kLink = 1u << 13;
constexpr uint32_t kSpecial = 1u << 14;
constexpr uint32_t kWalk = 0;
constexpr uint32_t kEndOfBlock = 1;
constexpr uint32_t kBadSymbol = 2;

constexpr unsigned codeLength(uint32_t e) { return (e >> 8) & 0xF; }
constexpr unsigned totalBits(uint32_t e) { return e & 0xFF; }
constexpr uint32_t specialKind(uint32_t e) { return e >> 16; }
// The extra bits of a length or distance entry, from the unconsumed bits.
inline uint32_t extraBits(uint64_t bits, uint32_t e) {
  return (static_cast<uint32_t>(bits) & ((1u << totalBits(e)) - 1)) >> codeLength(e);
}

// What symbol s of each alphabet means, as an entry without code length.
uint32_t literalLengthInfo(unsigned s) {
  if (s < 256) return kLiteral | s << 16;
  if (s == 256) return kSpecial | kEndOfBlock << 16;
  if (s >= 286) return kSpecial | kBadSymbol << 16;
  return uint32_t{kLengthBase[s - 257]} << 16 | kLengthExtra[s - 257];
}

uint32_t distanceInfo(unsigned s) {
  if (s >= 30) return kSpecial | kBadSymbol << 16;
  return uint32_t{kDistBase[s]} << 16 | kDistExtra[s];
}

// A literal/length or distance code: a primary table over PrimaryBits and
// subtables (one per primary slot that longer codes share) holding whole
// codes of up to 15 bits.
template <unsigned PrimaryBits, size_t MaxSymbols, uint32_t (*Info)(unsigned)>
class FastCode : public CanonicalCode {
 public:
  void build(const uint8_t* lengths, size_t symbolCount) {
    constexpr uint32_t walkEntry = kSpecial | kWalk << 16;
    const int64_t unused = assign(lengths, symbolCount);
    if (unused < 0) {
      // Over-subscribed: every code goes through the walk.
      std::fill(table_, table_ + kPrimary, walkEntry);
      return;
    }
    unsigned maxLength = 0;
    for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
      if (count_[len] != 0) maxLength = len;
    }
    const unsigned subBits = maxLength > PrimaryBits ? maxLength - PrimaryBits : 0;
    // The primary table is filled one code length at a time: the codes of
    // length `filled` or less (reversed, so each code's pattern is its low
    // bits) occupy its first 2^filled entries, which are copied to double
    // them before longer codes go in. Unused patterns keep the walk entry,
    // doubled with the rest; links hold no walk entries before them.
    table_[0] = table_[1] = walkEntry;
    unsigned filled = 1;
    const auto doubleTo = [&](unsigned bits) {
      for (; filled < bits; ++filled) {
        std::memcpy(table_ + (size_t{1} << filled), table_, sizeof(uint32_t) << filled);
      }
    };
    size_t next = kPrimary;  // first free subtable entry
    forEachCodeWord(count_, symbols_, [&](uint16_t symbol, unsigned len, uint32_t reversed) {
      // Special entries consume nothing in the fast loop (bits 0-7 zero).
      uint32_t entry = Info(symbol);
      entry = (entry & ~0xFFFu) | len << 8 | ((entry & kSpecial) ? 0 : len + (entry & 0xFF));
      if (len <= PrimaryBits) {
        doubleTo(len);
        table_[reversed] = entry;
        return;
      }
      doubleTo(PrimaryBits);
      uint32_t& link = table_[reversed & (kPrimary - 1)];
      if ((link & kLink) == 0) {
        link = kLink | static_cast<uint32_t>(next) << 16 | subBits << 8;
        if (unused != 0) std::fill(table_ + next, table_ + next + (size_t{1} << subBits), walkEntry);
        next += size_t{1} << subBits;
      }
      uint32_t* sub = table_ + (link >> 16);
      for (uint32_t i = reversed >> PrimaryBits; i < (1u << subBits); i += 1u << (len - PrimaryBits)) {
        sub[i] = entry;
      }
    });
    doubleTo(PrimaryBits);
  }

  // The entry for the next code (links followed).
  uint32_t lookup(uint64_t bits) const {
    uint32_t e = table_[bits & (kPrimary - 1)];
    if (e & kLink) {
      e = table_[(e >> 16) + ((bits >> PrimaryBits) & ((1u << codeLength(e)) - 1))];
    }
    return e;
  }

  // The careful form: consumes the code (not its extra bits) and returns
  // its entry with the code length set to 0, failing as the bit-at-a-time
  // walk would when the input runs out. The reader must hold at least 15
  // bits or all that is left of the input.
  uint32_t decodeSlow(BitReader& in) const {
    const uint32_t e = lookup(in.peek());
    if ((e & kSpecial) && specialKind(e) == kWalk) return Info(walk(in));
    const unsigned len = codeLength(e);
    if (len > in.count()) failTruncated();
    in.consume(len);
    return (e & ~0xFFFu) | ((e & kSpecial) ? 0 : totalBits(e) - len);
  }

 private:
  static constexpr uint32_t kPrimary = 1u << PrimaryBits;
  // Subtables: one per distinct primary slot of the longer codes, each of
  // 2^(15 - PrimaryBits) entries at most.
  uint32_t table_[kPrimary + MaxSymbols * (1u << (kMaxCodeLength - PrimaryBits))];
};

using LiteralCode = FastCode<11, 288, literalLengthInfo>;
using DistanceCode = FastCode<8, 32, distanceInfo>;

struct FixedCodes {
  LiteralCode literal;
  DistanceCode distance;
  FixedCodes() {
    literal.build(kFixedLiteralLengths.data(), kFixedLiteralLengths.size());
    distance.build(kFixedDistanceLengths.data(), kFixedDistanceLengths.size());
  }
};

const FixedCodes& fixedCodes() {
  static const FixedCodes codes;
  return codes;
}

// Writes the literal of entry e at out and moves past it.
inline void storeLiteral(uint8_t*& out, uint32_t e) { *out++ = static_cast<uint8_t>(e >> 16); }

// Copies `length` bytes from `dist` back to dst; overlapping copies repeat
// the pattern. Writes at least 32 bytes and up to 31 past the match, inside
// the room kept: most matches are then copied without a branch.
constexpr size_t kCopySlack = 32;
inline void copyMatch(uint8_t* dst, size_t dist, size_t length) {
  const uint8_t* src = dst - dist;
  if (dist >= 16) {
    std::memcpy(dst, src, 16);
    std::memcpy(dst + 16, src + 16, 16);
    for (size_t i = 32; i < length; i += 16) std::memcpy(dst + i, src + i, 16);
    return;
  }
  if (dist >= 8) {
    std::memcpy(dst, src, 8);
    std::memcpy(dst + 8, src + 8, 8);
    for (size_t i = 16; i < length; i += 8) std::memcpy(dst + i, src + i, 8);
    return;
  }
  if (dist == 1) {
    std::memset(dst, *src, length);
    return;
  }
  // Pattern expansion: the dist bytes repeated across a word, stored every
  // `step` bytes (the largest multiple of dist up to 8), so no load waits
  // for a store of this copy.
  uint64_t v = base::loadLe64(src) & ((uint64_t{1} << (8 * dist)) - 1);
  for (size_t shift = 8 * dist; shift < 64; shift *= 2) v |= v << shift;
  const size_t step = 8 / dist * dist;
  for (size_t i = 0; i < length; i += step) base::storeLe64(dst + i, v);
}

// Where the output goes when it does not go into one buffer: the buffer is
// a window that keeps the last 32 KiB, and produced bytes are handed to the
// sink (and summed into the Adler-32) before they slide out.
struct WindowState {
  InflateSink* sink = nullptr;
  size_t taken = 0;     // window index of the first byte not taken by the sink
  size_t adlerAt = 0;   // window index of the first byte not yet summed
  uint32_t adler = 1;
};

class Inflater {
 public:
  // Output into `out`, which starts `initialSize` bytes large (at most the
  // cap plus the room) and grows as needed. With a window, `out` is the
  // window and never grows beyond need.
  Inflater(std::span<const ByteView> pieces, size_t start, size_t cap, Bytes& out,
           size_t initialSize, WindowState* window = nullptr)
      : in_(pieces, start), cap_(cap), growable_(&out), window_(window), codes_(new Codes) {
    allocLimit_ = cap > SIZE_MAX - kRoom ? SIZE_MAX : cap + kRoom;
    if (out.size() < initialSize) out.resize(std::min(initialSize, allocLimit_));
    data_ = out.data();
    size_ = out.size();
  }
  // Output into the `cap` bytes at `out`, which never grow: nothing is
  // written past them, so the last matches take the careful copy.
  Inflater(std::span<const ByteView> pieces, size_t start, uint8_t* out, size_t cap)
      : in_(pieces, start), cap_(cap), allocLimit_(cap), data_(out), size_(cap), window_(nullptr),
        codes_(new Codes) {}

  void run() {
    bool last = false;
    while (!last) {
      last = in_.bits(1) != 0;
      switch (in_.bits(2)) {
        case 0: storedBlock(); break;
        case 1: codedBlock(fixedCodes().literal, fixedCodes().distance); break;
        case 2: dynamicBlock(); break;
        default: fail(ekInvalid, "deflate: reserved BTYPE 3");
      }
    }
  }

  // Output length so far (in a window: the window index of the end).
  size_t position() const { return pos_; }

  // Sums the output into an Adler-32 as it is produced (one buffer only).
  void sumAdler() { sumsAdler_ = true; }
  // The Adler-32 of the whole output, once run() has returned.
  uint32_t adler() {
    adler_ = adler32(ByteView(data_ + adlerAt_, pos_ - adlerAt_), adler_);
    adlerAt_ = pos_;
    return adler_;
  }
  uint64_t produced() const { return discarded_ + pos_; }
  BitReader& input() { return in_; }

  // Hands every produced byte to the sink and sums it.
  void flushWindow() {
    WindowState& w = *window_;
    w.adler = adler32(ByteView(data_ + w.adlerAt, pos_ - w.adlerAt), w.adler);
    w.adlerAt = pos_;
    if (pos_ > w.taken) w.taken += w.sink->take(data_ + w.taken, pos_ - w.taken);
  }

 private:
  struct Codes {
    LengthsCode lengths;
    LiteralCode literal;
    DistanceCode distance;
  };

  // Makes sure `need` bytes fit past the write position (the caller has
  // checked the cap, so need never passes the cap plus the room). A fixed
  // output is left as it is: it ends at the cap.
  void makeRoom(size_t need) {
    if (size_ - pos_ >= need || growable_ == nullptr) return;
    if (window_ != nullptr) {
      flushWindow();
      WindowState& w = *window_;
      // Keep the bytes the sink has not taken and the last 32 KiB.
      const size_t drop = std::min(w.taken, pos_ > kHistory ? pos_ - kHistory : 0);
      if (drop > 0) {
        std::memmove(data_, data_ + drop, pos_ - drop);
        pos_ -= drop;
        w.taken -= drop;
        w.adlerAt -= drop;
        discarded_ += drop;
      }
      if (size_ - pos_ >= need) return;
    }
    const size_t doubled = size_ > SIZE_MAX / 2 ? SIZE_MAX : size_ * 2;
    growable_->resize(std::min(std::max(pos_ + need, doubled), allocLimit_));
    data_ = growable_->data();
    size_ = growable_->size();
  }

  // Output bytes still allowed by the cap.
  size_t capLeft() const { return static_cast<size_t>(cap_ - produced()); }

  void storedBlock() {
    in_.alignToByte();
    if (in_.bytesLeft() < 4) fail(ekTruncated, "deflate: stored header truncated");
    uint8_t h[4];
    in_.readBytes(h, 4);
    const unsigned len = base::loadLe16(h);
    const unsigned nlen = base::loadLe16(h + 2);
    if (nlen != (len ^ 0xFFFF)) fail(ekInvalid, "deflate: stored LEN/NLEN mismatch");
    if (in_.bytesLeft() < len) fail(ekTruncated, "deflate: stored block truncated");
    if (len > capLeft()) failCap();
    size_t left = len;
    makeRoom(window_ != nullptr ? kRoom : len + kRoom);
    while (left > 0) {
      const size_t n = std::min(left, size_ - pos_);
      in_.readBytes(data_ + pos_, n);
      pos_ += n;
      left -= n;
      makeRoom(kRoom);
    }
  }

  void dynamicBlock() {
    unsigned hlit = in_.bits(5) + 257;
    unsigned hdist = in_.bits(5) + 1;
    unsigned hclen = in_.bits(4) + 4;
    uint8_t codeLengths[19] = {};
    for (unsigned i = 0; i < hclen; ++i) {
      codeLengths[kCodeLenOrder[i]] = static_cast<uint8_t>(in_.bits(3));
    }
    Codes& c = *codes_;
    c.lengths.build(codeLengths, 19);

    // Literal/length and distance lengths form one sequence: repeats may run
    // from one part into the other.
    const unsigned total = hlit + hdist;
    uint8_t lengths[320];
    unsigned n = 0;
    while (n < total) {
      in_.refill();
      unsigned sym = c.lengths.decode(in_);
      if (sym < 16) {
        lengths[n++] = static_cast<uint8_t>(sym);
        continue;
      }
      uint8_t value = 0;
      unsigned repeat;
      if (sym == 16) {
        if (n == 0) fail(ekInvalid, "deflate: code 16 at start");
        value = lengths[n - 1];
        repeat = 3 + in_.bits(2);
        if (repeat > total - n) fail(ekInvalid, "deflate: code 16 overruns");
      } else if (sym == 17) {
        repeat = 3 + in_.bits(3);
        if (repeat > total - n) fail(ekInvalid, "deflate: code 17 overruns");
      } else {
        repeat = 11 + in_.bits(7);
        if (repeat > total - n) fail(ekInvalid, "deflate: code 18 overruns");
      }
      std::fill(lengths + n, lengths + n + repeat, value);
      n += repeat;
    }
    c.literal.build(lengths, hlit);
    c.distance.build(lengths + hlit, hdist);
    codedBlock(c.literal, c.distance);
  }

  // A distance in the careful form (extra bits checked), after its length.
  static size_t slowDistance(const DistanceCode& distance, BitReader& in) {
    const uint32_t d = distance.decodeSlow(in);
    if (d & kSpecial) fail(ekInvalid, "deflate: bad distance code");
    return (d >> 16) + in.bits(totalBits(d));
  }

  // The symbols of one block. The fast loop runs while the current input
  // piece holds 8 more bytes and the output has room for a whole match
  // within the buffer and the cap: one refill then covers a length/distance
  // pair (at most 15 + 5 + 15 + 13 bits) or three literals, and no check of
  // input or output is needed. Otherwise one symbol is decoded with every
  // check. The reader and the output position live in locals so byte stores
  // into the output cannot force them to memory.
  void codedBlock(const LiteralCode& literal, const DistanceCode& distance) {
    BitReader in = in_;
    for (;;) {
      uint8_t* const data = data_;
      {
        // Fast loop bounds: pos < limit leaves kRoom bytes of buffer and
        // kMaxMatch bytes of cap.
        const size_t capEnd = static_cast<size_t>(cap_ - discarded_);
        size_t limit = size_ >= kRoom ? size_ - kRoom + 1 : 0;
        limit = std::min(limit, capEnd >= kMaxMatch ? capEnd - kMaxMatch + 1 : 0);
        if (sumsAdler_) {
          if (pos_ - adlerAt_ >= kAdlerStep) adler();
          limit = std::min(limit, adlerAt_ + kAdlerStep);
        }
        uint8_t* out = data + pos_;
        uint8_t* const fastEnd = data + limit;
        bool endOfBlock = false;
        // The entry of the next code is looked up before the refill: after
        // a refill and one step (at most 48 bits), the word still holds at
        // least 16 input bits, enough for any code.
        uint32_t e = 0;
        if (out < fastEnd && in.fastInput()) {
          in.refillFast();
          e = literal.lookup(in.peek());
        }
        while (out < fastEnd && in.fastInput()) {
          in.refillFast();
          // Links, walks and special symbols consume 0 bits here.
          const uint64_t bits = in.peek();
          in.consume(totalBits(e));
          if (e & kLiteral) {
            storeLiteral(out, e);
            e = literal.lookup(in.peek());
            if (e & kLiteral) {
              in.consume(totalBits(e));
              storeLiteral(out, e);
              e = literal.lookup(in.peek());
              if (e & kLiteral) {
                in.consume(totalBits(e));
                storeLiteral(out, e);
                e = literal.lookup(in.peek());
              }
            }
            continue;
          }
          if (e & kSpecial) {
            if (specialKind(e) == kEndOfBlock) {
              in.consume(codeLength(e));
              endOfBlock = true;
            }
            break;  // the end, or a symbol for the careful path
          }
          const size_t length = (e >> 16) + extraBits(bits, e);
          const uint64_t dbits = in.peek();
          const uint32_t d = distance.lookup(dbits);
          in.consume(totalBits(d));
          const size_t dist =
              (d & kSpecial) ? slowDistance(distance, in) : (d >> 16) + extraBits(dbits, d);
          if (dist > static_cast<size_t>(out - data)) fail(ekInvalid, "deflate: distance too far back");
          e = literal.lookup(in.peek());
          copyMatch(out, dist, length);
          out += length;
        }
        pos_ = static_cast<size_t>(out - data);
        if (endOfBlock) break;
      }

      // One symbol with every check.
      makeRoom(kRoom);
      in.refill();
      const uint32_t e = literal.decodeSlow(in);
      if (e & kLiteral) {
        if (capLeft() == 0) failCap();
        data_[pos_++] = static_cast<uint8_t>(e >> 16);
        continue;
      }
      if (e & kSpecial) {
        if (specialKind(e) == kEndOfBlock) break;
        fail(ekInvalid, "deflate: bad length code");
      }
      const size_t length = (e >> 16) + in.bits(totalBits(e));
      const size_t dist = slowDistance(distance, in);
      if (dist > pos_) fail(ekInvalid, "deflate: distance too far back");
      if (length > capLeft()) failCap();
      if (size_ - pos_ >= length + kCopySlack) {
        copyMatch(data_ + pos_, dist, length);
      } else {
        for (size_t i = 0; i < length; ++i) data_[pos_ + i] = data_[pos_ + i - dist];
      }
      pos_ += length;
    }
    in_ = in;
  }

  BitReader in_;
  uint64_t cap_;
  size_t allocLimit_;
  Bytes* growable_ = nullptr;  // null for a fixed output
  uint8_t* data_ = nullptr;    // the output (or window) and its size
  size_t size_ = 0;
  size_t pos_ = 0;
  bool sumsAdler_ = false;
  size_t adlerAt_ = 0;  // output bytes summed into adler_
  uint32_t adler_ = 1;
  uint64_t discarded_ = 0;  // bytes slid out of the window
  WindowState* window_;
  std::unique_ptr<Codes> codes_;
};

// The first buffer is sized from the input, never beyond what the input
// could expand to: a small stream with a large cap grows the buffer only as
// it produces output.
size_t firstBufferSize(uint64_t inputLeft, size_t cap, bool capIsExpectedSize) {
  const size_t most = mostOutput(inputLeft);
  const size_t guess = capIsExpectedSize ? most
                                         : std::min(most, inputLeft > SIZE_MAX / 8
                                                              ? SIZE_MAX
                                                              : static_cast<size_t>(inputLeft) * 4 + 65536);
  return std::min(guess, cap > SIZE_MAX - kRoom ? SIZE_MAX : cap + kRoom);
}

}  // namespace

InflateResult inflateWithConsumed(ByteView data, size_t start, size_t cap,
                                  bool capIsExpectedSize) {
  const ByteView pieces[1] = {data};
  InflateResult r;
  const size_t inputLeft = data.size() - std::min(start, data.size());
  Inflater inflater(pieces, start, cap, r.output, firstBufferSize(inputLeft, cap, capIsExpectedSize));
  inflater.run();
  r.output.resize(inflater.position());
  r.consumed = static_cast<size_t>(inflater.input().consumed());
  return r;
}

namespace {

// The zlib framing around an Inflater made by `make` over the stream after
// the header.
template <class Make>
size_t zlibFramed(ByteView data, Make make) {
  if (data.size() < 2) fail(ekTruncated, "zlib: header truncated");
  checkZlibHeader(data[0], data[1]);
  const ByteView pieces[1] = {data};
  Inflater inflater = make(std::span<const ByteView>(pieces));
  inflater.sumAdler();
  inflater.run();
  const size_t consumed = static_cast<size_t>(inflater.input().consumed());
  const size_t length = inflater.position();
  if (data.size() - consumed < 4) fail(ekTruncated, "zlib: trailer truncated");
  const uint32_t expected = base::loadBe32(data.data() + consumed);
  if (inflater.adler() != expected) fail(ekInvalid, "zlib: Adler-32 mismatch");
  return length;
}

}  // namespace

size_t zlibInflateInto(ByteView data, size_t cap, Bytes& buffer) {
  return zlibFramed(data, [&](std::span<const ByteView> pieces) {
    return Inflater(pieces, 2, cap, buffer, firstBufferSize(data.size() - 2, cap, true));
  });
}

size_t zlibInflateTo(ByteView data, uint8_t* out, size_t cap) {
  return zlibFramed(data, [&](std::span<const ByteView> pieces) { return Inflater(pieces, 2, out, cap); });
}

uint64_t zlibInflatePieces(std::span<const ByteView> pieces, size_t cap, size_t maxHold,
                           InflateSink& sink) {
  uint64_t total = 0;
  for (ByteView p : pieces) total += p.size();
  if (total < 2) fail(ekTruncated, "zlib: header truncated");
  BitReader header(pieces, 0);
  header.alignToByte();
  uint8_t h[2];
  header.readBytes(h, 2);
  checkZlibHeader(h[0], h[1]);

  // The window: history, what the sink may hold and room to work in, but
  // no more than the cap or the input can fill.
  size_t size = kHistory + kWindowWork + kRoom;
  size = maxHold > SIZE_MAX - size ? SIZE_MAX : size + maxHold;
  size = std::min(size, firstBufferSize(total - 2, cap, true));
  Bytes window;
  WindowState state;
  state.sink = &sink;
  // The stream starts after the header's two bytes, which may lie in
  // different pieces.
  size_t skip = 2;
  size_t first = 0;
  while (first < pieces.size() && skip >= pieces[first].size()) skip -= pieces[first++].size();
  Inflater inflater(pieces.subspan(first), skip, cap, window, size, &state);
  inflater.run();
  inflater.flushWindow();

  BitReader& in = inflater.input();
  in.alignToByte();
  if (in.bytesLeft() < 4) fail(ekTruncated, "zlib: trailer truncated");
  uint8_t trailer[4];
  in.readBytes(trailer, 4);
  if (state.adler != base::loadBe32(trailer)) fail(ekInvalid, "zlib: Adler-32 mismatch");
  return inflater.produced();
}

}  // namespace kd::compress
