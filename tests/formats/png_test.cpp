// PNG codec: differential against libpng over the shared PNG files and
// generated images, every failure message, and the encoder's exact layout.
#include <gtest/gtest.h>
#include <malloc.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "compress/zlib.h"
#include "formats/codecs.h"
#include "formats/formats.h"
#include "formats/png.h"
#include "png_peer.h"
#include "support/outcome.h"
#include "support/peak_memory.h"
#include "support/testdata.h"

namespace kd::formats {
namespace {

// ---- building PNG files (CRC and compression by zlib) --------------------

void putBe32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

Bytes zlibCompress(const Bytes& raw, int level = 6) {
  Bytes z(compressBound(raw.size()));
  uLongf len = z.size();
  EXPECT_EQ(compress2(z.data(), &len, raw.data(), raw.size(), level), Z_OK);
  z.resize(len);
  return z;
}

struct PngFile {
  Bytes bytes = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

  PngFile& chunk(const std::string& type, const Bytes& data, bool corruptCrc = false) {
    putBe32(bytes, static_cast<uint32_t>(data.size()));
    Bytes typed(type.begin(), type.end());
    typed.insert(typed.end(), data.begin(), data.end());
    bytes.insert(bytes.end(), typed.begin(), typed.end());
    uint32_t crc = static_cast<uint32_t>(::crc32(0, typed.data(), static_cast<uInt>(typed.size())));
    putBe32(bytes, corruptCrc ? crc ^ 1 : crc);
    return *this;
  }
  PngFile& ihdr(uint32_t w, uint32_t h, uint8_t depth, uint8_t colorType, uint8_t interlace = 0,
                uint8_t compression = 0, uint8_t filter = 0) {
    Bytes d;
    putBe32(d, w);
    putBe32(d, h);
    d.insert(d.end(), {depth, colorType, compression, filter, interlace});
    return chunk("IHDR", d);
  }
  PngFile& idat(const Bytes& filtered) { return chunk("IDAT", zlibCompress(filtered)); }
  PngFile& iend() { return chunk("IEND", {}); }
};

using Outcome = test::Outcome<Image>;

Outcome decode(const Bytes& file) {
  return test::outcomeOf([&] { return decodePng(file); });
}

void expectFailure(const Bytes& file, const std::string& message, ErrorKind kind) {
  Outcome o = decode(file);
  EXPECT_FALSE(o.ok);
  EXPECT_EQ(o.message, message);
  EXPECT_EQ(o.kind, kind) << message;
}

void expectMatchesLibpng(const Bytes& file, const std::string& what) {
  Outcome ours = decode(file);
  test::PeerImage peer = test::libpngDecode(file);
  ASSERT_TRUE(peer.ok) << what << ": libpng: " << peer.error;
  ASSERT_TRUE(ours.ok) << what << ": " << ours.message;
  EXPECT_EQ(ours.value.width, peer.width) << what;
  EXPECT_EQ(ours.value.height, peer.height) << what;
  EXPECT_EQ(ours.value.channels, peer.channels) << what;
  EXPECT_TRUE(ours.value.pixels == peer.pixels) << what << ": pixels differ";
}

// ---- the shared PNG files -------------------------------------------------

// Files that must fail, with the message and why. Everything else under
// the three folders must decode to exactly what libpng gives.
const std::map<std::string, std::string>& expectedFailures() {
  static const std::map<std::string, std::string> table = {
      // Corrupt or truncated files (libpng refuses them as well).
      {"pil_broken.png", "png: chunk truncated"},               // garbage chunk length
      {"pil_truncated_image.png", "png: chunk truncated"},      // IDAT cut short
      {"pngsuite_xcrn0g04.png", "png: bad signature"},          // CR/LF damage
      {"pngsuite_xs1n0g01.png", "png: bad signature"},          // signature byte 1
      {"pngsuite_xs4n0g01.png", "png: bad signature"},          // signature byte 4
      {"pngsuite_xhdn0g08.png", "png: chunk CRC mismatch"},     // IHDR CRC
      {"pngsuite_xc1n0g08.png", "png: unsupported color type/depth"},  // colour type 1
      {"pngsuite_xd0n2c08.png", "png: unsupported color type/depth"},  // depth 0
      {"pngsuite_xd9n2c08.png", "png: unsupported color type/depth"},  // depth 99
      {"mei_4aae896ba900c48c63cffc0cc9f8c4dc.png", "png: missing IEND"},  // ends after gAMA
      {"mei_743b8442c69efbc457af7376af71b44c.png", "png: chunk CRC mismatch"},  // "aHDR"
      {"mei_71dd006377602359ebd2cbe7b9eaab09.png", "png: chunk CRC mismatch"},  // IHDR CRC
      // An ancillary chunk with a bad CRC: libpng only warns and drops the
      // chunk, this decoder checks every CRC.
      {"pil_unknown_compression_method.png", "png: chunk CRC mismatch"},  // iCCP
  };
  return table;
}

// libpng discards a tRNS chunk longer than the palette; this decoder uses
// its first bytes (one per palette entry) and never reads the rest. The
// peer is given the same file with tRNS cut to the palette length.
Bytes trnsCutToPalette(const Bytes& file) {
  size_t pos = 8;
  size_t paletteEntries = 0;
  PngFile out;
  while (pos + 12 <= file.size()) {
    const uint8_t* p = file.data() + pos;
    const size_t length = size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    if (length > file.size() - pos - 12) return file;
    const std::string type(p + 4, p + 8);
    Bytes data(p + 8, p + 8 + length);
    if (type == "PLTE") paletteEntries = length / 3;
    if (type == "tRNS" && paletteEntries > 0 && length > paletteEntries) {
      data.resize(paletteEntries);
    }
    out.chunk(type, data);
    pos += length + 12;
    if (type == "IEND") break;
  }
  return out.bytes;
}

std::vector<std::string> allPngFiles() {
  std::vector<std::string> files;
  for (const char* folder : {"codec/png", "malformed/png", "metadata/png"}) {
    for (const std::string& f : test::listTestdata(folder)) files.push_back(f);
  }
  return files;
}

class PngSharedFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(PngSharedFiles, DecodesLikeLibpngOrFailsWithItsMessage) {
  const Bytes file = test::readTestdata(GetParam());
  ASSERT_FALSE(file.empty());
  const std::string name = std::filesystem::path(GetParam()).filename().string();
  Outcome ours = decode(file);
  test::PeerImage peer = test::libpngDecode(file.size() > 25 && file[25] == 3 ? trnsCutToPalette(file) : file);

