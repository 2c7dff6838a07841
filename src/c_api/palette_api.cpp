// kd_image_extract_palette and the kd_palette_* accessors.
#include <string>

#include "c_api/guard.h"
#include "c_api/image_object.h"
#include "c_api/palette_object.h"
#include "process/quantize.h"

using namespace kd::c_api;

namespace {

constexpr kd::prismel::SpaceTag kDefaultWorkSpace = 15;  // OKLab

// One field of a live palette, or 0 for a null or unknown handle.
template <class F>
auto paletteField(const KdPalette* palette, F&& field) noexcept
    -> decltype(field(KdPaletteObj{})) {
  using R = decltype(field(KdPaletteObj{}));
  return valueCall(R{0}, [&]() -> R {
    auto obj = paletteOf(palette);
    return obj ? field(*obj) : R{0};
  });
}

}  // namespace

extern "C" {

int kd_image_extract_palette(KdImage* img, int32_t n, const char* algorithm, int32_t space,
                             const KdQuantizeOpts* opts, KdPalette** out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  *out = nullptr;
  return imageCall([&] {
    auto src = imgOf(img);
    if (!src || n <= 0) return kImageBadArgument;
    const std::string name = algorithm == nullptr ? "wu" : algorithm;
    const kd::prismel::SpaceTag workSpace = space == 0 ? kDefaultWorkSpace : space;
    kd::prismel::QuantizeOpts options = kd::prismel::defaultQuantizeOpts();
    if (opts != nullptr) {
      options.seed = opts->seed;
      options.maxIter = opts->max_iter;
      options.weighted = opts->weighted != 0;
      options.parallel = opts->parallel != 0;
      options.threads = opts->threads;
    }
    kd::prismel::Result<kd::prismel::Palette> result =
        kd::process::extractPalette(src->image, n, name, workSpace, options);
    if (!result.ok()) return mapColorStatus(result.error().kind);
    auto obj = std::make_shared<KdPaletteObj>();
    obj->palette = std::move(result.value());
    *out = paletteHandles().add(std::move(obj));
    return kStatusOk;
  });
}

int64_t kd_palette_len(const KdPalette* palette) noexcept {
  return paletteField(palette, [](const KdPaletteObj& p) { return p.palette.len(); });
}

int kd_palette_color_at(const KdPalette* palette, int64_t index, KdColor* out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  return imageCall([&] {
    auto obj = paletteOf(palette);
    if (!obj) return kImageBadArgument;
    if (index < 0 || index >= obj->palette.len()) return kImageBadArgument;
    *out = toKdColor(obj->palette.colorsRef()[static_cast<size_t>(index)]);
    return kStatusOk;
  });
}

int kd_palette_tag(const KdPalette* palette) noexcept {
  return paletteField(palette, [](const KdPaletteObj& p) { return int{p.palette.tag()}; });
}

int kd_palette_intent(const KdPalette* palette) noexcept {
  return paletteField(palette, [](const KdPaletteObj& p) { return int{p.palette.intent()}; });
}

uint64_t kd_palette_seed(const KdPalette* palette) noexcept {
  return paletteField(palette, [](const KdPaletteObj& p) { return p.palette.seed(); });
}

}  // extern "C"
