// kd_image_decode_ex, kd_image_thumbnail_ex, kd_image_probe: decoding with
// options (the wide flag, a pixel limit) and header probes, each handing the
// failure's text to a caller's buffer. No state outlives a call.
#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

#include "c_api/image_object.h"
#include "formats/formats.h"
#include "formats/probe.h"
#include "keldra.h"
#include "keldra/keldra.h"

using namespace kd::c_api;
using kd::formats::FileFormat;

namespace {

static_assert(static_cast<int>(kd::formats::ffPng) == KD_FORMAT_PNG);
static_assert(static_cast<int>(kd::formats::ffJpeg) == KD_FORMAT_JPEG);
static_assert(static_cast<int>(kd::formats::ffBmp) == KD_FORMAT_BMP);
static_assert(static_cast<int>(kd::formats::ffQoi) == KD_FORMAT_QOI);
static_assert(static_cast<int>(kd::formats::ffPnm) == KD_FORMAT_PNM);
static_assert(static_cast<int>(kd::formats::ffTga) == KD_FORMAT_TGA);
static_assert(static_cast<int>(kd::formats::ffWebp) == KD_FORMAT_WEBP);
static_assert(static_cast<int>(kd::formats::ffTiff) == KD_FORMAT_TIFF);
static_assert(static_cast<int>(kd::formats::ffGif) == KD_FORMAT_GIF);
static_assert(static_cast<int>(kd::formats::ffPcx) == KD_FORMAT_PCX);

constexpr uint32_t kKnownFlags = KD_DECODE_WIDE;
// A record must hold at least `size` and `flags`.
constexpr uint32_t kMinOptsSize = offsetof(KdDecodeOpts, flags) + sizeof(uint32_t);
constexpr uint32_t kMinInfoSize = offsetof(KdImageInfo, format) + sizeof(int32_t);

// Where a failure's text goes: a caller's buffer, possibly none.
struct MessageBuffer {
  char* text = nullptr;
  size_t size = 0;

  // Copies `message` NUL-terminated, truncated to the buffer.
  void set(const char* message) const noexcept {
    if (text == nullptr || size == 0) return;
    const size_t n = std::min(std::strlen(message), size - 1);
    std::memcpy(text, message, n);
    text[n] = '\0';
  }
};

// The options as this library reads them: fields past the caller's size
// read as zero; `valid` is false when the record is too small to be one.
struct Options {
  bool valid = true;
  uint32_t flags = 0;
  uint64_t maxPixels = 0;
  MessageBuffer message;
};

template <class T, class Field>
bool hasField(const T* record, const Field T::*field) {
  const size_t end = static_cast<size_t>(reinterpret_cast<const char*>(&(record->*field)) -
                                         reinterpret_cast<const char*>(record)) +
                     sizeof(Field);
  return record->size >= end;
}

Options readOptions(const KdDecodeOpts* opts) {
  Options o;
  if (opts == nullptr) return o;
  if (opts->size < kMinOptsSize) {
    o.valid = false;
    return o;
  }
  o.flags = opts->flags;
  if (hasField(opts, &KdDecodeOpts::max_pixels)) o.maxPixels = opts->max_pixels;
  if (hasField(opts, &KdDecodeOpts::message_size)) o.message = {opts->message, opts->message_size};
  return o;
}

// The image guard, reporting the failure's text as well as its status:
// a KeldraException's own message, "out of memory" for an allocation
// failure (status 8, as imageCall gives the plain calls), and "" on success.
template <class F>
int messageCall(const MessageBuffer& message, F&& body) noexcept {
  try {
    const int status = body();
    message.set(status == kStatusOk ? "" : kd_image_strerror(status));
    return status;
  } catch (const kd::base::KeldraException& e) {
    message.set(e.what());
    return mapImgStatus(e.kind());
  } catch (const std::bad_alloc&) {
    message.set("out of memory");
    return kImageOutOfMemory;
  } catch (const std::exception& e) {
    message.set(e.what());
    return kImageBadArgument;
  } catch (...) {
    message.set(kd_image_strerror(kImageBadArgument));
    return kImageBadArgument;
  }
}

// Argument failures found before the guard: status 2 and their text.
int refuse(const MessageBuffer& message, const char* text) noexcept {
  message.set(text);
  return kImageBadArgument;
}

}  // namespace