  auto expected = expectedFailures().find(name);
  if (expected != expectedFailures().end()) {
    EXPECT_FALSE(ours.ok);
    EXPECT_EQ(ours.message, expected->second);
    if (expected->second == "png: chunk CRC mismatch") {
      EXPECT_GE(test::firstBadCrcChunk(file), 0);
    }
    return;
  }
  if (peer.ok && peer.interlace != 0) {
    EXPECT_FALSE(ours.ok);
    EXPECT_EQ(ours.message, "png: Adam7 interlace unsupported");
    EXPECT_EQ(ours.kind, ekUnsupported);
    return;
  }
  ASSERT_TRUE(peer.ok) << "libpng: " << peer.error << "; ours: " << (ours.ok ? "ok" : ours.message);
  ASSERT_TRUE(ours.ok) << ours.message;
  EXPECT_EQ(ours.value.width, peer.width);
  EXPECT_EQ(ours.value.height, peer.height);
  EXPECT_EQ(ours.value.channels, peer.channels);
  EXPECT_TRUE(ours.value.pixels == peer.pixels) << "pixels differ from libpng";
}

INSTANTIATE_TEST_SUITE_P(Files, PngSharedFiles, ::testing::ValuesIn(allPngFiles()),
                         test::FileTestName());

TEST(PngSharedFilesPrefixes, EveryPrefixFailsWithATypedErrorOrDecodes) {
  for (const char* name : {"codec/png/pngsuite_basn3p04.png", "codec/png/pil_tiny.png",
                           "codec/png/pngsuite_oi9n0g16.png"}) {
    const Bytes file = test::readTestdata(name);
    for (size_t n = 0; n < file.size(); ++n) {
      Outcome o = decode(Bytes(file.begin(), file.begin() + static_cast<long>(n)));
      EXPECT_FALSE(o.ok) << name << " prefix " << n;
      EXPECT_TRUE(o.message.rfind("png: ", 0) == 0 || o.message.rfind("zlib: ", 0) == 0 ||
                  o.message.rfind("deflate: ", 0) == 0)
          << o.message;
    }
    EXPECT_TRUE(decode(file).ok) << name;
  }
}

// ---- generated images with every type, depth and filter -------------------

// Applies PNG filter `type` to one row (encoder side, written out plainly).
void filterRow(int type, const uint8_t* row, const uint8_t* prior, size_t n, size_t bpp,
               Bytes& out) {
  out.push_back(static_cast<uint8_t>(type));
  for (size_t i = 0; i < n; ++i) {
    int a = i >= bpp ? row[i - bpp] : 0;
    int b = prior ? prior[i] : 0;
    int c = (prior && i >= bpp) ? prior[i - bpp] : 0;
    int pred = 0;
    switch (type) {
      case 1: pred = a; break;
      case 2: pred = b; break;
      case 3: pred = (a + b) / 2; break;
      case 4: {
        int p = a + b - c;
        int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
        break;
      }
      default: break;
    }
    out.push_back(static_cast<uint8_t>(row[i] - pred));
  }
}

TEST(PngDecode, EveryColorTypeDepthAndFilterMatchesLibpng) {
  std::mt19937 rng(11);
  const struct {
    uint8_t colorType;
    uint8_t depth;
    int samples;
  } kinds[] = {{0, 1, 1}, {0, 2, 1}, {0, 4, 1}, {0, 8, 1}, {0, 16, 1}, {2, 8, 3}, {2, 16, 3},
               {3, 1, 1}, {3, 2, 1}, {3, 4, 1}, {3, 8, 1}, {4, 8, 2}, {4, 16, 2}, {6, 8, 4},
               {6, 16, 4}};
  for (const auto& k : kinds) {
    for (uint32_t w : {1u, 3u, 7u, 33u}) {
      const uint32_t h = 1 + rng() % 9;
      const size_t bits = size_t{k.depth} * static_cast<size_t>(k.samples);
      const size_t rowBytes = (bits * w + 7) / 8;
      const size_t bpp = std::max<size_t>(1, bits / 8);
      const unsigned paletteSize = k.colorType == 3 ? 1u << k.depth : 0;
      Bytes raw(rowBytes * h);
      for (auto& b : raw) b = static_cast<uint8_t>(rng() % 4 == 0 ? 0x80 : rng());
      Bytes filtered;
      for (uint32_t y = 0; y < h; ++y) {
        filterRow(static_cast<int>(rng() % 5), raw.data() + y * rowBytes,
                  y ? raw.data() + (y - 1) * rowBytes : nullptr, rowBytes, bpp, filtered);
      }
      PngFile f;
      f.ihdr(w, h, k.depth, k.colorType);
      if (k.colorType == 3) {
        Bytes plte(3 * paletteSize);
        for (auto& b : plte) b = static_cast<uint8_t>(rng());
        f.chunk("PLTE", plte);
        Bytes trns(rng() % (paletteSize + 1));
        for (auto& b : trns) b = static_cast<uint8_t>(rng());
        if (!trns.empty()) f.chunk("tRNS", trns);
      }
      f.idat(filtered).iend();
      expectMatchesLibpng(f.bytes, "type " + std::to_string(k.colorType) + " depth " +
                                       std::to_string(k.depth) + " width " + std::to_string(w));
      if (HasFatalFailure()) return;
    }
  }
}

// Rows are unfiltered as inflate completes them, from IDAT chunks of any
// size; failures must still come out as a decode of the whole filtered data
// would meet them: inflate and zlib failures, then short data, then a bad
// filter type in any row, then a palette index out of range in any row.
TEST(PngDecode, RowByRowDecodeKeepsTheWholeDecodeOrderOfFailures) {
  std::mt19937 rng(18);
  const struct {
    uint8_t colorType;
    uint8_t depth;
    int samples;
  } kinds[] = {{0, 2, 1}, {0, 8, 1}, {0, 16, 1}, {2, 8, 3}, {2, 16, 3}, {3, 4, 1},
               {3, 8, 1}, {4, 8, 2}, {6, 8, 4}, {6, 16, 4}};
  int failures = 0;
  for (int round = 0; round < 120; ++round) {
    const auto& k = kinds[rng() % std::size(kinds)];
    const uint32_t w = round % 10 == 0 ? 700 : 1 + rng() % 60;
    const uint32_t h = round % 10 == 0 ? 40 + rng() % 40 : 1 + rng() % 30;
    const size_t bits = size_t{k.depth} * static_cast<size_t>(k.samples);
    const size_t rowBytes = (bits * w + 7) / 8;
    const size_t bpp = std::max<size_t>(1, bits / 8);
    Bytes raw(rowBytes * h);
    for (auto& b : raw) b = static_cast<uint8_t>(rng() % 3 == 0 ? 0x21 : rng());
    Bytes filtered;
    for (uint32_t y = 0; y < h; ++y) {
      filterRow(static_cast<int>(rng() % 5), raw.data() + y * rowBytes,
                y ? raw.data() + (y - 1) * rowBytes : nullptr, rowBytes, bpp, filtered);
    }
    // Damage: a bad filter byte, short or long data, a small palette.
    if (rng() % 3 == 0) filtered[(rng() % h) * (rowBytes + 1)] = static_cast<uint8_t>(5 + rng() % 251);
    if (rng() % 6 == 0) filtered.resize(filtered.size() - 1 - rng() % filtered.size());
    if (rng() % 6 == 0) filtered.push_back(0);
    const size_t paletteSize =
        k.colorType != 3 ? 0 : (rng() % 2 ? (size_t{1} << k.depth) : 1 + rng() % ((1u << k.depth) - 1));
    Bytes z = zlibCompress(filtered, static_cast<int>(rng() % 10));
    if (rng() % 6 == 0) z[rng() % z.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
    if (rng() % 8 == 0) z.resize(rng() % z.size());

    // What a decode of the whole filtered data gives.
    const size_t expected = (rowBytes + 1) * h;
    std::string want;
    try {
      const Bytes whole = compress::zlibInflate(z, expected);
      if (whole.size() < expected) {
        want = "png: filtered data too short";
      } else if (whole != filtered) {
        continue;  // damage that inflate did not notice: no known answer
      }
    } catch (const KeldraException& e) {
      want = e.what();
    }
    if (want.empty()) {
      for (uint32_t y = 0; y < h && want.empty(); ++y) {
        if (filtered[y * (rowBytes + 1)] > 4) want = "png: bad filter type";
      }
    }
    if (want.empty() && k.colorType == 3) {
      for (size_t i = 0; i < size_t{w} * h && want.empty(); ++i) {
        if (sampleBits(raw.data() + (i / w) * rowBytes, i % w, k.depth) >= paletteSize) {
          want = "png: palette index out of range";
        }
      }
    }

    PngFile f;
    f.ihdr(w, h, k.depth, k.colorType);
    if (k.colorType == 3) {
      Bytes plte(3 * paletteSize);
      for (auto& b : plte) b = static_cast<uint8_t>(rng());
      f.chunk("PLTE", plte);
    }
    for (size_t at = 0; at < z.size() || at == 0;) {  // IDAT pieces, empty ones too
      const size_t n = std::min(z.size() - at, rng() % 4 == 0 ? size_t{0} : 1 + rng() % 3000);
      f.chunk("IDAT", Bytes(z.begin() + static_cast<long>(at), z.begin() + static_cast<long>(at + n)));
      at += n;
      if (z.empty()) break;
    }
    f.iend();
    const std::string what = "round " + std::to_string(round);
    if (want.empty()) {
      expectMatchesLibpng(f.bytes, what);
      if (HasFatalFailure()) return;
      continue;
    }
    ++failures;
    const Outcome got = decode(f.bytes);
    EXPECT_FALSE(got.ok) << what;
    EXPECT_EQ(got.message, want) << what;
  }
  EXPECT_GT(failures, 40);
}

TEST(PngDecode, SampleReductionEdgeCases) {
  // 16-bit grey 0x1234 keeps the high byte.
  Outcome g16 = decode(PngFile().ihdr(1, 1, 16, 0).idat({0, 0x12, 0x34}).iend().bytes);
  ASSERT_TRUE(g16.ok) << g16.message;
  EXPECT_EQ(g16.value.pixels, (Bytes{0x12}));
  // 1-bit grey 0b10100000, width 3.
  Outcome g1 = decode(PngFile().ihdr(3, 1, 1, 0).idat({0, 0xA0}).iend().bytes);
  ASSERT_TRUE(g1.ok) << g1.message;
  EXPECT_EQ(g1.value.colorspace, csGray);
  EXPECT_EQ(g1.value.pixels, (Bytes{255, 0, 255}));
  // Grey with tRNS stays grey without alpha.
  Outcome gt = decode(
      PngFile().ihdr(2, 1, 8, 0).chunk("tRNS", {0, 7}).idat({0, 7, 9}).iend().bytes);
  ASSERT_TRUE(gt.ok) << gt.message;
  EXPECT_EQ(gt.value.colorspace, csGray);
  EXPECT_EQ(gt.value.pixels, (Bytes{7, 9}));
  // RGB with tRNS stays RGB.
  Outcome rt = decode(PngFile()
                          .ihdr(1, 1, 8, 2)
                          .chunk("tRNS", {0, 1, 0, 2, 0, 3})
                          .idat({0, 1, 2, 3})
                          .iend()
                          .bytes);
  ASSERT_TRUE(rt.ok) << rt.message;
  EXPECT_EQ(rt.value.colorspace, csRgb);
}

TEST(PngDecode, PaletteRules) {
  Bytes plte257;
  for (int i = 0; i < 257; ++i) plte257.insert(plte257.end(), {uint8_t(i), uint8_t(i / 2), 9});
  // 257 entries are accepted; a short tRNS leaves later entries opaque.
  Outcome big = decode(PngFile()
                           .ihdr(3, 1, 8, 3)
                           .chunk("PLTE", plte257)
                           .chunk("tRNS", {10})
                           .idat({0, 0, 1, 255})
                           .iend()
                           .bytes);
  ASSERT_TRUE(big.ok) << big.message;
  EXPECT_EQ(big.value.colorspace, csRgba);
  EXPECT_EQ(big.value.pixels, (Bytes{0, 0, 9, 10, 1, 0, 9, 255, 255, 127, 9, 255}));
  // Index 2 into a two-entry palette.
  expectFailure(PngFile()
                    .ihdr(2, 1, 8, 3)
                    .chunk("PLTE", {1, 2, 3, 4, 5, 6})
                    .idat({0, 1, 2})
                    .iend()
                    .bytes,
                "png: palette index out of range", ekInvalid);
  // tRNS before PLTE and a later PLTE replacing an earlier one.
  Outcome later = decode(PngFile()
                             .ihdr(1, 1, 8, 3)
                             .chunk("tRNS", {77})
                             .chunk("PLTE", {1, 1, 1})
                             .chunk("PLTE", {5, 6, 7})
                             .idat({0, 0})
                             .iend()
                             .bytes);
  ASSERT_TRUE(later.ok) << later.message;
  EXPECT_EQ(later.value.pixels, (Bytes{5, 6, 7, 77}));
  expectFailure(PngFile().ihdr(1, 1, 8, 3).idat({0, 0}).iend().bytes,
                "png: indexed image missing PLTE", ekInvalid);
  for (size_t n : {0u, 2u, 4u}) {
    expectFailure(PngFile().ihdr(1, 1, 8, 3).chunk("PLTE", Bytes(n, 1)).idat({0, 0}).iend().bytes,
                  "png: bad PLTE", ekInvalid);
  }
}

TEST(PngDecode, ChunkOrderAndTrailingBytes) {
  // IDAT chunks need not be adjacent; bytes after IEND are ignored.
  Bytes z = zlibCompress({0, 1, 2, 3, 0, 4, 5, 6});
  PngFile f;
  f.ihdr(3, 2, 8, 0)
      .chunk("IDAT", Bytes(z.begin(), z.begin() + 4))
      .chunk("tEXt", {'a', 0, 'b'})
      .chunk("IDAT", Bytes(z.begin() + 4, z.end()))
      .iend();
  f.bytes.insert(f.bytes.end(), {1, 2, 3, 4, 5});
  Outcome o = decode(f.bytes);
  ASSERT_TRUE(o.ok) << o.message;
  EXPECT_EQ(o.value.pixels, (Bytes{1, 2, 3, 4, 5, 6}));
  // A later IHDR replaces the earlier one.
  Outcome two = decode(PngFile().ihdr(9, 9, 8, 2).ihdr(1, 1, 8, 0).idat({0, 42}).iend().bytes);
  ASSERT_TRUE(two.ok) << two.message;
  EXPECT_EQ(two.value.pixels, (Bytes{42}));
}

TEST(PngRejects, StructureFailures) {
  const Bytes sig = PngFile().bytes;
  expectFailure(Bytes(sig.begin(), sig.begin() + 7), "png: signature truncated", ekTruncated);
  Bytes badSig = PngFile().ihdr(1, 1, 8, 0).idat({0, 0}).iend().bytes;
  badSig[7] = 0x0B;
  expectFailure(badSig, "png: bad signature", ekUnsupported);
  expectFailure(sig, "png: missing IHDR", ekInvalid);
  expectFailure(PngFile().iend().bytes, "png: missing IHDR", ekInvalid);
  expectFailure(PngFile().chunk("tEXt", {'a', 0}).bytes, "png: missing IHDR", ekInvalid);
  expectFailure(PngFile().ihdr(1, 1, 8, 0).idat({0, 0}).bytes, "png: missing IEND", ekTruncated);
  Bytes header = PngFile().ihdr(1, 1, 8, 0).bytes;
  Bytes shortHeader = header;
  shortHeader.insert(shortHeader.end(), {0, 0, 0, 0, 'I', 'D', 'A'});
  expectFailure(shortHeader, "png: chunk header truncated", ekTruncated);
  Bytes huge = header;
  huge.insert(huge.end(), {0x80, 0, 0, 0, 'I', 'D', 'A', 'T'});
  expectFailure(huge, "png: chunk length exceeds the 2^31-1 limit", ekInvalid);
  Bytes cut = header;
  cut.insert(cut.end(), {0, 0, 0, 4, 'I', 'D', 'A', 'T', 1, 2, 3, 4, 0, 0, 0});
  expectFailure(cut, "png: chunk truncated", ekTruncated);
  // A CRC error in an unknown ancillary chunk fails the whole decode.
  expectFailure(
      PngFile().ihdr(1, 1, 8, 0).chunk("zzZz", {1}, true).idat({0, 0}).iend().bytes,
      "png: chunk CRC mismatch", ekInvalid);
}

TEST(PngRejects, HeaderFailures) {
  expectFailure(PngFile().chunk("IHDR", Bytes(12, 1)).iend().bytes, "png: bad IHDR length",
                ekInvalid);
  expectFailure(PngFile().ihdr(1, 1, 8, 0, 0, 1).iend().bytes, "png: unsupported compression",
                ekUnsupported);
  expectFailure(PngFile().ihdr(1, 1, 8, 0, 0, 0, 1).iend().bytes, "png: unsupported filter",
                ekUnsupported);
  expectFailure(PngFile().ihdr(1, 1, 8, 0, 1).iend().bytes, "png: Adam7 interlace unsupported",
                ekUnsupported);
  expectFailure(PngFile().ihdr(0, 1, 8, 0).iend().bytes, "png: bad dimensions", ekInvalid);
  expectFailure(PngFile().ihdr(1, 0, 8, 0).iend().bytes, "png: bad dimensions", ekInvalid);
  expectFailure(PngFile().ihdr((1u << 30) + 1, 1, 8, 0).iend().bytes, "png: bad dimensions",
                ekInvalid);
  expectFailure(PngFile().ihdr(0xFFFFFFFFu, 1, 8, 0).iend().bytes, "png: bad dimensions",
                ekInvalid);
  // 2^30 pixels pass the count check (and then need their data); one row
  // more does not, before anything is allocated.
  expectFailure(PngFile().ihdr(1u << 15, 1u << 15, 8, 0).iend().bytes, "zlib: header truncated",
                ekTruncated);
  expectFailure(PngFile().ihdr(1u << 15, (1u << 15) + 1, 8, 0).iend().bytes,
                "png: too many pixels", ekInvalid);
  for (auto [ct, depth] : {std::pair{0, 3}, {2, 4}, {3, 16}, {4, 4}, {6, 2}, {5, 8}, {7, 8}}) {
    expectFailure(PngFile().ihdr(1, 1, uint8_t(depth), uint8_t(ct)).iend().bytes,
                  "png: unsupported color type/depth", ekUnsupported);
  }
}

TEST(PngRejects, ImageDataFailures) {
  // Short data, an extra byte past height x (row bytes + 1), a bad filter.
  expectFailure(PngFile().ihdr(2, 2, 8, 0).idat({0, 1, 2, 0, 3}).iend().bytes,
                "png: filtered data too short", ekTruncated);
  expectFailure(PngFile().ihdr(2, 2, 8, 0).idat({0, 1, 2, 0, 3, 4, 9}).iend().bytes,
                "deflate: output exceeds the size cap", ekInvalid);
  expectFailure(PngFile().ihdr(2, 2, 8, 0).idat({0, 1, 2, 5, 3, 4}).iend().bytes,
                "png: bad filter type", ekInvalid);
  expectFailure(PngFile().ihdr(1, 1, 8, 0).iend().bytes, "zlib: header truncated", ekTruncated);
  Bytes z = zlibCompress({0, 1});
  z.back() ^= 0xFF;
  expectFailure(PngFile().ihdr(1, 1, 8, 0).chunk("IDAT", z).iend().bytes,
                "zlib: Adler-32 mismatch", ekInvalid);
}

// A header claiming 2^30 RGBA pixels over 1 MB of image data that inflates
// (stored blocks of noise) until the input runs out: the decoder's memory
// follows what inflate produces, not the header.
TEST(PngMemory, HugeHeaderOverShortDataGrowsWithTheOutput) {
  Bytes z = {0x78, 0x01};
  std::mt19937 rng(19);
  while (z.size() < (1u << 20)) {
    z.insert(z.end(), {0x00, 0xFF, 0xFF, 0x00, 0x00});  // stored, not final, 65535 bytes
    for (int i = 0; i < 65535; ++i) z.push_back(static_cast<uint8_t>(rng()));
  }
  const Bytes file = PngFile().ihdr(1u << 15, 1u << 15, 8, 6).chunk("IDAT", z).iend().bytes;
  kd::test::PeakMemory peak;
  Outcome got = decode(file);
  EXPECT_TRUE(peak.within(16 << 20)) << peak.growth();
  EXPECT_FALSE(got.ok);
  EXPECT_EQ(got.kind, ekTruncated) << got.message;
}

// ---- encoder ---------------------------------------------------------------

Image makeImage(int64_t w, int64_t h, ColorSpace cs, std::mt19937& rng) {
  Image img = newImage(w, h, cs);
  for (auto& b : img.pixels) b = static_cast<uint8_t>(rng() % 3 == 0 ? 17 : rng());
  return img;
}

TEST(PngEncode, OnePixelRgbLayout) {
  std::mt19937 rng(5);
  Image img = makeImage(1, 1, csRgb, rng);
  Bytes png = encodePng(img);
  const Bytes ihdrData = {0, 0, 0, 1, 0, 0, 0, 1, 8, 2, 0, 0, 0};
  Bytes prefix = PngFile().chunk("IHDR", ihdrData).bytes;
  ASSERT_GE(png.size(), prefix.size());
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), png.begin()));
  Bytes idatData = compress::zlibDeflate(Bytes{0, img.pixels[0], img.pixels[1], img.pixels[2]});
  Bytes whole = PngFile().chunk("IHDR", ihdrData).chunk("IDAT", idatData).iend().bytes;
  EXPECT_EQ(png, whole);
  Outcome back = decode(png);
  ASSERT_TRUE(back.ok) << back.message;
  EXPECT_EQ(back.value.pixels, img.pixels);
}

