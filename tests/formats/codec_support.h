// Helpers shared by the tests of the simple codecs (BMP, QOI, PNM, TGA,
// PCX): byte builders, failure capture, deterministic test pictures and
// peer programs run in a temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "formats/codecs.h"
#include "support/temp_dir.h"
#include "formats/tiff.h"
#include "support/testdata.h"

namespace kd::formats::test {

inline ByteView viewOf(const Bytes& b) { return ByteView(b.data(), b.size()); }
inline Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Bits packed least significant first (GIF LZW codes, WebP lossless).
struct LsbBitWriter {
  Bytes out;
  uint64_t acc = 0;
  unsigned held = 0;
  void put(uint32_t v, unsigned bits) {
    acc |= uint64_t{v} << held;
    held += bits;
    while (held >= 8) {
      out.push_back(static_cast<uint8_t>(acc));
      acc >>= 8;
      held -= 8;
    }
  }
  // The bytes so far, the last one padded with zero bits.
  Bytes finish() const {
    Bytes b = out;
    if (held > 0) b.push_back(static_cast<uint8_t>(acc));
    return b;
  }
};

// Little- and big-endian byte builder for hand-made files.
struct ByteWriter {
  Bytes b;
  ByteWriter& u8(unsigned v) {
    b.push_back(static_cast<uint8_t>(v));
    return *this;
  }
  ByteWriter& u16le(unsigned v) { return u8(v & 0xFF).u8(v >> 8 & 0xFF); }
  ByteWriter& u32le(uint32_t v) { return u16le(v & 0xFFFF).u16le(v >> 16); }
  ByteWriter& u32be(uint32_t v) { return u8(v >> 24).u8(v >> 16 & 0xFF).u8(v >> 8 & 0xFF).u8(v & 0xFF); }
  ByteWriter& text(const std::string& s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  ByteWriter& raw(const Bytes& v) {
    b.insert(b.end(), v.begin(), v.end());
    return *this;
  }
  ByteWriter& fill(size_t n, uint8_t v) {
    b.insert(b.end(), n, v);
    return *this;
  }
};

struct Failure {
  std::string message;  // "decoded" when nothing was thrown
  ErrorKind kind = ekNone;
};

template <class F>
Failure failureOf(F&& f) {
  try {
    (void)f();
  } catch (const KeldraException& e) {
    return {e.what(), e.kind()};
  }
  return {"decoded", ekNone};
}

inline bool operator==(const Failure& a, const Failure& b) {
  return a.message == b.message && a.kind == b.kind;
}
inline std::ostream& operator<<(std::ostream& os, const Failure& f) {
  return os << '"' << f.message << "\" kind " << static_cast<int>(f.kind);
}

// Pixels of a picture with smooth areas, runs, noise and (for RGBA) varying
// alpha, so every chunk kind and edge case of a codec gets exercised.
inline Image testPicture(int64_t width, int64_t height, ColorSpace cs, uint32_t seed = 1) {
  Image img = newImage(width, height, cs);
  uint32_t state = seed * 2654435761u + 12345u;
  const size_t channels = static_cast<size_t>(img.channels);
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      state = state * 1664525u + 1013904223u;
      uint8_t* px = img.pixels.data() + static_cast<size_t>(y * width + x) * channels;
      const int band = static_cast<int>((x / 7 + y / 5) % 4);
      for (size_t c = 0; c < channels; ++c) {
        uint8_t v;
        if (band == 0) v = static_cast<uint8_t>(40 * c + 3);                  // flat run
        else if (band == 1) v = static_cast<uint8_t>(x * 3 + y + 11 * c);     // gradient
        else if (band == 2) v = static_cast<uint8_t>(state >> (8 + 5 * c));  // noise
        else v = static_cast<uint8_t>(x + c + (state >> 30));                 // small steps
        px[c] = v;
      }
      if (channels == 4 && band != 0) px[3] = static_cast<uint8_t>(255 - (state >> 29) * 30);
    }
  }
  return img;
}

using kd::test::TempDir;

// The test files of two folders, as paths relative to the root (either may
// be absent when no corpus is configured, not both).
inline std::vector<std::string> listTestdataBoth(const std::string& a, const std::string& b) {
  return kd::test::listTestdata({a.c_str(), b.c_str()});
}

// Writes a whole file; true when every byte was written.
inline bool writeFile(const std::string& path, const Bytes& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

// Runs a shell command with quoted file arguments; true when it exits 0.
inline bool runCommand(const std::string& command) { return std::system(command.c_str()) == 0; }
inline std::string quoted(const std::string& s) { return "'" + s + "'"; }

// R, G, B of every pixel (grey repeated, alpha dropped).
inline Bytes rgbOf(const Image& img) {
  Bytes out;
  const size_t n = static_cast<size_t>(img.width * img.height);
  const size_t ch = static_cast<size_t>(img.channels);
  out.reserve(n * 3);
  for (size_t i = 0; i < n; ++i) {
    for (size_t c = 0; c < 3; ++c) out.push_back(img.pixels[i * ch + (ch == 1 ? 0 : c)]);
  }
  return out;
}

// The picture as ImageMagick decodes it: `convert` writes an 8-bit binary
// PPM, read back with stb_image. Empty when ImageMagick fails or the size
// differs from the expected one.
Bytes magickRgb(const std::string& path, int64_t width, int64_t height);

// A TIFF whose first directory declares associated alpha (ExtraSamples 1).
inline bool hasAssociatedAlpha(const Bytes& file) {
  if (file.size() < 8 || (file[0] != 'I' && file[0] != 'M')) return false;
  const auto order = file[0] == 'I' ? base::ByteOrder::kLittle : base::ByteOrder::kBig;
  try {
    const ByteView view = viewOf(file);
    return tiff::parseIfd(view, base::loadU32(view, 4, order), order).getU32(338, 0) == 1;
  } catch (const KeldraException&) {
    return false;
  }
}

// The first frame as 8-bit RGBA (alpha 255 where the file has none), also
// when ImageMagick only warns; empty when it writes nothing.
Bytes magickRgba(const std::string& path);


}  // namespace kd::formats::test
