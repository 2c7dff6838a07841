// The in-memory raster every decoder produces and every encoder and image
// operation consumes: 8-bit interleaved samples, rows top to bottom, no
// padding.
#pragma once

#include <array>
#include <cstdint>

#include "base/bytes.h"
#include "base/error.h"

namespace kd::formats {

using base::ByteView;
using base::Bytes;
using base::fail;
using base::ErrorKind;
using base::KeldraException;
using enum base::ErrorKind;

// Values cross the C boundary unchanged.
enum class ColorSpace : uint8_t { csGray, csRgb, csRgba, csCmyk, csOther3, csOther1 };
using enum ColorSpace;

inline constexpr std::array<int64_t, 6> ChannelCount = {1, 3, 4, 4, 3, 1};

inline int64_t channelsOf(ColorSpace cs) { return ChannelCount[static_cast<size_t>(cs)]; }

struct Image {
  int64_t width = 0;
  int64_t height = 0;
  int64_t channels = 0;  // always ChannelCount[colorspace]
  ColorSpace colorspace = csGray;
  Bytes pixels;  // width * height * channels bytes
};

// Decoders refuse pictures with more pixels than this before allocating.
inline constexpr int64_t kMaxPixels = int64_t{1} << 30;

// width * height * channels of the colour space, overflow-checked in signed
// 64-bit ("newImage: size overflow").
size_t sampleCount(int64_t width, int64_t height, ColorSpace colorspace);

// Zero-filled image. The sample count is computed with overflow checks;
// callers reject non-positive dimensions themselves.
Image newImage(int64_t width, int64_t height, ColorSpace colorspace);

// Fails with ekTruncated and `message` unless `data` holds at least n bytes.
void requireLen(ByteView data, size_t n, const char* message);

// Fails with ekInvalid and `message` when width * height exceeds kMaxPixels
// (or overflows). Width and height must already be positive.
void requirePixelCount(int64_t width, int64_t height, const char* message);

// Fails with ekTooLarge ("png: 268435456 pixels exceed the limit of
// 67108864") when `pixels` exceeds a host's `maxPixels` (0: no limit).
void requirePixelLimit(const char* format, uint64_t pixels, uint64_t maxPixels);

// The checks every operation makes of a source image: positive dimensions,
// the channel count of its colour space, and exactly width * height *
// channels samples.
bool isWellFormed(const Image& img);

}  // namespace kd::formats
