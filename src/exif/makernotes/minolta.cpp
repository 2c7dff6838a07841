// Minolta maker notes: a plain directory at the start of the block, like
// the parent's. Tag 3 holds the camera settings as 32-bit elements.
#include <cstdio>

#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

constexpr Value kFlashMode[] = {{0, "Fill flash"}, {1, "Red-eye reduction"},
                                {2, "Rear flash sync"}, {3, "Wireless"}, {4, "Off"}};
constexpr Value kWhiteBalance[] = {{0, "Auto"},         {1, "Daylight"},      {2, "Cloudy"},
                                   {3, "Tungsten"},     {5, "Custom"},        {7, "Fluorescent"},
                                   {8, "Fluorescent 2"}, {11, "Custom 2"},    {12, "Custom 3"}};
constexpr Value kImageSize[] = {{0, "Full"},     {1, "1600x1200"}, {2, "1280x960"},
                                {3, "640x480"},  {5, "2560x1920"}, {6, "2272x1704"},
                                {7, "2048x1536"}};
constexpr Value kQuality[] = {{0, "Raw"},      {1, "Super Fine"}, {2, "Fine"},
                              {3, "Standard"}, {4, "Economy"},    {5, "Extra Fine"}};
constexpr Value kDriveMode[] = {{0, "Single"},       {1, "Continuous"}, {2, "Self-timer"},
                                {4, "Bracketing"},   {5, "Interval"},   {6, "UHS continuous"},
                                {7, "HS continuous"}};
constexpr Value kDigitalZoom[] = {{0, "Off"}, {1, "Electronic magnification"}, {2, "2x"}};
constexpr Value kNoYes[] = {{0, "No"}, {1, "Yes"}};
constexpr Value kSubjectProgram[] = {{0, "None"},           {1, "Portrait"},
                                     {2, "Text"},           {3, "Night portrait"},
                                     {4, "Sports action"},  {5, "Landscape"}};
constexpr Value kModelId[] = {{0, "DiMAGE 7/X/Z"}, {1, "DiMAGE 5"},  {2, "DiMAGE S304"},
                              {3, "DiMAGE S404"},  {4, "DiMAGE 7i"}, {5, "DiMAGE 7Hi"},
                              {6, "DiMAGE A1"},    {7, "DiMAGE A2/S414"}};
constexpr Value kIntervalMode[] = {{0, "Still Image"}, {1, "Time-lapse Movie"}};
constexpr Value kFolderName[] = {{0, "Standard Form"}, {1, "Data Form"}};
constexpr Value kColorMode[] = {{0, "Natural color"}, {1, "Black & White"}, {2, "Vivid color"},
                                {3, "Solarization"},  {4, "Adobe RGB"}};
constexpr Value kInternalFlash[] = {{0, "No"}, {1, "Fired"}};
constexpr Value kWideFocusZone[] = {{0, "No zone"},
                                    {1, "Center zone (horizontal orientation)"},
                                    {2, "Center zone (vertical orientation)"},
                                    {3, "Left zone"},
                                    {4, "Right zone"}};
constexpr Value kFocusMode[] = {{0, "AF"}, {1, "MF"}};
constexpr Value kFocusArea[] = {{0, "Wide Focus (normal)"}, {1, "Spot Focus"}};
constexpr Value kDecPosition[] = {{0, "Exposure"}, {1, "Contrast"}, {2, "Saturation"},
                                  {3, "Filter"}};

// Year in bits 16-31, month in 8-15, day in 0-7: "2002:06:24".
std::string date(int64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u:%02u:%02u", static_cast<unsigned>(v >> 16 & 0xFFFF),
                static_cast<unsigned>(v >> 8 & 0xFF), static_cast<unsigned>(v & 0xFF));
  return buf;
}

// Hours in bits 16-23, minutes in 8-15, seconds in 0-7: "12:01:23".
std::string time(int64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", static_cast<unsigned>(v >> 16 & 0xFF),
                static_cast<unsigned>(v >> 8 & 0xFF), static_cast<unsigned>(v & 0xFF));
  return buf;
}

constexpr TagRule kTags[] = {
    {0, "MakerNoteVersion"},
    {64, "CompressedImageSize"},
    {137, "PreviewImageLength"},
};

constexpr FieldRule kCameraSettings[] = {
    {2, "FlashMode", kFlashMode, nullptr, 4},
    {3, "WhiteBalance", kWhiteBalance, nullptr, 4},
    {4, "MinoltaImageSize", kImageSize, nullptr, 4},
    {5, "MinoltaQuality", kQuality, nullptr, 4},
    {6, "DriveMode", kDriveMode, nullptr, 4},
    {11, "MacroMode", kOnOff, nullptr, 4},
    {12, "DigitalZoom", kDigitalZoom, nullptr, 4},
    {20, "FlashFired", kNoYes, nullptr, 4},
    {21, "MinoltaDate", {}, date, 4},
    {22, "MinoltaTime", {}, time, 4},
    {26, "FileNumberMemory", kOnOff, nullptr, 4},
    {34, "SubjectProgram", kSubjectProgram, nullptr, 4},
    {37, "MinoltaModelID", kModelId, nullptr, 4},
    {38, "IntervalMode", kIntervalMode, nullptr, 4},
    {39, "FolderName", kFolderName, nullptr, 4},
    {40, "ColorMode", kColorMode, nullptr, 4},
    {43, "InternalFlash", kInternalFlash, nullptr, 4},
    {47, "WideFocusZone", kWideFocusZone, nullptr, 4},
    {48, "FocusMode", kFocusMode, nullptr, 4},
    {49, "FocusArea", kFocusArea, nullptr, 4},
    {50, "DECPosition", kDecPosition, nullptr, 4},
};

constexpr std::string_view kPrefix = "Minolta:";

}  // namespace

TagMap parseMinoltaMakerNote(const NoteInput& in) {
  if (in.note.data.empty()) return {};
  TagMap out;
  Ifd dir = readNoteDirectory(in, in.note.valueOffset, in.base, in.bigEndian);
  addTagRules(dir, kTags, kPrefix, in.budget, out);
  if (const IfdEntry* e = dir.find(3)) addFieldRules(*e, kCameraSettings, kPrefix, out);
  return out;
}

}  // namespace kd::exif::makernote
