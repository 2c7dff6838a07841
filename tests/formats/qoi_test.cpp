#define QOI_IMPLEMENTATION
#define QOI_NO_STDIO
#include <qoi.h>

#include <cstdlib>
#include <memory>

#include "codec_support.h"

namespace kd::formats::test {
namespace {

Bytes qoiFile(uint32_t width, uint32_t height, uint8_t channels, const Bytes& chunks,
              bool endMarker = true) {
  ByteWriter w;
  w.text("qoif").u32be(width).u32be(height).u8(channels).u8(0).raw(chunks);
  if (endMarker) w.raw({0, 0, 0, 0, 0, 0, 0, 1});
  return w.b;
}

Failure qoiFailure(const Bytes& file) { return failureOf([&] { return decodeQoi(viewOf(file)); }); }

// The reference encoder's output for the same pixels.
Bytes referenceEncode(const Image& img) {
  qoi_desc desc{static_cast<unsigned>(img.width), static_cast<unsigned>(img.height),
                static_cast<unsigned char>(img.channels), 0};
  int len = 0;
  void* out = qoi_encode(img.pixels.data(), &desc, &len);
  if (out == nullptr) return {};
  Bytes bytes(static_cast<uint8_t*>(out), static_cast<uint8_t*>(out) + len);
  std::free(out);
  return bytes;
}

TEST(QoiDecode, ChunkKindsFromHandBuiltStream) {
  // RGB (10,20,30); DIFF +1,-2,0; LUMA dg=+5, dr-dg=-1, db-dg=+2;
  // INDEX of the first pixel; RGBA (1,2,3,4) -> 3-channel output drops it.
  const uint8_t rgbHash = (10 * 3 + 20 * 5 + 30 * 7 + 255 * 11) % 64;
  const Bytes chunks = {0xFE, 10, 20, 30,
                        static_cast<uint8_t>(0x40 | 3 << 4 | 0 << 2 | 2),
                        static_cast<uint8_t>(0x80 | (5 + 32)), static_cast<uint8_t>(7 << 4 | 10),
                        rgbHash};
  const Image img = decodeQoi(viewOf(qoiFile(4, 1, 3, chunks)));
  EXPECT_EQ(img.colorspace, csRgb);
  // LUMA from (11,18,30): g += 5, r += 5 - 1, b += 5 + 2.
  EXPECT_EQ(img.pixels, (Bytes{10, 20, 30, 11, 18, 30, 15, 23, 37, 10, 20, 30}));
}

TEST(QoiDecode, FirstPixelRunUsesTheInitialPixel) {
  const Image img = decodeQoi(viewOf(qoiFile(3, 1, 4, {0xC0 | 2})));
  EXPECT_EQ(img.colorspace, csRgba);
  EXPECT_EQ(img.pixels, (Bytes{0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255}));
}

TEST(QoiDecode, AlphaOfThreeChannelFilesStillFeedsTheIndex) {
  // RGBA (1,2,3,4) in a 3-channel file, then RGB (9,9,9), then INDEX of
  // hash(1,2,3,4): the table slot holds the pixel with alpha 4.
  const uint8_t slot = (1 * 3 + 2 * 5 + 3 * 7 + 4 * 11) % 64;
  const Bytes chunks = {0xFF, 1, 2, 3, 4, 0xFE, 9, 9, 9, slot,
                        // RGB keeps alpha 4: hash(5,5,5,4) differs from hash(5,5,5,255).
                        0xFE, 5, 5, 5, static_cast<uint8_t>((5 * 15 + 4 * 11) % 64)};
  const Image img = decodeQoi(viewOf(qoiFile(5, 1, 3, chunks)));
  EXPECT_EQ(img.pixels, (Bytes{1, 2, 3, 9, 9, 9, 1, 2, 3, 5, 5, 5, 5, 5, 5}));
}

TEST(QoiDecode, RunsAndIndexAcrossRowsAndMissingEndMarker) {
  // 62 + 38 copies of the first RGB pixel fill a 10 x 10 picture.
  const Bytes chunks = {0xFE, 7, 8, 9, 0xC0 | 61, 0xC0 | 36};
  for (bool marker : {true, false}) {
    const Image img = decodeQoi(viewOf(qoiFile(10, 10, 3, chunks, marker)));
    for (size_t i = 0; i < 100; ++i) {
      ASSERT_EQ(img.pixels[3 * i], 7);
      ASSERT_EQ(img.pixels[3 * i + 2], 9);
    }
  }
  // Bytes after the last pixel are ignored, whatever they are.
  Bytes junk = qoiFile(1, 1, 3, {0xFE, 1, 2, 3}, false);
  junk.insert(junk.end(), {0xFF, 0xFF, 0x12});
  EXPECT_EQ(decodeQoi(viewOf(junk)).pixels, (Bytes{1, 2, 3}));
}

TEST(QoiRejects, EachFailureWithItsMessage) {
  EXPECT_EQ(qoiFailure(Bytes(13, 'q')), (Failure{"qoi: header truncated", ekTruncated}));
  Bytes bad = qoiFile(1, 1, 3, {0xFE, 1, 2, 3});
  bad[3] = 'g';
  EXPECT_EQ(qoiFailure(bad), (Failure{"qoi: not a qoif container", ekUnsupported}));
  for (auto [w, h] : {std::pair<uint32_t, uint32_t>{0, 1}, {1, 0}, {(1u << 30) + 1, 1},
                      {1, (1u << 30) + 1}, {0xFFFFFFFF, 1}}) {
    EXPECT_EQ(qoiFailure(qoiFile(w, h, 3, {})), (Failure{"qoi: bad dimensions", ekInvalid}));
  }
  for (uint8_t ch : {0, 1, 2, 5, 255}) {
    EXPECT_EQ(qoiFailure(qoiFile(1, 1, ch, {})),
              (Failure{"qoi: channels must be 3 or 4", ekUnsupported}));
  }
  EXPECT_EQ(qoiFailure(qoiFile((1 << 15) + 1, 1 << 15, 4, {})),
            (Failure{"qoi: too many pixels", ekInvalid}));
  EXPECT_NE(qoiFailure(qoiFile(1 << 15, 1 << 15, 4, {})).message, "qoi: too many pixels");

  const std::pair<Bytes, Failure> streams[] = {
      {{}, {"qoi: pixel stream truncated", ekTruncated}},
      {{0xFE, 1, 2}, {"qoi: RGB chunk truncated", ekTruncated}},
      {{0xFF, 1, 2, 3}, {"qoi: RGBA chunk truncated", ekTruncated}},
      {{0x80}, {"qoi: LUMA chunk truncated", ekTruncated}},
      {{0xC0 | 4}, {"qoi: run exceeds image bounds", ekInvalid}},
      {{0x00, 0xC0 | 3}, {"qoi: run exceeds image bounds", ekInvalid}},
  };
  for (const auto& [chunks, expect] : streams) {
    // A 4-pixel picture (short input) and a picture of 2^30 pixels: the
    // errors are the same, and the large one is not allocated first.
    EXPECT_EQ(qoiFailure(qoiFile(2, 2, 4, chunks, false)), expect);
    if (expect.kind == ekTruncated) {
      EXPECT_EQ(qoiFailure(qoiFile(1 << 15, 1 << 15, 4, chunks, false)), expect);
    }
  }
  // Cut after a whole chunk: the next chunk's first byte is missing.
  EXPECT_EQ(qoiFailure(qoiFile(2, 1, 3, {0xFE, 1, 2, 3}, false)),
            (Failure{"qoi: pixel stream truncated", ekTruncated}));
}

TEST(QoiRejects, EveryPrefixOfARealStreamFailsTruncated) {
  const Image img = testPicture(13, 7, csRgba, 3);
  const Bytes file = encodeQoi(img);
  const size_t dataEnd = file.size() - 8;
  for (size_t n = 0; n < dataEnd; ++n) {
    const Failure f = qoiFailure(Bytes(file.begin(), file.begin() + static_cast<ptrdiff_t>(n)));
    EXPECT_EQ(f.kind, ekTruncated) << n << " " << f;
  }
  EXPECT_EQ(decodeQoi(viewOf(Bytes(file.begin(), file.begin() + dataEnd))).pixels, img.pixels);
}

TEST(QoiEncode, FixedSmallOutputs) {
  Image one = newImage(1, 1, csRgba);
  one.pixels = {10, 20, 30, 40};
  const Bytes out = encodeQoi(one);
  EXPECT_EQ(out, qoiFile(1, 1, 4, {0xFF, 10, 20, 30, 40}));
  EXPECT_EQ(out.size(), 27u);

  // 100 pixels equal to the initial pixel: a run of 62 then one of 38.
  const Image black = [] {
    Image img = newImage(100, 1, csRgba);
    for (size_t i = 3; i < img.pixels.size(); i += 4) img.pixels[i] = 255;
    return img;
  }();
  EXPECT_EQ(encodeQoi(black), qoiFile(100, 1, 4, {0xC0 | 61, 0xC0 | 37}));

  for (ColorSpace cs : {csGray, csCmyk, csOther3, csOther1}) {
    EXPECT_EQ(failureOf([&] { return encodeQoi(newImage(1, 1, cs)); }),
              (Failure{"qoi: encode needs csRgb or csRgba", ekUnsupported}));
  }
}

TEST(QoiEncode, ByteIdenticalToTheReferenceEncoder) {
  for (ColorSpace cs : {csRgb, csRgba}) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{1, 1}, {17, 9}, {64, 64}, {300, 7}, {2, 200}}) {
      for (uint32_t seed : {1u, 2u, 99u}) {
        const Image img = testPicture(w, h, cs, seed);
        const Bytes ours = encodeQoi(img);
        EXPECT_EQ(ours, referenceEncode(img)) << w << "x" << h << " cs " << static_cast<int>(cs);
        EXPECT_EQ(decodeQoi(viewOf(ours)).pixels, img.pixels);
      }
    }
  }
  // Long runs, runs ending at row ends and at the last pixel, wrapping
  // differences.
  Image runs = newImage(150, 3, csRgb);
  for (size_t i = 0; i < runs.pixels.size(); ++i) runs.pixels[i] = (i / 3 / 70) % 2 ? 255 : 1;
  EXPECT_EQ(encodeQoi(runs), referenceEncode(runs));
}

