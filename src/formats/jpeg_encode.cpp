// Baseline sequential JPEG encoding: one frame, one interleaved scan, no
// subsampling, the Annex K tables scaled to the quality. The DCT and colour
// transform run in the kernels of jpeg_kernels.h (their arithmetic fixes the
// coded bytes); here the coefficients are Huffman-coded:
//   - the non-zero coefficients are found through a mask, and each symbol
//     goes out with its value bits in one step, without branching on signs;
//   - bits leave the writer 32 at a time, a word without an 0xFF byte
//     stored whole.
#include <algorithm>
#include <cstring>
#include <vector>

#include "base/cpu.h"
#include "base/heap_bytes.h"
#include "formats/codecs.h"
#include "formats/jpeg.h"
#include "formats/jpeg_kernels.h"

namespace kd::formats {

namespace jpeg {

std::array<uint8_t, 64> scaleQt(const std::array<uint8_t, 64>& base, int quality) {
  quality = std::min(quality, 100);
  const int scale = quality < 2 ? 5000 : quality < 50 ? 5000 / quality : 200 - 2 * quality;
  std::array<uint8_t, 64> out{};
  for (size_t i = 0; i < 64; ++i) {
    const int raw = base[i] * scale + 50;
    out[i] = raw < 100 ? 1 : raw > 25599 ? 255 : static_cast<uint8_t>(raw / 100);
  }
  return out;
}

}  // namespace jpeg

namespace {

using jpeg::ZigZag;
using jpeg::EncodeKernels;


// Code and length of each symbol of an Annex K table in one entry:
// code << 8 | length (a code has at most 16 bits).
struct HuffEncoder {
  uint32_t codeLength[256] = {};
  KD_INLINE uint32_t code(int symbol) const { return codeLength[symbol] >> 8; }
  KD_INLINE int length(int symbol) const { return static_cast<int>(codeLength[symbol] & 0xFF); }
};

HuffEncoder buildHuffEnc(const uint8_t* bits, const uint8_t* symbols) {
  HuffEncoder e;
  uint32_t code = 0;
  size_t k = 0;
  for (uint32_t l = 1; l <= 16; ++l) {
    for (int i = 0; i < bits[l - 1]; ++i, ++k) e.codeLength[symbols[k]] = code++ << 8 | l;
    code <<= 1;
  }
  return e;
}

struct EncoderTables {
  HuffEncoder dc[2];
  HuffEncoder ac[2];
};

const EncoderTables& encoderTables() {
  static const EncoderTables tables = [] {
    EncoderTables t;
    t.dc[0] = buildHuffEnc(jpeg::Dc0Bits.data(), jpeg::Dc0Syms.data());
    t.dc[1] = buildHuffEnc(jpeg::Dc1Bits.data(), jpeg::Dc1Syms.data());
    t.ac[0] = buildHuffEnc(jpeg::Ac0Bits.data(), jpeg::Ac0Syms.data());
    t.ac[1] = buildHuffEnc(jpeg::Ac1Bits.data(), jpeg::Ac1Syms.data());
    return t;
  }();
  return tables;
}

// MSB-first bit packing with a 0x00 after every 0xFF byte. Bits gather in
// a 64-bit register and leave 32 at a time; a word without an 0xFF byte is
// stored whole. The output grows in steps: `reserve` before each block
// guarantees room for it, so the stores need no bounds test. A block is
// written through a Cursor, a copy of the state held in local variables
// (the byte stores could otherwise alias the writer's own fields, forcing
// them back to memory after every store).
class BitWriter {
 public:
  struct Cursor {
    uint8_t* p;
    uint64_t acc;
    int bits;

    // n in 0..32 bits, `value` below 2^n.
    KD_INLINE void put(uint32_t value, int n) {
      acc = acc << n | value;
      bits += n;
      if (bits >= 32) flushWord();
    }
    KD_INLINE void flushWord() {
      bits -= 32;
      const auto word = static_cast<uint32_t>(acc >> bits);
      // A byte is 0xFF exactly when its complement is zero.
      const uint32_t inv = ~word;
      const uint32_t be = __builtin_bswap32(word);
      std::memcpy(p, &be, 4);
      if (((inv - 0x01010101u) & ~inv & 0x80808080u) == 0) [[likely]] {
        p += 4;
        return;
      }
      for (int shift = 24; shift >= 0; shift -= 8) putByte(static_cast<uint8_t>(word >> shift));
    }
    KD_INLINE void putByte(uint8_t byte) {
      *p++ = byte;
      if (byte == 0xFF) *p++ = 0x00;
    }
  };

