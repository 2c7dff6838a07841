#include "formats/formats.h"

#include <cstring>

#include "formats/codecs.h"

namespace kd::formats {

namespace {

bool startsWith(ByteView d, const char* sig, size_t n) {
  return d.size() >= n && std::memcmp(d.data(), sig, n) == 0;
}

}  // namespace

Image decodeImage(ByteView d) {
  if (d.size() < 2) fail(ekTruncated, "decodeImage: input too short");
  const size_t n = d.size();
  if (startsWith(d, "BM", 2)) return decodeBmp(d);
  if (startsWith(d, "qoif", 4)) return decodeQoi(d);
  if (d[0] == 'P' && d[1] >= '1' && d[1] <= '6') return decodePnm(d);
  if (n >= 8 && startsWith(d, "\x89PNG", 4)) return decodePng(d);
  if (d[0] == 0xFF && d[1] == 0xD8) return decodeJpeg(d);
  if (startsWith(d, "GIF8", 4) && n >= 6 && (d[4] == '7' || d[4] == '9') && d[5] == 'a') {
    return decodeGif(d);
  }
  if (n >= 12 && startsWith(d, "RIFF", 4) && std::memcmp(d.data() + 8, "WEBP", 4) == 0) {
    return decodeWebp(d);
  }
  if (startsWith(d, "II\x2A\x00", 4) || startsWith(d, "MM\x00\x2A", 4)) return decodeTiff(d);
  if (n >= 3 && d[0] == 0x0A && d[1] <= 5 && d[1] != 1 && d[2] <= 1) return decodePcx(d);
  fail(ekUnsupported, "decodeImage: unrecognized format");
}

base::HeapBytes encodeImage(const Image& img, EncodeFormat format, int quality) {
  base::HeapBytes out;
  switch (format) {
    case efPng: encodePngTo(img, out); return out;
    case efJpeg: encodeJpegTo(img, quality, out); return out;
    case efBmp: encodeBmpTo(img, out); return out;
    case efQoi: encodeQoiTo(img, out); return out;
    case efPnm: encodePnmTo(img, out); return out;
    case efTga: encodeTgaTo(img, out); return out;
  }
  fail(ekUnsupported, "encodeImage: unknown format");
}

}  // namespace kd::formats