extern "C" {

int kd_image_decode_ex(const uint8_t* data, size_t len, int format, const KdDecodeOpts* opts,
                       KdImage** out) noexcept {
  const Options o = readOptions(opts);
  if (out == nullptr) return refuse(o.message, "decode: no output handle");
  *out = nullptr;
  if (!o.valid) return kImageBadArgument;
  if ((o.flags & ~kKnownFlags) != 0) return refuse(o.message, "decode: unknown flags");
  if (data == nullptr || badLength(len)) return refuse(o.message, "decode: no input");
  // The plain call's choice: the decoders of WebP, TIFF and TGA by name,
  // every other format detected from the content.
  FileFormat named;
  switch (format) {
    case KD_FORMAT_AUTO: case KD_FORMAT_PNG: case KD_FORMAT_JPEG: case KD_FORMAT_BMP:
    case KD_FORMAT_QOI: case KD_FORMAT_PNM:
      named = kd::formats::ffAuto;
      break;
    case KD_FORMAT_TGA: case KD_FORMAT_WEBP: case KD_FORMAT_TIFF:
      named = static_cast<FileFormat>(format);
      break;
    default: return refuse(o.message, "decode: unknown format code");
  }
  return messageCall(o.message, [&] {
    kd::formats::DecodeOptions options;
    options.wide = (o.flags & KD_DECODE_WIDE) != 0;
    options.maxPixels = o.maxPixels;
    *out = registerImage(kd::formats::decodeImage(kd::base::ByteView(data, len), options, named));
    return kStatusOk;
  });
}

int kd_image_thumbnail_ex(const uint8_t* data, size_t len, const KdDecodeOpts* opts,
                          KdImage** out) noexcept {
  const Options o = readOptions(opts);
  if (out == nullptr) return refuse(o.message, "thumbnail: no output handle");
  *out = nullptr;
  if (!o.valid) return kImageBadArgument;
  if ((o.flags & ~kKnownFlags) != 0) return refuse(o.message, "thumbnail: unknown flags");
  if (data == nullptr || badLength(len)) return refuse(o.message, "thumbnail: no input");
  return messageCall(o.message, [&] {
    kd::formats::DecodeOptions options;
    options.wide = (o.flags & KD_DECODE_WIDE) != 0;
    options.maxPixels = o.maxPixels;
    // The caller's bytes are read in place, not copied or kept.
    *out = registerImage(kd::loadThumbnail(kd::base::ByteView(data, len), options));
    return kStatusOk;
  });
}

int kd_image_probe(const uint8_t* data, size_t len, KdImageInfo* info, char* message,
                   size_t message_size) noexcept {
  const MessageBuffer text{message, message_size};
  if (info == nullptr || info->size < kMinInfoSize) return refuse(text, "probe: bad info record");
  const uint32_t size = info->size;
  // Only the fields inside the caller's record are written.
  std::memset(reinterpret_cast<char*>(info) + sizeof(info->size), 0,
              std::min<size_t>(size, sizeof(KdImageInfo)) - sizeof(info->size));
  if (data == nullptr || badLength(len)) return refuse(text, "probe: no input");
  return messageCall(text, [&] {
    const kd::formats::ImageInfo found =
        kd::formats::probeImage(kd::base::ByteView(data, len), kd::formats::ffAuto);
    info->format = static_cast<int32_t>(found.format);
    if (hasField(info, &KdImageInfo::width)) info->width = static_cast<int32_t>(found.width);
    if (hasField(info, &KdImageInfo::height)) info->height = static_cast<int32_t>(found.height);
    if (hasField(info, &KdImageInfo::channels)) {
      info->channels = static_cast<int32_t>(kd::formats::channelsOf(found.colorspace));
    }
    if (hasField(info, &KdImageInfo::colorspace)) {
      info->colorspace = static_cast<int32_t>(found.colorspace);
    }
    return kStatusOk;
  });
}

}  // extern "C"