  explicit BitWriter(base::HeapBytes& out) : out_(out), pos_(out.size()) {}

  // Room for `n` more bytes (stuffing included), and a cursor at the end.
  Cursor open(size_t n) {
    if (room_ - pos_ < n) {
      room_ = std::max(room_ + room_ / 2, pos_ + n);
      out_.resize(room_);
    }
    return Cursor{out_.data() + pos_, acc_, bits_};
  }
  void close(const Cursor& c) {
    pos_ = static_cast<size_t>(c.p - out_.data());
    acc_ = c.acc;
    bits_ = c.bits;
  }
  // Pads the last byte with 1-bits and trims the output to what was written.
  void finish() {
    Cursor c = open(16);
    if (c.bits % 8 != 0) c.put((1u << (8 - c.bits % 8)) - 1, 8 - c.bits % 8);
    while (c.bits >= 8) {
      c.bits -= 8;
      c.putByte(static_cast<uint8_t>(c.acc >> c.bits));
    }
    close(c);
    out_.resize(pos_);
  }

 private:
  base::HeapBytes& out_;
  size_t pos_;
  size_t room_ = out_.size();
  uint64_t acc_ = 0;
  int bits_ = 0;
};

void emitDht(base::HeapBytes& out, uint8_t tcTh, const uint8_t* bits, const uint8_t* symbols,
             size_t n) {
  out.push_back(tcTh);
  out.append(bits, 16);
  out.append(symbols, n);
}

void putU16(base::HeapBytes& out, unsigned v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v & 0xFF));
}

void writeHeaders(base::HeapBytes& out, const Image& img, const std::array<uint8_t, 64>& qlum,
                  const std::array<uint8_t, 64>& qchr) {
  const bool colour = img.colorspace == csRgb;
  const int count = colour ? 3 : 1;
  // SOI, APP0 (JFIF 1.01, no units, density 1x1, no thumbnail)
  const uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00,
                          0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00};
  out.append(head, sizeof head);
  // DQT
  out.push_back(0xFF);
  out.push_back(0xDB);
  putU16(out, colour ? 132 : 67);
  out.push_back(0x00);
  for (size_t k = 0; k < 64; ++k) out.push_back(qlum[ZigZag[k]]);
  if (colour) {
    out.push_back(0x01);
    for (size_t k = 0; k < 64; ++k) out.push_back(qchr[ZigZag[k]]);
  }
  // SOF0
  out.push_back(0xFF);
  out.push_back(0xC0);
  putU16(out, static_cast<unsigned>(8 + 3 * count));
  out.push_back(8);
  putU16(out, static_cast<unsigned>(img.height));
  putU16(out, static_cast<unsigned>(img.width));
  out.push_back(static_cast<uint8_t>(count));
  for (int c = 0; c < count; ++c) {
    out.push_back(static_cast<uint8_t>(c + 1));
    out.push_back(0x11);
    out.push_back(c == 0 ? 0 : 1);
  }
  // DHT
  out.push_back(0xFF);
  out.push_back(0xC4);
  putU16(out, colour ? 418 : 210);
  emitDht(out, 0x00, jpeg::Dc0Bits.data(), jpeg::Dc0Syms.data(), jpeg::Dc0Syms.size());
  if (colour) {
    emitDht(out, 0x01, jpeg::Dc1Bits.data(), jpeg::Dc1Syms.data(), jpeg::Dc1Syms.size());
  }
  emitDht(out, 0x10, jpeg::Ac0Bits.data(), jpeg::Ac0Syms.data(), jpeg::Ac0Syms.size());
  if (colour) {
    emitDht(out, 0x11, jpeg::Ac1Bits.data(), jpeg::Ac1Syms.data(), jpeg::Ac1Syms.size());
  }
  // SOS
  out.push_back(0xFF);
  out.push_back(0xDA);
  putU16(out, static_cast<unsigned>(6 + 2 * count));
  out.push_back(static_cast<uint8_t>(count));
  for (int c = 0; c < count; ++c) {
    out.push_back(static_cast<uint8_t>(c + 1));
    out.push_back(c == 0 ? 0x00 : 0x11);
  }
  out.push_back(0);
  out.push_back(63);
  out.push_back(0);
}

