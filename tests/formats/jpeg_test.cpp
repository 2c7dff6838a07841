// JPEG codec: every failure message, sampling layouts and restart intervals
// from libjpeg-turbo-made files, agreement with the plain reference decoder
// (real files, mutations, truncations), the differential against
// libjpeg-turbo over the shared JPEG files, and the encoder's exact layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <random>
#include <string>

#include "codec_support.h"
#include "formats/formats.h"
#include "base/cpu.h"
#include "formats/jpeg.h"
#include "jpeg_peer.h"
#include "jpeg_reference.h"

namespace kd::formats::test {
namespace {

Failure jpegFailure(const Bytes& file) { return failureOf([&] { return decodeJpeg(viewOf(file)); }); }

Bytes segment(uint8_t marker, const Bytes& payload) {
  Bytes out = {0xFF, marker, static_cast<uint8_t>((payload.size() + 2) >> 8),
               static_cast<uint8_t>((payload.size() + 2) & 0xFF)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A hand-made file: quant table 0 all ones, DC table 0 with the single code
// "0" for category 0, AC table 0 with the single code "0" for `acSymbol`,
// and a frame of `components` (id, sampling, quant table) triples.
struct HandMade {
  Bytes dqt = segment(0xDB, concat({{0x00}, Bytes(64, 1)}));
  Bytes sof;
  Bytes dht;
  Bytes sos;
  Bytes entropy = {0x3F};  // DC "0", EOB "0", padding
  Bytes tail = {0xFF, 0xD9};

  explicit HandMade(int width = 8, int height = 8, int count = 1, uint8_t acSymbol = 0x00) {
    Bytes frame = {8, static_cast<uint8_t>(height >> 8), static_cast<uint8_t>(height & 0xFF),
                   static_cast<uint8_t>(width >> 8), static_cast<uint8_t>(width & 0xFF),
                   static_cast<uint8_t>(count)};
    Bytes scan = {static_cast<uint8_t>(count)};
    for (int c = 1; c <= count; ++c) {
      frame.insert(frame.end(), {static_cast<uint8_t>(c), 0x11, 0});
      scan.insert(scan.end(), {static_cast<uint8_t>(c), 0x00});
    }
    scan.insert(scan.end(), {0, 63, 0});
    sof = segment(0xC0, frame);
    Bytes counts(16, 0);
    counts[0] = 1;
    dht = segment(0xC4, concat({{0x00}, counts, {0x00}, {0x10}, counts, {acSymbol}}));
    sos = segment(0xDA, scan);
  }
  Bytes file() const { return concat({{0xFF, 0xD8}, dqt, sof, dht, sos, entropy, tail}); }
};

struct RejectCase {
  const char* name;
  Bytes file;
  const char* message;
  ErrorKind kind;
};

std::vector<RejectCase> rejectCases() {
  std::vector<RejectCase> cases;
  auto add = [&](const char* name, Bytes file, const char* message, ErrorKind kind) {
    cases.push_back({name, std::move(file), message, kind});
  };
  const Bytes soi = {0xFF, 0xD8};
  const HandMade ok;
  auto with = [](auto change) {
    HandMade h;
    change(h);
    return h.file();
  };
  Bytes counts2(16, 0);
  counts2[1] = 2;
  add("OneByte", {0xFF}, "jpeg: header truncated", ekTruncated);
  add("NotSoi", {0xFF, 0xD9}, "jpeg: bad SOI", ekUnsupported);
  add("ByteWhereMarkerBelongs", concat({soi, {0x00, 0xFF}}), "jpeg: expected marker", ekInvalid);
  add("SoiOnly", soi, "jpeg: no scan (SOS)", ekInvalid);
  add("FillBytesToTheEnd", concat({soi, {0xFF, 0xFF}}), "jpeg: no scan (SOS)", ekInvalid);
  add("EoiBeforeScan", concat({soi, ok.dqt, {0xFF, 0xD9}}), "jpeg: no scan (SOS)", ekInvalid);
  add("MarkerWithoutLength", concat({soi, {0xFF, 0xE0, 0x00}}), "jpeg: marker length truncated",
      ekTruncated);
  add("LengthBelowTwo", concat({soi, {0xFF, 0xE0, 0x00, 0x01}}), "jpeg: segment truncated",
      ekTruncated);
  add("SegmentPastTheEnd", concat({soi, {0xFF, 0xE0, 0x00, 0x10, 1, 2}}),
      "jpeg: segment truncated", ekTruncated);
  add("EmptyDqt", with([&](HandMade& h) { h.dqt = segment(0xDB, {}); }), "jpeg: DQT truncated",
      ekTruncated);
  add("QuantTableId4", with([&](HandMade& h) { h.dqt = segment(0xDB, concat({{0x04}, Bytes(64, 1)})); }),
      "jpeg: bad quant table id", ekInvalid);
  add("QuantValuesShort", with([&](HandMade& h) { h.dqt = segment(0xDB, concat({{0x00}, Bytes(63, 1)})); }),
      "jpeg: quant values truncated", ekTruncated);
  add("SixteenBitQuantValuesShort",
      with([&](HandMade& h) { h.dqt = segment(0xDB, concat({{0x10}, Bytes(127, 1)})); }),
      "jpeg: quant values truncated", ekTruncated);
  add("DhtShort", with([&](HandMade& h) { h.dht = segment(0xC4, Bytes(16, 0)); }),
      "jpeg: DHT truncated", ekTruncated);
  add("HuffmanTableId4", with([&](HandMade& h) { h.dht = segment(0xC4, concat({{0x04}, Bytes(16, 0)})); }),
      "jpeg: bad Huffman table id", ekInvalid);
  add("HuffmanSymbolsShort", with([&](HandMade& h) { h.dht = segment(0xC4, concat({{0x00}, counts2, {7}})); }),
      "jpeg: Huffman symbols truncated", ekTruncated);
  add("Sof0Short", with([&](HandMade& h) { h.sof = segment(0xC0, {8, 0, 8, 0, 8}); }),
      "jpeg: SOF0 truncated", ekTruncated);
  add("TwelveBit", with([&](HandMade& h) { h.sof[4] = 12; }), "jpeg: non-8-bit precision",
      ekUnsupported);
  add("FourComponents", with([&](HandMade& h) { h.sof = HandMade(8, 8, 3).sof; h.sof[9] = 4; }),
      "jpeg: unsupported component count", ekUnsupported);
  add("TwoComponents", with([&](HandMade& h) { h.sof = HandMade(8, 8, 3).sof; h.sof[9] = 2; }),
      "jpeg: unsupported component count", ekUnsupported);
  add("ComponentsShort", with([&](HandMade& h) { h.sof = segment(0xC0, {8, 0, 8, 0, 8, 3, 1, 0x11, 0}); }),
      "jpeg: SOF0 components truncated", ekTruncated);
  add("SamplingFactor5", with([&](HandMade& h) { h.sof[11] = 0x51; }), "jpeg: bad sampling factor",
      ekInvalid);
  add("SamplingFactor0", with([&](HandMade& h) { h.sof[11] = 0x10; }), "jpeg: bad sampling factor",
      ekInvalid);
  add("QuantRef4", with([&](HandMade& h) { h.sof[12] = 4; }), "jpeg: bad quant table ref", ekInvalid);
  add("ZeroWidth", with([&](HandMade& h) { h.sof = HandMade(0, 8).sof; }), "jpeg: bad dimensions",
      ekInvalid);
  add("ZeroHeight", with([&](HandMade& h) { h.sof = HandMade(8, 0).sof; }), "jpeg: bad dimensions",
      ekInvalid);
  add("Progressive", with([&](HandMade& h) { h.sof[1] = 0xC2; }), "jpeg: progressive unsupported",
      ekUnsupported);
  add("ArithmeticC9", with([&](HandMade& h) { h.sof[1] = 0xC9; }),
      "jpeg: arithmetic/12-bit unsupported", ekUnsupported);
  add("ArithmeticCA", with([&](HandMade& h) { h.sof[1] = 0xCA; }),
      "jpeg: arithmetic/12-bit unsupported", ekUnsupported);
  add("ExtendedSequentialSkipped", with([&](HandMade& h) { h.sof[1] = 0xC1; }),
      "jpeg: SOS before SOF0", ekInvalid);
  add("LosslessSkipped", with([&](HandMade& h) { h.sof[1] = 0xC3; }), "jpeg: SOS before SOF0",
      ekInvalid);
  add("DriShort", with([&](HandMade& h) { h.dht = concat({h.dht, segment(0xDD, {0})}); }),
      "jpeg: DRI truncated", ekTruncated);
  add("SosShort", with([&](HandMade& h) { h.sos = segment(0xDA, {1, 1, 0}); }), "jpeg: SOS truncated",
      ekTruncated);
  add("SosCountDiffers", with([&](HandMade& h) { h.sos = HandMade(8, 8, 3).sos; }),
      "jpeg: SOS component mismatch", ekInvalid);
  add("SosSelectorsShort",
      with([&](HandMade& h) {
        h.sof = HandMade(8, 8, 3).sof;
        h.sos = segment(0xDA, {3, 1, 0x00, 2});
      }),
      "jpeg: SOS selectors truncated", ekTruncated);
  add("SosUnknownId", with([&](HandMade& h) { h.sos[5] = 9; }), "jpeg: SOS unknown component",
      ekInvalid);
  add("SosTableRef4", with([&](HandMade& h) { h.sos[6] = 0x40; }), "jpeg: bad Huffman table ref",
      ekInvalid);
  add("SosUndefinedTable", with([&](HandMade& h) { h.sos[6] = 0x01; }),
      "jpeg: scan references an undefined Huffman table", ekInvalid);
  add("MarkerInsideEntropy", with([&](HandMade& h) { h.entropy = {0x3F, 0xFF, 0xC4}; }),
      "jpeg: bad marker in entropy", ekInvalid);
  add("NoEntropyData", with([&](HandMade& h) { h.entropy = {}; }), "jpeg: entropy stream truncated",
      ekTruncated);
  add("SixteenOnesMatchNoCode", with([&](HandMade& h) { h.entropy = {0xFF, 0x00, 0xFF, 0x00, 0xFF, 0x00}; }),
      "jpeg: bad Huffman code", ekInvalid);
  add("EightOnesThenTheEnd", with([&](HandMade& h) { h.entropy = {0xFF, 0x00}; }),
      "jpeg: entropy stream truncated", ekTruncated);
  // DC category 17 from a DC table whose one symbol is 17.
  add("DcCategoryAbove16",
      with([&](HandMade& h) { h.dht[21] = 17; h.entropy = Bytes(8, 0); }), "jpeg: bad Huffman code",
      ekInvalid);
  // AC symbol 0xF1 (run 15, one bit): k = 1 -> 17 -> 33 -> 49 -> 65.
  add("AcRunPastTheBlock",
      [] {
        HandMade h(8, 8, 1, 0xF1);
        h.entropy = {0x00, 0x00, 0x00};
        return h.file();
      }(),
      "jpeg: AC index out of range", ekInvalid);
  add("TooManyPixels", with([&](HandMade& h) { h.sof = HandMade(65535, 65535).sof; }),
      "jpeg: too many pixels", ekInvalid);
  return cases;
}

class JpegRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(JpegRejects, WithTheDescribedMessageAndKind) {
  const RejectCase& c = GetParam();
  EXPECT_EQ(jpegFailure(c.file), (Failure{c.message, c.kind}));
  EXPECT_EQ(failureOf([&] { return referenceDecodeJpeg(viewOf(c.file)); }),
            (Failure{c.message, c.kind}));
}

INSTANTIATE_TEST_SUITE_P(Cases, JpegRejects, ::testing::ValuesIn(rejectCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(JpegDecode, HandMadeFlatBlocks) {
  HandMade grey;
  Image img = decodeJpeg(viewOf(grey.file()));
  EXPECT_EQ(img.colorspace, csGray);
  EXPECT_EQ(img.pixels, Bytes(64, 128));
  // Fill bytes before a marker, RST and TEM markers without length, and
  // sixteen-bit quant values are all accepted.
  grey.dqt = concat({{0xFF, 0xFF, 0xD3, 0xFF, 0x01}, segment(0xDB, concat({{0x10}, Bytes(128, 1)}))});
  EXPECT_EQ(decodeJpeg(viewOf(grey.file())).pixels, Bytes(64, 128));
  // Fill bytes before EOI at the end of the entropy data, likewise.
  grey.entropy = {0x3F, 0xFF, 0xFF};
  EXPECT_EQ(decodeJpeg(viewOf(grey.file())).pixels, Bytes(64, 128));
  EXPECT_EQ(referenceDecodeJpeg(viewOf(grey.file())).pixels, Bytes(64, 128));
  HandMade colour(9, 3, 3);
  colour.entropy = {0x00, 0x0F};  // three blocks per MCU, two MCUs, two bits each
  img = decodeJpeg(viewOf(colour.file()));
  EXPECT_EQ(img.colorspace, csRgb);
  EXPECT_EQ(img.pixels, Bytes(9 * 3 * 3, 128));
}

TEST(JpegDecode, EntropyEndsAtEoiOrEndOfDataAndIgnoresLaterSegments) {
  HandMade h;
  h.tail = concat({{0xFF, 0xD9}, segment(0xC4, {0xFF})});
  EXPECT_EQ(decodeJpeg(viewOf(h.file())).pixels, Bytes(64, 128));
  h.tail = {};
  EXPECT_EQ(decodeJpeg(viewOf(h.file())).pixels, Bytes(64, 128));
  h.tail = {0xFF};  // a lone 0xFF as the last byte ends the data
  EXPECT_EQ(decodeJpeg(viewOf(h.file())).pixels, Bytes(64, 128));
}

TEST(JpegDecode, HugeClaimWithLittleDataFailsOnTheDataNotTheAllocation) {
  // 16384 x 16384 colour (805 MB of output) with 24 bits of entropy data:
  // every block costs at least two bits, so the output is not allocated up
  // front, and decoding stops where the data does.
  HandMade h(16384, 16384, 3);
  h.entropy = {0x00, 0x00, 0x00};
  EXPECT_EQ(jpegFailure(h.file()), (Failure{"jpeg: entropy stream truncated", ekTruncated}));
  // Just over the pixel limit: refused from the header alone.
  HandMade over(32768, 32769, 1);
  EXPECT_EQ(jpegFailure(over.file()), (Failure{"jpeg: too many pixels", ekInvalid}));
  HandMade at(32768, 32768, 1);
  EXPECT_EQ(jpegFailure(at.file()).message, "jpeg: entropy stream truncated");
}

// ---- files made by libjpeg-turbo --------------------------------------------

// The decoder with the baseline kernels and, where the processor has it,
// with the AVX2 ones: same outcome and bytes as the reference.
void expectSameAsReference(const Bytes& file, const std::string& what) {
  Image b;
  const Failure plain = failureOf([&] { return b = referenceDecodeJpeg(viewOf(file)); });
  for (bool avx2 : {false, true}) {
    if (avx2 && !base::cpuHasAvx2()) continue;
    Image a;
    const Failure fast = failureOf([&] { return a = jpeg::decodeJpegWith(viewOf(file), avx2); });
    ASSERT_EQ(fast, plain) << what << (avx2 ? " (AVX2)" : "");
    if (fast.kind == ekNone) {
      ASSERT_EQ(a.width, b.width) << what;
      ASSERT_EQ(a.height, b.height) << what;
      ASSERT_TRUE(a.pixels == b.pixels) << what << (avx2 ? " (AVX2)" : "") << ": pixels differ from the reference";
    }
  }
}

// Ours equals the reference and is close to libjpeg-turbo.
void expectDecodesLikeReferenceAndPeer(const Bytes& file, const std::string& what) {
  expectSameAsReference(file, what);
  const Image ours = decodeJpeg(viewOf(file));
  const PeerDecode peer = peerDecodeJpeg(viewOf(file));
  ASSERT_TRUE(peer.ok && !peer.warned) << what << ": libjpeg-turbo: " << peer.error;
  expectCloseToPeer(ours, peer.image, what);
}

struct SamplingCase {
  const char* name;
  std::vector<std::pair<int, int>> sampling;
  int width, height;
};

class JpegSampling : public ::testing::TestWithParam<SamplingCase> {};

TEST_P(JpegSampling, DecodesLikeReferenceAndLibjpeg) {
  const SamplingCase& c = GetParam();
  const ColorSpace cs = c.sampling.size() == 1 ? csGray : csRgb;
  PeerEncodeOptions options;
  options.sampling = c.sampling;
  const Bytes file = peerEncodeJpeg(photoLike(c.width, c.height, cs), options);
  ASSERT_FALSE(file.empty());
  expectDecodesLikeReferenceAndPeer(file, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, JpegSampling,
    ::testing::Values(SamplingCase{"s444", {{1, 1}, {1, 1}, {1, 1}}, 37, 29},
                      SamplingCase{"s420", {{2, 2}, {1, 1}, {1, 1}}, 37, 29},
                      SamplingCase{"s422", {{2, 1}, {1, 1}, {1, 1}}, 41, 17},
                      SamplingCase{"s1x2", {{1, 2}, {1, 1}, {1, 1}}, 23, 35},
                      SamplingCase{"s3x1", {{3, 1}, {1, 1}, {1, 1}}, 50, 9},
                      SamplingCase{"s4x2", {{4, 2}, {1, 1}, {1, 1}}, 70, 30},
                      SamplingCase{"chromaAboveLuma", {{1, 1}, {2, 2}, {1, 1}}, 33, 33},
                      SamplingCase{"grey", {{1, 1}}, 19, 13},
                      SamplingCase{"greyFactors2x2", {{2, 2}}, 19, 13},
                      SamplingCase{"greyFactors1x3", {{1, 3}}, 30, 40},
                      SamplingCase{"onePixel", {{2, 2}, {1, 1}, {1, 1}}, 1, 1},
                      SamplingCase{"nineByNine", {{1, 1}, {1, 1}, {1, 1}}, 9, 9}),
    [](const auto& info) { return std::string(info.param.name); });

// Positions of the RST markers (FF D0..D7) in a file's entropy data.
std::vector<size_t> restartMarkers(const Bytes& file) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 1 < file.size(); ++i) {
    if (file[i] == 0xFF && file[i + 1] >= 0xD0 && file[i + 1] <= 0xD7) at.push_back(i);
  }
  return at;
}

TEST(JpegRestart, IntervalsOfOneAndSeveralMcus) {
  for (int interval : {1, 3, 7}) {
    PeerEncodeOptions options;
    options.sampling = {{2, 2}, {1, 1}, {1, 1}};
    options.restartInterval = interval;
    const Bytes file = peerEncodeJpeg(photoLike(61, 45, csRgb), options);
    ASSERT_FALSE(restartMarkers(file).empty());
    expectDecodesLikeReferenceAndPeer(file, "interval " + std::to_string(interval));
  }
}

TEST(JpegRestart, FewerMarkersThanTheIntervalCallsForStillDecode) {
  PeerEncodeOptions options;
  options.restartInterval = 2;
  const Bytes file = peerEncodeJpeg(photoLike(64, 32, csRgb), options);
  const std::vector<size_t> markers = restartMarkers(file);
  ASSERT_GE(markers.size(), 4u);
  const Image full = decodeJpeg(viewOf(file));
  // Drop the last marker, then the last three: decoding continues without
  // resynchronising and agrees with the reference.
  for (size_t keep : {markers.size() - 1, markers.size() - 3}) {
    Bytes cut = file;
    for (size_t i = markers.size(); i-- > keep;) {
      cut.erase(cut.begin() + static_cast<long>(markers[i]), cut.begin() + static_cast<long>(markers[i]) + 2);
    }
    const Image ours = decodeJpeg(viewOf(cut));
    EXPECT_TRUE(ours.pixels == referenceDecodeJpeg(viewOf(cut)).pixels) << keep;
    // Rows before the first missing marker are unchanged.
    EXPECT_TRUE(std::equal(ours.pixels.begin(), ours.pixels.begin() + 64 * 8 * 3, full.pixels.begin()));
  }
  // Marker numbers are not checked: all of them D0 decodes the same.
  Bytes renumbered = file;
  for (size_t m : markers) renumbered[m + 1] = 0xD0;
  EXPECT_TRUE(decodeJpeg(viewOf(renumbered)).pixels == full.pixels);
}

// ---- agreement with the reference decoder -------------------------------------

// Small fixtures of every layout for the mutation and truncation sweeps.
std::vector<Bytes> sweepFixtures() {
  std::vector<Bytes> files;
  PeerEncodeOptions o;
  o.quality = 75;
  o.sampling = {{2, 2}, {1, 1}, {1, 1}};
  files.push_back(peerEncodeJpeg(photoLike(24, 20, csRgb), o));
  o.sampling = {{2, 1}, {1, 1}, {1, 1}};
  o.restartInterval = 1;
  files.push_back(peerEncodeJpeg(photoLike(20, 12, csRgb), o));
  o.sampling = {{2, 2}};
  o.restartInterval = 0;
  files.push_back(peerEncodeJpeg(photoLike(20, 20, csGray), o));
  files.push_back(encodeJpeg(photoLike(13, 11, csRgb), 60));
  return files;
}

TEST(JpegReference, SameBytesOnEverySharedJpeg) {
  const std::vector<std::string> files = sharedJpegFiles();
  ASSERT_GT(files.size(), 20u);
  for (const std::string& f : files) {
    expectSameAsReference(kd::test::readTestdata(f), f);
  }
}

TEST(JpegReference, SameOutcomeOnMutatedAndTruncatedFiles) {
  std::mt19937 rng(5);
  for (const Bytes& file : sweepFixtures()) {
    ASSERT_FALSE(file.empty());
    for (size_t n = 0; n < file.size(); n += 3) {
      expectSameAsReference(Bytes(file.begin(), file.begin() + static_cast<long>(n)),
                            "prefix " + std::to_string(n));
    }
    for (int i = 0; i < 1000; ++i) {
      Bytes m = file;
      const int edits = 1 + static_cast<int>(rng() % 3);
      for (int e = 0; e < edits; ++e) {
        // Half the edits land in the headers, where they change structure.
        const size_t limit = rng() % 2 ? std::min<size_t>(m.size(), 700) : m.size();
        m[rng() % limit] = static_cast<uint8_t>(rng());
      }
      expectSameAsReference(m, "mutation " + std::to_string(i));
      if (HasFatalFailure()) return;
    }
  }
}

// ---- differential against libjpeg-turbo over the shared files ----------------

TEST(JpegPeer, SharedFilesDecodeLikeLibjpegOrFailAsDescribed) {
  const std::vector<std::string> files = sharedJpegFiles();
  int compared = 0;
  for (const std::string& name : files) {
    const Bytes file = kd::test::readTestdata(name);
    Image ours;
    const Failure f = failureOf([&] { return ours = decodeJpeg(viewOf(file)); });
    const PeerDecode peer = peerDecodeJpeg(viewOf(file));
    const int sof = firstFrameMarker(file);
    if (sof == 0xC2) {
      EXPECT_EQ(f.message, "jpeg: progressive unsupported") << name;
    } else if (sof == 0xC9 || sof == 0xCA) {
      EXPECT_EQ(f.message, "jpeg: arithmetic/12-bit unsupported") << name;
    } else if (sof != 0 && sof != 0xC0) {
      EXPECT_EQ(f.message, "jpeg: SOS before SOF0") << name;  // SOF1, SOF3, ...
    } else if (peer.ok && !peer.warned) {
      ASSERT_EQ(f.kind, ekNone) << name << ": " << f.message;
      expectCloseToPeer(ours, peer.image, name);
      ++compared;
    } else {
      // Damaged files: libjpeg-turbo refuses them or repairs them with a
      // warning; this decoder either decodes or fails with a jpeg message.
      EXPECT_TRUE(f.kind == ekNone || f.message.rfind("jpeg: ", 0) == 0) << name << f.message;
    }
  }
  EXPECT_GT(compared, 15);
}

// ---- encoder ---------------------------------------------------------------

TEST(JpegEncode, GreyOnePixelLayoutByteForByte) {
  const Image img = newImage(1, 1, csGray);  // sample 0
  Image mid = img;
  mid.pixels = {128};
  const Bytes out = encodeJpeg(mid, 50);
  ByteWriter w;
  w.raw({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10}).text("JFIF").raw({0, 1, 1, 0, 0, 1, 0, 1, 0, 0});
  w.raw({0xFF, 0xDB, 0x00, 0x43, 0x00});
  for (size_t k = 0; k < 64; ++k) w.u8(jpeg::QlumNat[jpeg::ZigZag[k]]);
  w.raw({0xFF, 0xC0, 0x00, 0x0B, 8, 0, 1, 0, 1, 1, 1, 0x11, 0});
  w.raw({0xFF, 0xC4, 0x00, 0xD2, 0x00});
  w.raw(Bytes(jpeg::Dc0Bits.begin(), jpeg::Dc0Bits.end())).raw(Bytes(jpeg::Dc0Syms.begin(), jpeg::Dc0Syms.end()));
  w.u8(0x10).raw(Bytes(jpeg::Ac0Bits.begin(), jpeg::Ac0Bits.end())).raw(Bytes(jpeg::Ac0Syms.begin(), jpeg::Ac0Syms.end()));
  w.raw({0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 63, 0});
  // A flat block of 128: DC difference 0 ("00"), end of block ("1010"),
  // padded with ones.
  w.raw({0x2B, 0xFF, 0xD9});
  EXPECT_EQ(out, w.b);
}

// The segment payloads of one marker in a file, in order.
std::vector<Bytes> payloadsOf(const Bytes& f, uint8_t marker) {
  std::vector<Bytes> out;
  size_t p = 2;
  while (p + 4 <= f.size() && f[p] == 0xFF && f[p + 1] != 0xDA) {
    const size_t len = static_cast<size_t>(f[p + 2] << 8 | f[p + 3]);
    if (f[p + 1] == marker) out.emplace_back(f.begin() + static_cast<long>(p + 4), f.begin() + static_cast<long>(p + 2 + len));
    p += 2 + len;
  }
  if (p + 4 <= f.size() && f[p + 1] == 0xDA && marker == 0xDA) {
    out.emplace_back(f.begin() + static_cast<long>(p + 4), f.begin() + static_cast<long>(p + 2 + (f[p + 2] << 8 | f[p + 3])));
  }
  return out;
}

// Tables of DQT or DHT payloads keyed by their table byte (Pq/Tq, Tc/Th).
std::map<uint8_t, Bytes> tablesOf(const std::vector<Bytes>& payloads, bool huffman) {
  std::map<uint8_t, Bytes> out;
  for (const Bytes& p : payloads) {
    size_t i = 0;
    while (i < p.size()) {
      size_t n = 64;
      if (huffman) {
        n = 16;
        for (size_t k = 1; k <= 16; ++k) n += p[i + k];
      }
      out[p[i]] = Bytes(p.begin() + static_cast<long>(i + 1), p.begin() + static_cast<long>(i + 1 + n));
      i += 1 + n;
    }
  }
  return out;
}

TEST(JpegEncode, TablesAndColourLayoutMatchLibjpegAtEveryQuality) {
  const Image img = photoLike(16, 8, csRgb);
  for (int quality : {1, 2, 10, 49, 50, 51, 90, 100}) {
    const Bytes ours = encodeJpeg(img, quality);
    PeerEncodeOptions options;
    options.quality = quality;
    const Bytes peer = peerEncodeJpeg(img, options);
    // libjpeg-turbo writes one segment per table; this encoder joins them.
    ASSERT_EQ(payloadsOf(ours, 0xDB).size(), 1u);
    EXPECT_EQ(payloadsOf(ours, 0xDB)[0].size(), 130u);
    EXPECT_EQ(tablesOf(payloadsOf(ours, 0xDB), false), tablesOf(payloadsOf(peer, 0xDB), false))
        << quality;
    ASSERT_EQ(payloadsOf(ours, 0xC4).size(), 1u);
    EXPECT_EQ(payloadsOf(ours, 0xC4)[0].size(), 416u);
    EXPECT_EQ(tablesOf(payloadsOf(ours, 0xC4), true), tablesOf(payloadsOf(peer, 0xC4), true));
    EXPECT_EQ(payloadsOf(ours, 0xC4)[0][0], 0x00);  // DC 0, DC 1, AC 0, AC 1
    EXPECT_EQ(payloadsOf(ours, 0xC4)[0][29], 0x01);
    EXPECT_EQ(payloadsOf(ours, 0xC4)[0][58], 0x10);
    EXPECT_EQ(payloadsOf(ours, 0xE0), payloadsOf(peer, 0xE0));
    EXPECT_EQ(payloadsOf(ours, 0xC0), payloadsOf(peer, 0xC0));
    EXPECT_EQ(payloadsOf(ours, 0xDA), payloadsOf(peer, 0xDA));
  }
}

TEST(JpegEncode, SameBytesAsThePlainEncoder) {
  const struct {
    int64_t width, height;
    ColorSpace cs;
    int quality;
  } cases[] = {{1, 1, csGray, 50}, {9, 9, csRgb, 1},    {45, 37, csRgb, 90},
               {33, 17, csGray, 100}, {64, 8, csRgb, 100}, {17, 40, csRgb, 75}};
  for (const auto& c : cases) {
    for (const Image& img : {photoLike(c.width, c.height, c.cs), testPicture(c.width, c.height, c.cs)}) {
      const Bytes plain = referenceEncodeJpeg(img, c.quality);
      for (int level : {0, 1, 2}) {
        if ((level >= 1 && !base::cpuHasAvx2()) || (level == 2 && !base::cpuHasAvx512())) continue;
        EXPECT_EQ(jpeg::encodeJpegWith(img, c.quality, level >= 1, level == 2), plain)
            << c.width << "x" << c.height << " q" << c.quality << " vector level " << level;
      }
    }
  }
}

TEST(JpegEncode, QualityScalingOfTheAnnexKTables) {
  EXPECT_EQ(jpeg::scaleQt(jpeg::QlumNat, 50), jpeg::QlumNat);
  EXPECT_EQ(jpeg::scaleQt(jpeg::QchrNat, 50), jpeg::QchrNat);
  std::array<uint8_t, 64> ones, most;
  ones.fill(1);
  most.fill(255);
  for (const auto* base : {&jpeg::QlumNat, &jpeg::QchrNat}) {
    EXPECT_EQ(jpeg::scaleQt(*base, 100), ones);
    EXPECT_EQ(jpeg::scaleQt(*base, 1), most);
    EXPECT_EQ(jpeg::scaleQt(*base, 200), ones);  // capped at 100
  }
  EXPECT_EQ(jpeg::scaleQt(jpeg::QlumNat, 90)[0], 3);   // (16 * 20 + 50) / 100
  EXPECT_EQ(jpeg::scaleQt(jpeg::QlumNat, 10)[0], 80);  // (16 * 500 + 50) / 100
}

// Entropy-coded bytes: from the end of the SOS segment to EOI.
Bytes entropyOf(const Bytes& f) {
  size_t p = 2;
  while (f[p + 1] != 0xDA) p += 2 + static_cast<size_t>(f[p + 2] << 8 | f[p + 3]);
  p += 2 + static_cast<size_t>(f[p + 2] << 8 | f[p + 3]);
  return Bytes(f.begin() + static_cast<long>(p), f.end() - 2);
}

TEST(JpegEncode, EdgeBlocksRepeatTheLastColumnAndRow) {
  for (ColorSpace cs : {csGray, csRgb}) {
    const Image small = photoLike(9, 9, cs);
    Image padded = newImage(16, 16, cs);
    const auto ch = static_cast<size_t>(small.channels);
    for (size_t y = 0; y < 16; ++y) {
      for (size_t x = 0; x < 16; ++x) {
        for (size_t c = 0; c < ch; ++c) {
          padded.pixels[(y * 16 + x) * ch + c] = small.pixels[(std::min<size_t>(y, 8) * 9 + std::min<size_t>(x, 8)) * ch + c];
        }
      }
    }
    EXPECT_EQ(entropyOf(encodeJpeg(small, 80)), entropyOf(encodeJpeg(padded, 80)));
  }
}

TEST(JpegEncode, RoundTripsWithinTheQuantisationError) {
  // Mean and worst error allowed per quality on the photo-like picture.
  const struct {
    int quality;
    double mean;
    int worst;
  } cases[] = {{100, 0.6, 4}, {90, 1.5, 16}, {50, 3.5, 50}, {1, 40, 255}};
  for (ColorSpace cs : {csGray, csRgb}) {
    const Image img = photoLike(45, 37, cs);
    for (const auto& c : cases) {
      const Bytes file = encodeJpeg(img, c.quality);
      const Image back = decodeJpeg(viewOf(file));
      ASSERT_EQ(back.colorspace, cs);
      double total = 0;
      int worst = 0;
      for (size_t i = 0; i < img.pixels.size(); ++i) {
        const int d = std::abs(img.pixels[i] - back.pixels[i]);
        total += d;
        worst = std::max(worst, d);
      }
      EXPECT_LE(total / static_cast<double>(img.pixels.size()), c.mean) << c.quality;
      EXPECT_LE(worst, c.worst) << c.quality;
      // libjpeg-turbo reads our files as we do.
      const PeerDecode peer = peerDecodeJpeg(viewOf(file));
      ASSERT_TRUE(peer.ok && !peer.warned) << peer.error;
      expectCloseToPeer(back, peer.image, "quality " + std::to_string(c.quality));
    }
  }
}

TEST(JpegEncode, RefusesOtherColorSpacesAndBadDimensions) {
  for (ColorSpace cs : {csRgba, csCmyk, csOther3, csOther1}) {
    EXPECT_EQ(failureOf([&] { return encodeJpeg(newImage(2, 2, cs), 90); }),
              (Failure{"jpeg: encode needs csGray or csRgb", ekUnsupported}));
  }
  Image wide;
  wide.width = 65536;
  wide.height = 1;
  wide.colorspace = csGray;
  wide.channels = 1;
  wide.pixels.resize(65536);
  EXPECT_EQ(failureOf([&] { return encodeJpeg(wide, 90); }).message, "jpeg: bad dimensions");
  Image empty;
  empty.colorspace = csGray;
  empty.channels = 1;
  EXPECT_EQ(failureOf([&] { return encodeJpeg(empty, 90); }).message, "jpeg: bad dimensions");
  wide.width = 65535;
  wide.pixels.resize(65535);
  EXPECT_EQ(decodeJpeg(viewOf(encodeJpeg(wide, 90))).width, 65535);
}

TEST(JpegEncode, ReachedThroughTheDispatcherAndTheSniffer) {
  const Image img = photoLike(20, 10, csRgb);
  const Bytes file = encodeImage(img, efJpeg, 75).toBytes();
  EXPECT_EQ(file, encodeJpeg(img, 75));
  EXPECT_TRUE(decodeImage(viewOf(file)).pixels == decodeJpeg(viewOf(file)).pixels);
}

}  // namespace
}  // namespace kd::formats::test
