// JSON strings of metadata text. Tag text is bytes, often UTF-8 but just as
// often Latin-1 or Windows-1252 from older cameras and agencies; the written
// string is always valid UTF-8 JSON and keeps every byte: valid UTF-8
// sequences are copied, every other byte becomes \u00XX (its Latin-1
// reading).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kd::exif {

// Appends `text` as a quoted JSON string.
void appendJsonString(std::string& out, std::string_view text);

// Length of what appendJsonString appends for `text`, quotes included.
size_t jsonStringSize(std::string_view text);

// Length of the valid UTF-8 sequence at the start of `text` (1 to 4), or 0
// when it does not start with one (RFC 3629: no overlong forms, no
// surrogates, nothing above U+10FFFF).
size_t utf8SequenceLength(std::string_view text);

// What the JSON document of a metadata record shows (the record behind a
// KdExif handle extends it).
struct MetadataSummary {
  bool isValid = false;
  int64_t orientation = 0;
  bool hasGps = false;
  double latitude = 0;
  double longitude = 0;
  double altitude = 0;
  std::string camera;
  std::string software;
  std::vector<std::pair<std::string, std::string>> tags;  // sorted by name (byte order)
};

// The document kd_exif_to_json hands out: "isValid", "orientation", then
// "camera" and "software" when not empty, "gps" when present (non-finite
// numbers as null), and "tags" in their order.
std::string metadataJson(const MetadataSummary& m);

}  // namespace kd::exif
