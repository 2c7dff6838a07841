#include "png_peer.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdlib>
#include <cstring>

namespace kd::test {

namespace {

struct MemorySource {
  const uint8_t* data;
  size_t size;
  size_t pos;
};

void readFromMemory(png_structp png, png_bytep out, png_size_t n) {
  auto* src = static_cast<MemorySource*>(png_get_io_ptr(png));
  if (n > src->size - src->pos) png_error(png, "read past the end of the file");
  std::memcpy(out, src->data + src->pos, n);
  src->pos += n;
}

void onError(png_structp png, png_const_charp message) {
  char* text = static_cast<char*>(png_get_error_ptr(png));
  std::strncpy(text, message, 255);
  text[255] = 0;
  png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

}  // namespace

PeerImage libpngDecode(const std::vector<uint8_t>& file) {
  PeerImage result;
  static thread_local char error[256];
  error[0] = 0;
  MemorySource src{file.data(), file.size(), 0};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, error, onError, onWarning);
  png_infop info = png_create_info_struct(png);
  uint8_t* volatile buffer = nullptr;
  png_bytep* volatile rows = nullptr;
  if (setjmp(png_jmpbuf(png))) {
    std::free(buffer);
    std::free(rows);
    png_destroy_read_struct(&png, &info, nullptr);
    result.error = error;
    return result;
  }
  png_set_read_fn(png, &src, readFromMemory);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const int depth = png_get_bit_depth(png, info);
  const int colorType = png_get_color_type(png, info);
  const int interlace = png_get_interlace_type(png, info);
  if (depth == 16) png_set_strip_16(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (colorType == PNG_COLOR_TYPE_PALETTE) {
    png_set_palette_to_rgb(png);
    if (png_get_valid(png, info, PNG_INFO_tRNS)) {
      png_set_tRNS_to_alpha(png);
    } else {
      png_set_add_alpha(png, 0xFF, PNG_FILLER_AFTER);
    }
  }
  if (colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  const int channels = png_get_channels(png, info);
  buffer = static_cast<uint8_t*>(std::malloc(rowBytes * height));
  rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = buffer + y * rowBytes;
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  result.ok = true;
  result.width = width;
  result.height = height;
  result.channels = channels;
  result.interlace = interlace;
  result.pixels.assign(buffer, buffer + rowBytes * height);
  std::free(buffer);
  std::free(rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return result;
}

namespace {

void writeToVector(png_structp png, png_bytep data, png_size_t n) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + n);
}

void flushNothing(png_structp) {}

}  // namespace

std::vector<uint8_t> libpngEncode(const std::vector<uint8_t>& raw, uint32_t width, uint32_t height,
                                  int depth, int colorType, bool interlaced,
                                  const std::vector<uint8_t>& palette,
                                  const std::vector<uint8_t>& trns) {
  std::vector<uint8_t> out;
  static thread_local char error[256];
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, error, onError, onWarning);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return {};
  }
  png_set_write_fn(png, &out, writeToVector, flushNothing);
  png_set_IHDR(png, info, width, height, depth, colorType,
               interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> colours(palette.size() / 3);
  for (size_t i = 0; i < colours.size(); ++i) {
    colours[i] = {palette[3 * i], palette[3 * i + 1], palette[3 * i + 2]};
  }
  if (!colours.empty()) png_set_PLTE(png, info, colours.data(), static_cast<int>(colours.size()));
  if (!trns.empty()) {
    png_set_tRNS(png, info, trns.data(), static_cast<int>(trns.size()), nullptr);
  }
  png_set_filter(png, 0, PNG_ALL_FILTERS);
  const size_t rowBytes = (size_t{width} * static_cast<size_t>(depth) *
                               static_cast<size_t>(png_get_channels(png, info)) + 7) / 8;
  std::vector<png_bytep> rows(height);
  for (uint32_t y = 0; y < height; ++y) rows[y] = const_cast<png_bytep>(raw.data() + y * rowBytes);
  png_write_info(png, info);
  png_set_interlace_handling(png);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out;
}

int firstBadCrcChunk(const std::vector<uint8_t>& file) {
  size_t pos = 8;
  for (int index = 0; pos + 12 <= file.size(); ++index) {
    const uint8_t* p = file.data() + pos;
    const size_t length = size_t{p[0]} << 24 | size_t{p[1]} << 16 | size_t{p[2]} << 8 | p[3];
    if (length > file.size() - pos - 12) return -1;
    const uint8_t* c = p + 8 + length;
    const uint32_t stored = uint32_t{c[0]} << 24 | uint32_t{c[1]} << 16 | uint32_t{c[2]} << 8 | c[3];
    if (::crc32(0, p + 4, static_cast<uInt>(length + 4)) != stored) return index;
    if (std::memcmp(p + 4, "IEND", 4) == 0) return -1;
    pos += length + 12;
  }
  return -1;
}

}  // namespace kd::test