// Bits in zigzag order for each row of a natural-order mask:
// kZigZagBits[v][m] has bit ZigZag-position-of(8v + u) set for each bit u
// of m.
struct ZigZagBits {
  uint64_t bits[8][256];
};
const ZigZagBits& zigZagBits() {
  static const ZigZagBits table = [] {
    ZigZagBits t{};
    std::array<uint8_t, 64> inv{};
    for (size_t k = 0; k < 64; ++k) inv[ZigZag[k]] = static_cast<uint8_t>(k);
    for (size_t v = 0; v < 8; ++v) {
      for (unsigned m = 0; m < 256; ++m) {
        for (size_t u = 0; u < 8; ++u) {
          if (m >> u & 1) t.bits[v][m] |= uint64_t{1} << inv[8 * v + u];
        }
      }
    }
    return t;
  }();
  return table;
}

// Magnitude category of v and its value bits (negative values as v - 1 in
// the low bits), ready to follow a code. Branch-free: the sign of a
// coefficient is as good as random.
KD_INLINE int valueBits(int v, uint32_t& bits) {
  const int32_t sign = v >> 31;  // 0 or -1
  const auto magnitude = static_cast<uint32_t>((v ^ sign) - sign);
  const int size = 31 - __builtin_clz(magnitude * 2 + 1);  // 0 for 0
  bits = static_cast<uint32_t>(v + sign) & ((1u << size) - 1);
  return size;
}

// Codes one block of quantised coefficients (natural order, `nonZero`
// marking the non-zero ones) in zigzag order; `pred` is the previous DC
// value of the component. The runs between non-zero coefficients come from
// the mask and give the same symbols as counting zeros one by one; each
// code goes out together with its value bits.
void encBlock(BitWriter& w, const int32_t* natural, uint64_t nonZero, int& pred,
              const HuffEncoder& dc, const HuffEncoder& ac) {
  // 64 codes of at most 16 + 11 bits, doubled for stuffing.
  BitWriter::Cursor c = w.open(512);
  const ZigZagBits& table = zigZagBits();
  uint64_t zz = 0;
  for (size_t v = 0; v < 8; ++v) zz |= table.bits[v][nonZero >> (8 * v) & 0xFF];
  zz &= ~uint64_t{1};
  const int diff = natural[0] - pred;
  pred = natural[0];
  {
    uint32_t bits;
    const int size = valueBits(diff, bits);
    c.put(dc.code(size) << size | bits, dc.length(size) + size);
  }
  int last = 0;
  for (; zz != 0; zz &= zz - 1) {
    const int k = __builtin_ctzll(zz);
    int run = k - last - 1;
    while (run >= 16) {
      c.put(ac.code(0xF0), ac.length(0xF0));
      run -= 16;
    }
    uint32_t bits;
    const int size = valueBits(natural[ZigZag[static_cast<size_t>(k)]], bits);
    const int symbol = (run << 4 | size) & 0xFF;
    c.put(ac.code(symbol) << size | bits, ac.length(symbol) + size);
    last = k;
  }
  if (last != 63) c.put(ac.code(0x00), ac.length(0x00));
  w.close(c);
}

// Converts 8 picture rows starting at y0 into centred component samples,
// padded to whole blocks by repeating the last column and row. planes[c]
// holds 8 rows of `paddedWidth` floats.
void loadBand(const Image& img, size_t y0, size_t paddedWidth, const EncodeKernels& k,
              std::vector<float>* planes) {
  const auto width = static_cast<size_t>(img.width);
  const auto height = static_cast<size_t>(img.height);
  const bool colour = img.colorspace == csRgb;
  const size_t count = colour ? 3 : 1;
  for (size_t r = 0; r < 8; ++r) {
    float* p[3] = {};
    for (size_t c = 0; c < count; ++c) p[c] = planes[c].data() + r * paddedWidth;
    if (y0 + r < height) {
      const uint8_t* src = img.pixels.data() + (y0 + r) * width * count;
      k.colourRow(src, width, colour, p[0], p[1], p[2]);
      for (size_t c = 0; c < count; ++c) std::fill(p[c] + width, p[c] + paddedWidth, p[c][width - 1]);
    } else {
      for (size_t c = 0; c < count; ++c) std::copy_n(p[c] - paddedWidth, paddedWidth, p[c]);
    }
  }
}

}  // namespace

