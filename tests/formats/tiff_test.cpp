#include "formats/tiff.h"

#include <tiffio.h>

#include <map>
#include <optional>

#include <keldra/keldra.h>

#include "codec_support.h"
#include "compress/zlib.h"
#include "formats/formats.h"
#include "support/divergences.h"
#include "support/lzw_writer.h"
#include "support/tiff_builder.h"
#include "support/peak_memory.h"

namespace kd::formats::test {
namespace {

using kd::test::TiffBuilder;
using kd::test::TiffDir;
using kd::test::TiffEntry;

// A one-directory TIFF: the fields given, then StripOffsets (or TileOffsets)
// and byte counts pointing at `chunks`, which follow the directory.
struct TiffSpec {
  bool bigEndian = false;
  uint32_t width = 2, height = 2;
  std::vector<uint32_t> bits = {8};
  uint32_t spp = 1, photometric = 1, compression = 1;
  std::optional<uint32_t> rowsPerStrip, predictor, planar, sampleFormat;
  std::optional<std::pair<uint32_t, uint32_t>> tile;
  std::vector<uint32_t> colorMap;
  std::vector<Bytes> chunks = {{1, 2, 3, 4}};
  bool omitOffsets = false;
};

Bytes tiffFile(const TiffSpec& s) {
  TiffBuilder b(s.bigEndian);
  auto longs = [&](uint16_t tag, const std::vector<uint32_t>& v) {
    TiffEntry e = TiffBuilder::entry(tag, 4, static_cast<uint32_t>(v.size()), {});
    for (uint32_t x : v) b.put32(e.value, x);
    return e;
  };
  auto shorts = [&](uint16_t tag, const std::vector<uint32_t>& v) {
    TiffEntry e = TiffBuilder::entry(tag, 3, static_cast<uint32_t>(v.size()), {});
    for (uint32_t x : v) b.put16(e.value, x);
    return e;
  };
  auto build = [&](uint32_t dataStart) {
    TiffDir d;
    d.entries = {longs(256, {s.width}), longs(257, {s.height}), shorts(258, s.bits),
                 shorts(259, {s.compression}), shorts(262, {s.photometric}),
                 shorts(277, {s.spp})};
    std::vector<uint32_t> offsets, counts;
    uint32_t at = dataStart;
    for (const Bytes& c : s.chunks) {
      offsets.push_back(at);
      counts.push_back(static_cast<uint32_t>(c.size()));
      at += static_cast<uint32_t>(c.size());
    }
    if (s.rowsPerStrip) d.entries.push_back(longs(278, {*s.rowsPerStrip}));
    if (s.planar) d.entries.push_back(shorts(284, {*s.planar}));
    if (s.predictor) d.entries.push_back(shorts(317, {*s.predictor}));
    if (!s.colorMap.empty()) d.entries.push_back(shorts(320, s.colorMap));
    if (s.sampleFormat) d.entries.push_back(shorts(339, {*s.sampleFormat}));
    const uint16_t offTag = s.tile ? 324 : 273, countTag = s.tile ? 325 : 279;
    if (s.tile) {
      d.entries.push_back(longs(322, {s.tile->first}));
      d.entries.push_back(longs(323, {s.tile->second}));
    }
    if (!s.omitOffsets) {
      // Repeat a single entry so the table is stored out of line either way.
      if (offsets.size() == 1) {
        offsets.push_back(offsets[0]);
        counts.push_back(counts[0]);
      }
      d.entries.push_back(longs(offTag, offsets));
      d.entries.push_back(longs(countTag, counts));
    }
    std::sort(d.entries.begin(), d.entries.end(),
              [](const TiffEntry& x, const TiffEntry& y) { return x.tag < y.tag; });
    return b.build({d});
  };
  Bytes file = build(0);
  file = build(static_cast<uint32_t>(file.size()));
  for (const Bytes& c : s.chunks) file.insert(file.end(), c.begin(), c.end());
  return file;
}

Failure tiffFailure(const Bytes& f) { return failureOf([&] { return decodeTiff(viewOf(f)); }); }
Image tiff(const TiffSpec& s) { return decodeTiff(viewOf(tiffFile(s))); }

TEST(TiffRejects, EachFailureWithItsMessage) {
  ASSERT_EQ(tiffFailure(tiffFile({})).message, "decoded");
  auto with = [](auto change) {
    TiffSpec s;
    change(s);
    return tiffFailure(tiffFile(s));
  };
  auto patched = [](size_t at, Bytes bytes) {
    Bytes f = tiffFile({});
    std::copy(bytes.begin(), bytes.end(), f.begin() + static_cast<ptrdiff_t>(at));
    return tiffFailure(f);
  };
  auto unsupported = [](const char* m) { return Failure{m, ekUnsupported}; };
  auto invalid = [](const char* m) { return Failure{m, ekInvalid}; };
  auto truncated = [](const char* m) { return Failure{m, ekTruncated}; };
  EXPECT_EQ(tiffFailure(Bytes{'I', 'I', 42, 0, 8, 0, 0}), truncated("tiff: header truncated"));
  EXPECT_EQ(patched(0, {'I', 'M'}), unsupported("tiff: bad byte order"));
  EXPECT_EQ(patched(2, {43, 0}), unsupported("tiff: bad magic (not classic TIFF)"));
  EXPECT_EQ(patched(4, {0xFF, 0xFF, 0, 0}), truncated("tiff: IFD offset out of range"));
  EXPECT_EQ(patched(8, {0xFF, 0x00}), truncated("tiff: IFD entries truncated"));
  {
    TiffSpec s;
    s.bits = {8, 8, 8};
    s.spp = 3;
    s.photometric = 2;
    s.chunks = {Bytes(12, 7)};
    Bytes g = tiffFile(s);
    g.resize(8 + 2 + 12 * size_t{g[8]} + 4 + 2);  // out-of-line values cut off
    EXPECT_EQ(tiffFailure(g), truncated("tiff: field value out of range"));
  }
  EXPECT_EQ(with([](TiffSpec& s) { s.width = 0; }), invalid("tiff: bad image dimensions"));
  EXPECT_EQ(with([](TiffSpec& s) { s.height = (1u << 30) + 1; }),
            invalid("tiff: bad image dimensions"));
  EXPECT_EQ(with([](TiffSpec& s) { s.width = s.height = 1u << 15 | 1; }),
            invalid("tiff: image has too many pixels"));
  EXPECT_EQ(with([](TiffSpec& s) { s.planar = 2; }),
            unsupported("tiff: planar configuration 2 unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) { s.photometric = 6; }), unsupported("tiff: YCbCr unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) { s.sampleFormat = 3; }),
            unsupported("tiff: floating-point samples unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) { s.compression = 7; }),
            unsupported("tiff: compression 7 unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) { s.bits = {12}; }), unsupported("tiff: 12-bit samples unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) {
              s.bits = {4, 4};
              s.spp = 2;
            }),
            unsupported("tiff: sub-byte samples need spp=1"));
  EXPECT_EQ(with([](TiffSpec& s) { s.predictor = 3; }), unsupported("tiff: predictor 3 unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) {
              s.bits = {4};
              s.predictor = 2;
            }),
            unsupported("tiff: predictor 2 needs 8/16-bit samples"));
  EXPECT_EQ(with([](TiffSpec& s) { s.spp = 3; }), unsupported("tiff: gray with spp=3 unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) { s.photometric = 2; }),
            unsupported("tiff: RGB with spp=1 unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) { s.photometric = 3, s.spp = 2; }),
            unsupported("tiff: palette needs spp=1"));
  EXPECT_EQ(with([](TiffSpec& s) { s.photometric = 4, s.spp = 3; }),
            unsupported("tiff: mask needs spp=1"));
  EXPECT_EQ(with([](TiffSpec& s) { s.photometric = 5; }), unsupported("tiff: CMYK needs spp=4"));
  EXPECT_EQ(with([](TiffSpec& s) { s.photometric = 8; }),
            unsupported("tiff: photometric 8 unsupported"));
  EXPECT_EQ(with([](TiffSpec& s) {
              s.photometric = 3;
              s.colorMap.assign(3 * 256 - 1, 0);
            }),
            invalid("tiff: ColorMap too small"));
  EXPECT_EQ(with([](TiffSpec& s) { s.tile = {{0, 16}}; }), invalid("tiff: bad tile dimensions"));
  EXPECT_EQ(with([](TiffSpec& s) { s.tile = {{16, 0}}; }), invalid("tiff: bad tile dimensions"));
  EXPECT_EQ(with([](TiffSpec& s) {
              s.width = 40;
              s.tile = {{16, 16}};
              s.chunks = {Bytes(256, 0), Bytes(256, 0)};  // three tiles across
            }),
            truncated("tiff: tile offset/count table truncated"));
  EXPECT_EQ(with([](TiffSpec& s) { s.omitOffsets = true; }),
            truncated("tiff: strip offset/count table truncated"));
  EXPECT_EQ(with([](TiffSpec& s) {
              s.rowsPerStrip = 1;
              s.chunks = {{1, 2}, {3}};
            }),
            truncated("tiff: decoded strip/tile too short"));
  EXPECT_EQ(with([](TiffSpec& s) { s.chunks = {{}}; }), truncated("tiff: empty strip/tile"));
  {
    Bytes f = tiffFile({});
    f.pop_back();
    EXPECT_EQ(tiffFailure(f), truncated("tiff: strip/tile bytes out of range"));
  }
  EXPECT_EQ(with([](TiffSpec& s) {
              s.compression = 32773;
              s.chunks = {{3, 1, 2}};
            }),
            truncated("tiff: PackBits literal run truncated"));
  EXPECT_EQ(with([](TiffSpec& s) {
              s.compression = 32773;
              s.chunks = {{0xFD}};
            }),
            truncated("tiff: PackBits repeat run truncated"));
  EXPECT_EQ(with([](TiffSpec& s) {
              s.compression = 32773;
              s.chunks = {{0xFC, 9}};  // five bytes for four
            }),
            invalid("tiff: PackBits output exceeds expected size"));
  auto lzw = [&](std::initializer_list<std::pair<unsigned, unsigned>> codes) {
    kd::test::LzwCodes w(/*msbFirst=*/true);
    for (auto [c, width] : codes) w.put(c, width);
    return with([&](TiffSpec& s) {
      s.compression = 5;
      s.chunks = {w.finish()};
    });
  };
  EXPECT_EQ(lzw({{256, 9}, {258, 9}}), invalid("tiff: bad LZW first code"));
  EXPECT_EQ(lzw({{256, 9}, {1, 9}, {260, 9}}), invalid("tiff: bad LZW code"));
  EXPECT_EQ(lzw({{1, 9}, {2, 9}, {3, 9}, {4, 9}, {5, 9}}),
            invalid("tiff: LZW output exceeds expected size"));
  EXPECT_EQ(lzw({{1, 9}, {2, 9}, {3, 9}, {4, 9}, {257, 9}}).message, "decoded");
  EXPECT_EQ(with([](TiffSpec& s) {
              s.compression = 8;
              s.chunks = {{0x78, 0x9C, 0xFF}};
            }).kind,
            ekInvalid);  // the zlib decoder's own failure passes through
}

TEST(TiffDecode, SampleDepthsPhotometricsAndByteOrders) {
  for (bool be : {false, true}) {
    SCOPED_TRACE(be ? "big-endian" : "little-endian");
    TiffSpec s;
    s.bigEndian = be;
    s.width = 10;
    s.height = 2;
    // 1-bit BlackIsZero, rows start on a byte boundary.
    s.bits = {1};
    s.chunks = {{0xA0, 0x40, 0x01, 0xFF}};
    EXPECT_EQ(tiff(s).pixels, (Bytes{255, 0, 255, 0, 0, 0, 0, 0, 0, 255,  //
                                     0, 0, 0, 0, 0, 0, 0, 255, 255, 255}));
    s.photometric = 0;  // WhiteIsZero inverts
    EXPECT_EQ(tiff(s).pixels[0], 0);
    EXPECT_EQ(tiff(s).pixels[1], 255);
    // 4-bit samples are scaled by 17; the mask inverts.
    s.bits = {4};
    s.width = 3;
    s.height = 1;
    s.photometric = 4;
    s.chunks = {{0x0F, 0x30}};
    EXPECT_EQ(tiff(s).pixels, (Bytes{255, 0, 204}));
    // 16-bit grey with alpha: the high byte of each value in file order.
    s.bits = {16, 16};
    s.spp = 2;
    s.width = 2;
    s.photometric = 1;
    s.chunks = {be ? Bytes{0x12, 0x34, 0xAB, 0xCD, 0x00, 0xFF, 0xFF, 0x00}
                   : Bytes{0x34, 0x12, 0xCD, 0xAB, 0xFF, 0x00, 0x00, 0xFF}};
    const Image ga = tiff(s);
    EXPECT_EQ(ga.colorspace, csRgba);
    EXPECT_EQ(ga.pixels, (Bytes{0x12, 0x12, 0x12, 0xAB, 0, 0, 0, 0xFF}));
    s.photometric = 0;  // the grey inverts, the alpha does not
    EXPECT_EQ(tiff(s).pixels, (Bytes{0xED, 0xED, 0xED, 0xAB, 255, 255, 255, 0xFF}));
  }
}

TEST(TiffDecode, PaletteCmykAndColorMapSizes) {
  TiffSpec s;
  s.photometric = 3;
  s.bits = {4};
  s.width = 3;
  s.height = 1;
  s.chunks = {{0x0F, 0x10}};
  for (size_t extra : {0, 5}) {  // a longer map keeps red, green, blue at 0, 16, 32
    s.colorMap.assign(48 + extra, 0);
    for (uint32_t i = 0; i < 16; ++i) {
      s.colorMap[i] = i << 8 | 0xFF;
      s.colorMap[16 + i] = (100 + i) << 8;
      s.colorMap[32 + i] = 0xFF00 - (i << 8);
    }
    const Image img = tiff(s);
    EXPECT_EQ(img.colorspace, csRgb);
    EXPECT_EQ(img.pixels, (Bytes{0, 100, 255, 15, 115, 240, 1, 101, 254}));
  }
  TiffSpec cmyk;
  cmyk.photometric = 5;
  cmyk.spp = 4;
  cmyk.bits = {8, 8, 8, 8};
  cmyk.width = 1;
  cmyk.height = 1;
  cmyk.chunks = {{10, 20, 30, 40}};
  const Image img = tiff(cmyk);
  EXPECT_EQ(img.colorspace, csCmyk);
  EXPECT_EQ(img.pixels, (Bytes{10, 20, 30, 40}));
}

TEST(TiffDecode, StripsWithoutRowsPerStripAndShortLastStrip) {
  TiffSpec s;
  s.width = 2;
  s.height = 3;
  s.chunks = {{1, 2, 3, 4, 5, 6}};
  EXPECT_EQ(tiff(s).pixels, (Bytes{1, 2, 3, 4, 5, 6}));  // one strip of the whole height
  s.rowsPerStrip = 2;
  s.chunks = {{1, 2, 3, 4}, {5, 6, 99}};  // the last strip holds one row; extra bytes unused
  EXPECT_EQ(tiff(s).pixels, (Bytes{1, 2, 3, 4, 5, 6}));
  s.rowsPerStrip = 0;  // no strips at all would be nonsense: one strip as if absent
  s.chunks = {{1, 2, 3, 4, 5, 6}};
  EXPECT_EQ(tiff(s).pixels, (Bytes{1, 2, 3, 4, 5, 6}));
}

TEST(TiffDecode, EdgeTilesDecodedWholeAndClipped) {
  TiffSpec s;
  s.width = 3;
  s.height = 3;
  s.tile = {{2, 2}};
  s.predictor = 2;  // rows of each tile undo their differences independently
  s.chunks = {{1, 1, 4, 1}, {3, 100, 6, 100}, {7, 1, 99, 99}, {9, 100, 99, 99}};
  EXPECT_EQ(tiff(s).pixels, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(TiffDecode, PredictorAt16BitsInBothByteOrders) {
  for (bool be : {false, true}) {
    TiffSpec s;
    s.bigEndian = be;
    s.width = 3;
    s.height = 1;
    s.bits = {16};
    s.predictor = 2;
    // 0x10FF, +0x0001 (carries into the high byte), +0xFFFF (wraps).
    s.chunks = {be ? Bytes{0x10, 0xFF, 0x00, 0x01, 0xFF, 0xFF}
                   : Bytes{0xFF, 0x10, 0x01, 0x00, 0xFF, 0xFF}};
    EXPECT_EQ(tiff(s).pixels, (Bytes{0x10, 0x11, 0x10}));
  }
}

TEST(TiffDecode, PackBitsRunsIncludingNoOp) {
  TiffSpec s;
  s.width = 5;
  s.height = 1;
  s.compression = 32773;
  s.chunks = {{0x80, 0x01, 7, 8, 0x80, 0xFE, 9, 0x80}};
  EXPECT_EQ(tiff(s).pixels, (Bytes{7, 8, 9, 9, 9}));
}

TEST(TiffLzw, CodeWidthGrowsOneCodeEarlyAndTableFullKeepsTwelveBits) {
  kd::test::LiteralLzw w(8, /*msbFirst=*/true, /*earlyChange=*/true);
  Bytes expected;
  w.clear();
  for (unsigned i = 0; i < 3839; ++i) {  // entries 258..4095: the table is full
    const unsigned lit = (i * 7 + i / 256) & 0xFF;
    w.code(lit);
    expected.push_back(static_cast<uint8_t>(lit));
  }
  ASSERT_EQ(w.next, 4096u);
  ASSERT_EQ(w.width, 12u);
  // Entry 4095 is the last two literals; 258 the first two; no new entries.
  w.code(4095);
  const Bytes lastTwo(expected.end() - 2, expected.end());
  expected.insert(expected.end(), lastTwo.begin(), lastTwo.end());
  w.code(258);
  expected.push_back(expected[0]);
  expected.push_back(expected[1]);
  w.codes.put(257, 12);
  const Bytes stream = w.codes.finish();
  EXPECT_EQ(tiff::lzwDecode(viewOf(stream), expected.size()), expected);
}

// --- differential: files written by libtiff -------------------------------

struct WriteCase {
  const char* name;
  uint16_t bits, spp, photometric, compression, predictor;
  bool bigEndian;
  uint32_t width, height, rowsPerStrip, tileSize;  // tileSize 0: strips
  // A flat first strip: every later strip decodes from more input, so the
  // buffer reused between strips has to grow.
  bool flatFirstStrip = false;
};

void PrintTo(const WriteCase& c, std::ostream* os) { *os << c.name; }

// Samples as libtiff hands them over (16-bit in host order) turned into
// pixels by the rules of this decoder: an independent restatement.
Image expectedPixels(const WriteCase& c, const Bytes& rows, const std::vector<uint16_t>& map) {
  const size_t rowBytes = (size_t{c.width} * c.spp * c.bits + 7) / 8;
  ColorSpace cs = csGray;
  if (c.photometric == 2) cs = c.spp == 3 ? csRgb : csRgba;
  if (c.photometric == 3) cs = csRgb;
  if (c.photometric == 5) cs = csCmyk;
  if (c.photometric <= 1 && c.spp == 2) cs = csRgba;
  Image img = newImage(c.width, c.height, cs);
  size_t o = 0;
  for (uint32_t y = 0; y < c.height; ++y) {
    const uint8_t* row = rows.data() + y * rowBytes;
    for (uint32_t x = 0; x < c.width; ++x) {
      std::vector<uint32_t> raw;
      for (uint32_t k = 0; k < c.spp; ++k) {
        const size_t i = size_t{x} * c.spp + k;
        uint32_t v = 0;
        if (c.bits == 16) {
          uint16_t host;
          std::memcpy(&host, row + 2 * i, 2);
          v = host;
        }
        if (c.bits == 8) v = row[i];
        if (c.bits < 8) v = (row[i * c.bits / 8] >> (8 - c.bits - i * c.bits % 8)) & ((1u << c.bits) - 1);
        raw.push_back(v);
      }
      auto eight = [&](uint32_t v) {
        return static_cast<uint8_t>(c.bits == 16 ? v >> 8 : c.bits == 4 ? v * 17 : c.bits == 1 ? v * 255 : v);
      };
      if (c.photometric == 3) {
        for (int k = 0; k < 3; ++k) img.pixels[o++] = static_cast<uint8_t>(map[k * (1u << c.bits) + raw[0]] >> 8);
      } else if (c.photometric <= 1 && c.spp == 2) {
        const uint8_t g = c.photometric == 0 ? 255 - eight(raw[0]) : eight(raw[0]);
        for (int k = 0; k < 3; ++k) img.pixels[o++] = g;
        img.pixels[o++] = eight(raw[1]);
      } else {
        for (uint32_t v : raw) {
          const uint8_t e = eight(v);
          img.pixels[o++] = (c.photometric == 0 || c.photometric == 4) ? 255 - e : e;
        }
      }
    }
  }
  return img;
}

Bytes libtiffWrite(const WriteCase& c, const TempDir& dir, const Bytes& rows,
                   const std::vector<uint16_t>& map) {
  const std::string path = dir.file(std::string(c.name) + ".tif");
  TIFF* t = TIFFOpen(path.c_str(), c.bigEndian ? "wb" : "wl");
  if (t == nullptr) return {};
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, c.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, c.height);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, c.bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, c.spp);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, c.photometric);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, c.compression);
  if (c.predictor != 1) TIFFSetField(t, TIFFTAG_PREDICTOR, c.predictor);
  if (c.spp == 2 || (c.spp == 4 && c.photometric == 2)) {
    const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, &extra);
  }
  if (c.photometric == 3) {
    const size_t n = size_t{1} << c.bits;
    TIFFSetField(t, TIFFTAG_COLORMAP, map.data(), map.data() + n, map.data() + 2 * n);
  }
  const size_t rowBytes = (size_t{c.width} * c.spp * c.bits + 7) / 8;
  bool ok = true;
  if (c.tileSize == 0) {
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, c.rowsPerStrip);
    for (uint32_t y = 0, s = 0; y < c.height; y += c.rowsPerStrip, ++s) {
      const uint32_t n = std::min(c.rowsPerStrip, c.height - y);
      Bytes strip(rows.begin() + y * rowBytes, rows.begin() + (y + n) * rowBytes);
      ok &= TIFFWriteEncodedStrip(t, s, strip.data(), static_cast<tmsize_t>(strip.size())) >= 0;
    }
  } else {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, c.tileSize);
    TIFFSetField(t, TIFFTAG_TILELENGTH, c.tileSize);
    const size_t px = c.spp * c.bits / 8, tileRow = c.tileSize * px;
    uint32_t index = 0;
    for (uint32_t ty = 0; ty < c.height; ty += c.tileSize) {
      for (uint32_t tx = 0; tx < c.width; tx += c.tileSize, ++index) {
        Bytes tile(tileRow * c.tileSize, 0x5A);  // outside the image: filler
        for (uint32_t r = 0; r < c.tileSize && ty + r < c.height; ++r) {
          const size_t cols = std::min<size_t>(c.tileSize, c.width - tx);
          std::memcpy(tile.data() + r * tileRow, rows.data() + (ty + r) * rowBytes + tx * px, cols * px);
        }
        ok &= TIFFWriteEncodedTile(t, index, tile.data(), static_cast<tmsize_t>(tile.size())) >= 0;
      }
    }
  }
  TIFFClose(t);
  return ok ? kd::test::readFileBytes(path) : Bytes{};
}

