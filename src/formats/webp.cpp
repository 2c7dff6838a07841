// WebP decoder: the RIFF container (simple "VP8L" files and VP8X files with
// an optional ALPH plane); the VP8L bitstream is in webp_lossless.cpp.
// Lossy and animated files are refused.
#include "formats/webp.h"

#include <cstring>
#include <optional>
#include <string>

#include "formats/codecs.h"

namespace kd::formats {

namespace webp {

namespace {

// ---------------------------------------------------------------------------
// Container

constexpr char kRiff[4] = {'R', 'I', 'F', 'F'};
constexpr char kWebp[4] = {'W', 'E', 'B', 'P'};

bool isCode(const Chunk& c, const char (&code)[5]) { return std::memcmp(c.code, code, 4) == 0; }

// Chunk header at `offset`, which the caller has checked leaves 8 bytes
// before `end`.
Chunk readChunk(ByteView data, size_t offset) {
  Chunk c;
  std::memcpy(c.code, data.data() + offset, 4);
  c.size = base::loadU32(data, static_cast<int64_t>(offset + 4), base::ByteOrder::kLittle);
  c.payload = offset + 8;
  return c;
}

// The first chunk with `code` among those from `from` up to `end`.
std::optional<Chunk> findChunkOpt(ByteView data, size_t from, size_t end, const char (&code)[5]) {
  size_t offset = from;
  while (offset <= end && end - offset >= 8) {
    const Chunk c = readChunk(data, offset);
    if (c.size > end - c.payload) fail(ekTruncated, "webp: chunk exceeds RIFF payload");
    if (isCode(c, code)) return c;
    offset = c.payload + c.size + (c.size & 1);
  }
  return std::nullopt;
}

ByteView payloadOf(ByteView data, const Chunk& c) { return data.subspan(c.payload, c.size); }

Image applyAlphChunk(Image img, ByteView chunk) {
  if (chunk.empty()) fail(ekTruncated, "webp: ALPH short");
  const uint8_t header = chunk[0];
  if ((header & 0xFC) != 0) fail(ekUnsupported, "webp: filtered or preprocessed ALPH unsupported");
  const int compression = header & 3;
  if (compression >= 2) {
    fail(ekUnsupported, "webp: ALPH compression " + std::to_string(compression) + " unsupported");
  }
  const auto count = static_cast<size_t>(img.width * img.height);
  Bytes alpha;
  if (compression == 0) {
    if (chunk.size() - 1 < count) fail(ekTruncated, "webp: ALPH plane short");
    alpha.assign(chunk.begin() + 1, chunk.begin() + 1 + static_cast<ptrdiff_t>(count));
  } else {
    const Image plane = decodeVp8lBody(chunk, 1, img.width, img.height, true);
    alpha.resize(count);
    for (size_t i = 0; i < count; ++i) alpha[i] = plane.pixels[4 * i + 1];
  }
  if (img.colorspace == csRgb) {
    Image wide = newImage(img.width, img.height, csRgba);
    for (size_t i = 0; i < count; ++i) {
      std::memcpy(&wide.pixels[4 * i], &img.pixels[3 * i], 3);
    }
    img = std::move(wide);
  }
  for (size_t i = 0; i < count; ++i) img.pixels[4 * i + 3] = alpha[i];
  return img;
}

Image decodeExtended(ByteView data, const Chunk& vp8x, size_t end) {
  if (vp8x.size != 10) fail(ekInvalid, "webp: VP8X chunk must be 10 bytes");
  const ByteView p = payloadOf(data, vp8x);
  const uint8_t flags = p[0];
  if ((flags & 0xC1) != 0 || p[1] != 0 || p[2] != 0 || p[3] != 0) {
    fail(ekInvalid, "webp: VP8X reserved bits are nonzero");
  }
  if (flags & 0x02) fail(ekUnsupported, "webp: animated images unsupported");
  const uint32_t widthMinus1 = base::loadLe24(p.data() + 4);
  const uint32_t heightMinus1 = base::loadLe24(p.data() + 7);
  if (widthMinus1 > 16383 || heightMinus1 > 16383) fail(ekInvalid, "webp: canvas too large");
  const size_t from = vp8x.payload + vp8x.size;
  const std::optional<Chunk> vp8l = findChunkOpt(data, from, end, "VP8L");
  if (!vp8l) {
    fail(ekUnsupported, "webp: VP8X without a VP8L payload (lossy/anim unsupported)");
  }
  if (vp8l->size == 0) fail(ekTruncated, "webp: empty VP8L chunk");
  Image img = decodeVp8lStream(payloadOf(data, *vp8l));
  if (img.width != int64_t{widthMinus1} + 1 || img.height != int64_t{heightMinus1} + 1) {
    fail(ekInvalid, "webp: VP8X canvas and payload dimensions differ");
  }
  if (flags & 0x10) {
    if (const std::optional<Chunk> alph = findChunkOpt(data, from, end, "ALPH")) {
      img = applyAlphChunk(std::move(img), payloadOf(data, *alph));
    }
  }
  return img;
}

}  // namespace

}  // namespace webp

Image decodeWebp(ByteView data) {
  using namespace webp;
  if (data.size() < 12) fail(ekTruncated, "webp: container truncated");
  if (std::memcmp(data.data(), kRiff, 4) != 0) fail(ekUnsupported, "webp: not a RIFF");
  if (std::memcmp(data.data() + 8, kWebp, 4) != 0) fail(ekUnsupported, "webp: not a WEBP");
  const uint32_t riffSize = base::loadU32(data, 4, base::ByteOrder::kLittle);
  if (riffSize < 4 || data.size() - 8 < riffSize) fail(ekTruncated, "webp: bad RIFF size");
  const size_t end = size_t{riffSize} + 8;
  if (end - 12 < 8) fail(ekTruncated, "webp: chunk header short");
  const Chunk first = readChunk(data, 12);
  if (first.size > end - first.payload) fail(ekTruncated, "webp: first chunk exceeds RIFF payload");
  if (isCode(first, "VP8L")) {
    if (first.size == 0) fail(ekTruncated, "webp: empty VP8L chunk");
    return decodeVp8lStream(payloadOf(data, first));
  }
  if (isCode(first, "VP8 ")) fail(ekUnsupported, "webp: VP8 lossy decode not yet implemented");
  if (isCode(first, "VP8X")) return decodeExtended(data, first, end);
  fail(ekUnsupported, "webp: unknown chunk " + std::string(first.code, 4));
}

}  // namespace kd::formats
