#include <gtest/gtest.h>

#include "helpers.h"
#include "prismel/image/quantizer.h"
#include "prismel/palette/splitmix64.h"

namespace kd::prismel {
namespace {

using test::rowImage;
using test::Triple;

// With one neuron the ring wraps onto itself: radius 1 reaches the neuron at
// offsets -1, 0 and +1, so each training step moves it three times.
TEST(Neuquant, SingleNeuronMovesThreeTimesPerStep) {
  const std::vector<Triple> px = {{0.2f, 0.0f, 0.0f}, {0.6f, 0.1f, 0.0f}, {0.9f, -0.1f, 0.05f}};
  QuantizeOpts opts;
  opts.seed = 11;
  opts.maxIter = 2;
  Result<Palette> r = neuquant(rowImage(15, px), 1, opts);
  ASSERT_TRUE(r.ok());

  SplitMix64 gen = initSplitMix64(11 ^ kSplitMixIncrement);
  const Triple& start = px[gen.next() % 3];
  double x[3] = {start[0], start[1], start[2]};
  const int steps = 3 * 2;
  for (int s = 0; s < steps; ++s) {
    const double f = 1.0 - static_cast<double>(s) / steps;
    const double rate = 0.3 * f;
    const Triple& p = px[gen.next() % 3];
    for (int move = 0; move < 3; ++move)
      for (int c = 0; c < 3; ++c) x[c] = x[c] + rate * (p[c] - x[c]);
  }
  ASSERT_EQ(r.value().len(), 1);
  const Color got = r.value().colors()[0];
  for (int c = 0; c < 3; ++c) EXPECT_EQ(got.c[c], static_cast<float>(x[c]));
  EXPECT_EQ(got.alpha, 1.0f);
  EXPECT_EQ(got.space, 15);
}

TEST(Neuquant, ZeroIterationsStillTrainsOnePass) {
  const ColorImage img = test::noiseImage(15, 200);
  QuantizeOpts zero, one, two;
  zero.maxIter = 0;
  one.maxIter = 1;
  two.maxIter = 2;
  const std::vector<Color> a = neuquant(img, 6, zero).value().colors();
  EXPECT_EQ(a, neuquant(img, 6, one).value().colors());
  EXPECT_NE(a, neuquant(img, 6, two).value().colors());
}

TEST(Neuquant, OneColourStaysPut) {
  const Triple c{0.45f, -0.03f, 0.08f};
  Result<Palette> r = neuquant(rowImage(15, std::vector<Triple>(20, c)), 8, {});
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().len(), 8);
  for (const Color& col : r.value().colors()) EXPECT_EQ(col.c, c);
}

TEST(Neuquant, StepCountOverflowRaises) {
  QuantizeOpts opts;
  opts.maxIter = INT64_MAX;
  EXPECT_THROW((void)neuquant(rowImage(15, {{0.1f, 0, 0}, {0.2f, 0, 0}}), 1, opts),
               base::KeldraException);
}

}  // namespace
}  // namespace kd::prismel
