// Sigma maker notes: "SIGMA" and three zero bytes, two more bytes, then a
// directory; offsets relative to the enclosing TIFF header, in its order.
// Most values are texts written by the camera.
#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

constexpr TextValue kExposureMode[] = {{"A", "Aperture Priority"},
                                       {"M", "Manual"},
                                       {"P", "Program"},
                                       {"S", "Shutter Speed Priority"}};
constexpr TextValue kMetering[] = {
    {"8", "Multi-segment"}, {"A", "Average"}, {"C", "Center-weighted average"}};

// "Qual:12" is "12".
std::string afterColon(const IfdEntry&, const std::string& raw) {
  size_t colon = raw.find(':');
  return colon == std::string::npos ? std::string() : raw.substr(colon + 1);
}

constexpr TagRule kTags[] = {
    {2, "SerialNumber"},
    {3, "DriveMode"},
    {4, "ResolutionMode"},
    {5, "AFMode"},
    {6, "FocusSetting"},
    {7, "WhiteBalance"},
    {8, "ExposureMode", {}, nullptr, kExposureMode},
    {9, "MeteringMode", {}, nullptr, kMetering},
    {10, "LensFocalRange"},
    {11, "ColorSpace"},
    {12, "ExposureCompensation"},
    {13, "Contrast"},
    {14, "Shadow"},
    {15, "Highlight"},
    {16, "Saturation"},
    {17, "Sharpness"},
    {18, "X3FillLight"},
    {20, "ColorAdjustment"},
    {21, "AdjustmentMode"},
    {22, "Quality", {}, afterColon},
    {23, "Firmware"},
};

}  // namespace

TagMap parseSigmaMakerNote(const NoteInput& in) {
  if (in.note.data.size() < 10 || !startsWith(in.note.data, std::string_view("SIGMA\0\0\0", 8))) {
    return {};
  }
  TagMap out;
  Ifd dir = readNoteDirectory(in, in.note.valueOffset + 10, in.base, in.bigEndian);
  addTagRules(dir, kTags, "Sigma:", in.budget, out);
  return out;
}

}  // namespace kd::exif::makernote
