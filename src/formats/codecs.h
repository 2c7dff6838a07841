// Per-format entry points. Each decoder takes a whole file and returns an
// Image or throws KeldraException; none returns a partial image.
#pragma once

#include "base/heap_bytes.h"
#include "formats/image.h"

namespace kd::formats {

// What a host asks of one decode. The default options decode exactly as the
// one-argument decoders do.
struct DecodeOptions {
  bool wide = false;       // also decode the variants the plain decoders refuse
  uint64_t maxPixels = 0;  // largest width x height accepted; 0: the library's cap
};

Image decodePng(ByteView data);
// With opts.wide also Adam7-interlaced files.
Image decodePng(ByteView data, const DecodeOptions& opts);
Image decodeJpeg(ByteView data);
// With opts.wide also progressive (SOF2) and extended sequential (SOF1)
// 8-bit frames, and four-component CMYK and YCCK converted to RGB.
Image decodeJpeg(ByteView data, const DecodeOptions& opts);
Image decodeBmp(ByteView data);
// With opts.wide also OS/2 headers, bit fields, RLE8/RLE4, 2- and 16-bit pixels.
Image decodeBmp(ByteView data, const DecodeOptions& opts);
Image decodeQoi(ByteView data);
Image decodePnm(ByteView data);
// With opts.wide PAM also of depth 2 (grey and alpha, given as RGBA).
Image decodePnm(ByteView data, const DecodeOptions& opts);
// P7 (PAM) only; decodePnm hands P7 data over to it.
Image decodePam(ByteView data);
// The fields of a PAM header ("KEY value" lines up to ENDHDR) and where its
// samples start; 0 for a field the header leaves out. The decoder and the
// header probe read it alike.
struct PamHeader {
  int64_t width = 0, height = 0, depth = 0, maxval = 0;
  size_t dataStart = 0;
};
PamHeader readPamHeader(ByteView data);
Image decodeGif(ByteView data);
Image decodeWebp(ByteView data);
// decodeWebp and, besides, lossy files: simple, with alpha, and the first
// frame of an animation.
Image decodeWebpWide(ByteView data);
Image decodeTiff(ByteView data);
// With opts.wide also separate planes, integer samples of 1 to 32 bits,
// floating-point samples, YCbCr, CCITT fax and JPEG strips and tiles; an LZW
// strip that decodes to more than it needs keeps what it needs.
Image decodeTiff(ByteView data, const DecodeOptions& opts);
Image decodePcx(ByteView data);
Image decodeTga(ByteView data);

// Encoders write the file into `out` (emptied first), one block of the C
// heap that the boundary hands to the host without a copy; the forms
// returning Bytes copy it out, for tests and tools.
void encodePngTo(const Image& img, base::HeapBytes& out);
void encodeJpegTo(const Image& img, int quality, base::HeapBytes& out);
void encodeBmpTo(const Image& img, base::HeapBytes& out);
void encodeQoiTo(const Image& img, base::HeapBytes& out);
void encodePnmTo(const Image& img, base::HeapBytes& out);
void encodeTgaTo(const Image& img, base::HeapBytes& out);

Bytes encodePng(const Image& img);
Bytes encodeJpeg(const Image& img, int quality);
Bytes encodeBmp(const Image& img);
Bytes encodeQoi(const Image& img);
Bytes encodePnm(const Image& img);
Bytes encodeTga(const Image& img);

}  // namespace kd::formats
