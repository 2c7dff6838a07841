// Metadata reading: the read-only snapshot behind KdExif handles, its
// queries and its JSON document.
#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "c_api/guard.h"
#include "c_api/registry.h"
#include "exif/exif.h"
#include "exif/json.h"
#include "keldra/keldra.h"

// Built once from a metadata record and never changed afterwards. The JSON
// text is built on first request, exactly once even when several threads ask
// at the same time (one handle may be read by several threads at once). Tags
// are looked up by binary search: `tags` is sorted by name, byte by byte.
struct KdExifObj : kd::exif::MetadataSummary {
  std::string dateTime;  // ISO 8601 capture date, empty when unknown
  std::once_flag jsonOnce;
  std::string json;
};

namespace kd::c_api {

namespace {

std::shared_ptr<KdExifObj> metaOf(const KdExifObj* handle) { return metaHandles().find(handle); }

std::shared_ptr<KdExifObj> buildMetaHandle(exif::Metadata&& md) {
  auto obj = std::make_shared<KdExifObj>();
  obj->isValid = md.isValid;
  obj->orientation = md.orientation;
  obj->hasGps = md.hasGps();
  if (obj->hasGps) {
    obj->latitude = md.latitude;
    obj->longitude = md.longitude;
    obj->altitude = md.altitude;
  }
  obj->camera = std::move(md.camera);
  obj->software = std::move(md.software);
  obj->dateTime = exif::isoDateText(md.dateTime);
  // The record's map is already ordered by byte-wise name comparison; its
  // nodes are taken apart so names and values move instead of being copied.
  obj->tags.reserve(md.tags.size());
  while (!md.tags.empty()) {
    auto node = md.tags.extract(md.tags.begin());
    obj->tags.emplace_back(std::move(node.key()), std::move(node.mapped()));
  }
  return obj;
}

int registerMeta(exif::Metadata&& md, KdExifObj** out) {
  *out = metaHandles().add(buildMetaHandle(std::move(md)));
  return kStatusOk;
}

}  // namespace

}  // namespace kd::c_api

using namespace kd::c_api;

extern "C" {

int kd_exif_read_file(const char* path, KdExif** out) noexcept {
  if (out == nullptr || path == nullptr) return kExifBadArgument;
  *out = nullptr;
  return exifCall([&] {
    return registerMeta(kd::exif::readMetadata(path, kd::exif::kMetadataReadLimit), out);
  });
}

int kd_exif_read_buffer(const uint8_t* data, size_t len, KdExif** out) noexcept {
  if (out == nullptr) return kExifBadArgument;
  *out = nullptr;
  if (data == nullptr || badLength(len)) return kExifBadArgument;
  return exifCall([&] {
    return registerMeta(kd::exif::readMetadataFromBytes(kd::base::ByteView(data, len)), out);
  });
}

int kd_exif_is_valid(const KdExif* handle) noexcept {
  return valueCall(0, [&] {
    auto m = metaOf(handle);
    return m && m->isValid ? 1 : 0;
  });
}

int64_t kd_exif_tag_count(const KdExif* handle) noexcept {
  return valueCall(int64_t{0}, [&] {
    auto m = metaOf(handle);
    return m ? static_cast<int64_t>(m->tags.size()) : int64_t{0};
  });
}

int kd_exif_tag_at(const KdExif* handle, int64_t index, const char** name,
                   const char** value) noexcept {
  return exifCall([&] {
    auto m = metaOf(handle);
    if (!m || name == nullptr || value == nullptr || index < 0 ||
        static_cast<uint64_t>(index) >= m->tags.size()) {
      return kExifBadArgument;
    }
    const auto& pair = m->tags[static_cast<size_t>(index)];
    *name = pair.first.c_str();
    *value = pair.second.c_str();
    return kStatusOk;
  });
}

const char* kd_exif_get_tag(const KdExif* handle, const char* name) noexcept {
  return valueCall(static_cast<const char*>(nullptr), [&]() -> const char* {
    if (name == nullptr) return nullptr;
    auto m = metaOf(handle);
    if (!m) return nullptr;
    const std::string_view key(name);
    auto it = std::lower_bound(m->tags.begin(), m->tags.end(), key,
                               [](const auto& tag, std::string_view k) { return tag.first < k; });
    return it == m->tags.end() || it->first != key ? nullptr : it->second.c_str();
  });
}

int kd_exif_get_gps(const KdExif* handle, double* latitude, double* longitude,
                    double* altitude) noexcept {
  return valueCall(0, [&] {
    auto m = metaOf(handle);
    if (!m || !m->hasGps) return 0;
    if (latitude != nullptr) *latitude = m->latitude;
    if (longitude != nullptr) *longitude = m->longitude;
    if (altitude != nullptr) *altitude = m->altitude;
    return 1;
  });
}

int kd_exif_get_orientation(const KdExif* handle) noexcept {
  return valueCall(0, [&] {
    auto m = metaOf(handle);
    if (!m || m->orientation < INT_MIN || m->orientation > INT_MAX) return 0;
    return static_cast<int>(m->orientation);
  });
}

int kd_exif_get_datetime(const KdExif* handle, char* buf, size_t size) noexcept {
  if (buf == nullptr || size == 0) return kExifBadArgument;
  buf[0] = '\0';
  return exifCall([&] {
    auto m = metaOf(handle);
    if (!m || m->dateTime.empty()) return KD_EXIF_ENOMETA;
    size_t n = std::min(m->dateTime.size(), size - 1);
    std::memcpy(buf, m->dateTime.data(), n);
    buf[n] = '\0';
    return kStatusOk;
  });
}

const char* kd_exif_to_json(KdExif* handle) noexcept {
  return valueCall(static_cast<const char*>(nullptr), [&]() -> const char* {
    auto m = metaOf(handle);
    if (!m) return nullptr;
    // A failed build (out of memory) leaves the flag unset for a later call.
    std::call_once(m->jsonOnce, [&] { m->json = kd::exif::metadataJson(*m); });
    return m->json.c_str();
  });
}

}  // extern "C"
