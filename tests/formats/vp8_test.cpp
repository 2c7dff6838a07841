// The lossy WebP decoder against libwebp: for every lossy WebP of the test
// data and the corpus, and for files cwebp makes at test time with a spread
// of encoder settings, the Y, U and V planes must equal WebPDecodeYUV's and
// the RGBA picture WebPDecodeRGBA's. Differences are counted in one table.

#include <webp/decode.h>

#include <map>

#include "codec_support.h"
#include "formats/vp8.h"
#include "formats/webp_alpha.h"

namespace kd::formats::test {
namespace {

// The "VP8 " and ALPH payloads of a file, from the top level or from the
// first frame of an animation.
struct LossyParts {
  ByteView frame;
  ByteView alpha;
};

LossyParts findParts(ByteView file, size_t from, size_t end) {
  LossyParts parts;
  while (from + 8 <= end) {
    const uint32_t size = base::loadLe32(file.data() + from + 4);
    if (size > end - from - 8) break;
    const std::string code(reinterpret_cast<const char*>(file.data() + from), 4);
    const ByteView payload = file.subspan(from + 8, size);
    if (code == "ANMF" && size > 16) return findParts(file, from + 8 + 16, from + 8 + size);
    if (code == "ALPH") parts.alpha = payload;
    if (code == "VP8 ") {
      parts.frame = payload;
      return parts;
    }
    from += 8 + size + (size & 1);
  }
  return parts;
}

struct Tally {
  std::map<std::string, int> rows;  // what differed -> files
  int compared = 0;
};

// Decodes one file both ways and records what differs.
void compareFile(const std::string& name, const Bytes& file, Tally& tally) {
  const LossyParts parts = findParts(file, 12, file.size());
  if (parts.frame.empty()) return;
  int w = 0, h = 0;
  uint8_t *u = nullptr, *v = nullptr;
  int stride = 0, uvStride = 0;
  uint8_t* y = WebPDecodeYUV(file.data(), file.size(), &w, &h, &u, &v, &stride, &uvStride);
  const Failure ours = failureOf([&] { return vp8::decodeToPlanes(parts.frame); });
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
  const Bytes alpha = parts.alpha.empty() ? Bytes()
                                          : webp::decodeAlphaPlane(parts.alpha, w, h);
  const Image img = vp8::decodeToRgba(parts.frame, parts.alpha.empty() ? nullptr : &alpha);
  const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h) * 4;
  if (img.pixels.size() != n || !std::equal(rgba, rgba + n, img.pixels.begin())) {
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
  expectNoDivergence(tally, static_cast<int>(std::size(sizes) * std::size(kEncoderSettings)));
}

}  // namespace
}  // namespace kd::formats::test
