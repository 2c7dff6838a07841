// Resampling: the worked examples, weight tables by hand, a plain
// transcription of the two-pass arithmetic as the reference for the fast
// paths, and the size limits.
#include "process/resize.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

#include "image_helpers.h"
#include "support/peak_memory.h"

namespace kd::process {
namespace {

using testing::grayImage;
using testing::kAllSpaces;
using testing::pixelAt;
using testing::randomImage;
using testing::sameImage;

// ---- Reference: the arithmetic written out sample by sample, in float. ----

using RefList = std::vector<std::pair<int64_t, float>>;

float fl(int64_t v) { return static_cast<float>(v); }

std::vector<RefList> refWeights(ResizeFilter filter, int64_t n, int64_t m) {
  std::vector<RefList> table(static_cast<size_t>(m));
  for (int64_t i = 0; i < m; ++i) {
    RefList& list = table[static_cast<size_t>(i)];
    if (filter == rfBilinear) {
      float centre = (fl(i) + 0.5f) * fl(n) / fl(m) - 0.5f;
      if (centre < 0.0f) centre = 0.0f;
      if (centre > fl(n - 1)) centre = fl(n - 1);
      int64_t x0 = static_cast<int64_t>(centre);
      float f = centre - fl(x0);
      list.emplace_back(x0, 1.0f - f);
      int64_t x1 = x0 + 1 < n - 1 ? x0 + 1 : n - 1;
      if (x1 != x0) list.emplace_back(x1, f);
    } else {
      float start = fl(i) * fl(n) / fl(m);
      float end = (fl(i) + 1.0f) * fl(n) / fl(m);
      float total = 0.0f;
      for (int64_t j = static_cast<int64_t>(start); fl(j) < end && j < n; ++j) {
        float hiEdge = end < fl(j) + 1.0f ? end : fl(j) + 1.0f;
        float loEdge = start > fl(j) ? start : fl(j);
        float overlap = hiEdge - loEdge;
        if (overlap > 0.0f) {
          list.emplace_back(j, overlap);
          total = total + overlap;
        }
      }
      if (total > 0.0f) {
        for (auto& tap : list) tap.second = tap.second / total;
      }
    }
  }
  return table;
}

Image refResize(const Image& src, int64_t nw, int64_t nh, ResizeFilter filter) {
  const int64_t w = src.width, h = src.height, c = src.channels;
  Image out = formats::newImage(nw, nh, src.colorspace);
  if (filter == rfNearest) {
    for (int64_t y = 0; y < nh; ++y) {
      int64_t sy = std::min(h - 1, static_cast<int64_t>((fl(y) + 0.5f) * fl(h) / fl(nh)));
      for (int64_t x = 0; x < nw; ++x) {
        int64_t sx = std::min(w - 1, static_cast<int64_t>((fl(x) + 0.5f) * fl(w) / fl(nw)));
        for (int64_t k = 0; k < c; ++k) {
          out.pixels[static_cast<size_t>((y * nw + x) * c + k)] =
              src.pixels[static_cast<size_t>((sy * w + sx) * c + k)];
        }
      }
    }
    return out;
  }
  std::vector<RefList> horizontal = refWeights(filter, w, nw);
  std::vector<float> mid(static_cast<size_t>(nw * h * c));
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < nw; ++x) {
      for (int64_t k = 0; k < c; ++k) {
        float sum = 0.0f;
        for (auto [j, wt] : horizontal[static_cast<size_t>(x)]) {
          sum = sum + static_cast<float>(src.pixels[static_cast<size_t>((y * w + j) * c + k)]) * wt;
        }
        mid[static_cast<size_t>((y * nw + x) * c + k)] = sum;
      }
    }
  }
  std::vector<RefList> vertical = refWeights(filter, h, nh);
  for (int64_t y = 0; y < nh; ++y) {
    for (int64_t x = 0; x < nw; ++x) {
      for (int64_t k = 0; k < c; ++k) {
        float sum = 0.0f;
        for (auto [j, wt] : vertical[static_cast<size_t>(y)]) {
          sum = sum + mid[static_cast<size_t>((j * nw + x) * c + k)] * wt;
        }
        uint8_t b = sum <= 0.0f    ? 0
                    : sum >= 255.0f ? 255
                                    : static_cast<uint8_t>(static_cast<int64_t>(sum + 0.5f));
        out.pixels[static_cast<size_t>((y * nw + x) * c + k)] = b;
      }
    }
  }
  return out;
}

