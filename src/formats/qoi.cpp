// QOI ("Quite OK Image") 1.0: a 14-byte header, byte-aligned chunks and an
// 8-byte end marker. The encoder makes the same choices as the reference
// encoder, so its output is byte for byte the reference's.
#include <algorithm>
#include <bit>
#include <cstring>

#include "formats/codecs.h"

namespace kd::formats {

namespace {

constexpr size_t kHeaderSize = 14;
constexpr uint8_t kOpIndex = 0x00;
constexpr uint8_t kOpDiff = 0x40;
constexpr uint8_t kOpLuma = 0x80;
constexpr uint8_t kOpRun = 0xC0;
constexpr uint8_t kOpRgb = 0xFE;
constexpr uint8_t kOpRgba = 0xFF;
constexpr uint8_t kEndMarker[8] = {0, 0, 0, 0, 0, 0, 0, 1};
constexpr size_t kLongestChunk = 5;
constexpr int64_t kLongestRun = 62;

inline unsigned hashOf(const uint8_t* px) {
  return (px[0] * 3u + px[1] * 5u + px[2] * 7u + px[3] * 11u) & 63u;
}

// Fails with the message a truncated chunk at p deserves; returns when the
// whole chunk is present. Only called for the last few bytes of the input.
[[gnu::noinline]] void requireWholeChunk(const uint8_t* p, const uint8_t* end) {
  if (p == end) fail(ekTruncated, "qoi: pixel stream truncated");
  const uint8_t b1 = *p;
  const ptrdiff_t payload = end - p - 1;
  if (b1 == kOpRgb && payload < 3) fail(ekTruncated, "qoi: RGB chunk truncated");
  if (b1 == kOpRgba && payload < 4) fail(ekTruncated, "qoi: RGBA chunk truncated");
  if (b1 < kOpRgb && (b1 & 0xC0) == kOpLuma && payload < 1) {
    fail(ekTruncated, "qoi: LUMA chunk truncated");
  }
}

// Pixels are kept packed in a register as R | G << 8 | B << 16 | A << 24,
// which is their byte order in memory on this little-endian target.
static_assert(std::endian::native == std::endian::little);

// (r * 3 + g * 5 + b * 7 + a * 11) mod 64 with one multiplication: the
// bytes are spread 16 bits apart (r, b, g, a from the bottom), so the top
// field of the product is r * 3 + b * 7 + g * 5 + a * 11 and the lower
// fields (each below 2^14) cannot carry into it.
inline uint32_t hashOfPacked(uint32_t px) {
  const uint64_t spread = (uint64_t{px} & 0xFF00FF00u) << 24 | (px & 0x00FF00FFu);
  return static_cast<uint32_t>((spread * 0x000300070005000Bull) >> 48) & 63;
}

inline uint32_t withRgb(uint32_t px, uint32_t r, uint32_t g, uint32_t b) {
  return (px & 0xFF000000u) | (r & 0xFF) | (g & 0xFF) << 8 | (b & 0xFF) << 16;
}

// Stores one pixel. Wide stores of 3-channel pixels write four bytes: the
// fourth belongs to the next pixel, which is written later; callers use
// them only well before the end of the picture.
template <int Channels, bool Wide>
inline void storePixel(uint8_t* o, uint32_t px) {
  if constexpr (Channels == 4 || Wide) {
    std::memcpy(o, &px, 4);
  } else {
    const auto rg = static_cast<uint16_t>(px);
    std::memcpy(o, &rg, 2);
    o[2] = static_cast<uint8_t>(px >> 16);
  }
}

// The chunk loop, up to `limit` in the output. Long on purpose: after
// inlining, the state lives in the caller's locals, so the stores into the
// picture cannot alias it, and only the last few bytes of the input pay for
// bounds tests.
template <int Channels, bool Wide>
[[gnu::always_inline]] inline void decodeSpan(const uint8_t*& pRef, const uint8_t* end,
                                              uint8_t*& oRef, const uint8_t* limit,
                                              const uint8_t* oend, uint32_t& pxRef,
                                              uint32_t* index) {
  const uint8_t* p = pRef;
  uint8_t* o = oRef;
  uint32_t px = pxRef;
  while (o < limit) {
    if (end - p < static_cast<ptrdiff_t>(kLongestChunk)) [[unlikely]] requireWholeChunk(p, end);
    const uint32_t b1 = *p++;
    if (b1 < 0x40) {  // index
      px = index[b1];
    } else if (b1 < 0x80) {  // diff
      px = withRgb(px, (px & 0xFF) + ((b1 >> 4) & 3) - 2, (px >> 8 & 0xFF) + ((b1 >> 2) & 3) - 2,
                   (px >> 16 & 0xFF) + (b1 & 3) - 2);
    } else if (b1 < 0xC0) {  // luma
      const uint32_t b2 = *p++;
      const uint32_t vg = (b1 & 0x3F) - 32;
      px = withRgb(px, (px & 0xFF) + vg - 8 + (b2 >> 4), (px >> 8 & 0xFF) + vg,
                   (px >> 16 & 0xFF) + vg - 8 + (b2 & 0x0F));
    } else if (b1 == kOpRgb) {
      px = withRgb(px, p[0], p[1], p[2]);
      p += 3;
    } else if (b1 == kOpRgba) {
      std::memcpy(&px, p, 4);
      p += 4;
    } else {
      const ptrdiff_t run = (b1 & 0x3F) + 1;
      if (run > (oend - o) / Channels) fail(ekInvalid, "qoi: run exceeds image bounds");
      index[hashOfPacked(px)] = px;
      for (ptrdiff_t i = 0; i < run; ++i) storePixel<Channels, Wide>(o + i * Channels, px);
      o += run * Channels;
      continue;
    }
    index[hashOfPacked(px)] = px;
    storePixel<Channels, Wide>(o, px);
    o += Channels;
  }
  pRef = p;
  oRef = o;
  pxRef = px;
}

template <int Channels>
void decodeStream(const uint8_t* p, const uint8_t* end, uint8_t* o, uint8_t* const oend) {
  uint32_t index[64] = {};
  uint32_t px = 0xFF000000u;  // (0, 0, 0, 255)
  if constexpr (Channels == 3) {
    // Wide stores while a whole run (62 pixels) and one spare byte fit.
    constexpr ptrdiff_t kMargin = kLongestRun * 3 + 1;
    if (oend - o > kMargin) decodeSpan<3, true>(p, end, o, oend - kMargin, oend, px, index);
  }
  decodeSpan<Channels, false>(p, end, o, oend, oend, px, index);
}

// Walks the chunks without producing pixels, raising the error a full
// decode would raise. Used when the input is too short to hold the
// announced picture, so nothing that size is allocated.
void rejectShortStream(const uint8_t* p, const uint8_t* end, int64_t pixels) {
  while (pixels > 0) {
    if (p == end) fail(ekTruncated, "qoi: pixel stream truncated");
    const uint8_t b1 = *p++;
    if (b1 == kOpRgb) {
      if (end - p < 3) fail(ekTruncated, "qoi: RGB chunk truncated");
      p += 3;
    } else if (b1 == kOpRgba) {
      if (end - p < 4) fail(ekTruncated, "qoi: RGBA chunk truncated");
      p += 4;
    } else if ((b1 & 0xC0) == kOpLuma) {
      if (p == end) fail(ekTruncated, "qoi: LUMA chunk truncated");
      p += 1;
    } else if ((b1 & 0xC0) == kOpRun) {
      const int64_t run = (b1 & 0x3F) + 1;
      if (run > pixels) fail(ekInvalid, "qoi: run exceeds image bounds");
      pixels -= run - 1;
    }
    pixels -= 1;
  }
  fail(ekInvalid, "qoi: run exceeds image bounds");  // not reached: the input was too short
}

struct EncodeState {
  uint32_t prev;
  int64_t run = 0;
  uint32_t index[64] = {};
};

inline uint32_t packPixel(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  uint8_t bytes[4] = {r, g, b, a};
  uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}

// Encodes `count` pixels of one row; the caller has made room for the
// worst case (Channels + 1 bytes per pixel plus one pending run byte).
template <int Channels>
uint8_t* encodeRow(const uint8_t* src, int64_t count, bool lastRow, uint8_t* o, EncodeState& s) {
  for (int64_t x = 0; x < count; ++x, src += Channels) {
    uint8_t px[4] = {src[0], src[1], src[2], 255};
    if (Channels == 4) px[3] = src[3];
    uint32_t v;
    std::memcpy(&v, px, 4);
    if (v == s.prev) {
      ++s.run;
      if (s.run == kLongestRun || (lastRow && x == count - 1)) {
        *o++ = static_cast<uint8_t>(kOpRun | (s.run - 1));
        s.run = 0;
      }
      continue;
    }
    if (s.run > 0) {
      *o++ = static_cast<uint8_t>(kOpRun | (s.run - 1));
      s.run = 0;
    }
    const unsigned slot = hashOf(px);
    if (s.index[slot] == v) {
      *o++ = static_cast<uint8_t>(kOpIndex | slot);
    } else {
      s.index[slot] = v;
      uint8_t prev[4];
      std::memcpy(prev, &s.prev, 4);
      if (px[3] == prev[3]) {
        const auto vr = static_cast<int8_t>(px[0] - prev[0]);
        const auto vg = static_cast<int8_t>(px[1] - prev[1]);
        const auto vb = static_cast<int8_t>(px[2] - prev[2]);
        const auto vgr = static_cast<int8_t>(vr - vg);
        const auto vgb = static_cast<int8_t>(vb - vg);
        if (vr > -3 && vr < 2 && vg > -3 && vg < 2 && vb > -3 && vb < 2) {
          *o++ = static_cast<uint8_t>(kOpDiff | (vr + 2) << 4 | (vg + 2) << 2 | (vb + 2));
        } else if (vgr > -9 && vgr < 8 && vg > -33 && vg < 32 && vgb > -9 && vgb < 8) {
          *o++ = static_cast<uint8_t>(kOpLuma | (vg + 32));
          *o++ = static_cast<uint8_t>((vgr + 8) << 4 | (vgb + 8));
        } else {
          o[0] = kOpRgb;
          o[1] = px[0];
          o[2] = px[1];
          o[3] = px[2];
          o += 4;
        }
      } else {
        o[0] = kOpRgba;
        std::memcpy(o + 1, px, 4);
        o += 5;
      }
    }
    s.prev = v;
  }
  return o;
}

// Rows are written straight into the file's block, which grows ahead of
// them towards the size the rows so far predict. Room never written is
// never touched.
template <int Channels>
void encodeStream(const Image& img, base::HeapBytes& out) {
  const size_t rowIn = static_cast<size_t>(img.width) * Channels;
  const size_t rowWorst = static_cast<size_t>(img.width) * (Channels + 1) + 1;
  out.resize(kHeaderSize);
  size_t pos = kHeaderSize;
  EncodeState s;
  s.prev = packPixel(0, 0, 0, 255);
  for (int64_t y = 0; y < img.height; ++y) {
    out.resize(pos);
    out.reserveAhead(rowWorst + sizeof(kEndMarker), static_cast<size_t>(y),
                     static_cast<size_t>(img.height));
    const uint8_t* src = img.pixels.data() + static_cast<size_t>(y) * rowIn;
    uint8_t* o = out.data() + pos;
    o = encodeRow<Channels>(src, img.width, y == img.height - 1, o, s);
    pos = static_cast<size_t>(o - out.data());
  }
  out.resize(pos + sizeof(kEndMarker));
  std::memcpy(out.data() + pos, kEndMarker, sizeof(kEndMarker));
}

}  // namespace

Image decodeQoi(ByteView data) {
  requireLen(data, kHeaderSize, "qoi: header truncated");
  base::ByteReader r(data.first(kHeaderSize), "qoi: header truncated");
  if (std::memcmp(r.take(4).data(), "qoif", 4) != 0) {
    fail(ekUnsupported, "qoi: not a qoif container");
  }
  const int64_t width = r.u32be();
  const int64_t height = r.u32be();
  const uint8_t channels = r.u8();
  if (width < 1 || width > kMaxPixels || height < 1 || height > kMaxPixels) {
    fail(ekInvalid, "qoi: bad dimensions");
  }
  if (channels != 3 && channels != 4) fail(ekUnsupported, "qoi: channels must be 3 or 4");
  requirePixelCount(width, height, "qoi: too many pixels");

  const uint8_t* p = data.data() + kHeaderSize;
  const uint8_t* end = data.data() + data.size();
  const int64_t pixels = width * height;
  // A chunk byte yields at most kLongestRun pixels.
  if (end - p < (pixels + kLongestRun - 1) / kLongestRun) rejectShortStream(p, end, pixels);

  Image img = newImage(width, height, channels == 3 ? csRgb : csRgba);
  uint8_t* out = img.pixels.data();
  uint8_t* oend = out + img.pixels.size();
  if (channels == 3) {
    decodeStream<3>(p, end, out, oend);
  } else {
    decodeStream<4>(p, end, out, oend);
  }
  return img;
}

void encodeQoiTo(const Image& img, base::HeapBytes& out) {
  if (img.colorspace != csRgb && img.colorspace != csRgba) {
    fail(ekUnsupported, "qoi: encode needs csRgb or csRgba");
  }
  if (img.width > 0xFFFFFFFF || img.height > 0xFFFFFFFF) {
    fail(ekTooLarge, "qoi: dimensions exceed the 32-bit header fields");
  }
  if (img.colorspace == csRgb) {
    encodeStream<3>(img, out);
  } else {
    encodeStream<4>(img, out);
  }
  std::memcpy(out.data(), "qoif", 4);
  base::storeBe32(out.data() + 4, static_cast<uint32_t>(img.width));
  base::storeBe32(out.data() + 8, static_cast<uint32_t>(img.height));
  out.data()[12] = static_cast<uint8_t>(img.channels);
  out.data()[13] = 0;
}

Bytes encodeQoi(const Image& img) {
  base::HeapBytes out;
  encodeQoiTo(img, out);
  return out.toBytes();
}

}  // namespace kd::formats
