// Today's outputs through the C boundary, pinned so that speed work keeps
// them to the byte: for every picture bundled under tests/data/codec, a hash
// of the decoded samples, of each encoder's output, and of the palettes of
// every quantizer, and of the palettes under other options and work spaces.
// The pins live in output_pins.txt and palette_pins.txt beside this file;
// KELDRA_WRITE_PINS=1 rewrites them (only when an output is meant to change).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "keldra/keldra.h"
#include "support/testdata.h"

namespace {

namespace fs = std::filesystem;

const std::string kPinDir = std::string(KELDRA_SOURCE_DIR) + "/tests/c_api/";

// FNV-1a, 64 bits, as 16 hex digits.
std::string hashOf(const void* data, size_t len) {
  uint64_t h = 14695981039346656037ull;
  for (size_t i = 0; i < len; ++i) {
    h ^= static_cast<const uint8_t*>(data)[i];
    h *= 1099511628211ull;
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

// "job=hash" items of one picture, or "job=status N" where a call fails.
std::string outputsOf(const std::vector<uint8_t>& file, bool tga) {
  std::ostringstream line;
  KdImage* img = nullptr;
  int status = kd_image_decode_buffer(file.data(), file.size(),
                                      tga ? KD_FORMAT_TGA : KD_FORMAT_AUTO, &img);
  if (status != 0) {
    line << " decode=status" << status;
    return line.str();
  }
  const uint8_t* px = nullptr;
  size_t len = 0;
  kd_image_pixels(img, &px, &len);
  line << " decode=" << kd_image_width(img) << "x" << kd_image_height(img) << "x"
       << kd_image_get_colorspace(img) << ":" << hashOf(px, len);
  const std::pair<const char*, int> kEncoders[] = {
      {"png", KD_FORMAT_PNG}, {"jpeg", KD_FORMAT_JPEG}, {"bmp", KD_FORMAT_BMP},
      {"qoi", KD_FORMAT_QOI}, {"pnm", KD_FORMAT_PNM},   {"tga", KD_FORMAT_TGA}};
  for (auto [name, format] : kEncoders) {
    uint8_t* out = nullptr;
    size_t outLen = 0;
    status = kd_image_encode(img, format, 85, &out, &outLen);
    line << " " << name << "=" << (status == 0 ? hashOf(out, outLen) : "status" + std::to_string(status));
    kd_image_buffer_free(out);
  }
  const bool small = len <= 4 * 16384;
  for (const char* algorithm : {"wu", "kmeans", "kmeansPP", "medianCut", "octree", "neuquant"}) {
    if (!small && std::string(algorithm) != "wu") continue;
    KdPalette* pal = nullptr;
    status = kd_image_extract_palette(img, 12, algorithm, 0, nullptr, &pal);
    line << " " << algorithm << "=";
    if (status != 0) {
      line << "status" << status;
      continue;
    }
    std::vector<KdColor> colours(static_cast<size_t>(kd_palette_len(pal)));
    for (size_t i = 0; i < colours.size(); ++i) {
      kd_palette_color_at(pal, static_cast<int64_t>(i), &colours[i]);
    }
    line << colours.size() << ":" << hashOf(colours.data(), colours.size() * sizeof(KdColor));
    kd_palette_free(pal);
  }
  kd_image_free(img);
  return line.str();
}

// The palette paths the default options leave out: other colour counts, the
// seed, the iteration cap, the weighted k-means refinement and work spaces
// other than OKLab. "wu" runs on every picture; the others on the small ones.
std::string palettesOf(const std::vector<uint8_t>& file, bool tga) {
  std::ostringstream line;
  KdImage* img = nullptr;
  const int decoded =
      kd_image_decode_buffer(file.data(), file.size(), tga ? KD_FORMAT_TGA : KD_FORMAT_AUTO, &img);
  if (decoded != 0) return " decode=status" + std::to_string(decoded);
  struct Variant {
    int n;
    int32_t space;
    KdQuantizeOpts opts;
  };
  const Variant kVariants[] = {{16, 0, {0, 20, 0, 0, 0}}, {3, 0, {99, 20, 0, 0, 0}},
                               {9, 0, {7, 6, 1, 1, 4}},   {6, 0, {42, 0, 0, 0, 0}},
                               {5, 0, {3, 2, 1, 0, 0}},   {7, 1, {0, 20, 0, 0, 0}},
                               {7, 13, {0, 20, 0, 0, 0}}, {4, 16, {0, 20, 0, 0, 0}}};
  const uint8_t* px = nullptr;
  size_t len = 0;
  kd_image_pixels(img, &px, &len);
  const bool small = len <= 4 * 4096;
  for (const char* algorithm : {"wu", "kmeans", "kmeansPP", "medianCut", "octree", "neuquant"}) {
    if (!small && std::string(algorithm) != "wu") continue;
    // One hash per algorithm over the statuses and colours of every variant.
    std::vector<uint8_t> all;
    for (const Variant& v : kVariants) {
      KdPalette* pal = nullptr;
      const int status = kd_image_extract_palette(img, v.n, algorithm, v.space, &v.opts, &pal);
      all.push_back(static_cast<uint8_t>(status));
      for (int64_t i = 0; status == 0 && i < kd_palette_len(pal); ++i) {
        KdColor c;
        kd_palette_color_at(pal, i, &c);
        all.insert(all.end(), reinterpret_cast<uint8_t*>(&c), reinterpret_cast<uint8_t*>(&c + 1));
      }
      kd_palette_free(pal);
    }
    line << " " << algorithm << "=" << hashOf(all.data(), all.size());
  }
  kd_image_free(img);
  return line.str();
}

using Outputs = std::string (*)(const std::vector<uint8_t>&, bool);

std::map<std::string, std::string> currentOutputs(Outputs outputsOf) {
  std::map<std::string, std::string> out;
  const fs::path root = fs::path(KELDRA_SOURCE_DIR) / "tests" / "data";
  for (const auto& e : fs::recursive_directory_iterator(root / "codec")) {
    if (!e.is_regular_file()) continue;
    std::string ext = e.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
    out[fs::relative(e.path(), root).string()] =
        outputsOf(kd::test::readFileBytes(e.path().string()), ext == ".tga");
  }
  return out;
}

void expectPinned(Outputs outputsOf, const std::string& pinFile) {
  kd_exif_init();
  const std::map<std::string, std::string> now = currentOutputs(outputsOf);
  ASSERT_FALSE(now.empty());
  if (std::getenv("KELDRA_WRITE_PINS") != nullptr) {
    std::ofstream f(pinFile);
    for (const auto& [name, outputs] : now) f << name << outputs << "\n";
    GTEST_SKIP() << "pins written to " << pinFile;
  }
  std::ifstream f(pinFile);
  ASSERT_TRUE(f) << "missing " << pinFile;
  std::map<std::string, std::string> pinned;
  std::string line;
  while (std::getline(f, line)) {
    const size_t space = line.find(' ');
    pinned[line.substr(0, space)] = line.substr(space);
  }
  for (const auto& [name, outputs] : pinned) {
    auto it = now.find(name);
    if (it == now.end()) {
      ADD_FAILURE() << "pinned picture gone: " << name;
    } else {
      EXPECT_EQ(it->second, outputs) << name;
    }
  }
  for (const auto& entry : now) {
    EXPECT_TRUE(pinned.count(entry.first)) << "codec test file without a pin: " << entry.first;
  }
}

TEST(OutputPins, DecodedEncodedAndPalettesUnchanged) {
  expectPinned(outputsOf, kPinDir + "output_pins.txt");
}

TEST(OutputPins, PaletteOptionsAndWorkSpacesUnchanged) {
  expectPinned(palettesOf, kPinDir + "palette_pins.txt");
}

}  // namespace
