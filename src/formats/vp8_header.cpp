// The VP8 frame header (RFC 6386, sections 9 and 19.2): the uncompressed
// frame tag and key-frame start code, then, in the first partition, the
// segmentation, loop-filter, partition, quantiser and token-probability
// settings. The refusals follow libwebp's, so the two accept the same files.

#include <algorithm>

#include "base/bytes.h"
#include "formats/vp8.h"
#include "formats/vp8_tables.h"

namespace kd::formats::vp8 {
namespace {

constexpr size_t kFrameTagSize = 10;  // tag, start code, width, height

struct SegmentSettings {
  bool enabled = false;
  bool absolute = true;
  int quantizer[4] = {};
  int filterLevel[4] = {};
};

struct FilterSettings {
  bool simple = false;
  int level = 0;
  int sharpness = 0;
  bool useDeltas = false;
  int refDelta0 = 0;   // intra frames use the first reference-frame delta
  int modeDelta0 = 0;  // and the first mode delta (sub-block prediction)
};

SegmentSettings readSegmentation(BoolDecoder& d, FrameHeader& h) {
  SegmentSettings s;
  s.enabled = d.bit(128) != 0;
  if (!s.enabled) return s;
  h.segmentMapUpdated = d.bit(128) != 0;
  if (d.bit(128)) {
    s.absolute = d.bit(128) != 0;
    for (int& q : s.quantizer) q = d.optionalSigned(7);
    for (int& f : s.filterLevel) f = d.optionalSigned(6);
  }
  if (h.segmentMapUpdated) {
    for (uint8_t& p : h.segmentProbs) p = d.bit(128) ? static_cast<uint8_t>(d.literal(8)) : 255;
  }
  return s;
}

FilterSettings readFilterSettings(BoolDecoder& d) {
  FilterSettings f;
  f.simple = d.bit(128) != 0;
  f.level = static_cast<int>(d.literal(6));
  f.sharpness = static_cast<int>(d.literal(3));
  f.useDeltas = d.bit(128) != 0;
  if (f.useDeltas && d.bit(128)) {
    int refDeltas[4];
    int modeDeltas[4];
    for (int& r : refDeltas) r = d.optionalSigned(6);
    for (int& m : modeDeltas) m = d.optionalSigned(6);
    f.refDelta0 = refDeltas[0];
    f.modeDelta0 = modeDeltas[0];
  }
  return f;
}

// Per segment and prediction kind: the filter level after segment and mode
// adjustments, the interior limit reduced by sharpness, the edge limit and
// the high-edge-variance threshold (RFC 6386, section 15).
void computeFilterStrengths(const SegmentSettings& s, const FilterSettings& f, FrameHeader& h) {
  for (int segment = 0; segment < 4; ++segment) {
    int base = f.level;
    if (s.enabled) base = s.filterLevel[segment] + (s.absolute ? 0 : f.level);
    for (int subblocks = 0; subblocks < 2; ++subblocks) {
      int level = base;
      if (f.useDeltas) level += f.refDelta0 + (subblocks ? f.modeDelta0 : 0);
      level = std::clamp(level, 0, 63);
      FilterStrength& out = h.filters[segment][subblocks];
      if (level == 0) {
        out = FilterStrength{};
        continue;
      }
      int interior = level;
      if (f.sharpness > 0) {
        interior >>= f.sharpness > 4 ? 2 : 1;
        interior = std::min(interior, 9 - f.sharpness);
      }
      interior = std::max(interior, 1);
      out.interior = static_cast<uint8_t>(interior);
      out.limit = static_cast<uint8_t>(2 * level + interior);
      out.hevThreshold = static_cast<uint8_t>(level >= 40 ? 2 : level >= 15 ? 1 : 0);
    }
  }
}

// The token partitions follow the first one: a table of 3-byte sizes for
// all but the last, which takes the rest. A size running past the data is
// cut to what remains; the last partition must not be empty.
void setUpPartitions(BoolDecoder& d, ByteView rest, FrameHeader& h) {
  h.partitionCount = 1 << d.literal(2);
  const size_t tableSize = 3 * static_cast<size_t>(h.partitionCount - 1);
  if (rest.size() < tableSize) fail(ekTruncated, "webp: VP8 partition table truncated");
  const uint8_t* sizes = rest.data();
  const uint8_t* start = rest.data() + tableSize;
  size_t left = rest.size() - tableSize;
  for (int p = 0; p + 1 < h.partitionCount; ++p) {
    const size_t size = std::min<size_t>(
        sizes[0] | size_t{sizes[1]} << 8 | size_t{sizes[2]} << 16, left);
    h.partitions[p] = BoolDecoder(start, size);
    start += size;
    left -= size;
    sizes += 3;
  }
  if (left == 0) fail(ekTruncated, "webp: VP8 token partition empty");
  h.partitions[h.partitionCount - 1] = BoolDecoder(start, left);
}

int quantIndex(int q, int limit) { return std::clamp(q, 0, limit); }

void readQuantizers(BoolDecoder& d, const SegmentSettings& s, FrameHeader& h) {
  const int base = static_cast<int>(d.literal(7));
  const int y1Dc = d.optionalSigned(4);
  const int y2Dc = d.optionalSigned(4);
  const int y2Ac = d.optionalSigned(4);
  const int uvDc = d.optionalSigned(4);
  const int uvAc = d.optionalSigned(4);
  for (int segment = 0; segment < 4; ++segment) {
    int q = base;
    if (s.enabled) q = s.quantizer[segment] + (s.absolute ? 0 : base);
    SegmentQuant& m = h.quant[segment];
    m.y1[0] = kDcQuant[quantIndex(q + y1Dc, 127)];
    m.y1[1] = kAcQuant[quantIndex(q, 127)];
    // The second-order block: DC steps doubled, AC steps scaled by 155/100
    // (x * 101581 >> 16 is that quotient for every table entry) and at
    // least 8.
    m.y2[0] = kDcQuant[quantIndex(q + y2Dc, 127)] * 2;
    m.y2[1] = std::max((kAcQuant[quantIndex(q + y2Ac, 127)] * 101581) >> 16, 8);
    // Chroma DC steps stop at 132 (index 117).
    m.uv[0] = kDcQuant[quantIndex(q + uvDc, 117)];
    m.uv[1] = kAcQuant[quantIndex(q + uvAc, 127)];
  }
}

void readCoefficientProbs(BoolDecoder& d, FrameHeader& h) {
  size_t i = 0;
  for (auto& type : h.coefficientProbs) {
    for (auto& band : type) {
      for (auto& context : band) {
        for (uint8_t& p : context) {
          p = d.bit(kCoefficientUpdateProbs[i]) ? static_cast<uint8_t>(d.literal(8))
                                                : kDefaultCoefficientProbs[i];
          ++i;
        }
      }
    }
  }
}

}  // namespace

void readDimensions(ByteView payload, int& width, int& height) {
  if (payload.size() < kFrameTagSize) fail(ekTruncated, "webp: VP8 frame header truncated");
  const uint8_t* p = payload.data();
  const uint32_t tag = p[0] | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16;
  if (tag & 1) fail(ekInvalid, "webp: VP8 frame is not a key frame");
  if (((tag >> 1) & 7) > 3) fail(ekInvalid, "webp: VP8 profile unknown");
  if (((tag >> 4) & 1) == 0) fail(ekInvalid, "webp: VP8 frame is not shown");
  if ((tag >> 5) >= payload.size()) fail(ekTruncated, "webp: VP8 first partition truncated");
  if (p[3] != 0x9D || p[4] != 0x01 || p[5] != 0x2A) fail(ekInvalid, "webp: VP8 start code missing");
  width = base::loadLe16(p + 6) & 0x3FFF;  // the top two bits ask for upscaling, not done
  height = base::loadLe16(p + 8) & 0x3FFF;
  if (width == 0 || height == 0) fail(ekInvalid, "webp: VP8 zero dimension");
}

FrameHeader readFrameHeader(ByteView payload) {
  FrameHeader h;
  readDimensions(payload, h.width, h.height);
  requirePixelCount(h.width, h.height, "webp: too many pixels");
  h.mbWidth = (h.width + 15) >> 4;
  h.mbHeight = (h.height + 15) >> 4;
  const size_t firstSize = base::loadLe32(payload.data()) >> 5 & 0x7FFFF;
  const ByteView afterTag = payload.subspan(kFrameTagSize);
  if (firstSize > afterTag.size()) fail(ekTruncated, "webp: VP8 first partition truncated");
  BoolDecoder& d = h.modes;
  d = BoolDecoder(afterTag.data(), firstSize);
  d.bit(128);  // colour space: only one is defined
  d.bit(128);  // clamping type: reconstruction always clamps
  const SegmentSettings segments = readSegmentation(d, h);
  const FilterSettings filter = readFilterSettings(d);
  h.filterType = filter.level == 0 ? 0 : filter.simple ? 1 : 2;
  computeFilterStrengths(segments, filter, h);
  setUpPartitions(d, afterTag.subspan(firstSize), h);
  readQuantizers(d, segments, h);
  d.bit(128);  // whether to keep the probabilities for later frames
  readCoefficientProbs(d, h);
  h.skipEnabled = d.bit(128) != 0;
  if (h.skipEnabled) h.skipProb = static_cast<int>(d.literal(8));
  if (d.exhausted()) fail(ekTruncated, "webp: VP8 data truncated");
  // Every macroblock costs more than a bit of the first partition, so a
  // partition that cannot cover the picture is refused before anything the
  // size of the picture is allocated.
  if (static_cast<uint64_t>(h.mbWidth) * static_cast<uint64_t>(h.mbHeight) >
      8 * uint64_t{firstSize} + 64) {
    fail(ekTruncated, "webp: VP8 data truncated");
  }
  return h;
}

}  // namespace kd::formats::vp8