void expectFailure(const Image& src, int64_t nw, int64_t nh, ResizeFilter filter,
                   const std::string& message) {
  try {
    resize(src, nw, nh, filter);
    ADD_FAILURE() << "resize to " << nw << "x" << nh << " succeeded";
  } catch (const base::KeldraException& e) {
    EXPECT_EQ(e.what(), message);
    EXPECT_EQ(e.kind(), base::ekInvalid);
  }
}

constexpr ResizeFilter kFilters[] = {rfNearest, rfBilinear, rfBox};

// ---- Worked examples ----

TEST(ResizeExamples, FourPixelRowToTwo) {
  Image row = grayImage({{0, 100, 200, 255}});
  EXPECT_EQ(resize(row, 2, 1, rfNearest).pixels, (base::Bytes{100, 255}));
  EXPECT_EQ(resize(row, 2, 1, rfBox).pixels, (base::Bytes{50, 228}));
  EXPECT_EQ(resize(row, 2, 1, rfBilinear).pixels, (base::Bytes{50, 228}));
}

TEST(ResizeExamples, SameSizeNearestAndBilinearAreIdentity) {
  uint32_t seed = 1;
  for (auto cs : kAllSpaces) {
    for (auto [w, h] : {std::pair<int64_t, int64_t>{3, 2}, {1, 1}, {17, 5}, {33, 31}}) {
      Image src = randomImage(w, h, cs, seed++);
      for (ResizeFilter f : {rfNearest, rfBilinear}) {
        Image out = resize(src, w, h, f);
        EXPECT_TRUE(sameImage(out, src)) << w << "x" << h << " cs " << int(cs) << " f " << int(f);
      }
    }
  }
}

TEST(ResizeExamples, OnePixelEnlargedRepeatsIt) {
  for (auto cs : kAllSpaces) {
    Image src = randomImage(1, 1, cs, 7);
    for (ResizeFilter f : kFilters) {
      Image out = resize(src, 3, 3, f);
      ASSERT_EQ(out.width, 3);
      ASSERT_EQ(out.height, 3);
      EXPECT_EQ(out.colorspace, cs);
      for (int64_t y = 0; y < 3; ++y) {
        for (int64_t x = 0; x < 3; ++x) EXPECT_EQ(pixelAt(out, x, y), pixelAt(src, 0, 0));
      }
    }
  }
}

TEST(ResizeExamples, AlphaIsFilteredLikeColour) {
  // A transparent red pixel beside an opaque blue one: the red bleeds in.
  Image src = formats::newImage(2, 1, formats::csRgba);
  src.pixels = {255, 0, 0, 0, 0, 0, 255, 255};
  EXPECT_EQ(resize(src, 1, 1, rfBox).pixels, (base::Bytes{128, 0, 128, 128}));
  EXPECT_EQ(resize(src, 1, 1, rfBilinear).pixels, (base::Bytes{128, 0, 128, 128}));
}

TEST(ResizeExamples, EveryColourSpaceIsKept) {
  for (auto cs : kAllSpaces) {
    Image src = randomImage(9, 7, cs, 3);
    for (ResizeFilter f : kFilters) {
      Image out = resize(src, 4, 11, f);
      EXPECT_EQ(out.colorspace, cs);
      EXPECT_EQ(out.channels, src.channels);
      EXPECT_EQ(out.pixels.size(), static_cast<size_t>(4 * 11 * src.channels));
    }
  }
}

// ---- Weight tables, computed by hand ----

