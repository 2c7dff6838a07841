// Pentax maker notes: "AOC\0", a byte-order mark ("II" little-endian, "MM"
// big-endian), then a directory; offsets relative to the enclosing TIFF
// header. Tags 517 (camera settings) and 518 (exposure information) are
// byte arrays whose settings are packed into single bytes and bit fields.
//
// Exposure values in those arrays are eighths of a stop offset by a
// per-field constant; steps of a third of a stop are stored as 3/8 and 5/8.
#include <cmath>
#include <cstdio>

#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

constexpr Value kModelId[] = {{76830, "K10D"}};
constexpr Value kQuality[] = {{0, "Good"}, {1, "Better"}, {2, "Best"},
                              {3, "TIFF"}, {4, "RAW"},    {5, "Premium"}};
constexpr Value kAfPoint[] = {{6, "Center"}};
constexpr Value kMeteringMode[] = {{0, "Multi-segment"}, {1, "Center-weighted average"},
                                   {2, "Spot"}};
constexpr Value kWhiteBalance[] = {{0, "Auto"},
                                   {1, "Daylight"},
                                   {2, "Shade"},
                                   {3, "Fluorescent"},
                                   {4, "Tungsten"},
                                   {5, "Manual"},
                                   {6, "Daylight Fluorescent"},
                                   {7, "Day White Fluorescent"},
                                   {8, "White Fluorescent"},
                                   {9, "Flash"},
                                   {10, "Cloudy"}};
constexpr Value kWorldTime[] = {{0, "Hometown"}, {1, "Destination"}};
constexpr Value kYesNo[] = {{0, "No"}, {1, "Yes"}};
constexpr Value kImageTone[] = {{0, "Natural"},   {1, "Bright"},  {2, "Portrait"},
                                {3, "Landscape"}, {4, "Vibrant"}, {5, "Monochrome"}};
constexpr Value kSrResult[] = {{0, "Not stabilized"}, {1, "Stabilized"}};
constexpr Value kRawDevelopment[] = {{1, "1 (K10D,K200D,K2000,K-m)"}};

constexpr Value kSensitivitySteps[] = {{0, "1 EV Steps"}, {1, "As EV Steps"}};
constexpr Value kIsoSetting[] = {{0, "Manual"}, {1, "Auto"}};
constexpr Value kRotation[] = {{0, "Horizontal (normal)"}, {1, "Rotate 180"},
                               {2, "Rotate 90 CW"},        {3, "Rotate 270 CW"}};
constexpr Value kJpgPixels[] = {{0, "10 MP"}, {1, "6 MP"}, {2, "2 MP"}};
constexpr Value kRawJpg[] = {{1, "JPEG (Best)"},
                             {4, "RAW (PEF, Best)"},
                             {5, "RAW+JPEG (PEF, Best)"},
                             {8, "RAW (DNG, Best)"},
                             {9, "RAW+JPEG (DNG, Best)"},
                             {33, "JPEG (Better)"},
                             {36, "RAW (PEF, Better)"},
                             {37, "RAW+JPEG (PEF, Better)"},
                             {40, "RAW (DNG, Better)"},
                             {41, "RAW+JPEG (DNG, Better)"},
                             {65, "JPEG (Good)"},
                             {68, "RAW (PEF, Good)"},
                             {69, "RAW+JPEG (PEF, Good)"},
                             {72, "RAW (DNG, Good)"},
                             {73, "RAW+JPEG (DNG, Good)"}};
constexpr Value kWhiteBalanceSet[] = {{0, "Auto"},
                                      {1, "Daylight"},
                                      {2, "Shade"},
                                      {3, "Cloudy"},
                                      {4, "Daylight Fluorescent"},
                                      {5, "Day White Fluorescent"},
                                      {6, "White Fluorescent"},
                                      {7, "Tungsten"},
                                      {8, "Flash"},
                                      {9, "Manual"},
                                      {12, "Set Color Temperature 1"},
                                      {13, "Set Color Temperature 2"},
                                      {14, "Set Color Temperature 3"}};
constexpr Value kExpBracketStep[] = {{3, "0.3"},  {4, "0.5"},  {5, "0.7"},  {8, "1.0"},
                                     {11, "1.3"}, {12, "1.5"}, {13, "1.7"}, {16, "2.0"}};
