// Pictures in and out through the library: wide decoding under the pixel
// limit with the decoder's own failure message, the header probe, the
// capture date, and the names of formats and colour spaces.
#include <cstdio>
#include <map>

#include "cli.h"

namespace cli {

namespace {

// TGA has no signature: the extension chooses its decoder.
int decodeFormatFor(const std::string& name) {
  return extensionOf(name) == "tga" ? KD_FORMAT_TGA : KD_FORMAT_AUTO;
}

// The decoder's message, else the status text.
std::string reason(int status, const char* message) {
  return message != nullptr && message[0] != '\0' ? std::string(message)
                                                  : std::string(kd_image_strerror(status));
}


KdDecodeOpts wideOptions(uint64_t maxPixels, char* message, size_t size) {
  KdDecodeOpts opts{};
  opts.size = sizeof opts;
  opts.flags = KD_DECODE_WIDE;
  opts.max_pixels = maxPixels;
  opts.message = message;
  opts.message_size = size;
  return opts;
}

}  // namespace

ImagePtr decodeImage(const Bytes& data, const std::string& name, uint64_t maxPixels) {
  if (data.empty()) throw FileError(name, "empty file");
  char message[256] = "";
  const KdDecodeOpts opts = wideOptions(maxPixels, message, sizeof message);
  KdImage* img = nullptr;
  int st = kd_image_decode_ex(data.data(), data.size(), decodeFormatFor(name), &opts, &img);
  if (st != KD_IMAGE_OK) throw FileError(name, reason(st, message));
  return ImagePtr(img);
}

ImagePtr decodeThumbnail(const Bytes& data, const std::string& name, uint64_t maxPixels) {
  if (data.empty()) throw FileError(name, "empty file");
  char message[256] = "";
  const KdDecodeOpts opts = wideOptions(maxPixels, message, sizeof message);
  KdImage* img = nullptr;
  int st = kd_image_thumbnail_ex(data.data(), data.size(), &opts, &img);
  if (st == KD_IMAGE_EUNSUPPORTED) {
    throw FileError(name, "no embedded EXIF thumbnail the library can decode (" +
                              reason(st, message) + ")");
  }
  if (st != KD_IMAGE_OK) throw FileError(name, "thumbnail: " + reason(st, message));
  return ImagePtr(img);
}

bool probeImage(const Bytes& data, const std::string& name, KdImageInfo& info,
                std::string& error) {
  info = KdImageInfo{};
  info.size = sizeof info;
  if (data.empty()) {
    error = "empty file";
    return false;
  }
  char message[256] = "";
  int st = kd_image_probe(data.data(), data.size(), &info, message, sizeof message);
  if (st != KD_IMAGE_OK && decodeFormatFor(name) == KD_FORMAT_TGA) {
    // No header to probe: the picture itself tells.
    try {
      ImagePtr img = decodeImage(data, name, 0);
      info.format = KD_FORMAT_TGA;
      info.width = kd_image_width(img.get());
      info.height = kd_image_height(img.get());
      info.channels = kd_image_channels(img.get());
      info.colorspace = kd_image_get_colorspace(img.get());
      return true;
    } catch (const FileError&) {
    }
  }
  if (st != KD_IMAGE_OK) error = reason(st, message);
  return st == KD_IMAGE_OK;
}

std::string captureDate(const KdExif* meta) {
  char buf[64] = "";
  return kd_exif_get_datetime(meta, buf, sizeof buf) == KD_EXIF_OK ? std::string(buf) : std::string();
}

ExifPtr readMetadata(const Bytes& data, bool complete, const std::string& path) {
  KdExif* meta = nullptr;
  int st;
  if (!complete && data.size() >= kMetadataHead) {
    st = kd_exif_read_file(path.c_str(), &meta);
  } else {
    static const uint8_t kNothing = 0;
    st = kd_exif_read_buffer(data.empty() ? &kNothing : data.data(), data.size(), &meta);
  }
  if (st != KD_EXIF_OK) throw FileError(path, kd_exif_strerror(st));
  return ExifPtr(meta);
}

const char* colorSpaceName(int cs) {
  static const char* const names[] = {"gray", "rgb", "rgba", "cmyk", "other3", "other1"};
  return cs >= 0 && cs < 6 ? names[cs] : "unknown";
}

const char* formatName(int format) {
  switch (format) {
    case KD_FORMAT_PNG: return "png";
    case KD_FORMAT_JPEG: return "jpeg";
    case KD_FORMAT_BMP: return "bmp";
    case KD_FORMAT_QOI: return "qoi";
    case KD_FORMAT_PNM: return "pnm";
    case KD_FORMAT_TGA: return "tga";
    case KD_FORMAT_WEBP: return "webp";
    case KD_FORMAT_TIFF: return "tiff";
    case KD_FORMAT_GIF: return "gif";
    case KD_FORMAT_PCX: return "pcx";
    default: return "unknown";
  }
}

int encodeFormatFor(const std::string& name) {
  static const std::map<std::string, int> formats = {
      {"png", KD_FORMAT_PNG}, {"jpg", KD_FORMAT_JPEG}, {"jpeg", KD_FORMAT_JPEG},
      {"bmp", KD_FORMAT_BMP}, {"qoi", KD_FORMAT_QOI},  {"pnm", KD_FORMAT_PNM},
      {"pgm", KD_FORMAT_PNM}, {"ppm", KD_FORMAT_PNM},  {"pam", KD_FORMAT_PNM},
      {"tga", KD_FORMAT_TGA}};
  auto it = formats.find(name);
  return it == formats.end() ? -1 : it->second;
}

Bytes encodeImage(KdImage* img, int format, int quality, const std::string& name) {
  uint8_t* buf = nullptr;
  size_t len = 0;
  int st = kd_image_encode(img, format, quality, &buf, &len);
  if (st != KD_IMAGE_OK) throw FileError(name, std::string("encode: ") + kd_image_strerror(st));
  Bytes out(buf, buf + len);
  kd_image_buffer_free(buf);
  return out;
}

}  // namespace cli