class TiffWrittenByLibtiff : public ::testing::TestWithParam<WriteCase> {};

TEST_P(TiffWrittenByLibtiff, DecodesToTheSamplesWritten) {
  const WriteCase& c = GetParam();
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const size_t rowBytes = (size_t{c.width} * c.spp * c.bits + 7) / 8;
  // Noise with flat stretches: long LZW strings and a table that fills up.
  Bytes rows(rowBytes * c.height);
  uint32_t state = 99;
  for (size_t i = 0; i < rows.size(); ++i) {
    state = state * 1664525u + 1013904223u;
    rows[i] = (i / 97) % 3 == 0 ? static_cast<uint8_t>(i / 300) : static_cast<uint8_t>(state >> 24);
    if (c.flatFirstStrip && i < rowBytes * c.rowsPerStrip) rows[i] = 7;
  }
  std::vector<uint16_t> map(3u << c.bits);
  for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint16_t>(i * 40503u);
  TIFFSetWarningHandler(nullptr);
  const Bytes file = libtiffWrite(c, dir, rows, map);
  ASSERT_FALSE(file.empty()) << "libtiff could not write the file";
  const Image img = decodeTiff(viewOf(file));
  const Image want = expectedPixels(c, rows, map);
  EXPECT_EQ(img.colorspace, want.colorspace);
  EXPECT_TRUE(img.pixels == want.pixels);
}