TEST(QoiPeer, SharedFilesMatchTheReferenceDecoder) {
  for (const std::string& rel : kd::test::listTestdata("codec/qoi")) {
    SCOPED_TRACE(rel);
    const Bytes file = kd::test::readTestdata(rel);
    // The reference decoder insists on the end marker, which this decoder
    // does not need: it gets a copy with the marker added.
    Bytes withMarker = file;
    withMarker.insert(withMarker.end(), {0, 0, 0, 0, 0, 0, 0, 1});
    qoi_desc desc{};
    std::unique_ptr<void, decltype(&std::free)> peer(
        qoi_decode(withMarker.data(), static_cast<int>(withMarker.size()), &desc, 0), &std::free);
    const Failure f = qoiFailure(file);
    if (peer == nullptr) {
      EXPECT_NE(f.message, "decoded");
      continue;
    }
    ASSERT_EQ(f.message, "decoded");
    const Image img = decodeQoi(viewOf(file));
    ASSERT_EQ(img.width, desc.width);
    ASSERT_EQ(img.height, desc.height);
    ASSERT_EQ(img.channels, desc.channels);
    const auto* px = static_cast<const uint8_t*>(peer.get());
    EXPECT_EQ(img.pixels, Bytes(px, px + img.pixels.size()));
    // Re-encoding gives the reference encoder's bytes.
    EXPECT_EQ(encodeQoi(img), referenceEncode(img));
  }
}

}  // namespace
}  // namespace kd::formats::test
