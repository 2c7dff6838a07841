// kd_image_extract_palette and kd_palette_*: argument checks, status mapping,
// handle life and the colours handed out.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "c_api/palette_object.h"
#include "keldra/keldra.h"

namespace {

KdPalette* const kPoison = reinterpret_cast<KdPalette*>(uintptr_t{0x4321});

// Two colours, red and blue, eight pixels each.
KdImage* twoColourImage(int cs = KD_CS_RGB) {
  std::vector<uint8_t> px;
  for (int i = 0; i < 16; ++i) {
    const uint8_t r = i < 8 ? 255 : 0, b = i < 8 ? 0 : 255;
    if (cs == KD_CS_GRAY) {
      px.push_back(r);
    } else {
      px.insert(px.end(), {r, 0, b});
      if (cs == KD_CS_RGBA || cs == KD_CS_CMYK) px.push_back(128);
    }
  }
  KdImage* img = nullptr;
  EXPECT_EQ(kd_image_from_pixels(4, 4, cs, px.data(), px.size(), &img), 0);
  return img;
}

struct Extracted {
  int status;
  KdPalette* palette;
};

Extracted extract(KdImage* img, int32_t n, const char* algo, int32_t space,
                  const KdQuantizeOpts* opts = nullptr) {
  KdPalette* out = kPoison;
  int st = kd_image_extract_palette(img, n, algo, space, opts, &out);
  return {st, out};
}

TEST(ExtractPaletteArgs, ChecksInOrderAndClearsOut) {
  KdImage* img = twoColourImage();
  EXPECT_EQ(kd_image_extract_palette(img, 4, "wu", 0, nullptr, nullptr), 2);
  EXPECT_EQ(extract(nullptr, 4, "wu", 0).status, 2);
  EXPECT_EQ(extract(nullptr, 4, "wu", 0).palette, nullptr);
  EXPECT_EQ(extract(reinterpret_cast<KdImage*>(kPoison), 4, "wu", 0).status, 2);
  EXPECT_EQ(extract(img, 0, "wu", 0).status, 2);
  EXPECT_EQ(extract(img, -5, "nope", 0).status, 2);
  // A palette handle is not an image handle.
  Extracted p = extract(img, 2, "wu", 0);
  ASSERT_EQ(p.status, 0);
  EXPECT_EQ(extract(reinterpret_cast<KdImage*>(p.palette), 2, "wu", 0).status, 2);
  kd_palette_free(p.palette);
  kd_image_free(img);
  // A freed image is no longer live.
  EXPECT_EQ(extract(img, 2, "wu", 0).status, 2);
}

TEST(ExtractPaletteStatus, ColourErrorsMapToFourOrTwo) {
  KdImage* img = twoColourImage();
  for (const char* algo : {"Wu", "unknown", ""}) {
    Extracted e = extract(img, 2, algo, 0);
    EXPECT_EQ(e.status, 4) << algo;
    EXPECT_EQ(e.palette, nullptr);
  }
  for (int32_t space : {999, -1, 27}) EXPECT_EQ(extract(img, 2, "wu", space).status, 4) << space;
  // Registered but without a conversion.
  EXPECT_EQ(extract(img, 2, "wu", 20).status, 2);
  // Quantizer argument errors.
  EXPECT_EQ(extract(img, 17, "kmeans", 0).status, 2);
  EXPECT_EQ(extract(img, 17, "medianCut", 0).status, 2);
  EXPECT_EQ(extract(img, 2, "kmeansPP", 1).status, 2);
  KdQuantizeOpts negative = {0, -1, 0, 0, 0};
  EXPECT_EQ(extract(img, 2, "kmeans", 0, &negative).status, 2);
  kd_image_free(img);
}

TEST(ExtractPaletteStatus, UnsupportedImagesGiveTwo) {
  KdImage* cmyk = twoColourImage(KD_CS_CMYK);
  EXPECT_EQ(extract(cmyk, 2, "wu", 0).status, 2);
  kd_image_free(cmyk);
  std::vector<uint8_t> px(12, 7);
  KdImage* other = nullptr;
  ASSERT_EQ(kd_image_from_pixels(2, 2, KD_CS_OTHER3, px.data(), px.size(), &other), 0);
  EXPECT_EQ(extract(other, 2, "wu", 0).status, 2);
  kd_image_free(other);
}

TEST(PaletteRead, DefaultsGiveWuInOklab) {
  KdImage* img = twoColourImage();
  Extracted p = extract(img, 8, nullptr, 0);
  ASSERT_EQ(p.status, 0);
  ASSERT_NE(p.palette, nullptr);
  ASSERT_EQ(kd_palette_len(p.palette), 2);
  EXPECT_EQ(kd_palette_tag(p.palette), 1);
  EXPECT_EQ(kd_palette_intent(p.palette), 0);
  EXPECT_EQ(kd_palette_seed(p.palette), 0u);
  KdColor blue, red;
  ASSERT_EQ(kd_palette_color_at(p.palette, 0, &blue), 0);
  ASSERT_EQ(kd_palette_color_at(p.palette, 1, &red), 0);
  // Published OKLab values of sRGB blue and red; L sorts blue first.
  EXPECT_NEAR(blue.c0, 0.4520, 1e-3);
  EXPECT_NEAR(blue.c1, -0.0325, 1e-3);
  EXPECT_NEAR(blue.c2, -0.3115, 1e-3);
  EXPECT_NEAR(red.c0, 0.6280, 1e-3);
  EXPECT_NEAR(red.c1, 0.2249, 1e-3);
  EXPECT_NEAR(red.c2, 0.1258, 1e-3);
  EXPECT_EQ(red.space, KD_SPACE_OKLAB);
  EXPECT_EQ(red.alpha, 1.0f);

  // Same through the explicit names.
  Extracted q = extract(img, 8, "wu", KD_SPACE_OKLAB);
  KdColor again;
  ASSERT_EQ(kd_palette_color_at(q.palette, 1, &again), 0);
  EXPECT_EQ(again.c0, red.c0);
  kd_palette_free(q.palette);
  kd_palette_free(p.palette);
  kd_image_free(img);
}

TEST(PaletteRead, SrgbWorkSpaceGivesUnitComponents) {
  KdImage* img = twoColourImage();
  Extracted p = extract(img, 8, "wu", KD_SPACE_SRGB);
  ASSERT_EQ(p.status, 0);
  ASSERT_EQ(kd_palette_len(p.palette), 2);
  KdColor c;
  ASSERT_EQ(kd_palette_color_at(p.palette, 0, &c), 0);
  EXPECT_EQ(c.space, KD_SPACE_SRGB);
  EXPECT_EQ(c.c0, 0.0f);
  EXPECT_EQ(c.c2, 1.0f);
  kd_palette_free(p.palette);
  kd_image_free(img);
}

TEST(PaletteRead, OptionsBlockReachesTheQuantizer) {
  KdImage* img = twoColourImage();
  KdQuantizeOpts opts = {0xFEEDFACECAFEBEEFull, 0, 0, 1, 4};
  for (const char* algo : {"wu", "kmeans", "kmeansPP", "medianCut", "octree", "neuquant"}) {
    Extracted p = extract(img, 2, algo, 0, &opts);
    ASSERT_EQ(p.status, 0) << algo;
    EXPECT_EQ(kd_palette_seed(p.palette), 0xFEEDFACECAFEBEEFull) << algo;
    EXPECT_EQ(kd_palette_tag(p.palette), 1) << algo;
    EXPECT_EQ(kd_palette_intent(p.palette), 0) << algo;
    kd_palette_free(p.palette);
  }
  kd_image_free(img);
}

TEST(PaletteRead, ColorAtChecksLeaveOutUntouched) {
  KdImage* img = twoColourImage();
  Extracted p = extract(img, 8, "wu", 0);
  KdColor c = {9, 9, 9, 9, 9};
  EXPECT_EQ(kd_palette_color_at(p.palette, 0, nullptr), 2);
  EXPECT_EQ(kd_palette_color_at(nullptr, 0, &c), 2);
  EXPECT_EQ(kd_palette_color_at(kPoison, 0, &c), 2);
  EXPECT_EQ(kd_palette_color_at(p.palette, -1, &c), 2);
  EXPECT_EQ(kd_palette_color_at(p.palette, kd_palette_len(p.palette), &c), 2);
  EXPECT_EQ(c.c0, 9.0f);
  EXPECT_EQ(c.space, 9);
  kd_palette_free(p.palette);
  kd_image_free(img);
}

TEST(PaletteHandles, BadHandlesReadAsZero) {
  EXPECT_EQ(kd_palette_len(nullptr), 0);
  EXPECT_EQ(kd_palette_tag(kPoison), 0);
  EXPECT_EQ(kd_palette_intent(kPoison), 0);
  EXPECT_EQ(kd_palette_seed(nullptr), 0u);
  kd_palette_free(nullptr);
  kd_palette_free(kPoison);
}

TEST(PaletteHandles, OutlivesItsImageAndDoubleFreeIsHarmless) {
  KdImage* img = twoColourImage();
  Extracted p = extract(img, 8, "wu", 0);
  kd_image_free(img);
  EXPECT_EQ(kd_palette_len(p.palette), 2);
  // An image handle is not a palette handle.
  kd_palette_free(reinterpret_cast<KdPalette*>(img));
  kd_palette_free(p.palette);
  EXPECT_EQ(kd_palette_len(p.palette), 0);
  kd_palette_free(p.palette);
}

// Extraction holds no lock while it works: threads reading the same image
// get the same palettes as one thread alone.
TEST(PaletteHandles, ConcurrentExtractionsAgree) {
  std::vector<uint8_t> px;
  for (int i = 0; i < 64 * 64; ++i) {
    px.insert(px.end(), {static_cast<uint8_t>(i * 7), static_cast<uint8_t>(i / 16),
                         static_cast<uint8_t>(255 - i % 256)});
  }
  KdImage* img = nullptr;
  ASSERT_EQ(kd_image_from_pixels(64, 64, KD_CS_RGB, px.data(), px.size(), &img), 0);
  const char* const algos[] = {"wu", "kmeansPP", "medianCut", "octree"};
  auto colours = [&](const char* algo) {
    std::vector<float> out;
    Extracted p = extract(img, 6, algo, 0);
    for (int64_t i = 0; i < kd_palette_len(p.palette); ++i) {
      KdColor c;
      kd_palette_color_at(p.palette, i, &c);
      out.insert(out.end(), {c.c0, c.c1, c.c2});
    }
    kd_palette_free(p.palette);
    return out;
  };
  std::vector<std::vector<float>> alone;
  for (const char* a : algos) alone.push_back(colours(a));
  std::vector<std::vector<float>> together(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { together[t] = colours(algos[t]); });
  for (std::thread& t : threads) t.join();
  for (int t = 0; t < 4; ++t) EXPECT_EQ(together[t], alone[t]) << algos[t];
  kd_image_free(img);
}

TEST(PaletteHelpers, ToKdColorCopiesFieldByField) {
  const kd::prismel::Color c{{0.25f, -0.5f, 0.75f}, 0.125f, 15};
  const KdColor k = kd::c_api::toKdColor(c);
  EXPECT_EQ(k.c0, 0.25f);
  EXPECT_EQ(k.c1, -0.5f);
  EXPECT_EQ(k.c2, 0.75f);
  EXPECT_EQ(k.alpha, 0.125f);
  EXPECT_EQ(k.space, 15);
  EXPECT_EQ(kd::c_api::paletteOf(nullptr), nullptr);
}

}  // namespace
