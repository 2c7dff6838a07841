// Olympus maker notes of the older kind: "OLYMP\0" and two more bytes, then
// a directory; offsets relative to the enclosing TIFF header, in its order.
#include <cstdio>
#include <vector>

#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

constexpr Value kSpecialModeMode[] = {{0, "Normal"}, {1, "Unknown"}, {2, "Fast"},
                                      {3, "Panorama"}};
constexpr Value kPanoramaDir[] = {{0, "(none)"},
                                  {1, "Left to right"},
                                  {2, "Right to left"},
                                  {3, "Bottom to top"},
                                  {4, "Top to bottom"}};
constexpr Value kQuality[] = {{1, "SQ (Low)"}, {2, "HQ (Normal)"}, {3, "SHQ (Fine)"}, {4, "RAW"}};
constexpr Value kMacro[] = {{0, "Off"}, {1, "On"}, {2, "Super Macro"}};
constexpr TextValue kCameraType[] = {{"SR951", "C2000Z"}};

std::vector<std::string> tokens(const std::string& raw) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < raw.size()) {
    size_t j = raw.find(' ', i);
    if (j == std::string::npos) j = raw.size();
    if (j > i) out.push_back(raw.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

// "Normal, Sequence: 0, Panorama: (none)".
std::string specialMode(const IfdEntry&, const std::string& raw) {
  std::vector<std::string> t = tokens(raw);
  if (t.size() < 3) return {};
  const char* mode = lookup(kSpecialModeMode, num(t[0]));
  const char* direction = lookup(kPanoramaDir, num(t[2]));
  if (mode == nullptr || direction == nullptr) return {};
  return std::string(mode) + ", Sequence: " + t[1] + ", Panorama: " + direction;
}

// First rational of the value as numerator / denominator; false for a zero
// denominator or a value shorter than one rational.
bool firstRatio(const IfdEntry& e, double& out) {
  if (e.data.size() < 8) return false;
  uint32_t n = readUint32(e.data, 0, orderOf(e.bigEndian));
  uint32_t d = readUint32(e.data, 4, orderOf(e.bigEndian));
  if (d == 0) return false;
  out = static_cast<double>(n) / d;
  return true;
}

std::string digitalZoom(const IfdEntry& e, const std::string&) {
  double v;
  if (!firstRatio(e, v)) return {};
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// The ratio as a decimal without trailing zeros ("7.8", "9.04").
std::string ratToDecimal(double v) { return fmtNum(6, v); }

std::string focalPlaneDiagonal(const IfdEntry& e, const std::string&) {
  double v;
  if (!firstRatio(e, v)) return {};
  return ratToDecimal(v) + " mm";
}

// The digits after "Resolution=" in the picture-information text.
std::string resolution(const IfdEntry&, const std::string& raw) {
  static constexpr std::string_view kMarker = "Resolution=";
  size_t at = raw.find(kMarker);
  if (at == std::string::npos) return {};
  size_t start = at + kMarker.size();
  size_t end = start;
  while (end < raw.size() && raw[end] >= '0' && raw[end] <= '9') ++end;
  return raw.substr(start, end - start);
}

constexpr TagRule kTags[] = {
    {512, "SpecialMode", {}, specialMode},
    {513, "Quality", kQuality},
    {514, "Macro", kMacro},
    {515, "BWMode", kOnOff},
    {516, "DigitalZoom", {}, digitalZoom},
    {517, "FocalPlaneDiagonal", {}, focalPlaneDiagonal},
    {518, "LensDistortionParams"},
    {519, "CameraType", {}, nullptr, kCameraType},
    {520, "Resolution", {}, resolution},
    {521, "CameraID"},
};

}  // namespace

TagMap parseOlympusMakerNote(const NoteInput& in) {
  if (in.note.data.size() < 8 || !startsWith(in.note.data, std::string_view("OLYMP\0", 6))) {
    return {};
  }
  TagMap out;
  Ifd dir = readNoteDirectory(in, in.note.valueOffset + 8, in.base, in.bigEndian);
  addTagRules(dir, kTags, "Olympus:", in.budget, out);
  return out;
}

}  // namespace kd::exif::makernote
