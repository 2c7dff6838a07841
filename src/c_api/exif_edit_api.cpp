// Metadata editing and stripping: edit handles, setters, writing and
// stripping files and buffers.
#include <cstdlib>
#include <string>

#include "c_api/guard.h"
#include "c_api/registry.h"
#include "exif/edit.h"
#include "exif/file_ops.h"
#include "keldra/keldra.h"

// An edit session and its source: a path for a file session, a private copy
// of the bytes for a buffer session (the other one is empty).
struct KdExifEditObj {
  std::string sourcePath;
  kd::base::Bytes sourceBytes;
  kd::exif::EditSession session;
};

namespace kd::c_api {

namespace {

std::shared_ptr<KdExifEditObj> editOf(const KdExifEditObj* handle) {
  return editHandles().find(handle);
}

}  // namespace

}  // namespace kd::c_api

using namespace kd::c_api;
namespace ex = kd::exif;

extern "C" {

int kd_exif_strip_file(const char* input_path, const char* output_path) noexcept {
  if (input_path == nullptr || output_path == nullptr) return kExifBadArgument;
  return exifCall([&] {
    return ex::stripMetadata(input_path, output_path) ? kStatusOk : kExifUnsupported;
  });
}

int kd_exif_strip_buffer(const uint8_t* data, size_t len, uint8_t** out, size_t* out_len) noexcept {
  if (out == nullptr || out_len == nullptr) return kExifBadArgument;
  *out = nullptr;
  *out_len = 0;
  if (data == nullptr || badLength(len)) return kExifBadArgument;
  return exifCall([&] {
    return handOutPieces(ex::stripMetadataPieces(kd::base::ByteView(data, len)), out, out_len);
  });
}

int kd_exif_edit_open(const char* path, KdExifEdit** out) noexcept {
  if (path == nullptr || out == nullptr) return kExifBadArgument;
  *out = nullptr;
  return exifCall([&] {
    auto obj = std::make_shared<KdExifEditObj>();
    obj->sourcePath = path;
    obj->session = ex::parseExif(obj->sourcePath);
    *out = editHandles().add(std::move(obj));
    return kStatusOk;
  });
}

int kd_exif_edit_open_buffer(const uint8_t* data, size_t len, KdExifEdit** out) noexcept {
  if (out == nullptr) return kExifBadArgument;
  *out = nullptr;
  if (data == nullptr || badLength(len)) return kExifBadArgument;
  return exifCall([&] {
    auto obj = std::make_shared<KdExifEditObj>();
    obj->sourceBytes.assign(data, data + len);
    obj->session = ex::parseExifBytes(obj->sourceBytes);
    *out = editHandles().add(std::move(obj));
    return kStatusOk;
  });
}

void kd_exif_set_artist(KdExifEdit* handle, const char* text) noexcept {
  if (text == nullptr) return;
  quietCall([&] {
    if (auto e = editOf(handle)) ex::setArtist(e->session, text);
  });
}

void kd_exif_set_software(KdExifEdit* handle, const char* text) noexcept {
  if (text == nullptr) return;
  quietCall([&] {
    if (auto e = editOf(handle)) ex::setSoftware(e->session, text);
  });
}

void kd_exif_set_datetime(KdExifEdit* handle, const char* text) noexcept {
  if (text == nullptr) return;
  quietCall([&] {
    if (auto e = editOf(handle)) ex::setDateTimeOriginal(e->session, text);
  });
}

void kd_exif_set_gps(KdExifEdit* handle, double latitude, double longitude, double altitude) noexcept {
  quietCall([&] {
    if (auto e = editOf(handle)) ex::setGps(e->session, latitude, longitude, altitude);
  });
}

int kd_exif_edit_set_tag(KdExifEdit* handle, const char* name, const char* value) noexcept {
  return exifCall([&] {
    auto e = editOf(handle);
    if (!e || name == nullptr || value == nullptr) return kExifBadArgument;
    return ex::setTagByName(e->session, name, value) ? kStatusOk : kExifUnsupported;
  });
}

void kd_exif_strip_all(KdExifEdit* handle) noexcept {
  quietCall([&] {
    if (auto e = editOf(handle)) ex::stripAll(e->session);
  });
}

int kd_exif_edit_write(KdExifEdit* handle, const char* output_path) noexcept {
  return exifCall([&] {
    auto e = editOf(handle);
    if (!e || e->sourcePath.empty()) return kExifBadArgument;
    std::string target = output_path != nullptr ? output_path : "";
    return ex::writeExif(e->sourcePath, e->session, target) ? kStatusOk : kExifUnsupported;
  });
}

int kd_exif_edit_write_buffer(KdExifEdit* handle, uint8_t** out, size_t* out_len) noexcept {
  if (out == nullptr || out_len == nullptr) return kExifBadArgument;
  *out = nullptr;
  *out_len = 0;
  return exifCall([&] {
    auto e = editOf(handle);
    if (!e || e->sourceBytes.empty()) return kExifBadArgument;
    return handOutPieces(ex::writeExifPieces(e->sourceBytes, e->session), out, out_len);
  });
}

}  // extern "C"
