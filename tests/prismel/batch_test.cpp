#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <array>
#include <vector>

#include "prismel/conversion/batch.h"
#include "prismel/conversion/distinct.h"
#include "prismel/conversion/formulas.h"
#include "prismel/conversion/hub.h"
#include "prismel/conversion/lift.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {
namespace {

Color viaHub(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  const Color s = color(kSrgb, static_cast<float>(r) / 255.0f, static_cast<float>(g) / 255.0f,
                        static_cast<float>(b) / 255.0f, static_cast<float>(a) / 255.0f)
                      .value();
  return to(kOklab, s).value();
}

TEST(BatchLift, RgbMatchesTheHubBitForBit) {
  std::vector<uint8_t> px;
  for (int r = 0; r < 256; r += 5) {
    for (int g = 0; g < 256; g += 5) {
      for (int b = 0; b < 256; b += 5) {
        px.push_back(static_cast<uint8_t>(r));
        px.push_back(static_cast<uint8_t>(g));
        px.push_back(static_cast<uint8_t>(b));
      }
    }
  }
  Result<std::vector<Color>> out = srgb8ToOklab(px, 3);
  ASSERT_TRUE(out.ok());
  ASSERT_EQ(out.value().size(), px.size() / 3);
  for (size_t i = 0; i < out.value().size(); ++i) {
    const Color want = viaHub(px[3 * i], px[3 * i + 1], px[3 * i + 2], 255);
    ASSERT_EQ(out.value()[i], want) << i;
  }
}

TEST(BatchLift, GreyAndRgbaLayouts) {
  std::vector<uint8_t> grey(256);
  for (int v = 0; v < 256; ++v) grey[static_cast<size_t>(v)] = static_cast<uint8_t>(v);
  Result<std::vector<Color>> g = srgb8ToOklab(grey, 1);
  ASSERT_TRUE(g.ok());
  for (int v = 0; v < 256; ++v) {
    const auto u = static_cast<uint8_t>(v);
    EXPECT_EQ(g.value()[static_cast<size_t>(v)], viaHub(u, u, u, 255));
  }
  const std::vector<uint8_t> rgba{255, 0, 0, 64, 10, 20, 30, 0, 1, 2, 3, 255};
  Result<std::vector<Color>> c = srgb8ToOklab(rgba, 4);
  ASSERT_TRUE(c.ok());
  ASSERT_EQ(c.value().size(), 3u);
  EXPECT_EQ(c.value()[0], viaHub(255, 0, 0, 64));
  EXPECT_EQ(c.value()[0].alpha, 64.0f / 255.0f);
  EXPECT_EQ(c.value()[1].alpha, 0.0f);
  EXPECT_EQ(c.value()[2], viaHub(1, 2, 3, 255));
  EXPECT_NEAR(c.value()[0].c[0], 0.627955, 2e-5);
}

TEST(BatchLift, RefusesBadLayouts) {
  const std::vector<uint8_t> five(5);
  EXPECT_EQ(srgb8ToOklab(five, 3).error().kind, ceInvalidArgument);
  EXPECT_FALSE(srgb8ToOklab(five, 2).ok());
  EXPECT_FALSE(srgb8ToOklab(five, 0).ok());
  EXPECT_FALSE(srgb8ToOklab(five, -1).ok());
  Result<std::vector<Color>> empty = srgb8ToOklab({}, 4);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty.value().empty());
}

