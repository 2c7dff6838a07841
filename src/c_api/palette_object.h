// The object behind a KdPalette handle.
#pragma once

#include <memory>

#include "c_api/guard.h"
#include "c_api/registry.h"
#include "keldra/keldra.h"
#include "prismel/palette/palette.h"

struct KdPaletteObj {
  kd::prismel::Palette palette;
};

namespace kd::c_api {

// The palette behind a live handle with one more reference taken; null for a
// null or unknown handle.
inline std::shared_ptr<KdPaletteObj> paletteOf(const KdPaletteObj* handle) {
  return paletteHandles().find(handle);
}

// Field by field: the three components, alpha and the space tag.
inline KdColor toKdColor(const prismel::Color& c) {
  KdColor out;
  out.c0 = c.c[0];
  out.c1 = c.c[1];
  out.c2 = c.c[2];
  out.alpha = c.alpha;
  out.space = c.space;
  return out;
}

// ceUnknownSpace and ceUnknownAlgorithm give 4, every other kind 2.
constexpr int mapColorStatus(prismel::ColorErrorKind kind) {
  return kind == prismel::ceUnknownSpace || kind == prismel::ceUnknownAlgorithm ? kImageUnsupported
                                                                              : kImageBadArgument;
}

}  // namespace kd::c_api
