// kd_exif_read_buffer + the snapshot queries + kd_exif_to_json on arbitrary
// bytes. Reading never fails on malformed input, so any status but 0 is a
// finding too, and so is a JSON document that is not strict UTF-8 JSON, or
// tag text and JSON that together exceed the read's output allowance.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exif/tiff.h"
#include "keldra/keldra.h"
#include "support/json_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  KdExif* h = nullptr;
  if (kd_exif_read_buffer(data, size, &h) != 0 || h == nullptr) std::abort();
  const char* json = kd_exif_to_json(h);
  if (json == nullptr || !kd::test::StrictJson::valid(json)) std::abort();
  int64_t handedOut = static_cast<int64_t>(std::strlen(json));
  int64_t n = kd_exif_tag_count(h);
  for (int64_t i = 0; i < n; ++i) {
    const char* name = nullptr;
    const char* value = nullptr;
    if (kd_exif_tag_at(h, i, &name, &value) != 0) std::abort();
    if (kd_exif_get_tag(h, name) != value) std::abort();
    handedOut += static_cast<int64_t>(std::strlen(name) + std::strlen(value));
  }
  if (handedOut > kd::exif::ReadBudget::outputAllowance(size)) std::abort();
  double lat, lon, alt;
  kd_exif_get_gps(h, &lat, &lon, &alt);
  kd_exif_get_orientation(h);
  kd_exif_meta_free(h);
  return 0;
}