WeightList taps(std::initializer_list<std::pair<int64_t, float>> pairs) {
  WeightList list;
  for (auto [i, w] : pairs) list.push_back({i, w});
  return list;
}

void expectTable(const WeightTable& got, const std::vector<WeightList>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    ASSERT_EQ(got[i].size(), want[i].size()) << "list " << i;
    for (size_t k = 0; k < want[i].size(); ++k) {
      EXPECT_EQ(got[i][k].index, want[i][k].index) << "list " << i << " tap " << k;
      EXPECT_FLOAT_EQ(got[i][k].weight, want[i][k].weight) << "list " << i << " tap " << k;
    }
  }
}

TEST(ResizeWeights, BilinearShrinkUsesTwoTapsAroundTheCentre) {
  expectTable(bilinearWeights(4, 2), {taps({{0, 0.5f}, {1, 0.5f}}), taps({{2, 0.5f}, {3, 0.5f}})});
  // 8 -> 2: centres 1.5 and 5.5; still two taps, not an area average.
  expectTable(bilinearWeights(8, 2), {taps({{1, 0.5f}, {2, 0.5f}}), taps({{5, 0.5f}, {6, 0.5f}})});
}

TEST(ResizeWeights, BilinearEnlargeClampsAtTheEdges) {
  expectTable(bilinearWeights(2, 4), {taps({{0, 1.0f}, {1, 0.0f}}), taps({{0, 0.75f}, {1, 0.25f}}),
                                      taps({{0, 0.25f}, {1, 0.75f}}), taps({{1, 1.0f}})});
  expectTable(bilinearWeights(1, 3), {taps({{0, 1.0f}}), taps({{0, 1.0f}}), taps({{0, 1.0f}})});
}

TEST(ResizeWeights, BoxAveragesOverlapsAndNormalises) {
  expectTable(boxWeights(4, 2), {taps({{0, 0.5f}, {1, 0.5f}}), taps({{2, 0.5f}, {3, 0.5f}})});
  expectTable(boxWeights(3, 2), {taps({{0, 2.0f / 3}, {1, 1.0f / 3}}),
                                 taps({{1, 1.0f / 3}, {2, 2.0f / 3}})});
  expectTable(boxWeights(2, 4), {taps({{0, 1.0f}}), taps({{0, 1.0f}}), taps({{1, 1.0f}}),
                                 taps({{1, 1.0f}})});
  // 5 -> 2: spans [0, 2.5) and [2.5, 5).
  expectTable(boxWeights(5, 2), {taps({{0, 0.4f}, {1, 0.4f}, {2, 0.2f}}),
                                 taps({{2, 0.2f}, {3, 0.4f}, {4, 0.4f}})});
}

TEST(ResizeWeights, NearestHasNoTable) {
  EXPECT_TRUE(buildWeights(rfNearest, 10, 3).empty());
  EXPECT_EQ(buildWeights(rfBox, 10, 3).size(), 3u);
  EXPECT_EQ(buildWeights(rfBilinear, 10, 3).size(), 3u);
}

// ---- The fast paths against the plain arithmetic ----

TEST(ResizeMatchesReference, EveryColourSpaceFilterAndScale) {
  const std::pair<int64_t, int64_t> sources[] = {{1, 1}, {3, 2}, {7, 5}, {13, 1}, {1, 9}, {37, 23}};
  const std::pair<int64_t, int64_t> targets[] = {{1, 1}, {2, 3}, {5, 4}, {11, 7},
                                                 {29, 3}, {40, 47}, {6, 19}};
  uint32_t seed = 100;
  for (auto cs : kAllSpaces) {
    for (auto [sw, sh] : sources) {
      Image src = randomImage(sw, sh, cs, seed++);
      for (auto [nw, nh] : targets) {
        for (ResizeFilter f : kFilters) {
          Image got = resize(src, nw, nh, f);
          Image want = refResize(src, nw, nh, f);
          ASSERT_TRUE(sameImage(got, want)) << sw << "x" << sh << " -> " << nw << "x" << nh
                                            << " cs " << int(cs) << " filter " << int(f);
        }
      }
    }
  }
}

