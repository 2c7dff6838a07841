#include "codec_support.h"

#include <stb/stb_image.h>

namespace kd::formats::test {

Bytes magickRgb(const std::string& path, int64_t width, int64_t height) {
  TempDir dir;
  if (!dir.ok()) return {};
  const std::string out = dir.file("peer.ppm");
  // The first frame only, flattened to 8-bit RGB. Debian's ImageMagick is
  // called by its own name: a bare "convert" may be another program.
  if (!runCommand("convert-im6.q16 " + quoted(path + "[0]") + " -depth 8 -type TrueColor ppm:" +
                  quoted(out) + " 2>/dev/null")) {
    return {};
  }
  int w = 0, h = 0, n = 0;
  stbi_uc* px = stbi_load(out.c_str(), &w, &h, &n, 3);
  if (px == nullptr) return {};
  Bytes rgb;
  if (w == width && h == height) rgb.assign(px, px + static_cast<size_t>(w) * h * 3);
  stbi_image_free(px);
  return rgb;
}

Bytes magickRgba(const std::string& path) {
  TempDir dir;
  if (!dir.ok()) return {};
  const std::string out = dir.file("peer.rgba");
  (void)runCommand("convert-im6.q16 " + quoted(path + "[0]") + " -depth 8 rgba:" + quoted(out) +
                   " 2>/dev/null");
  return std::filesystem::exists(out) ? kd::test::readFileBytes(out) : Bytes{};
}

}  // namespace kd::formats::test
