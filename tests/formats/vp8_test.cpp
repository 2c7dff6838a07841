// The lossy WebP decoder against libwebp: for every lossy WebP of the test
// data and the corpus, and for files cwebp makes at test time with a spread
// of encoder settings, the Y, U and V planes must equal WebPDecodeYUV's and
// the RGBA picture WebPDecodeRGBA's. Differences are counted in one table.

#include <webp/decode.h>

#include <map>
#include <tuple>

#include "codec_support.h"
#include "formats/formats.h"
#include "formats/probe.h"
#include "formats/vp8.h"

namespace kd::formats::test {
namespace {

// The "VP8 " and ALPH payloads of a file, from the top level or from the
// first frame of an animation.
struct LossyParts {
  ByteView frame;
  ByteView alpha;
  bool animated = false;
};

LossyParts findParts(ByteView file, size_t from, size_t end) {
  LossyParts parts;
  while (from + 8 <= end) {
    const uint32_t size = base::loadLe32(file.data() + from + 4);
    if (size > end - from - 8) break;
    const std::string code(reinterpret_cast<const char*>(file.data() + from), 4);
    const ByteView payload = file.subspan(from + 8, size);
    if (code == "ANMF" && size > 16) {
      parts = findParts(file, from + 8 + 16, from + 8 + size);
      parts.animated = true;
      return parts;
    }
    if (code == "ALPH") parts.alpha = payload;
    if (code == "VP8 ") {
      parts.frame = payload;
      return parts;
    }
    from += 8 + size + (size & 1);
  }
  return parts;
}

// A still file of the frame alone, for libwebp, which refuses animations.
Bytes stillOf(const LossyParts& parts, int width, int height) {
  ByteWriter w;
  auto chunk = [&](const char* code, ByteView payload) {
    w.raw(Bytes(code, code + 4)).u32le(static_cast<uint32_t>(payload.size()));
    w.raw(Bytes(payload.begin(), payload.end()));
    if (payload.size() & 1) w.u8(0);
  };
  if (!parts.alpha.empty()) {
    const uint32_t wm1 = static_cast<uint32_t>(width - 1), hm1 = static_cast<uint32_t>(height - 1);
    const Bytes vp8x = {0x10, 0, 0, 0, static_cast<uint8_t>(wm1), static_cast<uint8_t>(wm1 >> 8),
                        static_cast<uint8_t>(wm1 >> 16), static_cast<uint8_t>(hm1),
                        static_cast<uint8_t>(hm1 >> 8), static_cast<uint8_t>(hm1 >> 16)};
    chunk("VP8X", vp8x);
    chunk("ALPH", parts.alpha);
  }
  chunk("VP8 ", parts.frame);
  ByteWriter file;
  file.raw(Bytes{'R', 'I', 'F', 'F'}).u32le(static_cast<uint32_t>(w.b.size() + 4));
  file.raw(Bytes{'W', 'E', 'B', 'P'}).raw(w.b);
  return file.b;
}

struct Tally {
  std::map<std::string, int> rows;  // what differed -> files
  int compared = 0;
};

// Decodes one file both ways and records what differs: refusals always,
// pixels when `pixels` is set.
void compareFile(const std::string& name, const Bytes& original, Tally& tally, bool pixels = true) {
  const LossyParts parts = findParts(original, 12, original.size());
  if (parts.frame.empty()) return;
  int w = 0, h = 0;
  Bytes file = original;
  if (parts.animated) {
    if (!WebPGetInfo(parts.frame.data(), parts.frame.size(), &w, &h)) return;
    file = stillOf(parts, w, h);
  }
  uint8_t *u = nullptr, *v = nullptr;
  int stride = 0, uvStride = 0;
  uint8_t* y = WebPDecodeYUV(file.data(), file.size(), &w, &h, &u, &v, &stride, &uvStride);
  const Failure ours = failureOf([&] { return decodeImage(original, DecodeOptions{.wide = true}); });
  ++tally.compared;
  if (y == nullptr) {
    if (ours.kind == ekNone) ++tally.rows["libwebp refuses, we decode: " + name];
    return;
  }
  if (ours.kind != ekNone) {
    ++tally.rows["we refuse (" + ours.message + "), libwebp decodes: " + name];
    WebPFree(y);
    return;
  }
  if (!pixels) {
    WebPFree(y);
    return;
  }
  const vp8::Planes planes = vp8::decodeToPlanes(parts.frame);
  bool same = planes.width == w && planes.height == h;
  const int cw = (w + 1) / 2;
  for (int r = 0; same && r < h; ++r) {
    same = std::equal(y + r * stride, y + r * stride + w, &planes.y[static_cast<size_t>(r * w)]);
  }
  for (int r = 0; same && r < (h + 1) / 2; ++r) {
    same = std::equal(u + r * uvStride, u + r * uvStride + cw, &planes.u[static_cast<size_t>(r * cw)]) &&
           std::equal(v + r * uvStride, v + r * uvStride + cw, &planes.v[static_cast<size_t>(r * cw)]);
  }
  WebPFree(y);
  if (!same) ++tally.rows["YUV planes differ: " + name];

  uint8_t* rgba = WebPDecodeRGBA(file.data(), file.size(), &w, &h);
  ASSERT_NE(rgba, nullptr) << name;
  // Through the wide decode of the original file; RGB when it has no alpha.
  const Image img = decodeImage(original, DecodeOptions{.wide = true});
  Bytes expected(rgba, rgba + static_cast<size_t>(w) * static_cast<size_t>(h) * 4);
  if (img.channels == 3) expected = rgbOf(Image{w, h, 4, csRgba, expected});
  if (img.width != w || img.height != h || img.pixels != expected) {
    ++tally.rows["RGBA differs: " + name];
  }
  WebPFree(rgba);
}

void expectNoDivergence(const Tally& tally, int atLeast) {
  EXPECT_GE(tally.compared, atLeast);
  for (const auto& [row, count] : tally.rows) ADD_FAILURE() << count << " x " << row;
}

TEST(Vp8Decode, EveryLossyTestFileMatchesLibwebp) {
  Tally tally;
  for (const std::string& name : listTestdataBoth("codec/webp", "metadata/webp")) {
    compareFile(name, kd::test::readTestdata(name), tally);
  }
  expectNoDivergence(tally, kd::test::corpusDir() ? 10 : 1);
}

// Encoder settings that reach every part of the decoder: quantisers from
// coarse to fine, segment maps, normal and simple filters at every
// sharpness, partition limits, and alpha raw, compressed and filtered.
constexpr const char* kEncoderSettings[] = {
    "-q 5",  "-q 30", "-q 75", "-q 100", "-q 90 -sns 0", "-q 50 -sns 100", "-q 60 -f 0",
    "-q 60 -f 100 -strong", "-q 60 -f 70 -nostrong", "-q 40 -sharpness 3", "-q 40 -sharpness 7",
    "-q 70 -segments 1", "-q 70 -segments 2 -sns 80", "-q 100 -partition_limit 100",
    "-q 70 -alpha_method 0", "-q 70 -alpha_filter none", "-q 70 -alpha_filter fast",
    "-q 70 -alpha_filter best", "-q 70 -alpha_q 40", "-q 20 -f 40 -sharpness 5 -nostrong"};

TEST(Vp8Decode, CwebpOutputMatchesLibwebp) {
  ASSERT_TRUE(kd::test::toolInstalled("cwebp", "webp"));
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  Tally tally;
  const std::pair<int, int> sizes[] = {{1, 1}, {17, 9}, {131, 77}, {64, 48}, {250, 191}};
  int seed = 0;
  for (const auto& [w, h] : sizes) {
    const std::string source = dir.file("source.png");
    const Bytes png = encodePng(testPicture(w, h, csRgba, static_cast<uint32_t>(++seed)));
    ASSERT_TRUE(writeFile(source, png));
    for (const char* settings : kEncoderSettings) {
      const std::string out = dir.file("out.webp");
      ASSERT_TRUE(runCommand("cwebp -quiet " + std::string(settings) + " " + quoted(source) +
                             " -o " + quoted(out)));
      compareFile(std::to_string(w) + "x" + std::to_string(h) + " " + settings,
                  kd::test::readFileBytes(out), tally);
    }
  }
  // An animation (first frame decoded) and every prefix of a frame: each
  // one refused by both decoders or decoded alike.
  const std::string anim = dir.file("anim.webp");
  ASSERT_TRUE(runCommand("img2webp -lossy -q 50 " + quoted(dir.file("source.png")) + " " +
                         quoted(dir.file("source.png")) + " -o " + quoted(anim) + " > /dev/null"));
  const Bytes animation = kd::test::readFileBytes(anim);
  compareFile("animation", animation, tally);
  const ImageInfo probed = probeImage(animation, ffAuto);
  const Image first = decodeImage(animation, DecodeOptions{.wide = true});
  EXPECT_EQ(std::make_tuple(probed.width, probed.height, probed.colorspace),
            std::make_tuple(first.width, first.height, first.colorspace));
  const Bytes whole = kd::test::readFileBytes(dir.file("out.webp"));
  LossyParts parts = findParts(whole, 12, whole.size());
  const ByteView frame = parts.frame;
  for (size_t n = 0; n < frame.size(); n += 1 + n / 16) {
    parts.frame = frame.first(n);
    compareFile("prefix " + std::to_string(n), stillOf(parts, 250, 191), tally);
  }
  // Single-byte changes through the frame tag, the header and the
  // partition sizes: refused alike. Their pixels are not compared: such
  // streams carry coefficients far beyond what an encoder writes, where
  // libwebp's vector transforms work in 16-bit lanes (one such frame
  // differed in four chroma pixels).
  Bytes mutated(frame.begin(), frame.end());
  for (size_t at = 0; at < std::min<size_t>(mutated.size(), 96); ++at) {
    mutated[at] ^= 0x5A;
    parts.frame = mutated;
    compareFile("byte " + std::to_string(at) + " changed", stillOf(parts, 250, 191), tally, false);
    mutated[at] ^= 0x5A;
  }
  expectNoDivergence(tally, static_cast<int>(std::size(sizes) * std::size(kEncoderSettings)));
}

}  // namespace
}  // namespace kd::formats::test