TEST(ResizeMatchesReference, WideRowsAndLargeShrinkFactors) {
  // Rows long enough for the 16-sample blocks plus a tail, and box lists far
  // longer than the specialised tap counts.
  uint32_t seed = 900;
  for (auto cs : {formats::csGray, formats::csRgb, formats::csRgba}) {
    Image src = randomImage(203, 97, cs, seed++);
    for (auto [nw, nh] : {std::pair<int64_t, int64_t>{67, 31}, {5, 3}, {101, 48}, {211, 130},
                          {409, 195}, {3, 97}}) {
      for (ResizeFilter f : kFilters) {
        ASSERT_TRUE(sameImage(resize(src, nw, nh, f), refResize(src, nw, nh, f)))
            << "-> " << nw << "x" << nh << " cs " << int(cs) << " filter " << int(f);
      }
    }
  }
}

TEST(ResizeMatchesReference, OutputsWiderThanOneStripOfColumns) {
  // Output columns are worked in strips of 16384; rows of 16400 and 33000
  // columns cross one and two strip edges.
  uint32_t seed = 950;
  for (auto cs : {formats::csGray, formats::csRgb, formats::csRgba}) {
    Image src = randomImage(7, 5, cs, seed++);
    for (auto [nw, nh] : {std::pair<int64_t, int64_t>{16400, 3}, {33000, 1}}) {
      for (ResizeFilter f : kFilters) {
        ASSERT_TRUE(sameImage(resize(src, nw, nh, f), refResize(src, nw, nh, f)))
            << "-> " << nw << "x" << nh << " cs " << int(cs) << " filter " << int(f);
      }
    }
  }
  Image wide = randomImage(40000, 2, formats::csRgb, 77);
  for (ResizeFilter f : kFilters) {
    ASSERT_TRUE(sameImage(resize(wide, 20001, 3, f), refResize(wide, 20001, 3, f)));
  }
}

TEST(ResizeMatchesReference, FlatImagesStayFlat) {
  for (int v : {0, 1, 127, 128, 254, 255}) {
    Image src = formats::newImage(31, 17, formats::csRgb);
    std::fill(src.pixels.begin(), src.pixels.end(), static_cast<uint8_t>(v));
    for (ResizeFilter f : kFilters) {
      Image out = resize(src, 12, 40, f);
      for (uint8_t b : out.pixels) ASSERT_EQ(b, v) << "filter " << int(f);
    }
  }
}

TEST(ResizeMatchesReference, SourceIsUnchanged) {
  Image src = randomImage(19, 13, formats::csRgba, 5);
  Image copy = src;
  for (ResizeFilter f : kFilters) resize(src, 7, 29, f);
  EXPECT_TRUE(sameImage(src, copy));
}

TEST(ResizeBeyondFloatPrecision, WeightsStayInsideVeryLongAxes) {
  // 16777220 - 1 rounds up to 16777220 in float, so the clamped bilinear
  // centre of the last coordinate lands one past the last sample; it must
  // take the last sample whole, not the sample after the axis.
  const int64_t n = 16777220;
  WeightList list;
  bilinearList(n, n, n - 1, list);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].index, n - 1);
  EXPECT_EQ(list[0].weight, 1.0f);
  for (int64_t i : {n - 3, n - 2, n - 1}) {
    for (int64_t m : {n, n - 1, n + 1}) {
      if (i >= m) continue;
      bilinearList(n, m, i, list);
      for (const WeightTap& tap : list) EXPECT_LT(tap.index, n);
      boxList(n, m, i, list);
      for (const WeightTap& tap : list) EXPECT_LT(tap.index, n);
    }
  }
}

