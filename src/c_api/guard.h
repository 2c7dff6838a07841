// The boundary guards. Every exported function is noexcept and runs all its
// work inside one of them (handle lookups, the handle lock and releases
// included), so that no exception ever reaches the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>

#include "base/error.h"
#include "keldra/keldra.h"

namespace kd::c_api {

inline constexpr int kStatusOk = KD_IMAGE_OK;
static_assert(KD_EXIF_OK == KD_IMAGE_OK);
// Metadata family.
inline constexpr int kExifIo = KD_EXIF_EIO;
inline constexpr int kExifBadArgument = KD_EXIF_ENOMETA;
inline constexpr int kExifUnsupported = KD_EXIF_EUNSUPPORTED;
// Image family.
inline constexpr int kImageBadArgument = KD_IMAGE_EARG;
inline constexpr int kImageUnsupported = KD_IMAGE_EUNSUPPORTED;
inline constexpr int kImageOutOfMemory = KD_IMAGE_ENOMEM;

// ekNone -> 0, ekUnsupported -> 4, every other kind -> 2.
constexpr int mapImgStatus(base::ErrorKind kind) {
  switch (kind) {
    case base::ekNone: return kStatusOk;
    case base::ekUnsupported: return kImageUnsupported;
    default: return kImageBadArgument;
  }
}

// A length whose top bit is set is a negative value cast to size_t.
constexpr bool badLength(size_t len) { return len == 0 || (len >> (sizeof(size_t) * 8 - 1)) != 0; }

// Image family: KeldraException maps by kind, an allocation that fails
// gives 8, anything else 2.
template <class F>
int imageCall(F&& body) noexcept {
  try {
    return body();
  } catch (const base::KeldraException& e) {
    return mapImgStatus(e.kind());
  } catch (const std::bad_alloc&) {
    return kImageOutOfMemory;
  } catch (...) {
    return kImageBadArgument;
  }
}

// Metadata family: every failure of the work gives 1.
template <class F>
int exifCall(F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return kExifIo;
  }
}

// Value-returning functions: any failure gives `fallback`.
template <class R, class F>
R valueCall(R fallback, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return fallback;
  }
}

// Functions returning nothing (the setters): a failure has nobody to tell.
template <class F>
void quietCall(F&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

// Copies bytes into a buffer from the shared heap (released by
// kd_image_buffer_free / kd_exif_buffer_free); null when allocation fails.
uint8_t* copyToHostBuffer(const uint8_t* data, size_t len) noexcept;

// Assembles a non-empty result (anything with empty(), size() and
// copyTo(uint8_t*)) straight into a block of the shared heap (metadata
// family): KD_EXIF_EUNSUPPORTED when there is nothing to hand out,
// KD_EXIF_EIO when the block cannot be had.
template <class Content>
int handOutPieces(const Content& content, uint8_t** out, size_t* outLen) {
  if (content.empty()) return kExifUnsupported;
  auto* buf = static_cast<uint8_t*>(std::malloc(content.size()));
  if (buf == nullptr) return kExifIo;
  content.copyTo(buf);
  *out = buf;
  *outLen = content.size();
  return kStatusOk;
}

}  // namespace kd::c_api
