// kd_image_*: create images from pixels or files, query, encode, release.
#include <cstddef>
#include <cstring>
#include <limits>

#include "base/checked.h"
#include "c_api/image_object.h"
#include "formats/codecs.h"
#include "formats/formats.h"
#include "keldra/keldra.h"

using namespace kd::c_api;
using kd::formats::ColorSpace;
using kd::formats::EncodeFormat;
using kd::formats::Image;

namespace {

EncodeFormat encodeFmtFromCint(int format) {
  switch (format) {
    case KD_FORMAT_PNG: return kd::formats::efPng;
    case KD_FORMAT_JPEG: return kd::formats::efJpeg;
    case KD_FORMAT_BMP: return kd::formats::efBmp;
    case KD_FORMAT_QOI: return kd::formats::efQoi;
    case KD_FORMAT_PNM: return kd::formats::efPnm;
    case KD_FORMAT_TGA: return kd::formats::efTga;
    default:
      kd::base::fail(kd::base::ekUnsupported, "kd_image_encode: not an encodable format");
  }
}

// Live images have int-sized dimensions: every decoder and operation caps
// them well below INT_MAX.
int imageField(KdImage* img, int64_t Image::*field) noexcept {
  return valueCall(0, [&] {
    auto obj = imgOf(img);
    return obj ? static_cast<int>(obj->image.*field) : 0;
  });
}

}  // namespace

extern "C" {

int kd_image_from_pixels(int width, int height, int colorspace, const uint8_t* pixels,
                         size_t len, KdImage** out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  *out = nullptr;
  if (width <= 0 || static_cast<unsigned>(colorspace) > 5 || height <= 0) {
    return kImageBadArgument;
  }
  auto cs = static_cast<ColorSpace>(colorspace);
  // width and height are positive ints, so the product fits; the channel
  // factor is checked against the signed 64-bit range.
  int64_t area = int64_t{width} * height;
  int64_t expected;
  if (!kd::base::checkedMul(area, kd::formats::channelsOf(cs), expected)) {
    return kImageBadArgument;
  }
  if (pixels == nullptr || len != static_cast<uint64_t>(expected)) return kImageBadArgument;
  return imageCall([&] {
    Image image = kd::formats::newImage(width, height, cs);
    std::memcpy(image.pixels.data(), pixels, len);
    *out = registerImage(std::move(image));
    return kStatusOk;
  });
}

int kd_image_decode_buffer(const uint8_t* data, size_t len, int format, KdImage** out) noexcept {
  if (out == nullptr) return kImageBadArgument;
  *out = nullptr;
  if (data == nullptr || len == 0 || static_cast<unsigned>(format) > 10 || badLength(len)) {
    return kImageBadArgument;
  }
  return imageCall([&] {
    kd::base::ByteView bytes(data, len);
    Image image;
    switch (format) {
      case KD_FORMAT_WEBP: image = kd::formats::decodeWebp(bytes); break;
      case KD_FORMAT_TIFF: image = kd::formats::decodeTiff(bytes); break;
      case KD_FORMAT_TGA: image = kd::formats::decodeTga(bytes); break;
      default: image = kd::formats::decodeImage(bytes); break;
    }
    *out = registerImage(std::move(image));
    return kStatusOk;
  });
}

int kd_image_encode(KdImage* img, int format, int quality, uint8_t** out,
                    size_t* out_len) noexcept {
  if (out == nullptr || out_len == nullptr) return kImageBadArgument;
  *out = nullptr;
  *out_len = 0;
  quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
  return imageCall([&] {
    auto obj = imgOf(img);
    if (!obj) return kImageBadArgument;
    // The encoder writes into the block the host receives.
    kd::base::HeapBytes encoded =
        kd::formats::encodeImage(obj->image, encodeFmtFromCint(format), quality);
    if (encoded.empty()) return kImageUnsupported;
    const size_t len = encoded.size();
    *out = encoded.release();
    *out_len = len;
    return kStatusOk;
  });
}

int kd_image_encode_ex(KdImage* img, int format, const KdEncodeOpts* opts, uint8_t** out,
                       size_t* out_len) noexcept {
  if (out == nullptr || out_len == nullptr) return kImageBadArgument;
  *out = nullptr;
  *out_len = 0;
  int quality = 90;
  int pngLevel = 0;
  if (opts != nullptr) {
    if (opts->size < offsetof(KdEncodeOpts, png_level) + sizeof(int32_t)) return kImageBadArgument;
    if (opts->quality != 0) quality = opts->quality;
    pngLevel = opts->png_level;
    if (opts->size >= sizeof(KdEncodeOpts) && opts->reserved != 0) return kImageBadArgument;
  }
  if (pngLevel < 0 || pngLevel > 9) return kImageBadArgument;
  if (pngLevel == 0) return kd_image_encode(img, format, quality, out, out_len);
  quality = quality < 1 ? 1 : quality > 100 ? 100 : quality;
  return imageCall([&] {
    auto obj = imgOf(img);
    if (!obj) return kImageBadArgument;
    kd::base::HeapBytes encoded =
        kd::formats::encodeImage(obj->image, encodeFmtFromCint(format), quality, pngLevel);
    if (encoded.empty()) return kImageUnsupported;
    const size_t len = encoded.size();
    *out = encoded.release();
    *out_len = len;
    return kStatusOk;
  });
}

int kd_image_width(KdImage* img) noexcept { return imageField(img, &Image::width); }
int kd_image_height(KdImage* img) noexcept { return imageField(img, &Image::height); }
int kd_image_channels(KdImage* img) noexcept { return imageField(img, &Image::channels); }
int kd_image_get_colorspace(KdImage* img) noexcept {
  return valueCall(0, [&] {
    auto obj = imgOf(img);
    return obj ? static_cast<int>(obj->image.colorspace) : 0;
  });
}

int kd_image_pixels(KdImage* img, const uint8_t** out, size_t* out_len) noexcept {
  if (out == nullptr || out_len == nullptr) return kImageBadArgument;
  *out = nullptr;
  *out_len = 0;
  return imageCall([&] {
    auto obj = imgOf(img);
    if (!obj) return kImageBadArgument;
    // The pixels stay valid while the handle is live: the registry's
    // reference keeps the object alive after our temporary one is dropped.
    if (!obj->image.pixels.empty()) {
      *out = obj->image.pixels.data();
      *out_len = obj->image.pixels.size();
    }
    return kStatusOk;
  });
}

}  // extern "C"