TEST(ResizeWeights, SingleListsMatchTheirTables) {
  WeightList list;
  for (auto [n, m] : {std::pair<int64_t, int64_t>{7, 3}, {3, 7}, {100, 9}, {1, 4}}) {
    WeightTable bil = bilinearWeights(n, m), box = boxWeights(n, m);
    for (int64_t i = 0; i < m; ++i) {
      bilinearList(n, m, i, list);
      ASSERT_EQ(list.size(), bil[static_cast<size_t>(i)].size());
      for (size_t k = 0; k < list.size(); ++k) {
        EXPECT_EQ(list[k].index, bil[static_cast<size_t>(i)][k].index);
        EXPECT_EQ(list[k].weight, bil[static_cast<size_t>(i)][k].weight);
      }
      boxList(n, m, i, list);
      ASSERT_EQ(list.size(), box[static_cast<size_t>(i)].size());
      for (size_t k = 0; k < list.size(); ++k) {
        EXPECT_EQ(list[k].index, box[static_cast<size_t>(i)][k].index);
        EXPECT_EQ(list[k].weight, box[static_cast<size_t>(i)][k].weight);
      }
    }
  }
}

// ---- Limits ----

TEST(ResizeMatchesReference, TallToWideBoxSumsRowsLikeTheTwoPasses) {
  uint32_t seed = 990;
  for (auto cs : {formats::csGray, formats::csRgb, formats::csRgba}) {
    Image src = randomImage(3, 1500, cs, seed++);
    for (auto [nw, nh] : {std::pair<int64_t, int64_t>{600, 1}, {7, 2}, {50, 7}, {1, 299}}) {
      ASSERT_TRUE(sameImage(resize(src, nw, nh, rfBox), refResize(src, nw, nh, rfBox)))
          << "-> " << nw << "x" << nh << " cs " << int(cs);
    }
  }
}

// A 2 x 4096 source to 4096 x 1: every source row reaches the one output
// row; the intermediate stays a couple of rows of 4096 pixels.
TEST(ResizeMemory, LargeShrinkFactorKeepsAFewIntermediateRows) {
  Image src = randomImage(2, 4096, formats::csRgba, 4);
  kd::test::PeakMemory peak;
  Image out = resize(src, 4096, 1, rfBox);
  EXPECT_TRUE(peak.within(8 << 20)) << peak.growth();
  EXPECT_EQ(out.pixels.size(), size_t{4096 * 4});
}

TEST(ResizeRejects, NonPositiveDimensions) {
  Image src = randomImage(4, 4, formats::csRgb, 1);
  for (ResizeFilter f : kFilters) {
    expectFailure(src, 0, 4, f, "resize: non-positive dims");
    expectFailure(src, 4, 0, f, "resize: non-positive dims");
    expectFailure(src, -3, 4, f, "resize: non-positive dims");
    expectFailure(src, 4, INT64_MIN, f, "resize: non-positive dims");
  }
}

TEST(ResizeRejects, TooLargeBeforeAllocating) {
  Image one = randomImage(1, 1, formats::csRgba, 1);
  for (ResizeFilter f : kFilters) {
    expectFailure(one, 40000, 40000, f, "resize: dimensions too large");
    // Allocating these would need terabytes; the limits answer first.
    expectFailure(one, int64_t{1} << 31, 1, f, "resize: dimensions too large");
    expectFailure(one, INT64_MAX, INT64_MAX, f, "resize: dimensions too large");
    expectFailure(one, 1, (int64_t{1} << 30) + 1, f, "resize: dimensions too large");
  }
}

TEST(ResizeRejects, IntermediateStageCountsTheSourceHeight) {
  // 1 x 1024 source: new width 2^20 makes an intermediate of exactly 2^30
  // samples per channel, which is allowed; one more column is not, although
  // the output itself is small.
  Image tall = randomImage(1, 1024, formats::csGray, 9);
  for (ResizeFilter f : kFilters) {
    expectFailure(tall, (int64_t{1} << 20) + 1, 1, f, "resize: dimensions too large");
  }
  Image out = resize(tall, int64_t{1} << 20, 1, rfNearest);
  EXPECT_EQ(out.width, int64_t{1} << 20);
  EXPECT_EQ(out.height, 1);
}

}  // namespace
}  // namespace kd::process
