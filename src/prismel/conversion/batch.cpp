#include "prismel/conversion/batch.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>

#include "base/memory.h"
#include "prismel/conversion/formulas.h"
#include "prismel/conversion/hub.h"
#include "prismel/conversion/lift.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

namespace {

// The decoded value of an sRGB component, from the table when it is one of
// the 256 quotients v / 255.0f.
double decodeComponent(const LiftTables& t, float f) {
  const float scaled = f * 255.0f;
  if (scaled >= 0.0f && scaled <= 255.0f) {
    const int v = static_cast<int>(std::lround(scaled));
    if (static_cast<float>(v) / 255.0f == f) return t.decoded[v];
  }
  return decodeTransfer(kTransferSrgb, 0, f);
}


}  // namespace

Result<std::vector<Color>> srgb8ToOklab(std::span<const uint8_t> samples, int channels) {
  if ((channels != 1 && channels != 3 && channels != 4) ||
      samples.size() % static_cast<size_t>(channels) != 0) {
    return colorError(ceInvalidArgument, "srgb8ToOklab: bad channel count or sample length",
                      "batch");
  }
  const size_t n = samples.size() / static_cast<size_t>(channels);
  const size_t step = static_cast<size_t>(channels);
  // Converted a block at a time into a small buffer and appended, so the
  // (large) result is written once rather than value-initialised first.
  std::vector<Color> out;
  out.reserve(n);
  base::adviseHugePages(out.data(), n * sizeof(Color));
  const LiftTables& t = liftTables();
  const bool avx2 = cpuHasAvx2();
  constexpr size_t kBlock = 512;
  Color block[kBlock];
  for (size_t done = 0; done < n;) {
    const size_t m = std::min(kBlock, n - done);
    const uint8_t* p = samples.data() + done * step;
    if (avx2) {
      liftAvx2(t, p, m, channels, block);
    } else {
      liftScalar(t, p, m, channels, block);
    }
    out.insert(out.end(), block, block + m);
    done += m;
  }
  return out;
}

Result<std::vector<Color>> convertColors(std::span<const Color> colors, SpaceTag target) {
  std::vector<Color> out;
  out.reserve(colors.size());
  const LiftTables* fast = target == kOklab ? &liftTables() : nullptr;
  for (const Color& c : colors) {
    // The fast path covers components whose results stay far inside float
    // range; anything else takes the hub with its checks.
    const auto modest = [](float v) { return v >= -16.0f && v <= 16.0f; };
    if (fast != nullptr && c.space == kSrgb && modest(c.c[0]) && modest(c.c[1]) &&
        modest(c.c[2])) {
      out.push_back(liftDecoded(*fast, decodeComponent(*fast, c.c[0]),
                                decodeComponent(*fast, c.c[1]), decodeComponent(*fast, c.c[2]),
                                c.alpha));
      continue;
    }
    Result<Color> r = to(target, c);
    if (!r.ok()) return r.error();
    out.push_back(r.value());
  }
  return out;
}

}  // namespace kd::prismel