constexpr uint16_t kLzw = COMPRESSION_LZW, kZip = COMPRESSION_ADOBE_DEFLATE,
                   kPack = COMPRESSION_PACKBITS, kRaw = COMPRESSION_NONE;

INSTANTIATE_TEST_SUITE_P(
    Cases, TiffWrittenByLibtiff,
    ::testing::Values(
        WriteCase{"rgb8_lzw_noise", 8, 3, 2, kLzw, 1, false, 160, 90, 30, 0},
        WriteCase{"rgb8_lzw_predictor_be", 8, 3, 2, kLzw, 2, true, 97, 41, 8, 0},
        WriteCase{"rgba8_zip_predictor", 8, 4, 2, kZip, 2, false, 64, 33, 16, 0},
        WriteCase{"gray16_lzw_predictor_le", 16, 1, 1, kLzw, 2, false, 75, 20, 7, 0},
        WriteCase{"gray16_zip_predictor_be", 16, 1, 1, kZip, 2, true, 75, 20, 20, 0},
        WriteCase{"rgb16_packbits_be", 16, 3, 2, kPack, 1, true, 33, 9, 4, 0},
        WriteCase{"gray1_packbits_white", 1, 1, 0, kPack, 1, false, 77, 13, 5, 0},
        WriteCase{"gray4_lzw_be", 4, 1, 1, kLzw, 1, true, 31, 12, 12, 0},
        WriteCase{"palette8_lzw", 8, 1, 3, kLzw, 1, false, 50, 50, 17, 0},
        WriteCase{"palette4_raw_be", 4, 1, 3, kRaw, 1, true, 9, 5, 2, 0},
        WriteCase{"palette1_raw", 1, 1, 3, kRaw, 1, false, 13, 3, 3, 0},
        WriteCase{"graya8_lzw", 8, 2, 1, kLzw, 1, false, 21, 21, 21, 0},
        WriteCase{"cmyk8_zip", 8, 4, 5, kZip, 1, true, 20, 10, 3, 0},
        WriteCase{"gray8_tiles_lzw_edges", 8, 1, 1, kLzw, 2, false, 37, 23, 0, 16},
        WriteCase{"rgb8_tiles_zip_edges_be", 8, 3, 2, kZip, 1, true, 40, 17, 0, 16},
        WriteCase{"gray16_tiles_packbits", 16, 1, 1, kPack, 1, false, 33, 33, 0, 16},
        WriteCase{"gray16_zip_predictor_be_growing", 16, 1, 1, kZip, 2, true, 17, 27, 9, 0, true},
        WriteCase{"rgb8_lzw_growing", 8, 3, 2, kLzw, 1, false, 64, 40, 10, 0, true},
        WriteCase{"rgb8_packbits_growing", 8, 3, 2, kPack, 1, true, 64, 40, 10, 0, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- differential: every TIFF of the test data, and tiffcp's rewrites ----

// What a file should give: an exact failure, some failure (libtiff cannot
// read it either), or the pixels libtiff's samples turn into.
struct TiffExpectation {
  std::string failure;  // exact message; "*" for any failure
  Image image;
};

std::string numbered(const char* head, uint64_t v, const char* tail) {
  return head + std::to_string(v) + tail;
}

// The first directory as stored: the failure its structure gives, or the
// first value of each field (8-byte values as first word * 2^32 + second).
struct StoredFields {
  std::string failure;
  std::map<uint16_t, uint64_t> first;
  uint64_t get(uint16_t tag, uint64_t fallback) const {
    auto it = first.find(tag);
    return it == first.end() ? fallback : it->second;
  }
};

StoredFields storedFields(const Bytes& f) {
  StoredFields out;
  const bool le = f[0] == 'I';
  auto u = [&](uint64_t pos, int n) {
    uint64_t v = 0;
    for (int k = 0; k < n; ++k) v = le ? v | uint64_t{f[pos + k]} << (8 * k) : v << 8 | f[pos + k];
    return v;
  };
  const uint64_t at = u(4, 4);
  if (at + 2 > f.size()) return {"tiff: IFD offset out of range", {}};
  const uint64_t n = u(at, 2);
  if (at + 2 + 12 * n > f.size()) return {"tiff: IFD entries truncated", {}};
  static const int sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  for (uint64_t e = at + 2; e < at + 2 + 12 * n; e += 12) {
    const uint64_t type = u(e + 2, 2), count = u(e + 4, 4);
    const int size = type < 13 ? sizes[type] : 0;
    if (size == 0) continue;
    uint64_t pos = e + 8;
    if (count * size > 4) {
      pos = u(e + 8, 4);
      if (pos + count * size > f.size()) return {"tiff: field value out of range", {}};
    }
    if (count == 0) {
      out.first.erase(static_cast<uint16_t>(u(e, 2)));
      continue;
    }
    out.first[static_cast<uint16_t>(u(e, 2))] =
        size == 8 ? u(pos, 4) << 32 | u(pos + 4, 4) : u(pos, size);
  }
  return out;
}

// The stored fields checked in this decoder's order.
std::string refusalOf(const StoredFields& s) {
  if (!s.failure.empty()) return s.failure;
  const uint64_t w = s.get(256, 0), h = s.get(257, 0), planar = s.get(284, 1),
                 photometric = s.get(262, 0), sampleFormat = s.get(339, 1),
                 compression = s.get(259, 1), bits = s.get(258, 1), spp = s.get(277, 1),
                 predictor = s.get(317, 1);
  if (w == 0 || h == 0 || w > (1u << 30) || h > (1u << 30)) return "tiff: bad image dimensions";
  if (w * h > (uint64_t{1} << 30)) return "tiff: image has too many pixels";
  if (planar != 1) return "tiff: planar configuration 2 unsupported";
  if (photometric == 6) return "tiff: YCbCr unsupported";
  if (sampleFormat == 3) return "tiff: floating-point samples unsupported";
  if (compression != 1 && compression != 5 && compression != 8 && compression != 32773 &&
      compression != 32946) {
    return numbered("tiff: compression ", compression, " unsupported");
  }
  if (bits != 1 && bits != 4 && bits != 8 && bits != 16) {
    return numbered("tiff: ", bits, "-bit samples unsupported");
  }
  if (bits < 8 && spp != 1) return "tiff: sub-byte samples need spp=1";
  if (predictor != 1 && predictor != 2) return numbered("tiff: predictor ", predictor, " unsupported");
  if (predictor == 2 && bits < 8) return "tiff: predictor 2 needs 8/16-bit samples";
  if (photometric <= 1 && spp > 2) return numbered("tiff: gray with spp=", spp, " unsupported");
  if (photometric == 2 && spp != 3 && spp != 4) {
    return numbered("tiff: RGB with spp=", spp, " unsupported");
  }
  if (photometric == 3 && spp != 1) return "tiff: palette needs spp=1";
  if (photometric == 4 && spp != 1) return "tiff: mask needs spp=1";
  if (photometric == 5 && spp != 4) return "tiff: CMYK needs spp=4";
  if (photometric > 6) return numbered("tiff: photometric ", photometric, " unsupported");
  return "";
}

TiffExpectation libtiffExpectation(const std::string& path, const Bytes& file) {
  if (file.size() >= 4 && (file[0] == 'I' ? file[2] : file[3]) == 43 && file[0] == file[1]) {
    return {"tiff: bad magic (not classic TIFF)", {}};
  }
  TIFFSetWarningHandler(nullptr);
  TIFFSetErrorHandler(nullptr);
  if (file.size() < 8) return {"tiff: header truncated", {}};
  TiffExpectation e{refusalOf(storedFields(file)), {}};
  if (!e.failure.empty()) return e;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (t == nullptr) return {"*", {}};
  WriteCase c{"file", 0, 0, 0, 0, 1, false, 0, 0, 0, 0};
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &c.width);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &c.height);
  TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &c.photometric);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &c.bits);
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLESPERPIXEL, &c.spp);
  std::vector<uint16_t> map;
  uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
  if (c.photometric == 3 && TIFFGetField(t, TIFFTAG_COLORMAP, &r, &g, &b)) {
    const size_t n = size_t{1} << c.bits;
    map.insert(map.end(), r, r + n);
    map.insert(map.end(), g, g + n);
    map.insert(map.end(), b, b + n);
  }
  const size_t rowBytes = (size_t{c.width} * c.spp * c.bits + 7) / 8;
  Bytes rows(rowBytes * c.height);
  bool ok = true;
  if (TIFFIsTiled(t)) {
    uint32_t tw = 0, tl = 0;
    TIFFGetField(t, TIFFTAG_TILEWIDTH, &tw);
    TIFFGetField(t, TIFFTAG_TILELENGTH, &tl);
    const size_t tileRow = (size_t{tw} * c.spp * c.bits + 7) / 8;
    Bytes tile(static_cast<size_t>(TIFFTileSize(t)));
    for (uint32_t y = 0; y < c.height && ok; y += tl) {
      for (uint32_t x = 0; x < c.width && ok; x += tw) {
        ok = TIFFReadEncodedTile(t, TIFFComputeTile(t, x, y, 0, 0), tile.data(),
                                 static_cast<tmsize_t>(tile.size())) == static_cast<tmsize_t>(tile.size());
        // Tile widths are multiples of 16, so every tile starts on a byte.
        const size_t bitsPerPixel = size_t{c.spp} * c.bits;
        const size_t cols = std::min<size_t>(tw, c.width - x);
        for (uint32_t k = 0; ok && k < tl && y + k < c.height; ++k) {
          std::memcpy(rows.data() + (y + k) * rowBytes + x * bitsPerPixel / 8,
                      tile.data() + k * tileRow, (cols * bitsPerPixel + 7) / 8);
        }
      }
    }
  } else {
    uint32_t rps = c.height;
    TIFFGetFieldDefaulted(t, TIFFTAG_ROWSPERSTRIP, &rps);
    rps = std::min(std::max(rps, 1u), c.height);
    for (uint32_t y = 0, s = 0; y < c.height && ok; y += rps, ++s) {
      const size_t want = std::min(rps, c.height - y) * rowBytes;
      ok = TIFFReadEncodedStrip(t, s, rows.data() + y * rowBytes, static_cast<tmsize_t>(want)) ==
           static_cast<tmsize_t>(want);
    }
  }
  TIFFClose(t);
  if (!ok || (c.photometric == 3 && map.empty())) return {"*", {}};
  e.image = expectedPixels(c, rows, map);
  return e;
}

