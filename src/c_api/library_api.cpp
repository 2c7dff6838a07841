// Identity, start-up, status texts and buffer release.
#include <cstdlib>
#include <cstring>

#include "c_api/guard.h"
#include "c_api/registry.h"
#include "keldra.h"
#include "keldra/keldra.h"

namespace kd::c_api {

uint8_t* copyToHostBuffer(const uint8_t* data, size_t len) noexcept {
  // malloc(0) may return null; always hand out a real block.
  auto* buf = static_cast<uint8_t*>(std::malloc(len == 0 ? 1 : len));
  if (buf != nullptr && len != 0) std::memcpy(buf, data, len);
  return buf;
}

}  // namespace kd::c_api

using namespace kd::c_api;

extern "C" {

int kd_exif_abi_version(void) noexcept { return 1; }
int kd_image_abi_version(void) noexcept { return 1; }
const char* kd_version(void) noexcept { return "1.0.0"; }

// Start-up errors are swallowed here; kd_library_init reports them.
void kd_exif_init(void) noexcept {
  quietCall([] {
    kd::initLibrary();
    handleLock();
  });
}

int kd_library_init(void) noexcept {
  return valueCall(kExifIo, [] {
    kd::initLibrary();
    handleLock();
    return kStatusOk;
  });
}

void kd_library_teardown(void) noexcept {
  quietCall([] {
    clearAllHandles();
    kd::teardownLibrary();
  });
}

const char* kd_exif_strerror(int status) noexcept {
  switch (status) {
    case KD_EXIF_OK: return "ok";
    case KD_EXIF_EIO: return "io error";
    case KD_EXIF_ENOMETA: return "unrecognized format / no metadata";
    case KD_EXIF_EUNSUPPORTED: return "unsupported operation";
    default: return "unknown error";
  }
}

const char* kd_image_strerror(int status) noexcept {
  switch (status) {
    case KD_IMAGE_OK: return "ok";
    case KD_IMAGE_EARG: return "bad argument / unrecognized / truncated";
    case KD_IMAGE_EUNSUPPORTED: return "unsupported operation";
    case KD_IMAGE_ENOMEM: return "out of memory";
    default: return "unknown error";
  }
}

// Release: only a live handle of the expected kind is removed; NULL, freed,
// foreign and other-kind handles are ignored. The lock and the destruction
// of the object run inside the guard.
void kd_exif_meta_free(KdExif* handle) noexcept {
  quietCall([&] { metaHandles().remove(handle); });
}
void kd_exif_edit_free(KdExifEdit* handle) noexcept {
  quietCall([&] { editHandles().remove(handle); });
}
void kd_image_free(KdImage* img) noexcept {
  quietCall([&] { imageHandles().remove(img); });
}
void kd_palette_free(KdPalette* palette) noexcept {
  quietCall([&] { paletteHandles().remove(palette); });
}

void kd_exif_buffer_free(void* buf) noexcept { std::free(buf); }
void kd_image_buffer_free(void* buf) noexcept { std::free(buf); }

}  // extern "C"
