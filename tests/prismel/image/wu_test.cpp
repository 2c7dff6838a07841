#include <gtest/gtest.h>

#include "helpers.h"
#include "prismel/conversion/batch.h"
#include "prismel/image/quantizer.h"
#include "prismel/image/wu.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {
namespace {

using test::repeat;
using test::rowImage;
using test::Triple;

std::vector<Triple> comps(const Palette& p) {
  std::vector<Triple> out;
  for (const Color& c : p.colors()) out.push_back(c.c);
  return out;
}

TEST(Wu, EmptyImage) {
  ColorImage img;
  img.workSpace = 15;
  Result<Palette> r = computeWu(img, 4, {});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, ceInvalidImage);
  EXPECT_EQ(r.error().msg, "wu: empty image");
  EXPECT_EQ(r.error().where, "computeWu");
}

TEST(Wu, SingleColourGivesExactlyThatColour) {
  const Triple c{0.61f, -0.043f, 0.127f};
  Result<Palette> r = computeWu(rowImage(15, repeat(c, 50)), 8, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(comps(r.value()), std::vector<Triple>{c});
  EXPECT_EQ(r.value().colors()[0].alpha, 1.0f);
}

TEST(Wu, TwoColoursInOrderOfTheLowerBin) {
  // Separated on the first axis: the lower first component comes first.
  const Triple lowL{0.25f, 0.5f, 0.125f}, highL{0.75f, 0.125f, 0.375f};
  Result<Palette> r = computeWu(rowImage(1, {highL, lowL, highL, lowL}), 8, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(comps(r.value()), (std::vector<Triple>{lowL, highL}));
  // Same first component: the second axis separates them.
  const Triple lowA{0.5f, 0.125f, 0.75f}, highA{0.5f, 0.875f, 0.25f};
  r = computeWu(rowImage(1, {highA, lowA}), 8, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(comps(r.value()), (std::vector<Triple>{lowA, highA}));
}

TEST(Wu, OneColourIsTheMeanOfAllPixels) {
  const ColorImage img = test::noiseImage(15, 1000);
  double sum[3] = {0, 0, 0};
  for (const Color& p : img.pixels)
    for (int c = 0; c < 3; ++c) sum[c] += p.c[c];
  Result<Palette> r = computeWu(img, 1, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 1);
  for (int c = 0; c < 3; ++c) EXPECT_NEAR(r.value().colors()[0].c[c], sum[c] / 1000, 1e-6);
}

TEST(Wu, TransparentPixelsCountLikeOpaqueOnes) {
  const std::vector<Triple> px = {{0.25f, 0, 0}, {0.25f, 0, 0}, {0.75f, 0, 0}};
  Result<Palette> opaque = computeWu(rowImage(15, px, 1.0f), 1, {});
  Result<Palette> clear = computeWu(rowImage(15, px, 0.0f), 1, {});
  ASSERT_TRUE(opaque.ok() && clear.ok());
  EXPECT_EQ(comps(opaque.value()), comps(clear.value()));
  EXPECT_NEAR(opaque.value().colors()[0].c[0], 1.25f / 3, 1e-7f);
}

TEST(Wu, ChannelMaximumLandsInTheLastBin) {
  const std::vector<Triple> px = {{0.0f, 0, 0}, {0.5f, 0, 0}, {1.0f, 0, 0}};
  Result<Palette> r = computeWu(rowImage(1, px), 3, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(comps(r.value()), px);
}

TEST(Wu, NeverMoreColoursThanOccupiedBins) {
  // 16 distinct values along one axis fill 16 bins; asking for 100 gives 16.
  std::vector<Triple> px;
  for (int i = 0; i < 16; ++i) px.push_back({static_cast<float>(i) / 15.0f, 0.1f, 0.2f});
  Result<Palette> r = computeWu(rowImage(1, px), 100, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().len(), 16);
  // Two values that share a bin become their mean.
  r = computeWu(rowImage(1, {{0.0f, 0, 0}, {0.01f, 0, 0}, {1.0f, 0, 0}}), 8, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 2);
  EXPECT_NEAR(r.value().colors()[0].c[0], 0.005f, 1e-8f);
}

TEST(Wu, AtMost4096ColoursWhateverN) {
  std::vector<Triple> px;
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < 16; ++j)
      for (int k = 0; k < 16; ++k)
        px.push_back({(i + 0.5f) / 16.0f, (j + 0.5f) / 16.0f, (k + 0.5f) / 16.0f});
  Result<Palette> r = computeWu(rowImage(1, px), 10000, {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().len(), 4096);
}


// The histogram built from the distinct colours of 8-bit samples is the
// histogram of the lifted pixels, bit for bit, and so is the palette: smooth
// gradients, noise, repeats, few colours, every layout and colour count.
TEST(WuSrgb8, SamePaletteAsTheLiftedPicture) {
  struct Case {
    const char* name;
    int channels;
    uint8_t (*sample)(size_t pixel, int channel);
  };
  const Case kCases[] = {
      {"gradient", 3,
       [](size_t i, int c) { return static_cast<uint8_t>((i % 300) * (c + 1) / 3 + (i / 300) % 7); }},
      {"noise", 4,
       [](size_t i, int c) {
         uint64_t z = (i * 4 + static_cast<size_t>(c) + 1) * 0x9E3779B97F4A7C15ull;
         return static_cast<uint8_t>((z ^ (z >> 29)) >> 56);
       }},
      {"grey", 1, [](size_t i, int) { return static_cast<uint8_t>(i * i % 251); }},
      {"two colours", 3, [](size_t i, int c) { return static_cast<uint8_t>(i % 5 == 0 ? 40 * c : 200); }},
  };
  for (const Case& k : kCases) {
    std::vector<uint8_t> px;
    for (size_t i = 0; i < 70000; ++i) {
      for (int c = 0; c < k.channels; ++c) px.push_back(k.sample(i, c));
    }
    ColorImage lifted;
    lifted.width = 70000;
    lifted.height = 1;
    lifted.originSpace = kSrgb;
    lifted.workSpace = kOklab;
    lifted.pixels = srgb8ToOklab(px, k.channels).value();
    const WuMoments a = wuMoments(lifted.pixels), b = wuMomentsSrgb8(px, k.channels);
    EXPECT_TRUE(a.w == b.w && a.m0 == b.m0 && a.m1 == b.m1 && a.m2 == b.m2 && a.q == b.q) << k.name;
    for (int64_t n : {1, 2, 12, 16, 300}) {
      const Palette want = computeWu(lifted, n, {}).value();
      const Palette got = computeWuSrgb8(px, k.channels, n, {}).value();
      EXPECT_EQ(got.colors(), want.colors()) << k.name << " n=" << n;
    }
  }
  EXPECT_EQ(computeWuSrgb8({}, 3, 4, {}).error().msg, "wu: empty image");
}

}  // namespace
}  // namespace kd::prismel
