// Progressive JPEG decoding (ISO/IEC 10918-1 Annex G, Huffman coding): the
// scans come one after another, each a band of the zigzag order (spectral
// selection) at some bit position (successive approximation), so the
// coefficients of the whole picture are kept until the last scan, as int16
// in zigzag order (CoefficientPlane). Rendering is the baseline decoder's:
// the same dequantisation, float IDCT, upsampling and colour conversion.
//
// Memory follows the evidence of the input: a component's plane is made at
// its first DC scan, and only when that scan's entropy data holds at least
// one bit per block it codes (a DC code is at least one bit long); AC and
// refinement scans may not come before it. The picture itself is made once
// every scan has been read. The segment walk and the frame, table and
// entropy readers are the baseline decoder's (jpeg_decode.h).
#include "formats/jpeg_progressive.h"

#include <algorithm>
#include <bit>

namespace kd::formats::jpeg {

namespace {

// More scans than any encoder writes for 8-bit data (spectral bands of 63
// coefficients per component times 14 bit positions come to fewer); the cap
// keeps the work of a file made of empty scans in proportion to its size.
constexpr size_t kMaxScans = 1000;

[[noreturn]] void failScan() { fail(ekInvalid, "jpeg: bad progressive scan parameters"); }

enum class ScanKind : uint8_t { skDcFirst, skDcRefine, skAcFirst, skAcRefine };
using enum ScanKind;

struct ScanComponent {
  size_t index = 0;  // into the frame's components
  const HuffTable* dc = nullptr;
  const HuffTable* ac = nullptr;
};

struct Scan {
  std::vector<ScanComponent> components;
  int ss = 0;  // spectral selection start, zigzag index
  int se = 0;  // spectral selection end
  int ah = 0;  // successive approximation: previous bit position
  int al = 0;  // current bit position
  ScanKind kind = skDcFirst;
};

// Coefficient stored from an extended value shifted to bit position `al`,
// wrapping as a 16-bit two's complement value (int16 storage, as libjpeg's).
KD_INLINE int16_t shifted(int64_t value, int al) {
  return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint64_t>(value) << al));
}

// Correction bits of coefficients already non-zero (G.1.2.3), one at a
// time: a set bit moves a coefficient away from zero by 2^al unless that
// bit is set already. The reader is refilled only when the bits known to
// be buffered run out (a refill leaves at least 56).
class Corrections {
 public:
  Corrections(BitReader& r, int buffered) : r_(r), buffered_(buffered) {}
  KD_INLINE void apply(int16_t& c, int p1) {
    if (buffered_ == 0) {
      r_.refill();
      buffered_ = 56;
    }
    --buffered_;
    if (r_.take(1) != 0 && (c & p1) == 0) c = static_cast<int16_t>(c >= 0 ? c + p1 : c - p1);
  }

 private:
  BitReader& r_;
  int buffered_;
};

class ProgressiveDecoder {
 public:
  ProgressiveDecoder(ByteView d, Tables& t, const Frame& f) : d_(d), tables_(t), frame_(f) {}

  Image run(size_t sos, DecodeKernels kernels);

 private:
  void layOut();
  Scan readScanHeader(size_t pos, size_t& end) const;
  void preparePlanes(const Scan& scan, const EntropyData& entropy);
  void decodeScan(const Scan& scan, const EntropyData& entropy);
  template <ScanKind kind>
  void decodeScanAs(const Scan& scan, const EntropyData& entropy);
  template <ScanKind kind>
  void decodeBlock(const Scan& scan, const ScanComponent& sc, int16_t* blk);

  ByteView d_;
  Tables& tables_;
  const Frame& frame_;
  Bytes empty_;
  BitReader reader_{empty_};
  std::vector<CoefficientPlane> planes_;
  std::vector<size_t> scanAcross_;  // blocks of a one-component scan
  std::vector<size_t> scanDown_;
  std::vector<int> h_, v_;          // sampling factors as the MCUs use them
  size_t mcusAcross_ = 0;
  size_t mcusDown_ = 0;
  int64_t preds_[4] = {};
  uint32_t eobrun_ = 0;
};