TEST(PngEncode, RoundTripsThroughOurDecoderAndLibpng) {
  std::mt19937 rng(6);
  for (ColorSpace cs : {csGray, csRgb, csRgba}) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{1, 1}, {5, 3}, {64, 17}, {300, 2}}) {
      Image img = makeImage(w, h, cs, rng);
      Bytes png = encodePng(img);
      Outcome back = decode(png);
      ASSERT_TRUE(back.ok) << back.message;
      EXPECT_EQ(back.value.colorspace, cs);
      EXPECT_EQ(back.value.pixels, img.pixels);
      test::PeerImage peer = test::libpngDecode(png);
      ASSERT_TRUE(peer.ok) << peer.error;
      EXPECT_EQ(peer.pixels, img.pixels);
    }
  }
}

// Chunk lengths are 31-bit, so a zlib stream longer than that must spread
// over several IDAT chunks; the limit is lowered here to see the split at
// every offset, including inside the zlib header and checksum.
TEST(PngEncode, LongStreamsSplitOverFullIdatChunks) {
  std::mt19937 rng(9);
  const Image img = makeImage(300, 40, csRgba, rng);
  const Bytes single = encodePng(img);
  // Signature, IHDR (25), IDAT header; after the stream the IDAT CRC and IEND.
  const Bytes stream(single.begin() + 41, single.end() - 16);
  for (size_t limit : {size_t{1}, size_t{2}, size_t{7}, size_t{1000}, stream.size() - 1,
                       stream.size()}) {
    base::HeapBytes out;
    encodePngWithChunkLimit(img, out, limit);
    const Bytes png = out.toBytes();
    EXPECT_EQ(test::firstBadCrcChunk(png), -1) << limit;
    EXPECT_TRUE(std::equal(single.begin(), single.begin() + 33, png.begin()));
    Bytes joined;
    size_t idats = 0;
    size_t at = 33;
    while (at + 8 <= png.size() && std::memcmp(png.data() + at + 4, "IDAT", 4) == 0) {
      const size_t len = base::loadBe32(png.data() + at);
      ASSERT_LE(at + 12 + len, png.size());
      EXPECT_LE(len, limit);
      if (joined.size() + len < stream.size()) {
        EXPECT_EQ(len, limit) << "short chunk inside";
      }
      joined.insert(joined.end(), png.begin() + at + 8, png.begin() + at + 8 + len);
      at += 12 + len;
      ++idats;
    }
    EXPECT_EQ(idats, (stream.size() + limit - 1) / limit);
    EXPECT_EQ(joined, stream) << limit;
    EXPECT_TRUE(std::equal(single.end() - 12, single.end(), png.begin() + at));
    EXPECT_EQ(png.size(), at + 12);
    EXPECT_EQ(decode(png).value.pixels, img.pixels);
    EXPECT_EQ(test::libpngDecode(png).pixels, img.pixels);
  }
}