constexpr Value kFocusMode2[] = {{0, "Manual"}, {1, "AF-S"}, {2, "AF-C"}, {3, "AF-A"}};
constexpr Value kFlashOptions[] = {{0, "Normal"},
                                   {1, "Red-eye reduction"},
                                   {2, "Auto"},
                                   {3, "Auto, Red-eye reduction"},
                                   {5, "Wireless (Master)"},
                                   {6, "Wireless (Control)"},
                                   {8, "Slow-sync"},
                                   {9, "Slow-sync, Red-eye reduction"},
                                   {10, "Trailing-curtain Sync"}};
constexpr Value kApertureRing[] = {{0, "Prohibited"}, {1, "Permitted"}};
constexpr Value kEDial[] = {{0, "Tv or Av"}, {1, "P Shift"}};
constexpr Value kEvSteps[] = {{0, "1/2 EV Steps"}, {1, "1/3 EV Steps"}};
constexpr Value kProgramLine[] = {{0, "Normal"}, {1, "Hi Speed"}, {2, "Depth"}, {3, "MTF"}};
constexpr Value kPictureMode2[] = {{0, "Scene Mode"},
                                   {1, "Auto PICT"},
                                   {2, "Program AE"},
                                   {3, "Green Mode"},
                                   {4, "Shutter Speed Priority"},
                                   {5, "Aperture Priority"},
                                   {6, "Program Tv Shift"},
                                   {7, "Program Av Shift"},
                                   {8, "Manual"},
                                   {9, "Bulb"},
                                   {10, "Aperture Priority, Off-Auto-Aperture"},
                                   {11, "Manual, Off-Auto-Aperture"},
                                   {12, "Bulb, Off-Auto-Aperture"},
                                   {13, "Shutter & Aperture Priority AE"},
                                   {15, "Sensitivity Priority AE"},
                                   {16, "Flash X-Sync Speed AE"}};
constexpr Value kAeProgramMode[] = {{0, "M, P or TAv"},
                                    {1, "Av, B or X"},
                                    {2, "Tv"},
                                    {3, "Sv or Green Mode"},
                                    {8, "Hi-speed Program"},
                                    {11, "Hi-speed Program (P-Shift)"},
                                    {16, "DOF Program"},
                                    {19, "DOF Program (P-Shift)"},
                                    {24, "MTF Program"},
                                    {27, "MTF Program (P-Shift)"},
                                    {35, "Standard"},
                                    {43, "Portrait"},
                                    {51, "Landscape"},
                                    {59, "Macro"},
                                    {67, "Sport"},
                                    {75, "Night Scene Portrait"},
                                    {83, "No Flash"},
                                    {91, "Night Scene"},
                                    {99, "Surf & Snow"},
                                    {104, "Night Snap"},
                                    {107, "Text"},
                                    {115, "Sunset"},
                                    {123, "Kids"},
                                    {131, "Pet"},
                                    {139, "Candlelight"},
                                    {144, "SCN"},
                                    {147, "Museum"},
                                    {160, "Program"},
                                    {184, "Shallow DOF Program"},
                                    {216, "HDR"}};

// ---- numbers of the settings arrays ----

// Eighths of a stop as stops, with 3/8 and 5/8 read as thirds.
double pentaxEv(int64_t eighths) {
  const int64_t a = eighths < 0 ? -eighths : eighths;
  double frac = static_cast<double>(a % 8) / 8;
  if (a % 8 == 3) frac = 1.0 / 3;
  if (a % 8 == 5) frac = 2.0 / 3;
  const double v = static_cast<double>(a / 8) + frac;
  return eighths < 0 ? -v : v;
}

// A number with at most three decimals and no trailing zeros.
std::string trimFloat(double v) { return fmtNum(3, v); }

// "+0.7", "-1.3", "0".
std::string signedEv(double v) {
  if (v == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%+.1f", v);
  return buf;
}

std::string oneDecimal(double v) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.1f", v);
  return buf;
}

