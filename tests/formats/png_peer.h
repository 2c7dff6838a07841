// libpng as the reference decoder of the PNG tests, with the same 8-bit
// reduction as ours: high byte of 16-bit samples, low-depth grey scaled up,
// palettes expanded to RGBA (tRNS or opaque), grey + alpha to RGBA; no
// gamma, no tRNS applied to grey or RGB.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kd::test {

struct PeerImage {
  bool ok = false;
  std::string error;
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 0;
  int interlace = 0;
  std::vector<uint8_t> pixels;
};

PeerImage libpngDecode(const std::vector<uint8_t>& file);

// A PNG written by libpng from packed rows (`raw`: height rows of
// ceil(width * bits per pixel / 8) bytes), with its own filter choice;
// `palette` (RGB triples) and `trns` are written when non-empty.
std::vector<uint8_t> libpngEncode(const std::vector<uint8_t>& raw, uint32_t width, uint32_t height,
                                  int depth, int colorType, bool interlaced,
                                  const std::vector<uint8_t>& palette,
                                  const std::vector<uint8_t>& trns);

// Index of the first chunk whose stored CRC differs from the CRC (computed
// with zlib) of its type and data, or -1. Walks until IEND or the end.
int firstBadCrcChunk(const std::vector<uint8_t>& file);

}  // namespace kd::test