TEST(BatchConvert, SameAsTheHubForEveryColour) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_real_distribution<float> any(-0.2f, 1.2f);
  std::vector<Color> in;
  for (int i = 0; i < 2000; ++i) {
    const bool exact = i % 2 == 0;
    const auto comp = [&] {
      return exact ? static_cast<float>(byte(rng)) / 255.0f : any(rng);
    };
    in.push_back(color(kSrgb, comp(), comp(), comp(), 0.5f).value());
  }
  // Repeats, which are converted once, and colours that differ from an
  // earlier one only in the sign of a zero or in alpha, which are not repeats.
  for (int i = 0; i < 500; ++i) in.push_back(in[static_cast<size_t>(i * 7 % 2000)]);
  in.push_back(color(kSrgb, 0.0f, 0.5f, 0.25f, 1).value());
  in.push_back(color(kSrgb, -0.0f, 0.5f, 0.25f, 1).value());
  in.push_back(color(kSrgb, -0.0f, 0.5f, 0.25f, 0.75f).value());
  in.push_back(color(kLab, 50, 20, -30, 1).value());
  in.push_back(color(kSrgb, 1e30f, 0, 0, 1).value());  // beyond the fast path
  in.push_back(Color{{std::nanf(""), 0, 0}, 1, kSrgb});  // not a valid colour
  for (SpaceTag target : {kOklab, kLab, kHsl, kSrgb}) {
    std::vector<Color> head(in.begin(), in.end() - (target == kOklab ? 1 : 2));
    Result<std::vector<Color>> out = convertColors(head, target);
    ASSERT_TRUE(out.ok()) << target;
    for (size_t i = 0; i < head.size(); ++i) {
      using Bits = std::array<uint32_t, 5>;
      ASSERT_EQ(std::bit_cast<Bits>(out.value()[i]), std::bit_cast<Bits>(to(target, head[i]).value()))
          << target << " " << i;
    }
  }
  // The NaN fails in the hub; the batch returns that first error.
  Result<std::vector<Color>> bad = convertColors(in, kOklab);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().msg, to(kOklab, in.back()).error().msg);
  Result<std::vector<Color>> cmyk = convertColors(in, kCmyk);
  ASSERT_FALSE(cmyk.ok());
  EXPECT_EQ(cmyk.error().where, "famCmyk");
}

TEST(BatchCubeRoot, MatchesTheCLibrary) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> d(-3, 3);
  for (int i = 0; i < 200000; ++i) {
    double x = d(rng);
    if (i % 3 == 0) x *= 1e-6;
    if (i % 5 == 0) x *= 1e9;
    ASSERT_EQ(cubeRoot(x), std::cbrt(x)) << x;
  }
  for (double x : {0.0, -0.0, 1.0, 8.0, -27.0, 1e-310, -1e-310, HUGE_VAL, -HUGE_VAL, 1e308}) {
    EXPECT_EQ(cubeRoot(x), std::cbrt(x)) << x;
  }
  EXPECT_TRUE(std::isnan(cubeRoot(std::nan(""))));
}

}  // namespace
}  // namespace kd::prismel

