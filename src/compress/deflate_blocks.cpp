// Blocks of the levelled DEFLATE encoder. Sequences gather in chunks of
// kChunkTokens tokens; at the end of each chunk the open block either takes
// the chunk in or is written out, whichever the entropy of the symbol
// counts says is cheaper (a new block pays for its code description). A
// written block costs exactly what the cheapest of its three encodings
// costs: every code length and run-length symbol is counted.
#include "compress/deflate_blocks.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "compress/deflate.h"
#include "compress/huffman.h"

namespace kd::compress {

namespace {

constexpr size_t kStoredMax = 65535;

// Reversed code words of the code lengths[0, n); symbols without a word
// get 0.
void codeWords(const uint8_t* lengths, size_t n, uint16_t* words) {
  LengthCounts count{};
  std::array<uint16_t, 288> sorted{};
  sortCanonical(lengths, n, count, sorted.data());
  std::fill_n(words, n, uint16_t{0});
  forEachCodeWord(count, sorted.data(), [words](uint16_t symbol, unsigned, uint32_t reversed) {
    words[symbol] = static_cast<uint16_t>(reversed);
  });
}

// Bits the symbols take under the code lengths, extra bits included.
uint64_t symbolBits(const uint32_t* lit, const uint32_t* dist, const uint8_t* litLen,
                    const uint8_t* distLen) {
  uint64_t cost = 0;
  for (size_t s = 0; s < 286; ++s) {
    cost += uint64_t{lit[s]} * (litLen[s] + (s >= 257 ? kLengthExtra[s - 257] : 0));
  }
  for (size_t s = 0; s < 30; ++s) cost += uint64_t{dist[s]} * (distLen[s] + kDistExtra[s]);
  return cost;
}

// log2 of a positive count to within about 0.005: the exponent plus a
// quadratic in the mantissa. Plain IEEE arithmetic, so the blocks come out
// the same under every library and compiler.
inline double approxLog2(double x) {
  const auto bits = std::bit_cast<uint64_t>(x);
  const auto exponent = static_cast<double>(static_cast<int>((bits >> 52) & 0x7FF) - 1023);
  const double m = std::bit_cast<double>((bits & 0xFFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
  return exponent + (-0.34484843 * m + 2.02466578) * m - 0.67487759;
}

// Shannon estimate of the bits of a set of counts, plus what describing a
// code for them roughly costs (about four bits per used symbol).
double estimateBits(const uint32_t* freq, size_t n) {
  uint64_t total = 0;
  size_t used = 0;
  for (size_t s = 0; s < n; ++s) {
    total += freq[s];
    used += freq[s] != 0;
  }
  if (total == 0) return 0;
  double bits = static_cast<double>(total) * approxLog2(static_cast<double>(total));
  for (size_t s = 0; s < n; ++s) {
    if (freq[s] > 1) bits -= freq[s] * approxLog2(static_cast<double>(freq[s]));
  }
  return bits + 4.0 * static_cast<double>(used);
}

// The dynamic block header of RFC 1951, 3.2.7: the code lengths of both
// codes run-length coded, and the code-length code that codes them.
struct DynamicHeader {
  std::array<uint8_t, 286> litLen{};
  std::array<uint8_t, 30> distLen{};
  size_t hlit = 257;
  size_t hdist = 1;
  size_t hclen = 4;
  std::array<uint8_t, 19> clLen{};
  std::vector<std::array<uint8_t, 2>> runs;  // (symbol, extra value)
  uint64_t bits = 0;                         // the header's own bits

  DynamicHeader(const uint32_t* lit, const uint32_t* dist) {
    buildLimitedLengths(lit, 286, 15, litLen.data());
    buildLimitedLengths(dist, 30, 15, distLen.data());
    hlit = 286;
    while (hlit > 257 && litLen[hlit - 1] == 0) --hlit;
    hdist = 30;
    while (hdist > 1 && distLen[hdist - 1] == 0) --hdist;
    std::array<uint8_t, 316> all{};
    std::copy_n(litLen.begin(), hlit, all.begin());
    std::copy_n(distLen.begin(), hdist, all.begin() + static_cast<ptrdiff_t>(hlit));
    const size_t total = hlit + hdist;
    for (size_t i = 0; i < total;) {
      const uint8_t len = all[i];
      size_t run = 1;
      while (i + run < total && all[i + run] == len) ++run;
      size_t left = run;
      if (len == 0) {
        while (left >= 11) {
          const size_t n = std::min<size_t>(left, 138);
          runs.push_back({18, static_cast<uint8_t>(n - 11)});
          left -= n;
        }
        if (left >= 3) {
          runs.push_back({17, static_cast<uint8_t>(left - 3)});
          left = 0;
        }
      } else {
        runs.push_back({len, 0});
        --left;
        while (left >= 3) {
          const size_t n = std::min<size_t>(left, 6);
          runs.push_back({16, static_cast<uint8_t>(n - 3)});
          left -= n;
        }
      }
      for (; left > 0; --left) runs.push_back({len, 0});
      i += run;
    }
    std::array<uint32_t, 19> clFreq{};
    for (const auto& r : runs) ++clFreq[r[0]];
    buildLimitedLengths(clFreq.data(), 19, 7, clLen.data());
    hclen = 19;
    while (hclen > 4 && clLen[kCodeLenOrder[hclen - 1]] == 0) --hclen;
    bits = 14 + 3 * hclen;
    for (const auto& r : runs) bits += clLen[r[0]] + extraBits(r[0]);
  }

  static unsigned extraBits(uint8_t symbol) {
    return symbol == 16 ? 2 : symbol == 17 ? 3 : symbol == 18 ? 7 : 0;
  }

  void write(DeflateBitWriter& out) const {
    out.put(static_cast<uint32_t>(hlit - 257), 5);
    out.put(static_cast<uint32_t>(hdist - 1), 5);
    out.put(static_cast<uint32_t>(hclen - 4), 4);
    for (size_t i = 0; i < hclen; ++i) out.put(clLen[kCodeLenOrder[i]], 3);
    std::array<uint16_t, 19> words{};
    codeWords(clLen.data(), 19, words.data());
    for (const auto& r : runs) {
      out.add(words[r[0]], clLen[r[0]]);
      out.put(r[1], extraBits(r[0]));
    }
  }
};

}  // namespace

void DeflateBitWriter::room(size_t bytes) {
  if (out_.size() < at_ + bytes + 16) {
    out_.resize(std::max(out_.size() + out_.size() / 2, at_ + bytes + 16));
  }
}

void DeflateBitWriter::alignAndCopy(const uint8_t* p, size_t n) {
  flush();
  if (count_ > 0) ++at_;
  acc_ = 0;
  count_ = 0;
  room(n);
  if (n > 0) std::memcpy(out_.data() + at_, p, n);
  at_ += n;
}

void DeflateBitWriter::finish() {
  room(0);
  flush();
  if (count_ > 0) ++at_;
  acc_ = 0;
  count_ = 0;
  out_.resize(at_);
}

void DeflateBlocks::Freqs::add(const Freqs& o) {
  for (size_t s = 0; s < lit.size(); ++s) lit[s] += o.lit[s];
  for (size_t s = 0; s < dist.size(); ++s) dist[s] += o.dist[s];
}

DeflateBlocks::DeflateBlocks(base::ByteView data, DeflateBitWriter& bits)
    : data_(data.data()), bits_(bits) {
  sequences_.reserve(kChunkTokens * 2);
}

void DeflateBlocks::literals(size_t n) {
  while (n > 0) {
    const size_t take = std::min(n, kChunkTokens - chunkTokens_);
    const uint8_t* p = data_ + cursor_;
    for (size_t k = 0; k < take; ++k) ++chunk_.lit[p[k]];
    cursor_ += take;
    pendingLiterals_ += static_cast<uint32_t>(take);
    chunkTokens_ += take;
    n -= take;
    if (chunkTokens_ >= kChunkTokens) endChunk();
  }
}

void DeflateBlocks::closeRun() {
  if (pendingLiterals_ > 0) sequences_.push_back({pendingLiterals_, 0, 0});
  pendingLiterals_ = 0;
}

void DeflateBlocks::endChunk() {
  closeRun();
  const double chunkBits = estimateBits(chunk_.lit.data(), 286) + estimateBits(chunk_.dist.data(), 30);
  if (blockTokens_ == 0) {
    block_ = chunk_;
    blockBits_ = chunkBits;
  } else {
    Freqs merged = block_;
    merged.add(chunk_);
    const double together = estimateBits(merged.lit.data(), 286) + estimateBits(merged.dist.data(), 30);
    if (blockBits_ + chunkBits < together || blockTokens_ + chunkTokens_ > kMaxBlockTokens) {
      writeBlock(chunkFirstSequence_, chunkStart_ - blockStart_, block_, false);
      sequences_.erase(sequences_.begin(),
                       sequences_.begin() + static_cast<ptrdiff_t>(chunkFirstSequence_));
      blockStart_ = chunkStart_;
      block_ = chunk_;
      blockBits_ = chunkBits;
      blockTokens_ = 0;
    } else {
      block_ = merged;
      blockBits_ = together;
    }
  }
  blockTokens_ += chunkTokens_;
  chunk_ = Freqs{};
  chunkTokens_ = 0;
  chunkStart_ = cursor_;
  chunkFirstSequence_ = sequences_.size();
}

void DeflateBlocks::finish() {
  endChunk();
  writeBlock(sequences_.size(), cursor_ - blockStart_, block_, true);
  sequences_.clear();
  blockStart_ = cursor_;
}

void DeflateBlocks::writeBlock(size_t count, size_t bytes, const Freqs& freq, bool final) {
  std::array<uint32_t, 286> lit = freq.lit;
  lit[256] = 1;
  // Two distance words at least, so every inflater takes the code.
  std::array<uint32_t, 30> dist = freq.dist;
  if (std::count_if(dist.begin(), dist.end(), [](uint32_t f) { return f != 0; }) < 2) {
    dist[0] = std::max<uint32_t>(dist[0], 1);
    dist[1] = std::max<uint32_t>(dist[1], 1);
  }
  const DynamicHeader header(lit.data(), dist.data());
  const uint64_t dynamicCost =
      3 + header.bits + symbolBits(lit.data(), freq.dist.data(), header.litLen.data(), header.distLen.data());
  const uint64_t fixedCost = 3 + symbolBits(lit.data(), freq.dist.data(), kFixedLiteralLengths.data(),
                                            kFixedDistanceLengths.data());
  const size_t pieces = std::max<size_t>(1, (bytes + kStoredMax - 1) / kStoredMax);
  const uint64_t storedCost =
      (8 - (bits_.pending() + 3) % 8) % 8 + 3 + 32 + (pieces - 1) * 48 + uint64_t{8} * bytes;

  if (storedCost < fixedCost && storedCost < dynamicCost) {
    const uint8_t* p = data_ + blockStart_;
    for (size_t k = 0; k < pieces; ++k) {
      const size_t n = std::min(bytes - k * kStoredMax, kStoredMax);
      bits_.room(8);
      bits_.put(final && k + 1 == pieces ? 1 : 0, 3);
      std::array<uint8_t, 4> lengths{};
      base::storeLe16(lengths.data(), static_cast<uint16_t>(n));
      base::storeLe16(lengths.data() + 2, static_cast<uint16_t>(~n));
      bits_.alignAndCopy(lengths.data(), lengths.size());
      bits_.alignAndCopy(p + k * kStoredMax, n);
    }
    return;
  }
  bits_.room(2 * bytes + 1024);
  const bool fixed = fixedCost <= dynamicCost;
  bits_.put((final ? 1 : 0) | (fixed ? 1 : 2) << 1, 3);
  const uint8_t* litLen = fixed ? kFixedLiteralLengths.data() : header.litLen.data();
  const uint8_t* distLen = fixed ? kFixedDistanceLengths.data() : header.distLen.data();
  if (!fixed) header.write(bits_);
  std::array<uint16_t, 288> litWords{};
  std::array<uint16_t, 30> distWords{};
  codeWords(litLen, fixed ? 288 : 286, litWords.data());
  codeWords(distLen, 30, distWords.data());
  // Code entries: the word in the upper bits, its length in the low 8.
  std::array<uint32_t, 256> literalCode{};
  for (size_t s = 0; s < 256; ++s) literalCode[s] = uint32_t{litWords[s]} << 8 | litLen[s];
  std::array<uint32_t, 259> lengthCode{};
  for (size_t len = 3; len <= 258; ++len) {
    const unsigned k = kLengthIndex[len];
    const unsigned n = litLen[257 + k];
    const uint32_t word = litWords[257 + k] | static_cast<uint32_t>(len - kLengthBase[k]) << n;
    lengthCode[len] = word << 8 | (n + kLengthExtra[k]);
  }
  std::array<uint32_t, 30> distCode{};
  for (size_t d = 0; d < 30; ++d) distCode[d] = uint32_t{distWords[d]} << 8 | distLen[d];

  // Between flushes: three literals (45 bits) or one match (20 + 15 + 13).
  const uint8_t* p = data_ + blockStart_;
  for (size_t i = 0; i < count; ++i) {
    const Sequence s = sequences_[i];
    const uint8_t* end = p + s.literals;
    for (; end - p >= 3; p += 3) {
      bits_.add(literalCode[p[0]] >> 8, literalCode[p[0]] & 0xFF);
      bits_.add(literalCode[p[1]] >> 8, literalCode[p[1]] & 0xFF);
      bits_.add(literalCode[p[2]] >> 8, literalCode[p[2]] & 0xFF);
      bits_.flush();
    }
    for (; p < end; ++p) bits_.add(literalCode[*p] >> 8, literalCode[*p] & 0xFF);
    bits_.flush();
    if (s.length == 0) continue;
    const uint32_t lc = lengthCode[s.length];
    bits_.add(lc >> 8, lc & 0xFF);
    const unsigned d = distSymbol(s.dist);
    bits_.add(distCode[d] >> 8, distCode[d] & 0xFF);
    bits_.add(s.dist - kDistBase[d], kDistExtra[d]);
    bits_.flush();
    p += s.length;
  }
  bits_.put(litWords[256], litLen[256]);
}

}  // namespace kd::compress
