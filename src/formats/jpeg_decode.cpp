// Baseline sequential JPEG decoding (ISO/IEC 10918-1): Huffman-coded,
// 8-bit, one or three components. The direct separable float IDCT
// (jpeg_kernels.h) defines the decoded bytes to the bit; a plain
// transcription of this decoder lives in the tests and must agree on every
// byte. So speed never comes from reordering arithmetic:
//   - the IDCT computes 8 outputs at once, each sum's terms in their
//     written order, and skips the rows after the last coefficient decoded
//     (every sum starts at +0, so adding a zero term cannot change it);
//   - Huffman symbols come from a 9-bit lookup table filled from the code
//     ranges of each length up to 9 bits (buildHuffTable): the prefixes
//     that the bit-by-bit walk settles within l bits form one range per
//     length, so the table gives the walk's symbol for every prefix without
//     running it; longer codes and bad codes still go through the walk, so
//     symbols and failures match it. AC symbols with their value bits come
//     from a second table, two lookups per refill of the bit buffer;
//   - colour conversion and clamping run a row at a time, widening
//     half-width chroma on the fly.
// The picture is decoded one MCU row at a time into small float bands and
// converted straight into the output, so only one row of planes exists. The
// output is allocated whole only when the entropy data could fill it (every
// block costs at least two bits); otherwise it grows with the rows actually
// decoded, so no header claim sizes an allocation by itself.
#include "formats/jpeg_decode.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "base/checked.h"
#include "base/cpu.h"
#include "base/jpeg_segments.h"
#include "base/memory.h"
#include "formats/codecs.h"
#include "formats/jpeg_kernels.h"
#include "formats/jpeg_cmyk.h"
#include "formats/jpeg_progressive.h"

