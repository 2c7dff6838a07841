// The PNG encoder's compression levels: each row gets the filter (PNG
// standard, section 9) whose output has the smallest sum of absolute values
// as signed bytes, and the filtered rows go through the levelled DEFLATE
// encoder (dynamic Huffman blocks). Level 0 is the plain encoder.
#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "base/checked.h"
#include "compress/zlib.h"
#include "formats/codecs.h"
#include "formats/png.h"

namespace kd::formats {

namespace {

constexpr std::array<uint8_t, 8> kSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
constexpr size_t kMaxChunkData = 0x7FFFFFFF;

inline uint8_t paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  return static_cast<uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// Sum of the filtered bytes read as signed values, absolute.
inline uint64_t signedSum(const uint8_t* row, size_t n) {
  uint64_t sum = 0;
  for (size_t x = 0; x < n; ++x) sum += static_cast<unsigned>(std::abs(static_cast<int8_t>(row[x])));
  return sum;
}

// Filters `cur` (the row above: `prev`, zeros for the first row) into
// out[0] (filter type) and out[1, n]; `scratch` holds four rows of n bytes.
void filterRow(const uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp, uint8_t* scratch,
               uint8_t* out) {
  uint8_t* sub = scratch;
  uint8_t* up = scratch + n;
  uint8_t* avg = scratch + 2 * n;
  uint8_t* pae = scratch + 3 * n;
  for (size_t x = 0; x < bpp; ++x) {
    sub[x] = cur[x];
    up[x] = static_cast<uint8_t>(cur[x] - prev[x]);
    avg[x] = static_cast<uint8_t>(cur[x] - (prev[x] >> 1));
    pae[x] = static_cast<uint8_t>(cur[x] - prev[x]);
  }
  for (size_t x = bpp; x < n; ++x) {
    sub[x] = static_cast<uint8_t>(cur[x] - cur[x - bpp]);
    up[x] = static_cast<uint8_t>(cur[x] - prev[x]);
    avg[x] = static_cast<uint8_t>(cur[x] - ((cur[x - bpp] + prev[x]) >> 1));
    pae[x] = static_cast<uint8_t>(cur[x] - paeth(cur[x - bpp], prev[x], prev[x - bpp]));
  }
  const std::array<const uint8_t*, 5> candidates = {cur, sub, up, avg, pae};
  size_t best = 0;
  uint64_t bestSum = signedSum(cur, n);
  for (size_t f = 1; f < candidates.size(); ++f) {
    const uint64_t sum = signedSum(candidates[f], n);
    if (sum < bestSum) {
      bestSum = sum;
      best = f;
    }
  }
  out[0] = static_cast<uint8_t>(best);
  std::memcpy(out + 1, candidates[best], n);
}

}  // namespace

void encodePngLevelTo(const Image& img, int level, base::HeapBytes& out) {
  if (level <= 0) {
    encodePngTo(img, out);
    return;
  }
  unsigned colorType;
  switch (img.colorspace) {
    case csGray: colorType = 0; break;
    case csRgb: colorType = 2; break;
    case csRgba: colorType = 6; break;
    default: fail(ekUnsupported, "png: encode needs csGray, csRgb, or csRgba");
  }
  constexpr int64_t kMaxDimension = int64_t{1} << 30;
  if (img.width < 1 || img.width > kMaxDimension || img.height < 1 ||
      img.height > kMaxDimension) {
    fail(ekInvalid, "png: bad dimensions");
  }
  const size_t w = static_cast<size_t>(img.width);
  const size_t h = static_cast<size_t>(img.height);
  const auto bpp = static_cast<size_t>(channelsOf(img.colorspace));
  const size_t rowBytes = base::mulOrFail<size_t>(w, bpp, "png: image too large");
  const size_t pixelBytes = base::mulOrFail<size_t>(rowBytes, h, "png: image too large");
  if (img.pixels.size() != pixelBytes) fail(ekInvalid, "png: pixel buffer size mismatch");

  // The filtered rows, each behind its filter type byte.
  Bytes filtered(base::mulOrFail<size_t>(rowBytes + 1, h, "png: image too large"));
  Bytes scratch(4 * rowBytes);
  const Bytes zeros(rowBytes, 0);
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* cur = img.pixels.data() + y * rowBytes;
    const uint8_t* prev = y == 0 ? zeros.data() : cur - rowBytes;
    filterRow(cur, prev, rowBytes, bpp, scratch.data(), filtered.data() + y * (rowBytes + 1));
  }
  const Bytes zlib = compress::zlibDeflateLevel(filtered, level);
  Bytes().swap(filtered);

  Bytes file(kSignature.begin(), kSignature.end());
  Bytes ihdr;
  base::appendBe32(ihdr, static_cast<uint32_t>(w));
  base::appendBe32(ihdr, static_cast<uint32_t>(h));
  ihdr.insert(ihdr.end(), {8, static_cast<uint8_t>(colorType), 0, 0, 0});
  writeChunk(file, "IHDR", ihdr);
  out.resize(0);
  out.reserve(file.size() + zlib.size() + zlib.size() / kMaxChunkData * 12 + 32);
  out.append(file.data(), file.size());
  for (size_t at = 0; at < zlib.size(); at += kMaxChunkData) {
    Bytes chunk;
    writeChunk(chunk, "IDAT",
               ByteView(zlib.data() + at, std::min(kMaxChunkData, zlib.size() - at)));
    out.append(chunk.data(), chunk.size());
  }
  Bytes tail;
  writeChunk(tail, "IEND", {});
  out.append(tail.data(), tail.size());
}

}  // namespace kd::formats
