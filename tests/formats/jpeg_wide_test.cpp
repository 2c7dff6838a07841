// Wide JPEG decoding: progressive (SOF2), extended sequential (SOF1) and
// Adobe CMYK/YCCK files made by libjpeg-turbo and found in the shared
// collections, against libjpeg-turbo's float decode; progressive files
// against the sequential file with the same coefficients, byte for byte;
// the plain decode unchanged; memory only from evidence.
#include <gtest/gtest.h>

#include <iterator>
#include <string>

#include "codec_support.h"
#include "formats/jpeg.h"
#include "jpeg_peer.h"
#include "support/divergences.h"
#include "support/heap_counter.h"

namespace kd::formats::test {
namespace {

DecodeOptions wideOptions() {
  DecodeOptions o;
  o.wide = true;
  return o;
}

Image decodeWide(const Bytes& file) { return decodeJpeg(viewOf(file), wideOptions()); }

Image peerRgb(const PeerDecode& peer) {
  return peer.image.colorspace == csCmyk ? rgbOfAdobeCmyk(peer.image) : peer.image;
}

struct MadeCase {
  const char* name;
  ColorSpace cs;
  int width, height;
  PeerEncodeOptions options;
  int frameMarker;          // what libjpeg-turbo writes for these options
  const char* plainRefusal;  // the decode without the wide flag
};

PeerEncodeOptions made(std::vector<std::pair<int, int>> sampling, int restart, bool progressive,
                       int quality = 90, bool ycck = false) {
  PeerEncodeOptions o;
  o.sampling = std::move(sampling);
  o.restartInterval = restart;
  o.progressive = progressive;
  o.quality = quality;
  o.baseline = quality >= 25;
  o.ycck = ycck;
  return o;
}

constexpr const char* kProgressive = "jpeg: progressive unsupported";
const std::vector<std::pair<int, int>> k444 = {{1, 1}, {1, 1}, {1, 1}};
const std::vector<std::pair<int, int>> k420 = {{2, 2}, {1, 1}, {1, 1}};

const MadeCase kMade[] = {
    {"progressive_420", csRgb, 61, 45, made(k420, 0, true), 0xC2, kProgressive},
    {"progressive_444_restart3", csRgb, 40, 33, made(k444, 3, true), 0xC2, kProgressive},
    {"progressive_422_restart1", csRgb, 50, 17, made({{2, 1}, {1, 1}, {1, 1}}, 1, true), 0xC2,
     kProgressive},
    {"progressive_411", csRgb, 70, 20, made({{4, 1}, {1, 1}, {1, 1}}, 0, true), 0xC2, kProgressive},
    {"progressive_chroma_tall", csRgb, 30, 41, made({{1, 2}, {1, 1}, {1, 1}}, 2, true), 0xC2,
     kProgressive},
    {"progressive_quality100", csRgb, 24, 24, made(k420, 0, true, 100), 0xC2, kProgressive},
    {"progressive_grey", csGray, 33, 29, made({{1, 1}}, 0, true), 0xC2, kProgressive},
    {"progressive_grey_2x2_restart2", csGray, 45, 19, made({{2, 2}}, 2, true), 0xC2, kProgressive},
    {"sof1_16bit_quant", csRgb, 48, 40, made(k420, 0, false, 5), 0xC1, "jpeg: SOS before SOF0"},
    {"cmyk", csCmyk, 37, 29, made({{1, 1}, {1, 1}, {1, 1}, {1, 1}}, 0, false), 0xC0,
     "jpeg: unsupported component count"},
    {"ycck_2x2", csCmyk, 37, 29, made({{2, 2}, {1, 1}, {1, 1}, {2, 2}}, 0, false, 90, true), 0xC0,
     "jpeg: unsupported component count"},
    {"progressive_ycck_restart2", csCmyk, 41, 23,
     made({{2, 2}, {1, 1}, {1, 1}, {2, 2}}, 2, true, 85, true), 0xC2, kProgressive},
    {"progressive_cmyk", csCmyk, 19, 26, made({{1, 1}, {1, 1}, {1, 1}, {1, 1}}, 0, true), 0xC2,
     kProgressive},
};

class JpegWideMade : public ::testing::TestWithParam<MadeCase> {};

TEST_P(JpegWideMade, DecodesLikeLibjpegAndThePlainDecodeStillRefuses) {
  const MadeCase& c = GetParam();
  const Bytes file = peerEncodeJpeg(photoLike(c.width, c.height, c.cs), c.options);
  ASSERT_EQ(firstFrameMarker(file), c.frameMarker);
  EXPECT_EQ(failureOf([&] { return decodeJpeg(viewOf(file)); }).message, c.plainRefusal);
  const PeerDecode peer = peerDecodeJpeg(viewOf(file));
  ASSERT_TRUE(peer.ok && !peer.warned) << peer.error;
  expectCloseToPeer(decodeWide(file), peerRgb(peer), c.name);
  if (c.options.progressive) {
    // Progression codes the same quantised coefficients as the sequential
    // file the same options make, so the pictures agree to the byte.
    PeerEncodeOptions sequential = c.options;
    sequential.progressive = false;
    const Bytes same = peerEncodeJpeg(photoLike(c.width, c.height, c.cs), sequential);
    EXPECT_TRUE(decodeWide(file).pixels == decodeWide(same).pixels) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegWideMade, ::testing::ValuesIn(kMade),
                         [](const auto& info) { return std::string(info.param.name); });

// Files of the shared collections whose wide decode differs from
// libjpeg-turbo's clean decode.
constexpr kd::test::Divergence kDivergences[] = {
    {"codec/jpeg/ljt_monkey12.jpg", "jpeg: non-8-bit precision", "12-bit samples stay refused"},
};

TEST(JpegWideCorpus, SharedFilesDecodeLikeLibjpegOrAsThePlainDecode) {
  int compared = 0, damaged = 0, diverged = 0;
  for (const std::string& name : sharedJpegFiles()) {
    const Bytes file = kd::test::readTestdata(name);
    Image plain, wide;
    const Failure plainFailure = failureOf([&] { return plain = decodeJpeg(viewOf(file)); });
    const Failure f = failureOf([&] { return wide = decodeWide(file); });
    if (plainFailure.kind == ekNone) {
      ASSERT_EQ(f.kind, ekNone) << name;
      EXPECT_TRUE(wide.pixels == plain.pixels) << name << ": the wide flag changed a plain decode";
      continue;
    }
    if (const kd::test::Divergence* known = kd::test::findDivergence(kDivergences, name)) {
      EXPECT_EQ(f.message, known->failure) << name << ": " << known->reason;
      ++diverged;
      continue;
    }
    const int sof = firstFrameMarker(file);
    const bool widened = sof == 0xC1 || sof == 0xC2 ||
                         plainFailure.message == "jpeg: unsupported component count";
    if (!widened) {
      EXPECT_EQ(f, plainFailure) << name;
      continue;
    }
    const PeerDecode peer = peerDecodeJpeg(viewOf(file));
    if (peer.ok && !peer.warned) {
      ASSERT_EQ(f.kind, ekNone) << name << ": " << f.message;
      expectCloseToPeer(wide, peerRgb(peer), name);
      ++compared;
    } else {
      // Damaged: libjpeg-turbo refuses or repairs with a warning; this
      // decoder never returns a partial picture, so it fails with a reason.
      EXPECT_TRUE(f.kind != ekNone && f.message.rfind("jpeg: ", 0) == 0) << name << f.message;
      ++damaged;
    }
  }
  EXPECT_EQ(diverged, static_cast<int>(std::size(kDivergences)));
  EXPECT_GE(compared, 2);  // the progressive cat and the SOF1 hopper
  EXPECT_GE(damaged + compared, 2);
}

TEST(JpegWideRejects, CutAnywhereFailsWithATypedError) {
  const Bytes file = peerEncodeJpeg(photoLike(40, 24, csRgb), made(k420, 2, true));
  for (size_t n = 0; n + 2 < file.size(); n += 5) {
    const Bytes cut(file.begin(), file.begin() + static_cast<ptrdiff_t>(n));
    const Failure f = failureOf([&] { return decodeWide(cut); });
    EXPECT_TRUE(f.kind != ekNone && f.message.rfind("jpeg: ", 0) == 0) << n << " " << f.message;
  }
}

// Patches the frame size of the first SOF.
Bytes withFrameSize(Bytes file, int width, int height) {
  for (size_t p = 2; p + 9 < file.size(); ++p) {
    if (file[p] == 0xFF && (file[p + 1] == 0xC0 || file[p + 1] == 0xC2)) {
      file[p + 5] = static_cast<uint8_t>(height >> 8);
      file[p + 6] = static_cast<uint8_t>(height);
      file[p + 7] = static_cast<uint8_t>(width >> 8);
      file[p + 8] = static_cast<uint8_t>(width);
      break;
    }
  }
  return file;
}

TEST(JpegWideMemory, CoefficientsAndPictureOnlyWhenTheDataShowsThem) {
  const Bytes file = peerEncodeJpeg(photoLike(512, 384, csRgb), made(k420, 0, true));
  kd::test::HeapCounter::resetPeak();
  const int64_t before = kd::test::HeapCounter::live();
  const Image img = decodeWide(file);
  // Output, int16 coefficients of 4:2:0 (1.5 samples a pixel), the
  // de-stuffed data of one scan at a time and a few rows of bands.
  const int64_t bound = 512 * 384 * 3 + 512 * 384 * 3 / 2 * 2 + static_cast<int64_t>(file.size()) +
                        256 * 1024;
  EXPECT_LE(kd::test::HeapCounter::peak() - before, bound);
  EXPECT_EQ(img.width, 512);
  // The same data under a 16384 x 16384 frame: the first DC scan has
  // fewer bits than blocks, so nothing is allocated for the claim.
  kd::test::HeapCounter::resetPeak();
  const int64_t held = kd::test::HeapCounter::live();
  const Failure f = failureOf([&] { return decodeWide(withFrameSize(file, 16384, 16384)); });
  EXPECT_EQ(f, (Failure{"jpeg: entropy stream truncated", ekTruncated}));
  EXPECT_LE(kd::test::HeapCounter::peak() - held, 4 * static_cast<int64_t>(file.size()));
  DecodeOptions limited = wideOptions();
  limited.maxPixels = 512 * 383;
  EXPECT_EQ(failureOf([&] { return decodeJpeg(viewOf(file), limited); }),
            (Failure{"jpeg: 196608 pixels exceed the limit of 196096", ekTooLarge}));
}

}  // namespace
}  // namespace kd::formats::test