// Rows go from the picture through the compressor into the file's block: no
// copy of the picture and no second copy of the file on the way.
TEST(PngMemory, EncoderHoldsTheFileAndASmallWorkingSet) {
  std::mt19937 rng(10);
  Image img = newImage(1500, 1000, csRgb);
  for (size_t i = 0; i < img.pixels.size(); ++i) {
    img.pixels[i] = static_cast<uint8_t>(i / 3 % 1500 / 6 + rng() % 8);
  }
  malloc_trim(0);  // freed memory reused would hide a peak
  kd::test::PeakMemory peak;
  base::HeapBytes out;
  encodePngTo(img, out);
  EXPECT_TRUE(peak.within(static_cast<int64_t>(out.size()) + (2 << 20)))
      << peak.growth() << " for a file of " << out.size();
  EXPECT_EQ(decode(out.toBytes()).value.pixels, img.pixels);
}

TEST(PngEncode, RefusesOtherColorSpacesAndBadDimensions) {
  std::mt19937 rng(7);
  for (ColorSpace cs : {csCmyk, csOther3, csOther1}) {
    try {
      (void)encodePng(makeImage(2, 2, cs, rng));
      ADD_FAILURE() << "encoded colour space " << int(cs);
    } catch (const KeldraException& e) {
      EXPECT_STREQ(e.what(), "png: encode needs csGray, csRgb, or csRgba");
      EXPECT_EQ(e.kind(), ekUnsupported);
    }
  }
  Image empty;
  empty.colorspace = csRgb;
  empty.channels = 3;
  try {
    (void)encodePng(empty);
    ADD_FAILURE() << "encoded a 0x0 image";
  } catch (const KeldraException& e) {
    EXPECT_STREQ(e.what(), "png: bad dimensions");
    EXPECT_EQ(e.kind(), ekInvalid);
  }
}

