// Adam7-interlaced PNG under the wide option: every colour type, depth and
// pass layout against libpng (files libpng writes, and the shared files),
// the plain decoder still refusing them, memory of one picture.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "formats/codecs.h"
#include "png_peer.h"
#include "support/peak_memory.h"
#include "support/testdata.h"

namespace kd::formats {
namespace {

const DecodeOptions kWide{true, 0};

// The failure's message, or "" when `file` decodes to what libpng gives.
std::string compareWithLibpng(const Bytes& file) {
  const test::PeerImage peer = test::libpngDecode(file);
  try {
    const Image ours = decodePng(file, kWide);
    if (!peer.ok) return "libpng: " + peer.error;
    if (ours.width != peer.width || ours.height != peer.height || ours.channels != peer.channels) {
      return "shape differs";
    }
    return ours.pixels == peer.pixels ? "" : "pixels differ";
  } catch (const KeldraException& e) {
    return e.what();
  }
}

Bytes interlacedFile(uint32_t w, uint32_t h, int depth, int colorType, std::mt19937& rng) {
  const int samples = colorType == 2 ? 3 : colorType == 4 ? 2 : colorType == 6 ? 4 : 1;
  const size_t rowBytes = (size_t{w} * static_cast<size_t>(depth * samples) + 7) / 8;
  Bytes raw(rowBytes * h), palette, trns;
  for (auto& b : raw) b = static_cast<uint8_t>(rng());
  if (colorType == 3) {
    // A full palette: every index is valid.
    const unsigned entries = 1u << depth;
    palette.resize(3 * entries);
    trns.resize(rng() % (entries + 1));
    for (auto& b : palette) b = static_cast<uint8_t>(rng());
    for (auto& b : trns) b = static_cast<uint8_t>(rng());
  }
  return test::libpngEncode(raw, w, h, depth, colorType, true, palette, trns);
}

TEST(PngAdam7, EveryColorTypeDepthAndPassLayoutMatchesLibpng) {
  std::mt19937 rng(7);
  const int kinds[][2] = {{0, 1}, {0, 2}, {0, 4}, {0, 8}, {0, 16}, {2, 8}, {2, 16}, {3, 1},
                          {3, 2}, {3, 4}, {3, 8},  {4, 8}, {4, 16}, {6, 8}, {6, 16}};
  // Sizes where passes are empty (1 x 1 has pass 1 only) or ragged.
  const uint32_t sizes[][2] = {{1, 1}, {2, 1}, {1, 5}, {3, 3}, {5, 9}, {8, 8}, {13, 17}, {33, 7}};
  for (const auto& k : kinds) {
    for (const auto& s : sizes) {
      const Bytes file = interlacedFile(s[0], s[1], k[1], k[0], rng);
      ASSERT_GT(file.size(), 28u);
      ASSERT_EQ(file[28], 1) << "libpng wrote no Adam7 file";
      const std::string what = "type " + std::to_string(k[0]) + " depth " +
                               std::to_string(k[1]) + " " + std::to_string(s[0]) + "x" +
                               std::to_string(s[1]);
      EXPECT_EQ(compareWithLibpng(file), "") << what;
      try {
        decodePng(file);
        ADD_FAILURE() << what << ": the plain decoder took an interlaced file";
      } catch (const KeldraException& e) {
        EXPECT_STREQ(e.what(), "png: Adam7 interlace unsupported");
      }
    }
  }
}

// Files libpng refuses (or that are not interlaced) decode under the wide
// option exactly as without it: the same picture or the same failure.
TEST(PngAdam7, SharedFilesDecodeLikeLibpng) {
  size_t interlaced = 0;
  for (const char* folder : {"codec/png", "malformed/png", "metadata/png"}) {
    for (const std::string& name : test::listTestdata(folder)) {
      const Bytes file = test::readTestdata(name);
      const bool adam7 = file.size() > 28 && file[28] == 1;
      const test::PeerImage peer = test::libpngDecode(file);
      if (adam7 && peer.ok) {
        EXPECT_EQ(compareWithLibpng(file), "") << name;
        ++interlaced;
        continue;
      }
      std::string plain, wide;
      try {
        plain = std::to_string(decodePng(file).pixels.size());
      } catch (const KeldraException& e) {
        plain = e.what();
      }
      try {
        wide = std::to_string(decodePng(file, kWide).pixels.size());
      } catch (const KeldraException& e) {
        wide = e.what();
      }
      if (!adam7) {
        EXPECT_EQ(plain, wide) << name;
      }
    }
  }
  EXPECT_GE(interlaced, 10u);
}

TEST(PngAdam7, DamagedStreamsFailAsTheWholeDecodeWould) {
  std::mt19937 rng(3);
  const Bytes file = interlacedFile(40, 30, 8, 6, rng);
  // Every prefix fails with a typed error; none crashes or returns a picture.
  for (size_t n = 8; n < file.size(); n += 7) {
    EXPECT_THROW(decodePng(ByteView(file.data(), n), kWide), KeldraException) << n;
  }
}

TEST(PngAdam7, PeakMemoryIsThePictureAndRowBuffers) {
  const uint32_t side = 2048;
  const Bytes file = test::libpngEncode(Bytes(size_t{side} * side * 4, 0x55), side, side, 8, 6,
                                        true, {}, {});
  test::PeakMemory peak;
  const Image img = decodePng(file, kWide);
  EXPECT_TRUE(peak.within(int64_t{side} * side * 4 + (4 << 20))) << peak.growth();
  EXPECT_EQ(img.pixels[12345], 0x55);
}

}  // namespace
}  // namespace kd::formats