namespace kd::formats {

namespace jpeg {

void buildHuffTable(HuffTable& t, const uint8_t counts[16], ByteView symbols) {
  t = HuffTable{};
  t.defined = true;
  t.symbols.assign(symbols.begin(), symbols.end());
  int32_t code = 0;
  int32_t k = 0;
  for (int l = 1; l <= 16; ++l) {
    const int32_t count = counts[l - 1];
    t.valOffset[l] = k;
    t.minCode[l] = code;
    code += count;
    k += count;
    t.maxCode[l] = count > 0 ? code - 1 : -1;
    code <<= 1;
  }
  // The walk on a prefix p stops at the first length l whose l-bit code
  // p >> (kFastBits - l) is at most maxCode[l] (a code that reaches length
  // l is never below minCode[l]). Those codes grow with p, so the prefixes
  // settled within l bits form a range starting at 0, and each length adds
  // the prefixes from the end of the range so far to its own limit.
  uint32_t settled = 0;
  for (int l = 1; l <= kFastBits; ++l) {
    if (t.maxCode[l] < 0) continue;
    const int shift = kFastBits - l;
    const auto limit = static_cast<uint32_t>(
        std::min<int64_t>(int64_t{t.maxCode[l] + 1} << shift, int64_t{1} << kFastBits));
    for (uint32_t p = settled; p < limit; ++p) {
      const auto code = static_cast<int32_t>(p >> shift);
      const uint8_t symbol = t.symbols[static_cast<size_t>(t.valOffset[l] + code - t.minCode[l])];
      t.fast[p] = static_cast<uint16_t>(l << 8 | symbol);
    }
    settled = std::max(settled, limit);
  }
  for (uint32_t p = 0; p < (1u << kFastBits); ++p) {
    const int len = t.fast[p] >> 8;
    const auto symbol = static_cast<uint8_t>(t.fast[p] & 0xFF);
    const int size = symbol & 15;
    if (len == 0 || size == 0 || len + size > kFastBits) continue;
    const auto raw = static_cast<int32_t>(p >> (kFastBits - len - size) & ((1u << size) - 1));
    const int32_t value = raw < (1 << (size - 1)) ? raw - (1 << size) + 1 : raw;
    t.acFast[p] = static_cast<int32_t>(static_cast<uint32_t>(value) << 16) | (symbol >> 4) << 8 |
                  (len + size);
  }
}

void readDqt(base::ByteReader& seg, Tables& t) {
  do {
    seg.need(1, "jpeg: DQT truncated");
    const uint8_t pqTq = seg.u8();
    if (pqTq & 0x0C) fail(ekInvalid, "jpeg: bad quant table id");
    std::array<uint16_t, 64>& q = t.quant[pqTq & 3];
    if ((pqTq >> 4) == 0) {
      ByteView values = seg.take(64, "jpeg: quant values truncated");
      for (size_t i = 0; i < 64; ++i) q[i] = values[i];
    } else {
      ByteView values = seg.take(128, "jpeg: quant values truncated");
      for (size_t i = 0; i < 64; ++i) {
        q[i] = static_cast<uint16_t>(values[2 * i] << 8 | values[2 * i + 1]);
      }
    }
  } while (!seg.atEnd());
}

void readDht(base::ByteReader& seg, Tables& t) {
  do {
    seg.need(17, "jpeg: DHT truncated");
    const uint8_t tcTh = seg.u8();
    if ((tcTh & 15) > 3) fail(ekInvalid, "jpeg: bad Huffman table id");
    ByteView counts = seg.take(16);
    size_t total = 0;
    for (uint8_t c : counts) total += c;
    ByteView symbols = seg.take(total, "jpeg: Huffman symbols truncated");
    HuffTable& table = (tcTh >> 4) == 0 ? t.dc[tcTh & 15] : t.ac[tcTh & 15];
    buildHuffTable(table, counts.data(), symbols);
  } while (!seg.atEnd());
}

void readSof0(base::ByteReader& seg, size_t length, Frame& f, bool wide) {
  if (length < 8) fail(ekTruncated, "jpeg: SOF0 truncated");
  if (seg.u8() != 8) fail(ekUnsupported, "jpeg: non-8-bit precision");
  const int height = seg.u16be();
  const int width = seg.u16be();
  const int count = seg.u8();
  if (count != 1 && count != 3 && !(wide && count == 4)) {
    fail(ekUnsupported, "jpeg: unsupported component count");
  }
  seg.need(static_cast<size_t>(3 * count), "jpeg: SOF0 components truncated");
  std::vector<Component> components(static_cast<size_t>(count));
  for (Component& c : components) {
    c.id = seg.u8();
    const uint8_t hv = seg.u8();
    c.h = hv >> 4;
    c.v = hv & 15;
    c.tq = seg.u8();
    if (c.h < 1 || c.h > 4 || c.v < 1 || c.v > 4) fail(ekInvalid, "jpeg: bad sampling factor");
    if (c.tq > 3) fail(ekInvalid, "jpeg: bad quant table ref");
  }
  if (width == 0 || height == 0) fail(ekInvalid, "jpeg: bad dimensions");
  f.seen = true;
  f.width = width;
  f.height = height;
  f.components = std::move(components);
}

EntropyData extractEntropy(ByteView d, size_t pos, size_t* markerPos) {
  EntropyData e;
  e.bytes.reserve(d.size() - pos);
  const uint8_t* base = d.data();
  const size_t n = d.size();
  if (markerPos != nullptr) *markerPos = SIZE_MAX;
  while (pos < n) {
    const void* ff = std::memchr(base + pos, 0xFF, n - pos);
    const size_t stop = ff ? static_cast<size_t>(static_cast<const uint8_t*>(ff) - base) : n;
    e.bytes.insert(e.bytes.end(), base + pos, base + stop);
    // 0xFF fill bytes may precede a marker (B.1.1.2), as in the header
    // walk; 0xFF bytes up to the end of the data end it.
    size_t code = stop + 1;
    while (code < n && base[code] == 0xFF) ++code;
    if (code >= n) break;
    const uint8_t m = base[code];
    pos = code + 1;
    if (m == 0x00) {
      e.bytes.push_back(0xFF);
    } else if (m >= 0xD0 && m <= 0xD7) {
      e.restarts.push_back(e.bytes.size());
    } else if (markerPos != nullptr) {
      *markerPos = stop;
      break;
    } else if (m == 0xD9) {
      break;
    } else {
      fail(ekInvalid, "jpeg: bad marker in entropy");
    }
  }
  return e;
}

void requireHostLimit(const Frame& f, uint64_t maxPixels) {
  const uint64_t pixels = uint64_t(f.width) * uint64_t(f.height);
  if (maxPixels == 0 || pixels <= maxPixels) return;
  fail(ekTooLarge, "jpeg: " + std::to_string(pixels) + " pixels exceed the limit of " +
                       std::to_string(maxPixels));
}

[[noreturn, gnu::noinline, gnu::cold]] void failDecode(bool overrun, const char* message) {
  if (overrun) fail(ekTruncated, "jpeg: entropy stream truncated");
  fail(ekInvalid, message);
}

}  // namespace jpeg

namespace {

using namespace jpeg;

void readSos(base::ByteReader& seg, size_t length, Tables& t, Frame& f) {
  if (!f.seen) fail(ekInvalid, "jpeg: SOS before SOF0");
  if (length <= 5) fail(ekTruncated, "jpeg: SOS truncated");
  const size_t count = seg.u8();
  if (count != f.components.size()) fail(ekInvalid, "jpeg: SOS component mismatch");
  for (size_t i = 0; i < count; ++i) {
    seg.need(2, "jpeg: SOS selectors truncated");
    const uint8_t id = seg.u8();
    const uint8_t tdTa = seg.u8();
    auto it = std::find_if(f.components.begin(), f.components.end(),
                           [&](const Component& c) { return c.id == id; });
    if (it == f.components.end()) fail(ekInvalid, "jpeg: SOS unknown component");
    const int td = tdTa >> 4;
    const int ta = tdTa & 15;
    if (td > 3 || ta > 3) fail(ekInvalid, "jpeg: bad Huffman table ref");
    if (!t.dc[static_cast<size_t>(td)].defined || !t.ac[static_cast<size_t>(ta)].defined) {
      fail(ekInvalid, "jpeg: scan references an undefined Huffman table");
    }
    it->td = td;
    it->ta = ta;
  }
  if (f.width == 0 || f.height == 0) fail(ekInvalid, "jpeg: no frame (SOF0)");
}

// Adobe's APP14: "Adobe", version, two flag words, then the transform
// flag (0: CMYK or RGB as stored, 1: YCbCr, 2: YCCK).
void readAdobe(base::ByteReader& seg, Frame& f) {
  if (seg.remaining() < 12) return;
  const ByteView head = seg.take(12);
  if (std::memcmp(head.data(), "Adobe", 5) == 0) f.adobeTransform = head[11];
}

}  // namespace

namespace jpeg {

size_t readSegmentsToScan(ByteView d, size_t pos, Tables& t, Frame& f, bool wide, bool afterScan) {
  base::JpegSegmentWalk walk(d, pos);
  base::JpegSegment s;
  while (walk.next(s)) {
    if (s.marker == 0xD9) {
      if (afterScan) return SIZE_MAX;
      fail(ekInvalid, "jpeg: no scan (SOS)");
    }
    if (base::JpegSegmentWalk::standalone(s.marker)) continue;
    if (s.truncated) fail(ekTruncated, "jpeg: segment truncated");
    base::ByteReader seg(s.payload(d), "jpeg: segment truncated");
    const size_t length = s.length;
    const uint8_t marker = s.marker;
    switch (marker) {
      case 0xDB: readDqt(seg, t); break;
      case 0xC4: readDht(seg, t); break;
      case 0xC0: readSof0(seg, length, f, wide); break;
      case 0xC1:
      case 0xC2:
        if (!wide) {
          if (marker == 0xC2) fail(ekUnsupported, "jpeg: progressive unsupported");
          break;
        }
        readSof0(seg, length, f, wide);
        f.process = marker;
        break;
      case 0xC9:
      case 0xCA: fail(ekUnsupported, "jpeg: arithmetic/12-bit unsupported");
      case 0xC3:
        if (wide) fail(ekUnsupported, "jpeg: lossless unsupported");
        break;
      case 0xC5:
      case 0xC6:
      case 0xC7:
        if (wide) fail(ekUnsupported, "jpeg: hierarchical unsupported");
        break;
      case 0xCB:
      case 0xCD:
      case 0xCE:
      case 0xCF:
        if (wide) fail(ekUnsupported, "jpeg: arithmetic/12-bit unsupported");
        break;
      case 0xEE:
        if (wide) readAdobe(seg, f);
        break;
      case 0xDD:
        seg.need(2, "jpeg: DRI truncated");
        t.restartInterval = seg.u16be();
        break;
      case 0xDA: return s.body - 2;
      default: break;
    }
  }
  switch (walk.stop()) {
    case base::JpegWalkStop::jwNotMarker:
      fail(ekInvalid, "jpeg: expected marker");
    case base::JpegWalkStop::jwLengthCut:
      fail(ekTruncated, "jpeg: marker length truncated");
    case base::JpegWalkStop::jwBadLength:
      fail(ekTruncated, "jpeg: segment truncated");
    default:
      if (afterScan) fail(ekTruncated, "jpeg: entropy stream truncated");
      fail(ekInvalid, "jpeg: no scan (SOS)");
  }
}

}  // namespace jpeg

namespace {

// Walks the segments up to the first SOS; returns the position of its
// length field.
size_t readHeaders(ByteView d, Tables& t, Frame& f, bool wide) {
  requireLen(d, 2, "jpeg: header truncated");
  if (d[0] != 0xFF || d[1] != 0xD8) fail(ekUnsupported, "jpeg: bad SOI");
  return readSegmentsToScan(d, 2, t, f, wide, false);
}

// Reads the SOS segment whose length field is at `pos` (bounds checked by
// the walk); returns the position just after it, where the entropy-coded
// data begins.
size_t readFirstScan(ByteView d, size_t pos, Tables& t, Frame& f) {
  const size_t length = static_cast<size_t>(d[pos] << 8 | d[pos + 1]);
  base::ByteReader seg(d.subspan(pos + 2, length - 2), "jpeg: segment truncated");
  readSos(seg, length, t, f);
  return pos + length;
}


// Decodes one block's coefficients, dequantised, into `b` (which must be
// all zero on entry). DC categories above 16 cannot be produced by any
// encoder and would overflow the sign extension; they count as a bad code.
// The reader is copied into a local for the block so that its state stays
// in registers while coefficients are stored.
[[gnu::noinline]] void decodeBlock(BitReader& reader, const HuffTable& dc, const HuffTable& ac,
                                   const uint16_t* quant, const float* quantF, int64_t& pred,
                                   Block& b) {
  const float* cu = kCuOfK.data();
  BitReader r = reader;
  r.refill();
  const int s = decodeSymbol(r, dc);
  if (s > 16) failDecode(r.overrun(), "jpeg: bad Huffman code");
  pred += receiveExtend(r, s);
  b.coef[0] = cu[0] * static_cast<float>(pred * quant[0]);
  int lastK = 0;
  for (int k = 1; k < 64;) {
    r.refill();
    // Symbol and value together when both fit the lookup prefix and the
    // run stays inside the block; otherwise the symbol alone (the failure
    // for a run past the block comes before its value bits are read). A
    // refill leaves at least 56 bits: room for two lookups (9 bits each)
    // and then a symbol with its value bits (32) in the general path.
    int32_t hit = ac.acFast[r.peek(kFastBits)];
    if (hit != 0 && k + (hit >> 8 & 15) <= 63) [[likely]] {
      r.consume(hit & 0xFF);
      k += hit >> 8 & 15;
      b.coef[ZigZag[static_cast<size_t>(k)]] = cu[k] * (static_cast<float>(hit >> 16) * quantF[k]);
      lastK = k++;
      if (k >= 64) break;
      hit = ac.acFast[r.peek(kFastBits)];
      if (hit != 0 && k + (hit >> 8 & 15) <= 63) [[likely]] {
        r.consume(hit & 0xFF);
        k += hit >> 8 & 15;
        b.coef[ZigZag[static_cast<size_t>(k)]] =
            cu[k] * (static_cast<float>(hit >> 16) * quantF[k]);
        lastK = k++;
        continue;
      }
    }
    const int rs = decodeSymbol(r, ac);
    const int run = rs >> 4;
    const int size = rs & 15;
    if (size == 0) {
      if (run != 15) break;
      k += 16;
      continue;
    }
    k += run;
    if (k > 63) failDecode(r.overrun(), "jpeg: AC index out of range");
    b.coef[ZigZag[static_cast<size_t>(k)]] =
        cu[k] * (static_cast<float>(receiveExtend(r, size)) * quantF[k]);
    lastK = k++;
  }
  if (r.overrun()) fail(ekTruncated, "jpeg: entropy stream truncated");
  b.lastK = lastK;
  reader = r;
}

// Geometry and float band of one component for one MCU row.
struct ComponentBand {
  int h = 1;
  int v = 1;
  size_t stride = 0;              // floats per band row
  std::vector<float> band;        // 8 * v rows
  std::vector<uint32_t> columns;  // picture column -> band column, when h < hmax
  std::vector<float> expanded;    // one band row replicated to the picture width
  size_t expandedRow = SIZE_MAX;  // the band row `expanded` holds
  bool halves = false;            // h * 2 == hmax: each sample covers two columns
};

class ScanDecoder {
 public:
  ScanDecoder(const Tables& t, const Frame& f, EntropyData&& entropy, DecodeKernels kernels)
      : tables_(t),
        frame_(f),
        entropy_(std::move(entropy)),
        reader_(entropy_.bytes),
        kernels_(kernels) {}
  // Renders gathered coefficients instead of decoding a scan.
  ScanDecoder(const Tables& t, const Frame& f, const std::vector<CoefficientPlane>& planes,
              DecodeKernels kernels)
      : tables_(t), frame_(f), reader_(entropy_.bytes), kernels_(kernels), planes_(&planes) {}