// Sensitivity 100 at 32, doubling every 8.
std::string isoFromSv(int64_t v) {
  return std::to_string(std::llround(100 * std::exp2(static_cast<double>(v - 32) / 8)));
}
// The exposure-time and aperture settings count from 68 in Pentax steps.
std::string pexpTime(int64_t v) { return exposureText(std::exp2(-pentaxEv(v - 68))); }
std::string apertureSetting(int64_t v) { return oneDecimal(std::exp2(pentaxEv(v - 68) / 2)); }
std::string baseExposureComp(int64_t v) { return signedEv(pentaxEv(64 - v)); }
// The exposure information counts in plain eighths (sixteenths for
// apertures): 24 s at 32, f/1 at 68.
std::string aeTime(int64_t v) {
  return exposureText(24 * std::exp2(-static_cast<double>(v - 32) / 8));
}
double aeApertureValue(int64_t v) { return std::exp2(static_cast<double>(v - 68) / 16); }
std::string aeAperture(int64_t v) { return oneDecimal(aeApertureValue(v)); }
std::string aeMinAperture(int64_t v) { return fmtNum(0, aeApertureValue(v)); }
std::string aeXv(int64_t v) { return trimFloat(static_cast<double>(v - 64) / 8); }
std::string aebXv(int64_t v) { return trimFloat(static_cast<double>(v) / 8); }

// ---- main-directory values held as bytes ----

std::string joinBytes(const IfdEntry& e, const char* separator) {
  std::string out;
  for (size_t i = 0; i < e.data.size(); ++i) {
    if (i != 0) out += separator;
    int v = e.fieldType == kSByte ? static_cast<int8_t>(e.data[i]) : e.data[i];
    out += std::to_string(v);
  }
  return out;
}

// "3.0.0.0".
std::string version(const IfdEntry& e, const std::string&) { return joinBytes(e, "."); }
std::string byteNumbers(const IfdEntry& e, const std::string&) { return joinBytes(e, " "); }

// "640x480".
std::string imageSize(const IfdEntry&, const std::string& raw) {
  size_t sp = raw.find(' ');
  if (sp == std::string::npos) return raw;
  return raw.substr(0, sp) + "x" + raw.substr(sp + 1);
}

// Big-endian year, month, day: "2008:03:02".
std::string date(const IfdEntry& e, const std::string&) {
  if (e.data.size() < 4) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04u:%02u:%02u", unsigned{readUint16(e.data, 0, kBigEndian)},
                unsigned{e.data[2]}, unsigned{e.data[3]});
  return buf;
}

// Hours, minutes, seconds: "12:01:23".
std::string time(const IfdEntry& e, const std::string&) {
  if (e.data.size() < 3) return {};
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", unsigned{e.data[0]}, unsigned{e.data[1]},
                unsigned{e.data[2]});
  return buf;
}

// Degrees Celsius as a signed byte: "12 C".
std::string temperature(const IfdEntry& e, const std::string& raw) {
  if (e.data.empty()) return {};
  if (e.fieldType != kSByte && e.fieldType != kByte && e.fieldType != kUndefined) {
    return raw + " C";
  }
  return std::to_string(static_cast<int8_t>(e.data[0])) + " C";
}

// Tag 92 holds the stabiliser's result in byte 0 and its setting in byte 1.
std::string srResult(const IfdEntry& e, const std::string&) {
  const char* t = e.data.size() >= 1 ? lookup(kSrResult, e.data[0]) : nullptr;
  return t == nullptr ? std::string() : t;
}
std::string shakeReduction(const IfdEntry& e, const std::string&) {
  const char* t = e.data.size() >= 2 ? lookup(kOnOff, e.data[1]) : nullptr;
  return t == nullptr ? std::string() : t;
}

constexpr TagRule kTags[] = {
    {0, "PentaxVersion", {}, version},
    {1, "PentaxModelType"},
    {2, "PreviewImageSize", {}, imageSize},
    {3, "PreviewImageLength"},
    {5, "PentaxModelID", kModelId},
    {6, "Date", {}, date},
    {7, "Time", {}, time},
    {8, "Quality", kQuality},
    {14, "AFPointSelected", kAfPoint},
    {23, "MeteringMode", kMeteringMode},
    {25, "WhiteBalance", kWhiteBalance},
    {34, "WorldTimeLocation", kWorldTime},
    {37, "HometownDST", kYesNo},
    {38, "DestinationDST", kYesNo},
    {61, "DataScaling"},
    {62, "PreviewImageBorders", {}, byteNumbers},
    {65, "ImageEditCount"},
    {71, "CameraTemperature", {}, temperature},
    {72, "AELock", kOnOff},
    {73, "NoiseReduction", kOnOff},
    {79, "ImageTone", kImageTone},
    {92, "ShakeReduction", {}, shakeReduction},
    {92, "SRResult", {}, srResult},
    {98, "RawDevelopmentProcess", kRawDevelopment},
};

