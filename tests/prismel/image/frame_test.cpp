// The extraction frame: work images, the work-space conversion and the
// quantizer registry.
#include <gtest/gtest.h>

#include "helpers.h"
#include "prismel/image/quantizer.h"

namespace kd::prismel {
namespace {

using test::rowImage;

const char* const kBuiltins[] = {"wu", "kmeans", "kmeansPP", "medianCut", "octree", "neuquant"};

void expectError(const ColorError& e, ColorErrorKind kind, const std::string& msg,
                 const std::string& where) {
  EXPECT_EQ(e.kind, kind);
  EXPECT_EQ(e.msg, msg);
  EXPECT_EQ(e.where, where);
}

TEST(ColorImageBuild, ChecksInOrder) {
  const std::vector<Color> four(4, Color{{0.5f, 0.5f, 0.5f}, 1.0f, 1});
  expectError(image(0, 5, four, 1, 8, false).error(), ceInvalidImage,
              "image dimensions must be > 0, got 0x5", "image");
  expectError(image(3, -1, four, 0, 0, false).error(), ceInvalidImage,
              "image dimensions must be > 0, got 3x-1", "image");
  expectError(image(3, 1, four, 0, 0, false).error(), ceInvalidImage,
              "pixel count (4) must equal width*height (3)", "image");
  expectError(image(2, 2, four, 0, 0, false).error(), ceUnknownSpace,
              "image origin space is unknown", "image");
  expectError(image(2, 2, four, 1, 0, false).error(), ceInvalidImage,
              "bit depth must be > 0, got 0", "image");
}

TEST(ColorImageBuild, OverflowingDimensionsAreAMismatchNotAWrap) {
  Result<ColorImage> r = image(int64_t{1} << 40, int64_t{1} << 40, {}, 1, 8, false);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ceInvalidImage);
}

TEST(ColorImageBuild, SetsBothSpaces) {
  Result<ColorImage> r = image(1, 1, {Color{{0.1f, 0.2f, 0.3f}, 0.5f, 1}}, 1, 8, true);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().originSpace, 1);
  EXPECT_EQ(r.value().workSpace, 1);
  EXPECT_EQ(r.value().bitDepth, 8);
  EXPECT_TRUE(r.value().flag);
}

TEST(ToWorkSpace, ZeroTargetIsUnknown) {
  expectError(toWorkSpace(rowImage(1, {{0.5f, 0.5f, 0.5f}}), 0).error(), ceUnknownSpace,
              "target work space is unknown", "toWorkSpace");
}

TEST(ToWorkSpace, SameSpaceCopiesUnchanged) {
  ColorImage img = rowImage(1, {{0.1f, 0.2f, 0.3f}, {0.9f, 0.8f, 0.7f}}, 0.25f);
  img.flag = true;
  Result<ColorImage> r = toWorkSpace(img, 1);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().pixels, img.pixels);
  EXPECT_TRUE(r.value().flag);
}

TEST(ToWorkSpace, SrgbToOklabKeepsAlphaAndOrigin) {
  ColorImage img = rowImage(1, {{1.0f, 1.0f, 1.0f}, {0.0f, 0.0f, 0.0f}}, 0.25f);
  img.bitDepth = 8;
  Result<ColorImage> r = toWorkSpace(img, 15);
  ASSERT_TRUE(r.ok());
  const ColorImage& lab = r.value();
  EXPECT_EQ(lab.workSpace, 15);
  EXPECT_EQ(lab.originSpace, 1);
  // Published OKLab reference: white is (1, 0, 0), black (0, 0, 0).
  EXPECT_NEAR(lab.pixels[0].c[0], 1.0f, 1e-6f);
  EXPECT_NEAR(lab.pixels[0].c[1], 0.0f, 1e-6f);
  EXPECT_NEAR(lab.pixels[0].c[2], 0.0f, 1e-6f);
  EXPECT_EQ(lab.pixels[1].c, (std::array<float, 3>{0.0f, 0.0f, 0.0f}));
  EXPECT_EQ(lab.pixels[0].alpha, 0.25f);
  EXPECT_EQ(lab.pixels[0].space, 15);
}

TEST(ToWorkSpace, FirstFailingPixelEndsTheConversion) {
  Result<ColorImage> cmyk = toWorkSpace(rowImage(1, {{0.5f, 0.5f, 0.5f}}), 20);
  ASSERT_FALSE(cmyk.ok());
  EXPECT_EQ(cmyk.error().kind, ceInvalidArgument);
  Result<ColorImage> unknown = toWorkSpace(rowImage(1, {{0.5f, 0.5f, 0.5f}}), 999);
  ASSERT_FALSE(unknown.ok());
  EXPECT_EQ(unknown.error().kind, ceUnknownSpace);
}