  Image run();

 private:
  void restart();
  void decodeMcuRow(size_t mcuRow);
  void renderMcuRow(size_t mcuRow);
  void convertRows(size_t rows, uint8_t* out);
  const float* componentRow(size_t c, size_t rowInBand);
  const float* bandRow(size_t c, size_t rowInBand) const;

  const Tables& tables_;
  const Frame& frame_;
  EntropyData entropy_;
  BitReader reader_;
  DecodeKernels kernels_;
  std::vector<ComponentBand> bands_;
  std::vector<std::array<float, 64>> quantF_;
  std::vector<int64_t> preds_;
  int hmax_ = 1;
  int vmax_ = 1;
  size_t mcusAcross_ = 0;
  size_t mcusDecoded_ = 0;
  size_t nextRestart_ = 0;
  Block block_{};
  const std::vector<CoefficientPlane>* planes_ = nullptr;
  std::vector<uint8_t> cmykScratch_;
};

// One stored block into `b` (all zero on entry), dequantised as
// decodeBlock does it.
void dequantiseBlock(const int16_t* coef, const uint16_t* quant, const float* quantF, Block& b) {
  const float* cu = kCuOfK.data();
  b.coef[0] = cu[0] * static_cast<float>(int64_t{coef[0]} * quant[0]);
  // The non-zero coefficients from a mask, without a branch per position.
  const uint64_t nonZero = nonZeroMask(coef) & ~uint64_t{1};
  for (uint64_t rest = nonZero; rest != 0; rest &= rest - 1) {
    const auto k = static_cast<size_t>(__builtin_ctzll(rest));
    b.coef[ZigZag[k]] = cu[k] * (static_cast<float>(coef[k]) * quantF[k]);
  }
  b.lastK = nonZero == 0 ? 0 : 63 - __builtin_clzll(nonZero);
}

void ScanDecoder::renderMcuRow(size_t mcuRow) {
  for (ComponentBand& band : bands_) band.expandedRow = SIZE_MAX;
  for (size_t c = 0; c < bands_.size(); ++c) {
    const CoefficientPlane& plane = (*planes_)[c];
    ComponentBand& band = bands_[c];
    for (int v = 0; v < band.v; ++v) {
      const size_t blockRow = mcuRow * static_cast<size_t>(band.v) + static_cast<size_t>(v);
      const int16_t* coef = plane.coef.data() + blockRow * plane.blocksAcross * 64;
      float* out = band.band.data() + static_cast<size_t>(v) * 8 * band.stride;
      for (size_t bx = 0; bx < plane.blocksAcross; ++bx) {
        dequantiseBlock(coef + bx * 64, plane.quant.data(), quantF_[c].data(), block_);
        kernels_.idct(block_, out + bx * 8, band.stride);
      }
    }
  }
}

void ScanDecoder::restart() {
  if (nextRestart_ < entropy_.restarts.size()) {
    reader_.seek(entropy_.restarts[nextRestart_++]);
  } else {
    reader_.alignToByte();
  }
  std::fill(preds_.begin(), preds_.end(), 0);
}

void ScanDecoder::decodeMcuRow(size_t mcuRow) {
  if (planes_ != nullptr) return renderMcuRow(mcuRow);
  const size_t count = frame_.components.size();
  for (ComponentBand& band : bands_) band.expandedRow = SIZE_MAX;
  const int interval = tables_.restartInterval;
  for (size_t mx = 0; mx < mcusAcross_; ++mx) {
    if (interval > 0 && mcusDecoded_ > 0 && mcusDecoded_ % static_cast<size_t>(interval) == 0) {
      restart();
    }
    for (size_t c = 0; c < count; ++c) {
      const Component& comp = frame_.components[c];
      ComponentBand& band = bands_[c];
      const HuffTable& dc = tables_.dc[static_cast<size_t>(comp.td)];
      const HuffTable& ac = tables_.ac[static_cast<size_t>(comp.ta)];
      const uint16_t* quant = tables_.quant[static_cast<size_t>(comp.tq)].data();
      for (int v = 0; v < band.v; ++v) {
        for (int h = 0; h < band.h; ++h) {
          decodeBlock(reader_, dc, ac, quant, quantF_[c].data(), preds_[c], block_);
          float* out = band.band.data() + static_cast<size_t>(v) * 8 * band.stride +
                       (mx * static_cast<size_t>(band.h) + static_cast<size_t>(h)) * 8;
          kernels_.idct(block_, out, band.stride);
        }
      }
    }
    ++mcusDecoded_;
  }
}

// Row `rowInBand` of the MCU row (picture rows counted from the band's top)
// of component c, sampled at picture columns 0..width-1.
const float* ScanDecoder::bandRow(size_t c, size_t rowInBand) const {
  const ComponentBand& band = bands_[c];
  const size_t bandRow = rowInBand * static_cast<size_t>(band.v) / static_cast<size_t>(vmax_);
  return band.band.data() + bandRow * band.stride;
}

const float* ScanDecoder::componentRow(size_t c, size_t rowInBand) {
  ComponentBand& band = bands_[c];
  const size_t bandRow = rowInBand * static_cast<size_t>(band.v) / static_cast<size_t>(vmax_);
  const float* row = band.band.data() + bandRow * band.stride;
  if (band.columns.empty()) return row;
  if (band.expandedRow != bandRow) {
    const size_t width = band.columns.size();
    float* out = band.expanded.data();
    if (band.halves) {
      for (size_t x = 0; x + 1 < width; x += 2) out[x] = out[x + 1] = row[x / 2];
      if (width % 2 != 0) out[width - 1] = row[(width - 1) / 2];
    } else {
      for (size_t x = 0; x < width; ++x) out[x] = row[band.columns[x]];
    }
    band.expandedRow = bandRow;
  }
  return band.expanded.data();
}

// Converts the first `rows` rows of the MCU row into `out` (rows of
// width * channels bytes).
void ScanDecoder::convertRows(size_t rows, uint8_t* out) {
  const auto width = static_cast<size_t>(frame_.width);
  const size_t channels = frame_.components.size();
  if (channels == 4) {
    cmykScratch_.resize(width * 4);
    for (size_t r = 0; r < rows; ++r) {
      const float* planes[4] = {componentRow(0, r), componentRow(1, r), componentRow(2, r),
                                componentRow(3, r)};
      convertCmykRow(kernels_, planes, frame_.adobeTransform == 2, cmykScratch_.data(),
                     out + r * width * 3, width);
    }
    return;
  }
  // Full-width luma with chroma at half width (4:2:0, 4:2:2): the kernel
  // reads the chroma rows as they are and widens them itself.
  const bool halfChroma = channels == 3 && kernels_.rgbHalf != nullptr &&
                          bands_[0].columns.empty() && bands_[1].halves && bands_[2].halves;
  for (size_t r = 0; r < rows; ++r) {
    uint8_t* dst = out + r * width * channels;
    if (halfChroma) {
      kernels_.rgbHalf(bandRow(0, r), bandRow(1, r), bandRow(2, r), dst, width);
    } else if (channels == 1) {
      kernels_.grey(componentRow(0, r), dst, width);
    } else {
      const float* y = componentRow(0, r);
      const float* cb = componentRow(1, r);
      const float* cr = componentRow(2, r);
      kernels_.rgb(y, cb, cr, dst, width);
    }
  }
}

Image ScanDecoder::run() {
  const size_t count = frame_.components.size();
  const auto width = static_cast<size_t>(frame_.width);
  const auto height = static_cast<size_t>(frame_.height);
  // A one-component frame is a non-interleaved scan of single 8x8 blocks,
  // whatever its sampling factors say.
  if (count > 1) {
    for (const Component& c : frame_.components) {
      hmax_ = std::max(hmax_, c.h);
      vmax_ = std::max(vmax_, c.v);
    }
  }
  const size_t mcuWidth = 8 * static_cast<size_t>(hmax_);
  const size_t mcuHeight = 8 * static_cast<size_t>(vmax_);
  mcusAcross_ = (width + mcuWidth - 1) / mcuWidth;
  const size_t mcusDown = (height + mcuHeight - 1) / mcuHeight;

  size_t blocksPerMcu = 0;
  bands_.resize(count);
  quantF_.resize(count);
  preds_.assign(count, 0);
  for (size_t c = 0; c < count; ++c) {
    const Component& comp = frame_.components[c];
    ComponentBand& band = bands_[c];
    band.h = count > 1 ? comp.h : 1;
    band.v = count > 1 ? comp.v : 1;
    blocksPerMcu += static_cast<size_t>(band.h * band.v);
    band.stride = mcusAcross_ * static_cast<size_t>(band.h) * 8;
    band.band.assign(band.stride * 8 * static_cast<size_t>(band.v), 0.0f);
    if (band.h != hmax_) {
      band.halves = band.h * 2 == hmax_;
      band.columns.resize(width);
      band.expanded.resize(width);
      for (size_t x = 0; x < width; ++x) {
        band.columns[x] = static_cast<uint32_t>(x * static_cast<size_t>(band.h) /
                                                static_cast<size_t>(hmax_));
      }
    }
    const auto& q = planes_ != nullptr ? (*planes_)[c].quant
                                       : tables_.quant[static_cast<size_t>(comp.tq)];
    for (size_t k = 0; k < 64; ++k) quantF_[c][k] = static_cast<float>(q[k]);
  }

  Image img;
  img.width = frame_.width;
  img.height = frame_.height;
  img.colorspace = count == 1 ? csGray : csRgb;
  img.channels = channelsOf(img.colorspace);
  const size_t rowBytes = width * static_cast<size_t>(img.channels);
  // Every block costs at least two bits (a DC code and an AC code): when
  // the data holds that many, the whole picture is allocated at once and
  // rows are converted straight into it; otherwise rows are appended as
  // they are decoded, so the output grows with the rows actually decoded
  // instead of trusting the header's size.
  const uint64_t blocks = uint64_t{mcusAcross_} * mcusDown * blocksPerMcu;
  // Gathered coefficients have shown their data already.
  const bool whole = planes_ != nullptr || blocks * 2 <= uint64_t{entropy_.bytes.size()} * 8;
  std::vector<uint8_t> rows;
  if (whole) {
    img.pixels.reserve(rowBytes * height);
    base::adviseHugePages(img.pixels.data(), img.pixels.capacity());
    img.pixels.resize(rowBytes * height);
  } else {
    rows.resize(rowBytes * mcuHeight);
  }
  for (size_t my = 0; my < mcusDown; ++my) {
    decodeMcuRow(my);
    const size_t count = std::min(mcuHeight, height - my * mcuHeight);
    if (whole) {
      convertRows(count, img.pixels.data() + my * mcuHeight * rowBytes);
    } else {
      convertRows(count, rows.data());
      img.pixels.insert(img.pixels.end(), rows.begin(),
                        rows.begin() + static_cast<ptrdiff_t>(count * rowBytes));
    }
  }
  return img;
}

}  // namespace

namespace jpeg {

Image renderCoefficients(const Tables& t, const Frame& f, const std::vector<CoefficientPlane>& planes,
                         DecodeKernels kernels) {
  ScanDecoder decoder(t, f, planes, kernels);
  return decoder.run();
}

Image decodeJpegWith(ByteView data, bool useAvx2, const DecodeOptions& opts) {
  Tables tables;
  Frame frame;
  const size_t sos = readHeaders(data, tables, frame, opts.wide);
  if (frame.process == 0xC2) {
    return decodeProgressive(data, sos, tables, frame, opts.maxPixels, decodeKernels(useAvx2));
  }
  const size_t scanStart = readFirstScan(data, sos, tables, frame);
  requirePixelCount(frame.width, frame.height, "jpeg: too many pixels");
  requireHostLimit(frame, opts.maxPixels);
  ScanDecoder decoder(tables, frame, extractEntropy(data, scanStart), decodeKernels(useAvx2));
  return decoder.run();
}

Image decodeJpegWith(ByteView data, bool useAvx2) { return decodeJpegWith(data, useAvx2, {}); }

}  // namespace jpeg

Image decodeJpeg(ByteView data) { return jpeg::decodeJpegWith(data, base::cpuHasAvx2()); }

Image decodeJpeg(ByteView data, const DecodeOptions& opts) {
  return jpeg::decodeJpegWith(data, base::cpuHasAvx2(), opts);
}

}  // namespace kd::formats
