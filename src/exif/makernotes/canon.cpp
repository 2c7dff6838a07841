// Canon maker notes: a plain directory at the start of the block, offsets
// relative to the enclosing TIFF header, in its byte order. Tag 1 (camera
// settings) and tag 4 (shot information) are arrays of 16-bit elements.
#include <cstdio>

#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

constexpr Value kQuality[] = {{1, "Economy"}, {2, "Normal"}, {3, "Fine"}, {4, "RAW"},
                              {5, "Superfine"}};
constexpr Value kFlashMode[] = {{0, "Off"},
                                {1, "Auto"},
                                {2, "On"},
                                {3, "Red-eye reduction"},
                                {4, "Slow-sync"},
                                {5, "Red-eye reduction (Auto)"},
                                {6, "Red-eye reduction (On)"},
                                {16, "External flash"}};
constexpr Value kContinuousDrive[] = {{0, "Single"}, {1, "Continuous"}};
constexpr Value kFocusMode[] = {{0, "One-shot AF"},
                                {1, "AI Servo AF"},
                                {2, "AI Focus AF"},
                                {3, "Manual Focus (3)"},
                                {6, "Manual Focus (6)"}};
constexpr Value kRecordMode[] = {{1, "JPEG"}, {2, "CRW+THM"},  {3, "AVI+THM"},
                                 {4, "TIF"},  {5, "TIF+JPEG"}, {6, "CR2"},
                                 {7, "CR2+JPEG"}, {9, "MOV"},  {10, "MP4"}};
constexpr Value kImageSize[] = {{0, "Large"}, {1, "Medium"}, {2, "Small"}};
constexpr Value kEasyMode[] = {{0, "Full auto"}, {1, "Manual"}};
constexpr Value kMeteringMode[] = {{0, "Default"},    {1, "Spot"},    {2, "Average"},
                                   {3, "Evaluative"}, {4, "Partial"}, {5, "Center-weighted average"}};
constexpr Value kExposureMode[] = {{0, "Easy"},
                                   {1, "Program AE"},
                                   {2, "Shutter speed priority AE"},
                                   {3, "Aperture-priority AE"},
                                   {4, "Manual"},
                                   {5, "Depth-of-field AE"},
                                   {6, "M-Dep"},
                                   {7, "Bulb"},
                                   {8, "Flexible-priority AE"}};
constexpr Value kWhiteBalance[] = {{0, "Auto"},        {1, "Daylight"}, {2, "Cloudy"},
                                   {3, "Tungsten"},    {4, "Fluorescent"}, {5, "Flash"},
                                   {6, "Custom"},      {7, "Black & White"}, {8, "Shade"}};
constexpr Value kSlowShutter[] = {{0, "Off"}, {1, "Night Scene"}, {2, "On"}, {3, "None"}};
constexpr Value kAeb[] = {{0, "Off"}, {1, "On (shot 1)"}, {2, "On (shot 2)"}, {3, "On (shot 3)"}};
constexpr Value kControlMode[] = {{1, "Camera Local Control"}, {3, "Computer Remote Control"}};
constexpr Value kCameraType[] = {{248, "EOS High-end"}, {250, "Compact"}, {252, "EOS Mid-range"},
                                 {255, "DV Camera"}};
constexpr Value kAutoRotate[] = {{0, "None"}, {1, "Rotate 90 CW"}, {2, "Rotate 180"},
                                 {3, "Rotate 270 CW"}};

// The number of a raw text; 0 when it does not parse.
uint64_t numberOrZero(const std::string& raw) {
  int64_t v = num(raw);
  return v < 0 ? 0 : static_cast<uint64_t>(v);
}

std::string keepText(const IfdEntry& e, const std::string& raw) {
  return raw.empty() ? std::string() : toString(e);
}

// "0000012345": the serial number in ten digits.
std::string serialNumber(const IfdEntry&, const std::string& raw) {
  if (raw.empty()) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%010llu", static_cast<unsigned long long>(numberOrZero(raw)));
  return buf;
}

// "0x80000286": the model id in eight lower-case hexadecimal digits.
std::string modelId(const IfdEntry&, const std::string& raw) {
  if (raw.empty()) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08llx", static_cast<unsigned long long>(numberOrZero(raw)));
  return buf;
}

// "100-1234": directory number, then the file number within it.
std::string fileNumber(const IfdEntry&, const std::string& raw) {
  if (raw.empty()) return {};
  uint64_t n = numberOrZero(raw);
  char buf[48];
  std::snprintf(buf, sizeof buf, "%llu-%04llu", static_cast<unsigned long long>(n / 10000),
                static_cast<unsigned long long>(n % 10000));
  return buf;
}

constexpr TagRule kTags[] = {
    {6, "ImageType", {}, keepText},
    {7, "FirmwareVersion", {}, keepText},
    {8, "FileNumber", {}, fileNumber},
    {9, "OwnerName", {}, keepText},
    {12, "SerialNumber", {}, serialNumber},
    {16, "CanonModelID", {}, modelId},
    {149, "LensModel", {}, keepText},
    {150, "InternalSerialNumber", {}, keepText},
};

constexpr FieldRule kCameraSettings[] = {
    {3, "Quality", kQuality, nullptr, 2},
    {4, "CanonFlashMode", kFlashMode, nullptr, 2},
    {5, "ContinuousDrive", kContinuousDrive, nullptr, 2},
    {7, "FocusMode", kFocusMode, nullptr, 2},
    {9, "RecordMode", kRecordMode, nullptr, 2},
    {10, "CanonImageSize", kImageSize, nullptr, 2},
    {11, "EasyMode", kEasyMode, nullptr, 2},
    {17, "MeteringMode", kMeteringMode, nullptr, 2},
    {20, "CanonExposureMode", kExposureMode, nullptr, 2},
};

constexpr FieldRule kShotInfo[] = {
    {7, "WhiteBalance", kWhiteBalance, nullptr, 2},
    {8, "SlowShutter", kSlowShutter, nullptr, 2},
    {16, "AutoExposureBracketing", kAeb, nullptr, 2},
    {18, "ControlMode", kControlMode, nullptr, 2},
    {26, "CameraType", kCameraType, nullptr, 2},
    {27, "AutoRotate", kAutoRotate, nullptr, 2},
};

constexpr std::string_view kPrefix = "Canon:";

}  // namespace

TagMap parseCanonMakerNote(const NoteInput& in) {
  TagMap out;
  Ifd dir = readNoteDirectory(in, in.note.valueOffset, in.base, in.bigEndian);
  if (int64_t shift = movedNoteShift(in, dir); shift != 0) {
    dir = readNoteDirectory(in, in.note.valueOffset, in.base + shift, in.bigEndian);
  }
  addTagRules(dir, kTags, kPrefix, in.budget, out);
  if (const IfdEntry* e = dir.find(1); e != nullptr && e->fieldType == kShort) {
    addFieldRules(*e, kCameraSettings, kPrefix, out);
  }
  if (const IfdEntry* e = dir.find(4); e != nullptr && e->fieldType == kShort) {
    addFieldRules(*e, kShotInfo, kPrefix, out);
  }
  return out;
}

}  // namespace kd::exif::makernote
