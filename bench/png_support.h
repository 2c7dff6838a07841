// Inputs shared by the inflate and PNG benchmarks: a real photograph
// (3264x2448, decoded from a shared JPEG with stb_image) written as a PNG by
// libpng with its default adaptive filters and zlib level 6, the way most
// PNGs in the wild are made; and the IDAT stream of such a file.
#pragma once

#include <png.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <stb/stb_image.h>

#include "bench_data.h"

namespace bench {

using Bytes = std::vector<uint8_t>;

inline Bytes readFile(const std::string& path) {
  Bytes out;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) {
    std::fprintf(stderr, "missing %s\n", path.c_str());
    std::exit(1);
  }
  uint8_t buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  std::fclose(f);
  return out;
}

struct Photo {
  int width = 0;
  int height = 0;
  Bytes rgb;
};

inline const Photo& photo() {
  static Photo p = [] {
    Photo q;
    Bytes jpeg =
        readFile(dataPath("metadata/makernote-apple/ianare_iphone_hdr_NO.jpg"));
    int channels = 0;
    uint8_t* px = stbi_load_from_memory(jpeg.data(), static_cast<int>(jpeg.size()), &q.width,
                                        &q.height, &channels, 3);
    if (px == nullptr) std::exit(1);
    q.rgb.assign(px, px + size_t(q.width) * q.height * 3);
    stbi_image_free(px);
    return q;
  }();
  return p;
}

inline void appendToBytes(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}

// The photograph as an 8-bit RGB (channels 3) or RGBA (channels 4) PNG; the
// alpha channel is a soft vignette so it is not trivially compressible.
inline Bytes photoPng(int channels, int interlace = PNG_INTERLACE_NONE) {
  const Photo& p = photo();
  Bytes pixels(size_t(p.width) * p.height * channels);
  for (int y = 0; y < p.height; ++y) {
    for (int x = 0; x < p.width; ++x) {
      const uint8_t* s = &p.rgb[(size_t(y) * p.width + x) * 3];
      uint8_t* d = &pixels[(size_t(y) * p.width + x) * channels];
      d[0] = s[0];
      d[1] = s[1];
      d[2] = s[2];
      if (channels == 4) {
        int dx = x - p.width / 2, dy = y - p.height / 2;
        d[3] = static_cast<uint8_t>(255 - (int64_t(dx) * dx + int64_t(dy) * dy) * 200 /
                                              (int64_t(p.width) * p.width / 4 + int64_t(p.height) * p.height / 4));
      }
    }
  }
  Bytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &out, appendToBytes, nullptr);
  png_set_IHDR(png, info, p.width, p.height, 8,
               channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, interlace,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_set_compression_level(png, 6);
  png_write_info(png, info);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass) {
    for (int y = 0; y < p.height; ++y) png_write_row(png, &pixels[size_t(y) * p.width * channels]);
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

// The zlib stream of a PNG: its IDAT chunks joined.
inline Bytes idatStream(const Bytes& file) {
  Bytes out;
  size_t pos = 8;
  while (pos + 12 <= file.size()) {
    const uint8_t* c = &file[pos];
    size_t len = size_t(c[0]) << 24 | size_t(c[1]) << 16 | size_t(c[2]) << 8 | c[3];
    if (std::memcmp(c + 4, "IDAT", 4) == 0) out.insert(out.end(), c + 8, c + 8 + len);
    pos += len + 12;
  }
  return out;
}

}  // namespace bench