TEST(PngEncode, ThroughTheSnifferAndDispatcher) {
  std::mt19937 rng(8);
  Image img = makeImage(9, 4, csRgba, rng);
  Bytes png = encodeImage(img, efPng, 90).toBytes();
  Image back = decodeImage(png);
  EXPECT_EQ(back.pixels, img.pixels);
  EXPECT_EQ(back.width, 9);
  EXPECT_EQ(back.height, 4);
}

TEST(PngSampleBits, PackedMostSignificantFirst) {
  const uint8_t row[] = {0b10110100, 0b01111000};
  EXPECT_EQ(sampleBits(row, 0, 1), 1u);
  EXPECT_EQ(sampleBits(row, 1, 1), 0u);
  EXPECT_EQ(sampleBits(row, 9, 1), 1u);
  EXPECT_EQ(sampleBits(row, 0, 2), 2u);
  EXPECT_EQ(sampleBits(row, 3, 2), 0u);
  EXPECT_EQ(sampleBits(row, 4, 2), 1u);
  EXPECT_EQ(sampleBits(row, 0, 4), 0xBu);
  EXPECT_EQ(sampleBits(row, 1, 4), 0x4u);
  EXPECT_EQ(sampleBits(row, 3, 4), 0x8u);
  EXPECT_EQ(sampleBits(row, 1, 8), 0x78u);
}

}  // namespace
}  // namespace kd::formats