// MCU geometry as the baseline decoder's: a one-component frame is made of
// single blocks whatever its sampling factors say.
void ProgressiveDecoder::layOut() {
  const size_t count = frame_.components.size();
  int hmax = 1, vmax = 1;
  if (count > 1) {
    for (const Component& c : frame_.components) {
      hmax = std::max(hmax, c.h);
      vmax = std::max(vmax, c.v);
    }
  }
  const auto width = static_cast<size_t>(frame_.width);
  const auto height = static_cast<size_t>(frame_.height);
  mcusAcross_ = (width + 8 * static_cast<size_t>(hmax) - 1) / (8 * static_cast<size_t>(hmax));
  mcusDown_ = (height + 8 * static_cast<size_t>(vmax) - 1) / (8 * static_cast<size_t>(vmax));
  planes_.resize(count);
  for (const Component& c : frame_.components) {
    const int h = count > 1 ? c.h : 1;
    const int v = count > 1 ? c.v : 1;
    h_.push_back(h);
    v_.push_back(v);
    // A one-component scan covers the component's own samples (A.1.1):
    // ceil(width * h / hmax) columns, in blocks.
    const size_t columns = (width * static_cast<size_t>(h) + static_cast<size_t>(hmax) - 1) /
                           static_cast<size_t>(hmax);
    const size_t rows = (height * static_cast<size_t>(v) + static_cast<size_t>(vmax) - 1) /
                        static_cast<size_t>(vmax);
    scanAcross_.push_back((columns + 7) / 8);
    scanDown_.push_back((rows + 7) / 8);
  }
}

// The SOS segment whose length field is at `pos` (bounds checked by the
// walk); `end` receives the position after it.
Scan ProgressiveDecoder::readScanHeader(size_t pos, size_t& end) const {
  const size_t length = static_cast<size_t>(d_[pos] << 8 | d_[pos + 1]);
  end = pos + length;
  if (length <= 5) fail(ekTruncated, "jpeg: SOS truncated");
  base::ByteReader seg(d_.subspan(pos + 2, length - 2), "jpeg: SOS truncated");
  const size_t count = seg.u8();
  if (count == 0 || count > frame_.components.size()) fail(ekInvalid, "jpeg: SOS component mismatch");
  Scan scan;
  std::vector<bool> used(frame_.components.size());
  for (size_t i = 0; i < count; ++i) {
    seg.need(2, "jpeg: SOS selectors truncated");
    const uint8_t id = seg.u8();
    const uint8_t tdTa = seg.u8();
    const auto it = std::find_if(frame_.components.begin(), frame_.components.end(),
                                 [&](const Component& c) { return c.id == id; });
    if (it == frame_.components.end()) fail(ekInvalid, "jpeg: SOS unknown component");
    ScanComponent sc;
    sc.index = static_cast<size_t>(it - frame_.components.begin());
    if (used[sc.index]) fail(ekInvalid, "jpeg: SOS component mismatch");
    used[sc.index] = true;
    const size_t td = tdTa >> 4;
    const size_t ta = tdTa & 15;
    if (td > 3 || ta > 3) fail(ekInvalid, "jpeg: bad Huffman table ref");
    sc.dc = &tables_.dc[td];
    sc.ac = &tables_.ac[ta];
    scan.components.push_back(sc);
  }
  seg.need(3, "jpeg: SOS truncated");
  scan.ss = seg.u8();
  scan.se = seg.u8();
  const uint8_t ahAl = seg.u8();
  scan.ah = ahAl >> 4;
  scan.al = ahAl & 15;
  // A DC scan codes coefficient 0 alone; an AC band lies within 1..63 and
  // belongs to one component (G.1.1.1.1). Bit positions beyond 13 cannot
  // hold an 8-bit coefficient.
  if (scan.ss == 0 ? scan.se != 0 : (scan.se < scan.ss || scan.se > 63 || count != 1)) failScan();
  if (scan.ah > 13 || scan.al > 13) failScan();
  scan.kind = scan.ss == 0 ? (scan.ah == 0 ? skDcFirst : skDcRefine)
                           : (scan.ah == 0 ? skAcFirst : skAcRefine);
  for (const ScanComponent& sc : scan.components) {
    const bool missing = (scan.kind == skDcFirst && !sc.dc->defined) ||
                         ((scan.kind == skAcFirst || scan.kind == skAcRefine) && !sc.ac->defined);
    if (missing) fail(ekInvalid, "jpeg: scan references an undefined Huffman table");
  }
  return scan;
}

void ProgressiveDecoder::preparePlanes(const Scan& scan, const EntropyData& entropy) {
  uint64_t blocks = 0;
  for (const ScanComponent& sc : scan.components) {
    const size_t c = sc.index;
    blocks += scan.components.size() == 1
                  ? uint64_t{scanAcross_[c]} * scanDown_[c]
                  : uint64_t{mcusAcross_} * mcusDown_ * static_cast<uint64_t>(h_[c] * v_[c]);
  }
  for (const ScanComponent& sc : scan.components) {
    CoefficientPlane& plane = planes_[sc.index];
    if (!plane.coef.empty()) continue;
    if (scan.kind != skDcFirst) {
      fail(ekInvalid, "jpeg: progressive scan before the component's DC scan");
    }
    // Every block of a first DC scan costs at least one bit.
    if (blocks > uint64_t{entropy.bytes.size()} * 8) {
      fail(ekTruncated, "jpeg: entropy stream truncated");
    }
    const Component& comp = frame_.components[sc.index];
    plane.blocksAcross = mcusAcross_ * static_cast<size_t>(h_[sc.index]);
    plane.blocksDown = mcusDown_ * static_cast<size_t>(v_[sc.index]);
    plane.quant = tables_.quant[static_cast<size_t>(comp.tq)];
    plane.coef.assign(plane.blocksAcross * plane.blocksDown * 64, 0);
  }
}

