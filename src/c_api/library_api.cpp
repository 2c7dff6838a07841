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

int kd_exif_abi_version(void) { return 1; }
int kd_image_abi_version(void) { return 1; }
const char* kd_version(void) { return "1.0.0"; }

void kd_exif_init(void) {
  try {
    kd::initLibrary();
    handleLock();
  } catch (...) {
    // Start-up errors are swallowed here; kd_library_init reports them.
  }
}

int kd_library_init(void) {
  try {
    kd::initLibrary();
    handleLock();
    return 0;
  } catch (...) {
    return 1;
  }
}

void kd_library_teardown(void) {
  clearAllHandles();
  kd::teardownLibrary();
}

const char* kd_exif_strerror(int status) {
  switch (status) {
    case 0: return "ok";
    case 1: return "io error";
    case 2: return "unrecognized format / no metadata";
    case 4: return "unsupported operation";
    default: return "unknown error";
  }
}

const char* kd_image_strerror(int status) {
  switch (status) {
    case 0: return "ok";
    case 2: return "bad argument / unrecognized / truncated";
    case 4: return "unsupported operation";
    case 8: return "out of memory";
    default: return "unknown error";
  }
}

// Release: only a live handle of the expected kind is removed; NULL, freed,
// foreign and other-kind handles are ignored.
void kd_exif_meta_free(KdExif* handle) { metaHandles().remove(handle); }
void kd_exif_edit_free(KdExifEdit* handle) { editHandles().remove(handle); }
void kd_image_free(KdImage* img) { imageHandles().remove(img); }
void kd_palette_free(KdPalette* palette) { paletteHandles().remove(palette); }

void kd_exif_buffer_free(void* buf) { std::free(buf); }
void kd_image_buffer_free(void* buf) { std::free(buf); }

}  // extern "C"
