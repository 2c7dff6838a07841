// keldra palette FILE [-n N] [--algo NAME] [--space TAG] [--seed S] [--swatch OUT.png]
//                      [--max-pixels N]
//
// Prints one colour per line: the components in the work space, then the
// colour as sRGB hex. The swatch is a row of 32x32 squares, one per colour.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "cli.h"

namespace cli {

namespace {

constexpr int kSwatchSide = 32;

bool parseInt64(const std::string& text, long long lo, long long hi, long long& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

bool parseSeed(const std::string& text, uint64_t& out) {
  if (text.empty() || text[0] == '-') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool parseSpace(const std::string& text, int32_t& out) {
  if (text == "oklab") {
    out = KD_SPACE_OKLAB;
    return true;
  }
  if (text == "srgb") {
    out = KD_SPACE_SRGB;
    return true;
  }
  long long v = 0;
  if (!parseInt64(text, INT32_MIN, INT32_MAX, v)) return false;
  out = static_cast<int32_t>(v);
  return true;
}

// Display only: the palette's components in encoded sRGB, for the two work
// spaces whose relation to sRGB is fixed (sRGB itself and OKLab, by the
// published OKLab matrices). false for any other space.
bool displayRgb(const KdColor& c, double rgb[3]) {
  if (c.space == KD_SPACE_SRGB) {
    rgb[0] = c.c0;
    rgb[1] = c.c1;
    rgb[2] = c.c2;
    return true;
  }
  if (c.space != KD_SPACE_OKLAB) return false;
  const double L = c.c0, a = c.c1, b = c.c2;
  const double l_ = 0.9999999974505199 * L + 0.3963377922793292 * a + 0.21580375812461297 * b;
  const double m_ = 1.0000000078817608 * L - 0.105561342218095 * a - 0.06385417470785172 * b;
  const double s_ = 1.000000053672411 * L - 0.08948418198940442 * a - 1.2914855378002377 * b;
  const double l = l_ * l_ * l_, m = m_ * m_ * m_, s = s_ * s_ * s_;
  const double lin[3] = {
      4.076741662195438 * l - 3.307711591095777 * m + 0.23096992877744024 * s,
      -1.2684380053445001 * l + 2.6097574016794587 * m - 0.34131939638117054 * s,
      -0.004196080276483427 * l - 0.7034186195429166 * m + 1.7076147012859113 * s};
  for (int i = 0; i < 3; ++i) {
    const double v = lin[i];
    rgb[i] = v <= 0.0031308 ? 12.92 * v : 1.055 * std::pow(v, 1.0 / 2.4) - 0.055;
  }
  return true;
}

uint8_t toByte(double v) {
  if (!(v > 0)) return 0;
  if (v >= 1) return 255;
  return static_cast<uint8_t>(std::lround(v * 255.0));
}

// The swatch format follows the extension; PNG when there is none we know.
int swatchFormat(const std::string& path) {
  const std::string ext = extensionOf(path);
  if (ext == "bmp") return KD_FORMAT_BMP;
  if (ext == "qoi") return KD_FORMAT_QOI;
  if (ext == "tga") return KD_FORMAT_TGA;
  if (ext == "pnm" || ext == "ppm") return KD_FORMAT_PNM;
  return KD_FORMAT_PNG;
}

void writeSwatch(const std::string& path, const std::vector<KdColor>& colors) {
  const int width = kSwatchSide * static_cast<int>(colors.size());
  std::vector<uint8_t> px(static_cast<size_t>(width) * kSwatchSide * 3, 0);
  for (size_t i = 0; i < colors.size(); ++i) {
    double rgb[3] = {0, 0, 0};
    displayRgb(colors[i], rgb);
    for (int y = 0; y < kSwatchSide; ++y) {
      for (int x = 0; x < kSwatchSide; ++x) {
        uint8_t* p = &px[(static_cast<size_t>(y) * width + i * kSwatchSide + x) * 3];
        for (int k = 0; k < 3; ++k) p[k] = toByte(rgb[k]);
      }
    }
  }
  KdImage* raw = nullptr;
  int st = kd_image_from_pixels(width, kSwatchSide, KD_CS_RGB, px.data(), px.size(), &raw);
  if (st != 0) throw FileError(path, kd_image_strerror(st));
  ImagePtr img(raw);
  const Bytes encoded = encodeImage(img.get(), swatchFormat(path), 90, path);
  writeOutput(path, encoded.data(), encoded.size());
}

}  // namespace

int cmdPalette(const Args& args) {
  static const OptionSpec specs[] = {{"-n", true},     {"--algo", true},   {"--space", true},
                                     {"--seed", true}, {"--swatch", true}, {"--max-pixels", true}};
  const ParsedArgs parsed = parseArgs(args, specs);
  std::string algo = "wu", swatch;
  long long n = 8;
  int32_t space = KD_SPACE_DEFAULT;
  uint64_t maxPixels = kDefaultMaxPixels;
  KdQuantizeOpts opts = {0, 20, 0, 0, 0};
  for (const auto& [a, value] : parsed.options) {
    if (a == "-n") {
      n = parseIntegerIn("-n", value, 1, INT32_MAX);
    } else if (a == "--algo") {
      algo = value;
    } else if (a == "--space") {
      if (!parseSpace(value, space)) {
        throw UsageError("--space needs a space tag (a number, oklab or srgb)");
      }
    } else if (a == "--seed") {
      if (!parseSeed(value, opts.seed)) throw UsageError("--seed needs an unsigned 64-bit number");
    } else if (a == "--swatch") {
      swatch = value;
    } else {
      maxPixels = parseMaxPixels(value);
    }
  }
  if (parsed.operands.size() != 1) throw UsageError("palette takes one FILE");
  const std::string& file = parsed.operands[0];
  if (!swatch.empty() && sameFile(file, swatch)) {
    throw FileError(swatch, "is the input file; the swatch needs a file of its own");
  }
  ImagePtr img = decodeImage(readWhole(file), file, maxPixels);
  KdPalette* pal = nullptr;
  int st = kd_image_extract_palette(img.get(), static_cast<int32_t>(n), algo.c_str(), space, &opts,
                                    &pal);
  if (st != 0) throw FileError(file, std::string("palette: ") + kd_image_strerror(st));

  std::vector<KdColor> colors(static_cast<size_t>(kd_palette_len(pal)));
  for (size_t i = 0; i < colors.size(); ++i) {
    kd_palette_color_at(pal, static_cast<int64_t>(i), &colors[i]);
  }
  kd_palette_free(pal);

  for (const KdColor& c : colors) {
    double rgb[3];
    if (displayRgb(c, rgb)) {
      std::printf("%9.6f %9.6f %9.6f  #%02x%02x%02x\n", c.c0, c.c1, c.c2, toByte(rgb[0]),
                  toByte(rgb[1]), toByte(rgb[2]));
    } else {
      std::printf("%9.6f %9.6f %9.6f  -\n", c.c0, c.c1, c.c2);
    }
  }
  if (!swatch.empty()) writeSwatch(swatch, colors);
  return kExitOk;
}

}  // namespace cli
