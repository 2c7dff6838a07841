// Casio maker notes of the first kind: a plain directory at the start of
// the block, like the parent's. Notes of the second kind start "QVC\0" and
// are not read.
#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

constexpr Value kRecordingMode[] = {{1, "Single Shutter"}, {2, "Panorama"}, {3, "Night Scene"},
                                    {4, "Portrait"},       {5, "Landscape"}};
constexpr Value kQuality[] = {{1, "Economy"}, {2, "Normal"}, {3, "Fine"}};
constexpr Value kFocusMode[] = {{2, "Macro"}, {3, "Auto"}, {4, "Manual"}, {5, "Infinity"},
                                {7, "Sport AF"}};
constexpr Value kFlashMode[] = {{1, "Auto"}, {2, "On"}, {3, "Off"}, {4, "Red-eye Reduction"}};
constexpr Value kFlashIntensity[] = {{11, "Weak"}, {13, "Normal"}, {15, "Strong"}};
constexpr Value kWhiteBalance[] = {{1, "Auto"},        {2, "Tungsten"}, {3, "Daylight"},
                                   {4, "Fluorescent"}, {5, "Shade"},    {129, "Manual"}};
constexpr Value kSharpness[] = {{0, "Normal"}, {1, "Soft"}, {2, "Hard"}};
constexpr Value kNormalLowHigh[] = {{0, "Normal"}, {1, "Low"}, {2, "High"}};

// Millimetres as metres: "1.25 m".
std::string objectDistance(const IfdEntry&, const std::string& raw) {
  int64_t mm = num(raw);
  if (mm < 0) return {};
  return fmtNum(3, static_cast<double>(mm) / 1000) + " m";
}

std::string digitalZoom(const IfdEntry&, const std::string& raw) {
  return num(raw) == 65536 ? "Off" : "";
}

constexpr TagRule kTags[] = {
    {1, "RecordingMode", kRecordingMode},
    {2, "Quality", kQuality},
    {3, "FocusMode", kFocusMode},
    {4, "FlashMode", kFlashMode},
    {5, "FlashIntensity", kFlashIntensity},
    {6, "ObjectDistance", {}, objectDistance},
    {7, "WhiteBalance", kWhiteBalance},
    {10, "DigitalZoom", {}, digitalZoom},
    {11, "Sharpness", kSharpness},
    {12, "Contrast", kNormalLowHigh},
    {13, "Saturation", kNormalLowHigh},
};

}  // namespace

TagMap parseCasioMakerNote(const NoteInput& in) {
  if (in.note.data.empty() || startsWith(in.note.data, std::string_view("QVC\0", 4))) return {};
  TagMap out;
  Ifd dir = readNoteDirectory(in, in.note.valueOffset, in.base, in.bigEndian);
  addTagRules(dir, kTags, "Casio:", in.budget, out);
  return out;
}

}  // namespace kd::exif::makernote