constexpr const char* kStopsAtItsSize =
    "libtiff stops at the size it asks for; this decoder refuses a strip or tile whose "
    "data runs past it";

// Inputs libtiff decodes and this decoder refuses (test data paths, or a
// path and tiffcp's options).
constexpr kd::test::Divergence kTiffDivergences[] = {
    {"metadata/tiff/et_ExifTool.tif", "tiff: LZW output exceeds expected size", kStopsAtItsSize},
};

// `input` names the file in the table of divergences.
void expectLikeLibtiff(const std::string& path, const std::string& input) {
  const Bytes file = kd::test::readFileBytes(path);
  const TiffExpectation want = libtiffExpectation(path, file);
  Image got;
  const Failure f = failureOf([&] { return got = decodeTiff(viewOf(file)); });
  const kd::test::Divergence* known = kd::test::findDivergence(kTiffDivergences, input);
  if (want.failure == "*") {
    EXPECT_NE(f.message, "decoded") << "libtiff cannot read it, but it decoded";
  } else if (!want.failure.empty()) {
    EXPECT_EQ(f.message, want.failure);
  } else if (known != nullptr) {
    EXPECT_EQ(f.message, known->failure) << "listed as diverging: " << known->reason;
  } else {
    ASSERT_EQ(f.message, "decoded") << "an unlisted divergence from libtiff: " << input;
    EXPECT_EQ(got.width, want.image.width);
    EXPECT_EQ(got.height, want.image.height);
    EXPECT_EQ(got.colorspace, want.image.colorspace);
    // libtiff hands over associated alpha's premultiplied samples; the
    // straight colour of those files is checked against ImageMagick.
    if (hasAssociatedAlpha(file)) return;
    EXPECT_TRUE(got.pixels == want.image.pixels) << "pixels differ from libtiff's samples";
  }
}