// One block's part of the scan (G.1.2.1 to G.1.2.3). `blk` is in zigzag
// order. One instance per kind of scan, so the hot loops carry no switch.
template <ScanKind kind>
void ProgressiveDecoder::decodeBlock(const Scan& scan, const ScanComponent& sc, int16_t* blk) {
  BitReader& r = reader_;
  if constexpr (kind == skDcFirst) {
    r.refill();
    const int s = decodeSymbol(r, *sc.dc);
    if (s > 16) failDecode(r.overrun(), "jpeg: bad Huffman code");
    int64_t& pred = preds_[sc.index];
    pred += receiveExtend(r, s);
    blk[0] = shifted(pred, scan.al);
  } else if constexpr (kind == skDcRefine) {
    r.refill();
    if (r.take(1) != 0) blk[0] = static_cast<int16_t>(blk[0] | (1 << scan.al));
  } else if constexpr (kind == skAcFirst) {
    if (eobrun_ > 0) {
      --eobrun_;
      return;
    }
    const HuffTable& ac = *sc.ac;
    for (int k = scan.ss; k <= scan.se; ++k) {
      r.refill();
      // Symbol and value from one lookup when both fit the prefix and the
      // run stays in the band, as in the baseline decoder.
      const int32_t hit = ac.acFast[r.peek(kFastBits)];
      if (hit != 0 && k + (hit >> 8 & 15) <= scan.se) [[likely]] {
        r.consume(hit & 0xFF);
        k += hit >> 8 & 15;
        blk[k] = shifted(hit >> 16, scan.al);
        continue;
      }
      const int rs = decodeSymbol(r, ac);
      const int run = rs >> 4;
      const int size = rs & 15;
      if (size == 0) {
        if (run == 15) {
          k += 15;
          continue;
        }
        // EOBn: this block and 2^n - 1 + (n bits) more end here.
        eobrun_ = (1u << run) - 1;
        if (run > 0) eobrun_ += r.take(run);
        return;
      }
      k += run;
      if (k > scan.se) failDecode(r.overrun(), "jpeg: AC index out of range");
      blk[k] = shifted(receiveExtend(r, size), scan.al);
    }
  } else {
    const int p1 = 1 << scan.al;
    int k = scan.ss;
    if (eobrun_ == 0) {
      for (; k <= scan.se; ++k) {
        r.refill();
        const int rs = decodeSymbol(r, *sc.ac);
        int run = rs >> 4;
        int value = 0;
        if ((rs & 15) != 0) {
          // A newly non-zero coefficient is +-2^al; its size is 1 in a
          // valid stream, and only the sign bit follows either way.
          value = r.take(1) != 0 ? p1 : -p1;
        } else if (run != 15) {
          eobrun_ = 1u << run;
          if (run > 0) eobrun_ += r.take(run);
          break;
        }
        // Skip `run` zero coefficients (ZRL: 16), refining the non-zero
        // ones passed on the way; a new value lands on the next zero. At
        // most 16 + 1 bits have gone since the refill.
        Corrections corrections(r, 56 - 17);
        for (; k <= scan.se; ++k) {
          if (blk[k] != 0) {
            corrections.apply(blk[k], p1);
          } else {
            if (run == 0) break;
            --run;
          }
        }
        if (value != 0) {
          if (k > scan.se) failDecode(r.overrun(), "jpeg: AC index out of range");
          blk[k] = static_cast<int16_t>(value);
        }
      }
    }
    if (eobrun_ > 0) {
      // Inside an end-of-band run only the non-zero coefficients take a
      // correction bit, in zigzag order: found from a mask of them, which
      // costs no branch per coefficient (most blocks are in such runs).
      uint64_t nonZero = 0;
      if (k <= scan.se) {
        nonZero = nonZeroMask(blk) & (~uint64_t{0} << k) & (~uint64_t{0} >> (63 - scan.se));
      }
      Corrections corrections(r, 0);
      for (; nonZero != 0; nonZero &= nonZero - 1) {
        corrections.apply(blk[std::countr_zero(nonZero)], p1);
      }
      --eobrun_;
    }
  }
}

