// Tag dictionaries and value rendering: names for EXIF/TIFF and GPS tag ids,
// and the text a person reads for a value's raw text ("1/250", "f/2.8",
// "Rotate 90 CW"). Rendering never fails: a value it cannot interpret keeps
// its raw text.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace kd::exif {

// Tag name to rendered text.
using TagMap = std::map<std::string, std::string, std::less<>>;

struct TagName {
  uint16_t id;
  const char* name;
};

// The 117 names of IFD0/IFD1/Exif/sub-IFD tags, ordered by id, and the 32
// GPS tag names indexed by id.
extern const TagName ExifTags[117];
extern const char* const GpsTags[32];

// Name of a tag id, or null when the dictionary has none.
const char* exifTagName(uint16_t id);
const char* gpsTagName(uint16_t id);

// The rendered text of a named tag. `tags` is consulted only for the stored
// GPS reference texts.
std::string formatTagValue(std::string_view name, const std::string& raw, const TagMap& tags);
// The same taking the raw text, which comes back unchanged (not copied) for a
// tag without a rendering.
std::string formatTagValue(std::string_view name, std::string&& raw, const TagMap& tags);

// Number helpers of the renderer.
double parseRational(std::string_view text);
double ratToFloat(std::string_view raw);
double parseGpsRationals(std::string_view raw);
std::string fmtNum(int decimals, double x);
std::string fmtShutter(double apex);
std::string formatGPSCoord(const std::string& raw, std::string_view ref);

// A decimal integer filling the whole text (optional sign), or nothing.
std::optional<int64_t> parseWholeInt(std::string_view text);

}  // namespace kd::exif