std::vector<std::string> tiffFiles() {
  return kd::test::listTestdata({"codec/tiff", "malformed/tiff", "metadata/tiff"});
}

class TiffFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(TiffFiles, DecodesLikeLibtiffOrFailsWithItsMessage) {
  expectLikeLibtiff(kd::test::testdataPath(GetParam()), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Files, TiffFiles, ::testing::ValuesIn(tiffFiles()),
                         kd::test::FileTestName());

TEST(TiffRewrittenByTiffcp, CompressionsPredictorsPlanesAndTiles) {
  ASSERT_TRUE(kd::test::toolInstalled("tiffcp", "libtiff-tools"));
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const char* const options[] = {"-c lzw", "-c lzw:2", "-c zip", "-c zip:2", "-c packbits",
                                 "-c none -r 3", "-p separate", "-c lzw -t -w 16 -l 16",
                                 "-c zip:2 -t -w 32 -l 16", "-c packbits -B", "-c lzw:2 -B"};
  int made = 0, rewritten = 0;
  for (const char* name : {"codec/tiff/itiff_seq-3c-8b-multistrip-8743c999.tiff",
                           "codec/tiff/itiff_seq-1c-16b-bigendian-68f373a0.tiff",
                           "codec/tiff/itiff_seq-4c-8b-cmyk-352ac1da.tiff",
                           "codec/tiff/itiff_flower-palette-08.tif",
                           "codec/tiff/itiff_seq-1c-4b-miniswhite-fb92dcae.tiff"}) {
    for (const char* opt : options) {
      const std::string out = dir.file("out" + std::to_string(made++) + ".tif");
      SCOPED_TRACE(std::string(name) + " " + opt);
      // tiffcp refuses some pairings (one-sample pictures split into planes).
      if (!runCommand(std::string("tiffcp ") + opt + " " + quoted(kd::test::testdataPath(name)) +
                      " " + quoted(out) + " 2>/dev/null")) {
        continue;
      }
      ++rewritten;
      expectLikeLibtiff(out, std::string(name) + " " + opt);
    }
  }
  EXPECT_GE(rewritten, 45);
}

// --- the C boundary ------------------------------------------------------

TEST(TiffGifThroughTheCBoundary, SniffedOrNamedDecodeLikeTheDecoders) {
  struct Case {
    const char* file;
    int format;
  };
  for (const Case& c : {Case{"codec/tiff/itiff_seq-3c-8b-multistrip-8743c999.tiff", KD_FORMAT_AUTO},
                        Case{"codec/tiff/itiff_seq-3c-8b-multistrip-8743c999.tiff", KD_FORMAT_TIFF},
                        Case{"codec/gif/irs_interlaced.gif", KD_FORMAT_AUTO}}) {
    SCOPED_TRACE(c.file);
    const Bytes file = kd::test::readTestdata(c.file);
    const Image want = decodeImage(viewOf(file));
    KdImage* img = nullptr;
    ASSERT_EQ(kd_image_decode_buffer(file.data(), file.size(), c.format, &img), KD_IMAGE_OK);
    const uint8_t* px = nullptr;
    size_t len = 0;
    ASSERT_EQ(kd_image_pixels(img, &px, &len), KD_IMAGE_OK);
    EXPECT_EQ(kd_image_get_colorspace(img), static_cast<int>(want.colorspace));
    EXPECT_TRUE(Bytes(px, px + len) == want.pixels);
    kd_image_free(img);
  }
  Bytes bigTiff = kd::test::readTestdata("codec/tiff/itiff_seq-1c-8b-bigtiff-20f3db0c.tiff");
  KdImage* img = nullptr;
  EXPECT_NE(kd_image_decode_buffer(bigTiff.data(), bigTiff.size(), KD_FORMAT_TIFF, &img),
            KD_IMAGE_OK);
  EXPECT_EQ(img, nullptr);
}

// --- decompression bombs --------------------------------------------------

TEST(TiffBomb, HugeClaimFromATinyFileStaysSmall) {
  // 32768 x 32768 RGBA in one Deflate strip of a few hundred bytes.
  TiffSpec s;
  s.width = s.height = 32768;
  s.bits = {8, 8, 8, 8};
  s.spp = 4;
  s.photometric = 2;
  s.compression = 8;
  s.chunks = {compress::zlibDeflate(Bytes(100000, 0))};
  s.chunks[0].resize(s.chunks[0].size() - 4);  // no Adler-32: a truncated stream
  const Bytes file = tiffFile(s);
  ASSERT_LT(file.size(), 1024u);
  EXPECT_EQ(tiffFailure(file), (Failure{"zlib: trailer truncated", ekTruncated}));
  for (uint32_t c : {1u, 5u, 32773u}) {  // the same claim with raw, LZW and PackBits strips
    TiffSpec other = s;
    other.compression = c;
    other.chunks = {Bytes(300, 0x80)};
    EXPECT_EQ(tiffFailure(tiffFile(other)),
              (Failure{"tiff: decoded strip/tile too short", ekTruncated}))
        << c;
  }
  const long base = kd::test::childPeakKiB([] {});
  const long peak = kd::test::childPeakKiB([&] { (void)decodeTiff(viewOf(file)); });
  ASSERT_GT(base, 0);
  EXPECT_LT(peak - base, 8 * 1024) << "resident KiB grew from " << base << " to " << peak;
  // Tiles claiming 65536 x 65536 each.
  TiffSpec t = s;
  t.width = t.height = 1024;
  t.tile = {{65536, 65536}};
  t.compression = 1;
  t.chunks = {Bytes(100, 1)};
  const Bytes tiled = tiffFile(t);
  EXPECT_EQ(tiffFailure(tiled), (Failure{"tiff: decoded strip/tile too short", ekTruncated}));
  EXPECT_LT(kd::test::childPeakKiB([&] { (void)decodeTiff(viewOf(tiled)); }) - base, 8 * 1024);
}

}  // namespace
}  // namespace kd::formats::test
