// Panasonic maker notes: "Panasonic" and three zero bytes, then a
// directory; offsets relative to the enclosing TIFF header, in its order.
#include <cstdio>

#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

constexpr Value kQuality[] = {{1, "TIFF"},      {2, "High"}, {3, "Normal"},
                              {6, "Very High"}, {7, "RAW"},  {9, "Motion Picture"}};
constexpr Value kWhiteBalance[] = {{1, "Auto"},   {2, "Daylight"},       {3, "Cloudy"},
                                   {4, "Incandescent"}, {5, "Manual"},   {8, "Flash"},
                                   {10, "Black & White"}, {11, "Manual"}, {12, "Shade"}};
constexpr Value kFocus[] = {{1, "Auto"}, {2, "Manual"}, {4, "Auto, Focus button"},
                            {5, "Auto, Continuous"}};
constexpr Value kStabilisation[] = {{2, "On, Mode 1"}, {3, "Off"}, {4, "On, Mode 2"},
                                    {5, "Panning"},    {6, "On, Mode 3"}};
constexpr Value kMacro[] = {{1, "On"}, {2, "Off"}, {257, "Tele-macro"}, {513, "Macro Zoom"}};
constexpr Value kShooting[] = {{1, "Normal"},          {2, "Portrait"},        {3, "Scenery"},
                               {4, "Sports"},          {5, "Night Portrait"},  {6, "Program"},
                               {7, "Aperture Priority"}, {8, "Shutter Priority"}, {9, "Macro"},
                               {10, "Spot"},           {11, "Manual"},         {12, "Movie Preview"},
                               {13, "Panning"}};
constexpr Value kAudio[] = {{1, "Yes"}, {2, "No"}, {3, "Stereo"}};
constexpr Value kColorEffect[] = {{1, "Off"}, {2, "Warm"}, {3, "Cool"}, {4, "Black & White"},
                                  {5, "Sepia"}};
constexpr Value kBurstMode[] = {{0, "Off"}, {1, "On"}, {2, "Infinite"}, {4, "Unlimited"}};
constexpr Value kContrastMode[] = {{0, "Normal"}, {1, "Low"}, {2, "High"}};
constexpr Value kNoiseReduction[] = {{0, "Standard"},
                                     {1, "Low (-1)"},
                                     {2, "High (+1)"},
                                     {3, "Lowest (-2)"},
                                     {4, "Highest (+2)"}};
constexpr Value kSelfTimer[] = {{1, "Off"}, {2, "10 s"}, {3, "2 s"}};

// "0.1.0.4": the first four value bytes.
std::string firmwareVersion(const IfdEntry& e, const std::string&) {
  if (e.data.size() < 4) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", e.data[0], e.data[1], e.data[2], e.data[3]);
  return buf;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// "F541004041148" is "(F54) 2010:04:04 no. 1148": maker code, date of
// manufacture, serial.
std::string internalSerial(const IfdEntry&, const std::string& raw) {
  if (raw.size() < 13) return {};
  for (size_t i = 3; i <= 8; ++i) {
    if (!isDigit(raw[i])) return {};
  }
  return "(" + raw.substr(0, 3) + ") 20" + raw.substr(3, 2) + ":" + raw.substr(5, 2) + ":" +
         raw.substr(7, 2) + " no. " + raw.substr(9);
}

// Hundredths of a second since power-on as "HH:MM:SS.hh".
std::string powerOnTime(const IfdEntry&, const std::string& raw) {
  int64_t n = num(raw);
  if (n < 0) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld.%02lld",
                static_cast<long long>(n / 360000), static_cast<long long>(n / 6000 % 60),
                static_cast<long long>(n / 100 % 60), static_cast<long long>(n % 100));
  return buf;
}

std::string sequenceNumber(const IfdEntry&, const std::string& raw) {
  return std::to_string(num(raw));
}

constexpr TagRule kTags[] = {
    {1, "ImageQuality", kQuality},
    {2, "FirmwareVersion", {}, firmwareVersion},
    {3, "WhiteBalance", kWhiteBalance},
    {7, "FocusMode", kFocus},
    {26, "ImageStabilization", kStabilisation},
    {28, "MacroMode", kMacro},
    {31, "ShootingMode", kShooting},
    {32, "Audio", kAudio},
    {37, "InternalSerialNumber", {}, internalSerial},
    {38, "PanasonicExifVersion"},
    {40, "ColorEffect", kColorEffect},
    {41, "TimeSincePowerOn", {}, powerOnTime},
    {42, "BurstMode", kBurstMode},
    {43, "SequenceNumber", {}, sequenceNumber},
    {44, "ContrastMode", kContrastMode},
    {45, "NoiseReduction", kNoiseReduction},
    {46, "SelfTimer", kSelfTimer},
};

}  // namespace

TagMap parsePanasonicMakerNote(const NoteInput& in) {
  if (in.note.data.size() < 12 || !startsWith(in.note.data, "Panasonic")) return {};
  TagMap out;
  Ifd dir = readNoteDirectory(in, in.note.valueOffset + 12, in.base, in.bigEndian);
  addTagRules(dir, kTags, "Panasonic:", in.budget, out);
  return out;
}

}  // namespace kd::exif::makernote