// Tag 517, camera settings.
constexpr FieldRule kCameraSettings[] = {
    {0, "PictureMode2", kPictureMode2},
    {1, "ProgramLine", kProgramLine, nullptr, 1, 0x03},
    {1, "EVSteps", kEvSteps, nullptr, 1, 0x20},
    {1, "E-DialInProgram", kEDial, nullptr, 1, 0x40},
    {1, "ApertureRingUse", kApertureRing, nullptr, 1, 0x80},
    {2, "FlashOptions", kFlashOptions, nullptr, 1, 0xF0},
    {2, "MeteringMode2", kMeteringMode, nullptr, 1, 0x0F},
    {3, "AFPointMode", {}, nullptr, 1, 0xF0},
    {3, "FocusMode2", kFocusMode2, nullptr, 1, 0x0F},
    {2, "AFPointSelected2", {}, nullptr, 2},
    {6, "ISOFloor", {}, isoFromSv},
    {7, "DriveMode2"},
    {8, "ExposureBracketStepSize", kExpBracketStep},
    {9, "BracketShotNumber"},
    {10, "WhiteBalanceSet", kWhiteBalanceSet, nullptr, 1, 0xF0},
    {10, "MultipleExposureSet", {}, nullptr, 1, 0x0F},
};

// The rest of tag 517 in the 22-byte and longer arrays of the K10D and
// later bodies; shorter arrays (the *ist series) end with byte 10.
constexpr size_t kLongSettings = 22;
constexpr FieldRule kCameraSettingsLong[] = {
    {13, "RawAndJpgRecording", kRawJpg},
    {14, "JpgRecordedPixels", kJpgPixels, nullptr, 1, 0x03},
    {16, "FlashOptions2", kFlashOptions, nullptr, 1, 0xF0},
    {16, "MeteringMode3", kMeteringMode, nullptr, 1, 0x0F},
    {17, "SRActive", kYesNo, nullptr, 1, 0x80},
    {17, "Rotation", kRotation, nullptr, 1, 0x60},
    {17, "ISOSetting", kIsoSetting, nullptr, 1, 0x04},
    {17, "SensitivitySteps", kSensitivitySteps, nullptr, 1, 0x02},
    {18, "TvExposureTimeSetting", {}, pexpTime},
    {19, "AvApertureSetting", {}, apertureSetting},
    {20, "SvISOSetting", {}, isoFromSv},
    {21, "BaseExposureCompensation", {}, baseExposureComp},
};

// Tag 518, exposure information.
constexpr FieldRule kAeInfo[] = {
    {0, "AEExposureTime", {}, aeTime},
    {1, "AEAperture", {}, aeAperture},
    {2, "AE_ISO", {}, isoFromSv},
    {3, "AEXv", {}, aeXv},
    {4, "AEBXv", {}, aebXv, 1, 0, true},
    {5, "AEMinExposureTime", {}, aeTime},
    {6, "AEProgramMode", kAeProgramMode},
    {8, "AEApertureSteps"},
    {9, "AEMaxAperture", {}, aeAperture},
    {10, "AEMaxAperture2", {}, aeAperture},
    {11, "AEMinAperture", {}, aeMinAperture},
    {12, "AEMeteringMode", kMeteringMode},
};

constexpr std::string_view kPrefix = "Pentax:";

}  // namespace

TagMap parsePentaxMakerNote(const NoteInput& in) {
  const base::ByteView block = in.note.data;
  if (block.size() < 6 || !startsWith(block, std::string_view("AOC\0", 4))) return {};
  const bool be = block[4] != 'I';
  TagMap out;
  Ifd dir = readNoteDirectory(in, in.note.valueOffset + 6, in.base, be);
  addTagRules(dir, kTags, kPrefix, in.budget, out);
  if (const IfdEntry* e = dir.find(517)) {
    addFieldRules(*e, kCameraSettings, kPrefix, out);
    if (e->data.size() >= kLongSettings) addFieldRules(*e, kCameraSettingsLong, kPrefix, out);
  }
  if (const IfdEntry* e = dir.find(518)) addFieldRules(*e, kAeInfo, kPrefix, out);
  return out;
}

}  // namespace kd::exif::makernote
