#include "formats/formats.h"
#include "formats/png.h"

#include "formats/codecs.h"

namespace kd::formats {

Image decodeImage(ByteView d) {
  if (d.size() < 2) fail(ekTruncated, "decodeImage: input too short");
  switch (sniffFormat(d, false)) {
    case ffBmp: return decodeBmp(d);
    case ffQoi: return decodeQoi(d);
    case ffPnm: return decodePnm(d);
    case ffPng: return decodePng(d);
    case ffJpeg: return decodeJpeg(d);
    case ffGif: return decodeGif(d);
    case ffWebp: return decodeWebp(d);
    case ffTiff: return decodeTiff(d);
    case ffPcx: return decodePcx(d);
    default: fail(ekUnsupported, "decodeImage: unrecognized format");
  }
}

Image decodeImage(ByteView d, const DecodeOptions& opts, FileFormat format) {
  if (format == ffAuto) {
    if (d.size() < 2) fail(ekTruncated, "decodeImage: input too short");
    format = sniffFormat(d, opts.wide);
    if (format == ffAuto) fail(ekUnsupported, "decodeImage: unrecognized format");
  }
  checkPixelLimit(d, format, opts.maxPixels);
  if (!opts.wide) {
    switch (format) {
      case ffTga: return decodeTga(d);
      case ffWebp: return decodeWebp(d);
      case ffTiff: return decodeTiff(d);
      case ffJpeg: return decodeJpeg(d);
      default: return decodeImage(d);
    }
  }
  switch (format) {
    case ffPng: return decodePng(d, opts);
    case ffJpeg: return decodeJpeg(d, opts);
    case ffBmp: return decodeBmp(d, opts);
    case ffQoi: return decodeQoi(d);
    case ffPnm: return decodePnm(d, opts);
    case ffTga: return decodeTga(d);
    case ffWebp: return decodeWebpWide(d);
    case ffTiff: return decodeTiff(d, opts);
    case ffGif: return decodeGif(d);
    case ffPcx: return decodePcx(d);
    case ffAuto: break;
  }
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

base::HeapBytes encodeImage(const Image& img, EncodeFormat format, int quality, int pngLevel) {
  if (format != efPng || pngLevel == 0) return encodeImage(img, format, quality);
  base::HeapBytes out;
  encodePngLevelTo(img, pngLevel, out);
  return out;
}

}  // namespace kd::formats