namespace kd::prismel {
namespace {

TEST(BatchKernels, VectorAndScalarKernelsAgreeOnEveryGreyAndAGrid) {
  std::vector<uint8_t> px;
  for (int r = 0; r < 256; r += 5) {
    for (int g = 0; g < 256; g += 5) {
      for (int b = 0; b < 256; b += 5) {
        px.insert(px.end(), {static_cast<uint8_t>(r), static_cast<uint8_t>(g),
                             static_cast<uint8_t>(b), static_cast<uint8_t>(r ^ g)});
      }
    }
  }
  for (int v = 0; v < 256; ++v) px.insert(px.end(), 4, static_cast<uint8_t>(v));
  px.insert(px.end(), {0, 0, 0, 0, 255, 255, 255, 255, 0, 0, 0, 7});  // black lanes mixed in
  const size_t n = px.size() / 4;
  const LiftTables& t = liftTables();
  for (int channels : {1, 3, 4}) {
    const size_t count = px.size() / static_cast<size_t>(channels);
    std::vector<Color> scalar(count), vec(count);
    liftScalar(t, px.data(), count, channels, scalar.data());
    liftAvx2(t, px.data(), count, channels, vec.data());  // scalar fallback without AVX2
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(vec[i], scalar[i]) << channels << " " << i;
  }
  // And the kernels agree with the hub itself.
  std::vector<Color> vec(n);
  liftAvx2(t, px.data(), n, 4, vec.data());
  for (size_t i = 0; i < n; i += 97) {
    ASSERT_EQ(vec[i], viaHub(px[4 * i], px[4 * i + 1], px[4 * i + 2], px[4 * i + 3])) << i;
  }
}

TEST(BatchKernels, LargeImageIsConvertedWhole) {
  // More than one block, with a tail that is not a multiple of four.
  std::vector<uint8_t> px(3 * 5003);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 7 + i / 3);
  Result<std::vector<Color>> out = srgb8ToOklab(px, 3);
  ASSERT_TRUE(out.ok());
  ASSERT_EQ(out.value().size(), 5003u);
  for (size_t i = 0; i < 5003; i += 1) {
    ASSERT_EQ(out.value()[i], viaHub(px[3 * i], px[3 * i + 1], px[3 * i + 2], 255)) << i;
  }
}


TEST(DistinctColors, KeysAreOneToOneWithColours) {
  for (uint32_t rgb = 0; rgb < (1u << 24); rgb += 4099) {
    const auto r = static_cast<uint8_t>(rgb >> 16), g = static_cast<uint8_t>(rgb >> 8),
               b = static_cast<uint8_t>(rgb);
    uint8_t r2 = 0, g2 = 0, b2 = 0;
    colorOfKey(colorKey(r, g, b), r2, g2, b2);
    ASSERT_EQ((std::array<uint8_t, 3>{r2, g2, b2}), (std::array<uint8_t, 3>{r, g, b})) << rgb;
  }
  const uint8_t grey[1] = {77}, rgb[3] = {77, 77, 77};
  EXPECT_EQ(colorKey(grey, 1), colorKey(rgb, 3));
}

TEST(DistinctColors, RanksFollowTheKeys) {
  // Alpha plays no part; repeats count once.
  const std::vector<uint8_t> px = {9, 8, 7, 1, 0, 0, 0, 2, 9, 8, 7, 255, 255, 255, 255, 0, 0, 0, 0, 0};
  const DistinctColors set(px, 4);
  ASSERT_EQ(set.size(), 3u);
  EXPECT_LT(set.keys()[0], set.keys()[1]);
  EXPECT_LT(set.keys()[1], set.keys()[2]);
  for (size_t i = 0; i < set.size(); ++i) EXPECT_EQ(set.indexOf(set.keys()[i]), i);
  EXPECT_EQ(set.keys()[0], colorKey(0, 0, 0));
}

// The lift one distinct colour at a time gives what the lift pixel by pixel
// gives, in every layout, including colours at the ends of each word of the
// key bitmap and runs of repeats.
TEST(DistinctColors, LiftMatchesThePerPixelLift) {
  std::mt19937 rng(5);
  for (int channels : {1, 3, 4}) {
    std::vector<uint8_t> px;
    for (int i = 0; i < 40000; ++i) {
      const uint32_t v = rng();
      const int repeats = 1 + static_cast<int>(v % 3);
      for (int k = 0; k < repeats; ++k) {
        for (int c = 0; c < channels; ++c) px.push_back(static_cast<uint8_t>(v >> (8 * c)));
      }
    }
    for (uint8_t edge : {0, 63, 64, 255}) px.insert(px.end(), static_cast<size_t>(channels), edge);
    const std::vector<Color> perPixel = srgb8ToOklab(px, channels, lmPerPixel).value();
    const std::vector<Color> distinct = srgb8ToOklab(px, channels, lmPerDistinctColor).value();
    ASSERT_EQ(perPixel.size(), distinct.size());
    for (size_t i = 0; i < perPixel.size(); ++i) ASSERT_EQ(distinct[i], perPixel[i]) << channels << " " << i;
  }
}

}  // namespace
}  // namespace kd::prismel
