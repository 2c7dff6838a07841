// Netpbm: plain and raw bitmaps, greymaps and pixmaps (P1-P6) and PAM (P7;
// depth 2, grey and alpha, under the wide option).
// Samples of any maxval up to 65535 are rescaled to 8 bits; the encoder
// writes P5, P6 or P7 with maxval 255.
#include <algorithm>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "base/checked.h"
#include "formats/codecs.h"

namespace kd::formats {

namespace {

// A side longer than the pixel cap is refused as a bad dimension before the
// pixel count is checked.
constexpr int64_t kMaxDimension = kMaxPixels;
constexpr int64_t kMaxMaxval = 65535;

inline bool isPnmSpace(uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
inline bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// Skips whitespace and comments ("#" up to the next line feed or carriage
// return) from `pos`; returns the first position after them.
size_t pnmSkip(ByteView d, size_t pos) {
  while (pos < d.size()) {
    const uint8_t c = d[pos];
    if (isPnmSpace(c)) {
      ++pos;
    } else if (c == '#') {
      while (pos < d.size() && d[pos] != '\n' && d[pos] != '\r') ++pos;
    } else {
      break;
    }
  }
  return pos;
}

// Skips, then reads an unsigned decimal integer; `pos` ends after its last
// digit.
inline int64_t pnmInt(ByteView d, size_t& pos) {
  pos = pnmSkip(d, pos);
  if (pos >= d.size() || !isDigit(d[pos])) fail(ekTruncated, "pnm: expected an integer");
  int64_t v = 0;
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  while (pos < d.size() && isDigit(d[pos])) {
    const int digit = d[pos] - '0';
    if (v > (kMax - digit) / 10) fail(ekInvalid, "pnm: integer exceeds the platform range");
    v = v * 10 + digit;
    ++pos;
  }
  return v;
}

// Parses a PAM header value: an optionally signed decimal integer filling
// the whole text.
int64_t pamFieldInt(std::string_view key, std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  const size_t firstDigit = i;
  int64_t v = 0;
  for (; i < text.size() && isDigit(static_cast<uint8_t>(text[i])); ++i) {
    if (v > (std::numeric_limits<int64_t>::max() - 9) / 10) break;
    v = v * 10 + (text[i] - '0');
  }
  if (i == firstDigit || i != text.size()) {
    fail(ekInvalid, "pnm: PAM bad " + std::string(key) + " value");
  }
  return negative ? -v : v;
}

// Maps every possible stored sample (clamped to maxval) to 8 bits:
// (min(v, maxval) * 255 + maxval / 2) / maxval.
std::vector<uint8_t> scaleTable(int64_t maxval, size_t entries) {
  std::vector<uint8_t> table(entries);
  for (size_t v = 0; v < entries; ++v) {
    const int64_t clamped = std::min<int64_t>(static_cast<int64_t>(v), maxval);
    table[v] = static_cast<uint8_t>((clamped * 255 + maxval / 2) / maxval);
  }
  return table;
}

// Raw samples (1 byte when maxval <= 255, else 2 bytes big-endian) scaled to
// 8 bits. The caller has checked that `count` samples are present.
void decodeRawSamples(const uint8_t* src, size_t count, int64_t maxval, uint8_t* dst) {
  if (maxval < 256) {
    const std::vector<uint8_t> table = scaleTable(maxval, 256);
    for (size_t i = 0; i < count; ++i) dst[i] = table[src[i]];
  } else {
    const std::vector<uint8_t> table = scaleTable(maxval, 65536);
    for (size_t i = 0; i < count; ++i) dst[i] = table[base::loadBe16(src + 2 * i)];
  }
}

// Decodes raw samples into a new picture. 8-bit samples with maxval 255
// are the picture already: they are copied in one pass, without zero-filling
// the picture first.
Image decodeRawPicture(const uint8_t* src, int64_t width, int64_t height, ColorSpace cs,
                       int64_t maxval) {
  const size_t samples = static_cast<size_t>(width * height * channelsOf(cs));
  if (maxval != 255) {
    Image img = newImage(width, height, cs);
    decodeRawSamples(src, samples, maxval, img.pixels.data());
    return img;
  }
  Image img;
  img.width = width;
  img.height = height;
  img.colorspace = cs;
  img.channels = channelsOf(cs);
  img.pixels.assign(src, src + samples);
  return img;
}

// Reads `count` plain (decimal) samples from `pos`. `step` is 1 when `dst`
// holds the picture and 0 when the input cannot hold it: then every sample
// lands on one scratch byte and the call ends in the error the full decode
// would raise, without allocating the picture.
void decodePlainSamples(ByteView d, size_t pos, int type, int64_t maxval, uint64_t count,
                        uint8_t* dst, size_t step) {
  for (uint64_t i = 0; i < count; ++i, dst += step) {
    const int64_t v = pnmInt(d, pos);
    if (type == 1) {
      if (v > 1) fail(ekInvalid, "pnm: P1 sample not 0/1");
      *dst = v == 1 ? 0 : 255;
    } else {
      const int64_t clamped = std::min(v, maxval);
      *dst = static_cast<uint8_t>((clamped * 255 + maxval / 2) / maxval);
    }
  }
}

const char* truncatedMessage(int type) {
  switch (type) {
    case 4: return "pnm: P4 data truncated";
    case 5: return "pnm: P5 data truncated";
    default: return "pnm: P6 data truncated";
  }
}

Image decodeRaw(ByteView d, size_t pos, int type, int64_t width, int64_t height, int64_t maxval,
                ColorSpace cs) {
  const char* truncated = truncatedMessage(type);
  if (pos >= d.size()) fail(ekTruncated, truncated);
  if (d[pos] >= '!') fail(ekInvalid, "pnm: missing whitespace after header");
  ++pos;
  const size_t available = d.size() - pos;
  const uint8_t* src = d.data() + pos;

  if (type == 4) {
    const uint64_t rowBytes = (static_cast<uint64_t>(width) + 7) / 8;
    if (rowBytes * static_cast<uint64_t>(height) > available) fail(ekTruncated, truncated);
    // Raw row pointers after the one check of all rows. Set bits are black.
    Image img = newImage(width, height, cs);
    uint8_t* dst = img.pixels.data();
    for (int64_t y = 0; y < height; ++y, src += rowBytes, dst += width) {
      base::unpackMsbFirst(src, static_cast<size_t>(width), 1, dst);
      for (int64_t x = 0; x < width; ++x) dst[x] = dst[x] ? 0 : 255;
    }
    return img;
  }

  const uint64_t samples = static_cast<uint64_t>(width * height * channelsOf(cs));
  const uint64_t bytes = samples * (maxval > 255 ? 2 : 1);
  if (bytes > available) fail(ekTruncated, truncated);
  return decodeRawPicture(src, width, height, cs, maxval);
}

std::string_view stripSpaces(std::string_view s) {
  while (!s.empty() && isPnmSpace(static_cast<uint8_t>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && isPnmSpace(static_cast<uint8_t>(s.back()))) s.remove_suffix(1);
  return s;
}

void appendDecimal(std::string& s, int64_t v) { s += std::to_string(v); }

}  // namespace

Image decodePnm(ByteView d) {
  requireLen(d, 2, "pnm: header truncated");
  if (d[0] != 'P') fail(ekUnsupported, "pnm: not a PNM container");
  if (d[1] == '7') return decodePam(d);
  if (d[1] < '1' || d[1] > '6') fail(ekUnsupported, "pnm: unsupported type");
  const int type = d[1] - '0';

  size_t pos = 2;
  const int64_t width = pnmInt(d, pos);
  const int64_t height = pnmInt(d, pos);
  if (width < 1 || width > kMaxDimension || height < 1 || height > kMaxDimension) {
    fail(ekInvalid, "pnm: bad dimensions");
  }
  int64_t maxval = 1;
  if (type != 1 && type != 4) {
    maxval = pnmInt(d, pos);
    if (maxval < 1 || maxval > kMaxMaxval) fail(ekInvalid, "pnm: bad maxval");
  }
  requirePixelCount(width, height, "pnm: too many pixels");
  const ColorSpace cs = (type == 3 || type == 6) ? csRgb : csGray;
  if (type >= 4) return decodeRaw(d, pos, type, width, height, maxval, cs);

  // Plain samples take at least one byte each; a shorter input is walked
  // for its error without allocating the announced picture.
  const uint64_t samples = static_cast<uint64_t>(width * height * channelsOf(cs));
  if (samples > d.size() - pos) {
    uint8_t scratch = 0;
    decodePlainSamples(d, pos, type, maxval, samples, &scratch, 0);
    fail(ekTruncated, "pnm: expected an integer");  // not reached
  }
  Image img = newImage(width, height, cs);
  decodePlainSamples(d, pos, type, maxval, samples, img.pixels.data(), 1);
  return img;
}

namespace {

// Grey and alpha samples (PAM depth 2) as RGBA: the samples are scaled into
// the back half of the picture, then spread forward pixel by pixel (each
// pixel's two samples are read before its four bytes are written, and no
// write reaches a later pixel's samples).
Image decodeGreyAlpha(const uint8_t* src, int64_t width, int64_t height, int64_t maxval) {
  Image img = newImage(width, height, csRgba);
  const size_t n = static_cast<size_t>(width * height);
  uint8_t* p = img.pixels.data();
  decodeRawSamples(src, 2 * n, maxval, p + 2 * n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t grey = p[2 * n + 2 * i], alpha = p[2 * n + 2 * i + 1];
    p[4 * i] = p[4 * i + 1] = p[4 * i + 2] = grey;
    p[4 * i + 3] = alpha;
  }
  return img;
}

// `wide` also reads depth 2 (grey and alpha).
Image decodePamWith(ByteView d, bool wide) {
  const PamHeader h = readPamHeader(d);
  const int64_t width = h.width, height = h.height, depth = h.depth, maxval = h.maxval;
  const size_t pos = h.dataStart;
  if (width < 1 || width > kMaxDimension || height < 1 || height > kMaxDimension) {
    fail(ekInvalid, "pnm: PAM bad dimensions");
  }
  if (depth != 1 && depth != 3 && depth != 4 && !(wide && depth == 2)) {
    fail(ekUnsupported, "pnm: PAM depth must be 1, 3, or 4");
  }
  if (maxval < 1 || maxval > kMaxMaxval) fail(ekInvalid, "pnm: PAM bad maxval");
  requirePixelCount(width, height, "pnm: too many pixels");

  const ColorSpace cs = depth == 1 ? csGray : depth == 3 ? csRgb : csRgba;
  const uint64_t samples = static_cast<uint64_t>(width * height * depth);
  const uint64_t bytes = samples * (maxval > 255 ? 2 : 1);
  if (bytes > d.size() - pos) fail(ekTruncated, "pnm: PAM data truncated");
  if (depth == 2) return decodeGreyAlpha(d.data() + pos, width, height, maxval);
  return decodeRawPicture(d.data() + pos, width, height, cs, maxval);
}

}  // namespace

PamHeader readPamHeader(ByteView d) {
  requireLen(d, 2, "pnm: header truncated");
  PamHeader h;
  size_t pos = 2;
  const std::string_view text(reinterpret_cast<const char*>(d.data()), d.size());
  for (;;) {
    const size_t lf = text.find('\n', pos);
    if (lf == std::string_view::npos) fail(ekTruncated, "pnm: PAM header truncated");
    const std::string_view line = stripSpaces(text.substr(pos, lf - pos));
    pos = lf + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line == "ENDHDR") break;
    const size_t space = line.find(' ');
    if (space == std::string_view::npos) fail(ekInvalid, "pnm: bad PAM header line");
    const std::string_view key = line.substr(0, space);
    const std::string_view value = stripSpaces(line.substr(space + 1));
    if (key == "WIDTH") {
      h.width = pamFieldInt(key, value);
    } else if (key == "HEIGHT") {
      h.height = pamFieldInt(key, value);
    } else if (key == "DEPTH") {
      h.depth = pamFieldInt(key, value);
    } else if (key == "MAXVAL") {
      h.maxval = pamFieldInt(key, value);
    }
    // TUPLTYPE and unknown keys carry nothing this decoder uses.
  }
  h.dataStart = pos;
  return h;
}

Image decodePam(ByteView d) { return decodePamWith(d, false); }

Image decodePnm(ByteView d, const DecodeOptions& opts) {
  if (d.size() >= 2 && d[0] == 'P' && d[1] == '7') return decodePamWith(d, opts.wide);
  return decodePnm(d);
}

void encodePnmTo(const Image& img, base::HeapBytes& out) {
  std::string header;
  if (img.colorspace == csGray || img.colorspace == csRgb) {
    header = img.colorspace == csGray ? "P5\n" : "P6\n";
    appendDecimal(header, img.width);
    header += ' ';
    appendDecimal(header, img.height);
    header += "\n255\n";
  } else if (img.colorspace == csRgba) {
    header = "P7\nWIDTH ";
    appendDecimal(header, img.width);
    header += "\nHEIGHT ";
    appendDecimal(header, img.height);
    header += "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  } else {
    fail(ekUnsupported, "pnm: encode needs csRgb, csGray, or csRgba");
  }
  out.resize(header.size() + img.pixels.size());
  std::memcpy(out.data(), header.data(), header.size());
  if (!img.pixels.empty()) {
    std::memcpy(out.data() + header.size(), img.pixels.data(), img.pixels.size());
  }
}

Bytes encodePnm(const Image& img) {
  base::HeapBytes out;
  encodePnmTo(img, out);
  return out.toBytes();
}

}  // namespace kd::formats