TEST(QuantizerRegistry, BuiltinsPresentNamesCaseSensitive) {
  initQuantizers();
  for (const char* name : kBuiltins) {
    std::optional<QuantizeAlgo> a = lookupQuantizeAlgo(name);
    ASSERT_TRUE(a.has_value()) << name;
    EXPECT_EQ(a->name, name);
  }
  EXPECT_FALSE(lookupQuantizeAlgo("Wu").has_value());
  EXPECT_FALSE(lookupQuantizeAlgo("").has_value());
}

Result<Palette> firstPixel(const ColorImage& img, int64_t, const QuantizeOpts& opts,
                           const void* env) {
  Color c = img.pixels.front();
  c.c[0] = *static_cast<const float*>(env);
  return palette(1, {c}, 0, opts.seed);
}

TEST(QuantizerRegistry, RefusesBadEntriesAndPassesTheEnvironment) {
  static const float kMarker = 0.125f;
  EXPECT_FALSE(registerQuantizeAlgo({"wu", firstPixel, nullptr}));
  EXPECT_FALSE(registerQuantizeAlgo({"", firstPixel, nullptr}));
  EXPECT_FALSE(registerQuantizeAlgo({"nothing", nullptr, nullptr}));
  ASSERT_TRUE(registerQuantizeAlgo({"testMarker", firstPixel, &kMarker}));
  EXPECT_FALSE(registerQuantizeAlgo({"testMarker", firstPixel, nullptr}));
  Result<Palette> p = extractPalette(rowImage(15, {{0.5f, 0.0f, 0.0f}}), 1, "testMarker", 15, {});
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value().colors()[0].c[0], kMarker);
}

TEST(ExtractPalette, CountCheckedBeforeTheName) {
  const ColorImage img = rowImage(15, {{0.5f, 0.0f, 0.0f}});
  expectError(extractPalette(img, 0, "nope", 15, {}).error(), ceInvalidArgument,
              "extractPalette: n must be >= 1, got 0", "extractPalette");
  expectError(extractPalette(img, -3, "wu", 15, {}).error(), ceInvalidArgument,
              "extractPalette: n must be >= 1, got -3", "extractPalette");
  expectError(extractPalette(img, 1, "Wu", 15, {}).error(), ceUnknownAlgorithm,
              "unknown quantization algorithm: Wu", "extractPalette");
}

TEST(ExtractPalette, WorkSpaceOfTheImageSkipsConversion) {
  const ColorImage img = rowImage(1, {{0.25f, 0.5f, 0.75f}});
  Result<Palette> p = extractPalette(img, 1, "wu", 1, {});
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value().colors()[0], (Color{{0.25f, 0.5f, 0.75f}, 1.0f, 1}));
}

TEST(ExtractPalette, ConversionErrorsBecomeThePaletteError) {
  const ColorImage img = rowImage(1, {{0.25f, 0.5f, 0.75f}});
  EXPECT_EQ(extractPalette(img, 1, "wu", 20, {}).error().kind, ceInvalidArgument);
  EXPECT_EQ(extractPalette(img, 1, "wu", 999, {}).error().kind, ceUnknownSpace);
}

TEST(ExtractPalette, EveryBuiltinMakesATaggedPaletteWithTheSeed) {
  const ColorImage img = test::noiseImage(1, 64);
  QuantizeOpts opts;
  opts.seed = 0xDEADBEEFull;
  for (const char* name : kBuiltins) {
    Result<Palette> p = extractPalette(img, 4, name, 15, opts);
    ASSERT_TRUE(p.ok()) << name << ": " << p.error().msg;
    EXPECT_EQ(p.value().tag(), 1) << name;
    EXPECT_EQ(p.value().intent(), 0) << name;
    EXPECT_EQ(p.value().seed(), 0xDEADBEEFull) << name;
    EXPECT_TRUE(p.value().roles().empty()) << name;
    EXPECT_GE(p.value().len(), 1) << name;
    EXPECT_LE(p.value().len(), 4) << name;
    for (const Color& c : p.value().colors()) EXPECT_EQ(c.space, 15) << name;
  }
}

TEST(ExtractPalette, RepeatableBitForBit) {
  const ColorImage img = test::noiseImage(15, 500);
  for (bool weighted : {false, true}) {
    QuantizeOpts opts;
    opts.seed = 99;
    opts.weighted = weighted;
    for (const char* name : kBuiltins) {
      Result<Palette> a = extractPalette(img, 8, name, 15, opts);
      Result<Palette> b = extractPalette(img, 8, name, 15, opts);
      ASSERT_TRUE(a.ok() && b.ok()) << name;
      EXPECT_EQ(a.value().colors(), b.value().colors()) << name;
    }
  }
}

TEST(ExtractPalette, ThreadsNeverChangeTheResult) {
  const ColorImage img = test::noiseImage(15, 300);
  QuantizeOpts one;
  one.seed = 5;
  QuantizeOpts many = one;
  many.parallel = true;
  many.threads = 8;
  for (const char* name : {"kmeans", "kmeansPP"}) {
    EXPECT_EQ(extractPalette(img, 6, name, 15, one).value().colors(),
              extractPalette(img, 6, name, 15, many).value().colors());
  }
}

}  // namespace
}  // namespace kd::prismel