void ProgressiveDecoder::decodeScan(const Scan& scan, const EntropyData& entropy) {
  switch (scan.kind) {
    case skDcFirst: return decodeScanAs<skDcFirst>(scan, entropy);
    case skDcRefine: return decodeScanAs<skDcRefine>(scan, entropy);
    case skAcFirst: return decodeScanAs<skAcFirst>(scan, entropy);
    case skAcRefine: return decodeScanAs<skAcRefine>(scan, entropy);
  }
}

template <ScanKind kind>
void ProgressiveDecoder::decodeScanAs(const Scan& scan, const EntropyData& entropy) {
  reader_ = BitReader(entropy.bytes);
  std::fill(std::begin(preds_), std::end(preds_), 0);
  eobrun_ = 0;
  const auto interval = static_cast<size_t>(tables_.restartInterval);
  size_t nextRestart = 0;
  size_t mcus = 0;
  // Restart markers (RSTn) reset the predictions and the end-of-band run
  // every `interval` MCUs; where markers are missing, the data goes on
  // from the next byte, as in the baseline decoder.
  const auto beginMcu = [&] {
    if (interval > 0 && mcus > 0 && mcus % interval == 0) {
      if (nextRestart < entropy.restarts.size()) {
        reader_.seek(entropy.restarts[nextRestart++]);
      } else {
        reader_.alignToByte();
      }
      std::fill(std::begin(preds_), std::end(preds_), 0);
      eobrun_ = 0;
    }
    ++mcus;
  };
  const auto endMcu = [&] {
    if (reader_.overrun()) fail(ekTruncated, "jpeg: entropy stream truncated");
  };
  if (scan.components.size() == 1) {
    const ScanComponent& sc = scan.components[0];
    CoefficientPlane& plane = planes_[sc.index];
    for (size_t by = 0; by < scanDown_[sc.index]; ++by) {
      int16_t* row = plane.coef.data() + by * plane.blocksAcross * 64;
      for (size_t bx = 0; bx < scanAcross_[sc.index]; ++bx) {
        beginMcu();
        decodeBlock<kind>(scan, sc, row + bx * 64);
        endMcu();
      }
    }
    return;
  }
  for (size_t my = 0; my < mcusDown_; ++my) {
    for (size_t mx = 0; mx < mcusAcross_; ++mx) {
      beginMcu();
      for (const ScanComponent& sc : scan.components) {
        CoefficientPlane& plane = planes_[sc.index];
        const auto h = static_cast<size_t>(h_[sc.index]);
        const auto v = static_cast<size_t>(v_[sc.index]);
        for (size_t y = 0; y < v; ++y) {
          int16_t* row = plane.coef.data() + ((my * v + y) * plane.blocksAcross + mx * h) * 64;
          for (size_t x = 0; x < h; ++x) decodeBlock<kind>(scan, sc, row + x * 64);
        }
      }
      endMcu();
    }
  }
}

Image ProgressiveDecoder::run(size_t sos, DecodeKernels kernels) {
  layOut();
  size_t pos = sos;
  for (size_t scans = 0;; ++scans) {
    if (scans == kMaxScans) fail(ekInvalid, "jpeg: too many scans");
    size_t start = 0;
    const Scan scan = readScanHeader(pos, start);
    size_t marker = SIZE_MAX;
    const EntropyData entropy = extractEntropy(d_, start, &marker);
    preparePlanes(scan, entropy);
    decodeScan(scan, entropy);
    // Later scans refine the picture: data that ends without EOI has lost
    // some of them, and a partial picture is never returned.
    if (marker == SIZE_MAX) fail(ekTruncated, "jpeg: entropy stream truncated");
    // Tables and restart intervals may change between scans; a second
    // frame may not.
    Frame later;
    pos = readSegmentsToScan(d_, marker, tables_, later, true, true);
    if (later.seen) fail(ekInvalid, "jpeg: second frame header");
    if (pos == SIZE_MAX) break;
  }
  for (const CoefficientPlane& plane : planes_) {
    if (plane.coef.empty()) {
      fail(ekInvalid, "jpeg: component without a DC scan");
    }
  }
  return renderCoefficients(tables_, frame_, planes_, kernels);
}

}  // namespace

Image decodeProgressive(ByteView d, size_t sos, Tables& t, Frame& f, uint64_t maxPixels,
                        DecodeKernels kernels) {
  requirePixelCount(f.width, f.height, "jpeg: too many pixels");
  requireHostLimit(f, maxPixels);
  ProgressiveDecoder decoder(d, t, f);
  return decoder.run(sos, kernels);
}

}  // namespace kd::formats::jpeg