namespace jpeg {

void encodeJpegInto(const Image& img, int quality, bool useAvx2, bool useAvx512,
                    base::HeapBytes& out) {
  out.resize(0);
  if (img.colorspace != csGray && img.colorspace != csRgb) {
    fail(ekUnsupported, "jpeg: encode needs csGray or csRgb");
  }
  if (img.width < 1 || img.width > 65535 || img.height < 1 || img.height > 65535) {
    fail(ekInvalid, "jpeg: bad dimensions");
  }
  const std::array<uint8_t, 64> qlum = jpeg::scaleQt(jpeg::QlumNat, quality);
  const std::array<uint8_t, 64> qchr = jpeg::scaleQt(jpeg::QchrNat, quality);
  const EncoderTables& huff = encoderTables();
  alignas(32) float quant[2][64];  // natural order
  for (size_t i = 0; i < 64; ++i) {
    quant[0][i] = qlum[i];
    quant[1][i] = qchr[i];
  }
  const EncodeKernels kernels = encodeKernels(useAvx2, useAvx512);

  const size_t count = img.colorspace == csRgb ? 3 : 1;
  // A first guess at the size (half a bit a sample, typical of photos at
  // high quality); the writer grows the block when the picture needs more.
  out.reserve(4096 + static_cast<size_t>(img.width) * static_cast<size_t>(img.height) * count / 16);
  writeHeaders(out, img, qlum, qchr);

  const auto height = static_cast<size_t>(img.height);
  const size_t blocksAcross = (static_cast<size_t>(img.width) + 7) / 8;
  const size_t paddedWidth = blocksAcross * 8;
  std::vector<float> planes[3];
  for (size_t c = 0; c < count; ++c) planes[c].resize(paddedWidth * 8);
  int preds[3] = {0, 0, 0};
  BitWriter w(out);
  alignas(32) int32_t q[3][2][64];
  uint64_t nonZero[3][2];
  for (size_t y0 = 0; y0 < height; y0 += 8) {
    loadBand(img, y0, paddedWidth, kernels, planes);
    size_t bx = 0;
    // Two blocks of each component at a time where the kernel set has a
    // pair kernel; they are coded in the same order as one at a time.
    if (kernels.fdctQuantisePair != nullptr) {
      for (; bx + 2 <= blocksAcross; bx += 2) {
        for (size_t c = 0; c < count; ++c) {
          kernels.fdctQuantisePair(planes[c].data() + bx * 8, paddedWidth, quant[c == 0 ? 0 : 1],
                                   q[c][0], q[c][1], nonZero[c]);
        }
        for (size_t b = 0; b < 2; ++b) {
          for (size_t c = 0; c < count; ++c) {
            const size_t t = c == 0 ? 0 : 1;
            encBlock(w, q[c][b], nonZero[c][b], preds[c], huff.dc[t], huff.ac[t]);
          }
        }
      }
    }
    for (; bx < blocksAcross; ++bx) {
      for (size_t c = 0; c < count; ++c) {
        const size_t t = c == 0 ? 0 : 1;
        const uint64_t mask =
            kernels.fdctQuantise(planes[c].data() + bx * 8, paddedWidth, quant[t], q[c][0]);
        encBlock(w, q[c][0], mask, preds[c], huff.dc[t], huff.ac[t]);
      }
    }
  }
  w.finish();
  out.push_back(0xFF);
  out.push_back(0xD9);
}

Bytes encodeJpegWith(const Image& img, int quality, bool useAvx2, bool useAvx512) {
  base::HeapBytes out;
  encodeJpegInto(img, quality, useAvx2, useAvx512, out);
  return out.toBytes();
}

}  // namespace jpeg

void encodeJpegTo(const Image& img, int quality, base::HeapBytes& out) {
  jpeg::encodeJpegInto(img, quality, base::cpuHasAvx2(), base::cpuHasAvx512(), out);
}

Bytes encodeJpeg(const Image& img, int quality) {
  return jpeg::encodeJpegWith(img, quality, base::cpuHasAvx2(), base::cpuHasAvx512());
}

}  // namespace kd::formats
