// WebP under the wide flag: the lossy cases the lossless decoder refuses.
// A simple "VP8 " file; a VP8X file whose image is "VP8 ", with the alpha
// of an ALPH chunk before it; and an animation, whose first frame (lossy
// or lossless) is decoded on a canvas of that frame's size, as the GIF
// decoder does. Every other file, and every container fault, goes to
// decodeWebp so its results and messages stay as they are.

#include <algorithm>
#include <cstring>
#include <optional>

#include "formats/codecs.h"
#include "formats/vp8.h"
#include "formats/webp.h"
#include "formats/webp_alpha.h"

namespace kd::formats {
namespace {

struct ChunkView {
  char code[4] = {};
  ByteView payload;
};

bool isCode(const ChunkView& c, const char (&code)[5]) { return std::memcmp(c.code, code, 4) == 0; }

// The chunks of `area`, in order; a chunk running past the area ends the
// walk with ekTruncated, as libwebp refuses such files.
std::vector<ChunkView> chunksOf(ByteView area) {
  std::vector<ChunkView> chunks;
  size_t at = 0;
  while (area.size() - at >= 8) {
    ChunkView c;
    std::memcpy(c.code, area.data() + at, 4);
    const uint32_t size = base::loadLe32(area.data() + at + 4);
    if (size > area.size() - at - 8) fail(ekTruncated, "webp: chunk exceeds RIFF payload");
    c.payload = area.subspan(at + 8, size);
    chunks.push_back(c);
    at += 8 + size;
    if (size & 1) {
      if (at == area.size()) break;
      ++at;
    }
  }
  return chunks;
}

uint32_t load24(const uint8_t* p) { return p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16; }

// The image of a frame: "VP8 " (with the last ALPH before it, when
// `alphaAllowed`) or "VP8L". nullopt when the chunks hold neither.
std::optional<Image> decodeFrameChunks(const std::vector<ChunkView>& chunks, bool alphaAllowed) {
  ByteView alph;
  bool hasAlph = false;
  for (const ChunkView& c : chunks) {
    if (isCode(c, "ALPH") && alphaAllowed) {
      alph = c.payload;
      hasAlph = true;
    } else if (isCode(c, "VP8L")) {
      if (c.payload.empty()) fail(ekTruncated, "webp: empty VP8L chunk");
      return webp::decodeVp8lStream(c.payload);
    } else if (isCode(c, "VP8 ")) {
      if (!hasAlph) return vp8::decodeToImage(c.payload, nullptr);
      int width = 0, height = 0;
      vp8::readDimensions(c.payload, width, height);
      requirePixelCount(width, height, "webp: too many pixels");
      const Bytes alpha = webp::decodeAlphaPlane(alph, width, height);
      return vp8::decodeToImage(c.payload, &alpha);
    }
  }
  return std::nullopt;
}

// The first ANMF frame: a 16-byte header (offsets, size, duration, flags),
// then the frame's own chunks.
std::optional<Image> decodeFirstFrame(const std::vector<ChunkView>& chunks) {
  for (const ChunkView& c : chunks) {
    if (!isCode(c, "ANMF")) continue;
    if (c.payload.size() < 16) fail(ekTruncated, "webp: ANMF header truncated");
    const int64_t width = int64_t{load24(c.payload.data() + 6)} + 1;
    const int64_t height = int64_t{load24(c.payload.data() + 9)} + 1;
    std::optional<Image> img = decodeFrameChunks(chunksOf(c.payload.subspan(16)), true);
    if (!img) fail(ekInvalid, "webp: ANMF frame without an image");
    if (img->width != width || img->height != height) {
      fail(ekInvalid, "webp: ANMF frame and payload dimensions differ");
    }
    return img;
  }
  fail(ekInvalid, "webp: animation without frames");
}

}  // namespace

Image decodeWebpWide(ByteView data) {
  if (data.size() < 20 || std::memcmp(data.data(), "RIFF", 4) != 0 ||
      std::memcmp(data.data() + 8, "WEBP", 4) != 0) {
    return decodeWebp(data);
  }
  const uint32_t riffSize = base::loadLe32(data.data() + 4);
  if (riffSize < 12 || data.size() - 8 < riffSize) return decodeWebp(data);
  const ByteView body = data.subspan(12, riffSize - 4);
  const uint32_t firstSize = base::loadLe32(body.data() + 4);
  if (firstSize > body.size() - 8) return decodeWebp(data);
  if (std::memcmp(body.data(), "VP8 ", 4) == 0) {
    return vp8::decodeToImage(body.subspan(8, firstSize), nullptr);
  }
  if (std::memcmp(body.data(), "VP8X", 4) != 0 || firstSize != 10) return decodeWebp(data);
  const uint8_t* vp8x = body.data() + 8;
  // Reserved bits set: decodeWebp refuses the file in its own words.
  if ((vp8x[0] & 0xC1) != 0 || vp8x[1] != 0 || vp8x[2] != 0 || vp8x[3] != 0) {
    return decodeWebp(data);
  }
  const std::vector<ChunkView> chunks = chunksOf(body);
  const ChunkView& first = chunks.front();
  const std::vector<ChunkView> rest(chunks.begin() + 1, chunks.end());
  if (vp8x[0] & 0x02) return *decodeFirstFrame(rest);
  const auto image = std::find_if(rest.begin(), rest.end(), [](const ChunkView& c) {
    return isCode(c, "VP8 ") || isCode(c, "VP8L");
  });
  if (image == rest.end() || !isCode(*image, "VP8 ")) return decodeWebp(data);
  // As for lossless images, ALPH counts when the header's alpha flag says so.
  std::optional<Image> img = decodeFrameChunks(rest, (vp8x[0] & 0x10) != 0);
  const int64_t canvasWidth = int64_t{load24(first.payload.data() + 4)} + 1;
  const int64_t canvasHeight = int64_t{load24(first.payload.data() + 7)} + 1;
  if (img->width != canvasWidth || img->height != canvasHeight) {
    fail(ekInvalid, "webp: VP8X canvas and payload dimensions differ");
  }
  return std::move(*img);
}

}  // namespace kd::formats
