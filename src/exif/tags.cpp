#include "exif/tags.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <vector>

#include "base/text.h"
#include "exif/enums.h"

namespace kd::exif {

const TagName ExifTags[117] = {
    {0x000B, "ProcessingSoftware"},
    {0x00FE, "NewSubfileType"},
    {0x00FF, "SubfileType"},
    {0x0100, "ImageWidth"},
    {0x0101, "ImageHeight"},
    {0x0102, "BitsPerSample"},
    {0x0103, "Compression"},
    {0x0106, "PhotometricInterpretation"},
    {0x010E, "ImageDescription"},
    {0x010F, "Make"},
    {0x0110, "Model"},
    {0x0111, "StripOffsets"},
    {0x0112, "Orientation"},
    {0x0115, "SamplesPerPixel"},
    {0x0116, "RowsPerStrip"},
    {0x0117, "StripByteCounts"},
    {0x011A, "XResolution"},
    {0x011B, "YResolution"},
    {0x011C, "PlanarConfiguration"},
    {0x0128, "ResolutionUnit"},
    {0x0131, "Software"},
    {0x0132, "ModifyDate"},
    {0x013B, "Artist"},
    {0x013E, "WhitePoint"},
    {0x013F, "PrimaryChromaticities"},
    {0x0142, "TileWidth"},
    {0x0143, "TileLength"},
    {0x0144, "TileOffsets"},
    {0x0145, "TileByteCounts"},
    {0x014A, "SubIFDs"},
    {0x0211, "YCbCrCoefficients"},
    {0x0212, "YCbCrSubSampling"},
    {0x0213, "YCbCrPositioning"},
    {0x0214, "ReferenceBlackWhite"},
    {0x8298, "Copyright"},
    {0x829A, "ExposureTime"},
    {0x829D, "FNumber"},
    {0x8769, "ExifOffset"},
    {0x8822, "ExposureProgram"},
    {0x8824, "SpectralSensitivity"},
    {0x8825, "GPSInfo"},
    {0x8827, "ISO"},
    {0x8828, "OECF"},
    {0x8830, "SensitivityType"},
    {0x8831, "StandardOutputSensitivity"},
    {0x8832, "RecommendedExposureIndex"},
    {0x8833, "ISOSpeed"},
    {0x9000, "ExifVersion"},
    {0x9003, "DateTimeOriginal"},
    {0x9004, "CreateDate"},
    {0x9101, "ComponentsConfiguration"},
    {0x9102, "CompressedBitsPerPixel"},
    {0x9201, "ShutterSpeedValue"},
    {0x9202, "ApertureValue"},
    {0x9203, "BrightnessValue"},
    {0x9204, "ExposureCompensation"},
    {0x9205, "MaxApertureValue"},
    {0x9206, "SubjectDistance"},
    {0x9207, "MeteringMode"},
    {0x9208, "LightSource"},
    {0x9209, "Flash"},
    {0x920A, "FocalLength"},
    {0x9214, "SubjectArea"},
    {0x9216, "TIFF-EPStandardID"},
    {0x927C, "MakerNote"},
    {0x9286, "UserComment"},
    {0x9290, "SubSecTime"},
    {0x9291, "SubSecTimeOriginal"},
    {0x9292, "SubSecTimeDigitized"},
    {0xA000, "FlashpixVersion"},
    {0xA001, "ColorSpace"},
    {0xA002, "ExifImageWidth"},
    {0xA003, "ExifImageHeight"},
    {0xA004, "RelatedSoundFile"},
    {0xA005, "InteropOffset"},
    {0xA20B, "FlashEnergy"},
    {0xA20C, "SpatialFrequencyResponse"},
    {0xA20E, "FocalPlaneXResolution"},
    {0xA20F, "FocalPlaneYResolution"},
    {0xA210, "FocalPlaneResolutionUnit"},
    {0xA214, "SubjectLocation"},
    {0xA215, "ExposureIndex"},
    {0xA217, "SensingMethod"},
    {0xA300, "FileSource"},
    {0xA301, "SceneType"},
    {0xA302, "CFAPattern"},
    {0xA401, "CustomRendered"},
    {0xA402, "ExposureMode"},
    {0xA403, "WhiteBalance"},
    {0xA404, "DigitalZoomRatio"},
    {0xA405, "FocalLengthIn35mmFormat"},
    {0xA406, "SceneCaptureType"},
    {0xA407, "GainControl"},
    {0xA408, "Contrast"},
    {0xA409, "Saturation"},
    {0xA40A, "Sharpness"},
    {0xA40B, "DeviceSettingDescription"},
    {0xA40C, "SubjectDistanceRange"},
    {0xA420, "ImageUniqueID"},
    {0xA430, "OwnerName"},
    {0xA431, "SerialNumber"},
    {0xA432, "LensInfo"},
    {0xA433, "LensMake"},
    {0xA434, "LensModel"},
    {0xA435, "LensSerialNumber"},
    {0xC612, "DNGVersion"},
    {0xC613, "DNGBackwardVersion"},
    {0xC614, "UniqueCameraModel"},
    {0xC615, "LocalizedCameraModel"},
    {0xC621, "ColorMatrix1"},
    {0xC622, "ColorMatrix2"},
    {0xC623, "CameraCalibration1"},
    {0xC624, "CameraCalibration2"},
    {0xC627, "AnalogBalance"},
    {0xC628, "AsShotNeutral"},
    {0xC62F, "CameraSerialNumber"},
    {0xC68B, "OriginalRawFileName"},
};

const char* const GpsTags[32] = {
    "GPSVersionID",
    "GPSLatitudeRef",
    "GPSLatitude",
    "GPSLongitudeRef",
    "GPSLongitude",
    "GPSAltitudeRef",
    "GPSAltitude",
    "GPSTimeStamp",
    "GPSSatellites",
    "GPSStatus",
    "GPSMeasureMode",
    "GPSDOP",
    "GPSSpeedRef",
    "GPSSpeed",
    "GPSTrackRef",
    "GPSTrack",
    "GPSImgDirectionRef",
    "GPSImgDirection",
    "GPSMapDatum",
    "GPSDestLatitudeRef",
    "GPSDestLatitude",
    "GPSDestLongitudeRef",
    "GPSDestLongitude",
    "GPSDestBearingRef",
    "GPSDestBearing",
    "GPSDestDistanceRef",
    "GPSDestDistance",
    "GPSProcessingMethod",
    "GPSAreaInformation",
    "GPSDateStamp",
    "GPSDifferential",
    "GPSHPositioningError",
};

const char* exifTagName(uint16_t id) {
  auto it = std::lower_bound(std::begin(ExifTags), std::end(ExifTags), id,
                             [](const TagName& t, uint16_t x) { return t.id < x; });
  return it != std::end(ExifTags) && it->id == id ? it->name : nullptr;
}

const char* gpsTagName(uint16_t id) { return id < 32 ? GpsTags[id] : nullptr; }

namespace {

// A decimal floating-point number filling the whole text.
std::optional<double> parseFloatText(std::string_view s) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s.front() == '-') return std::nullopt;
  }
  if (s.empty()) return std::nullopt;
  double v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::optional<uint64_t> parseHex(std::string_view s) {
  if (s.empty() || s.size() > 16) return std::nullopt;
  uint64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, 16);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

std::string_view firstToken(std::string_view raw) {
  size_t sp = raw.find(' ');
  return sp == std::string_view::npos ? raw : raw.substr(0, sp);
}

// Non-empty space-separated tokens.
std::vector<std::string_view> tokens(std::string_view raw) { return base::splitNonEmpty(raw, " "); }

// The decimal text of the integer nearest to x (halves away from zero).
std::string roundedInteger(double x) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.0f", std::round(x));
  return buf;
}

enum class Rule : uint8_t {
  kOrientation,
  kResolutionUnit,
  kExposureProgram,
  kMeteringMode,
  kLightSource,
  kFlash,
  kWhiteBalance,
  kColorSpace,
  kExposureMode,
  kSceneCaptureType,
  kSensingMethod,
  kGpsAltitudeRef,
  kExposureTime,
  kShutterSpeed,
  kFNumber,
  kAperture,
  kFocalLength,
  kTwoDecimals,
  kGpsAltitude,
  kGpsLatitude,
  kGpsLongitude,
  kVersion,
  kMatrix,
};

struct NamedRule {
  std::string_view name;
  Rule rule;
};

// Ordered by name for binary search.
constexpr NamedRule kRules[] = {
    {"AnalogBalance", Rule::kMatrix},
    {"ApertureValue", Rule::kAperture},
    {"AsShotNeutral", Rule::kMatrix},
    {"BrightnessValue", Rule::kTwoDecimals},
    {"CameraCalibration1", Rule::kMatrix},
    {"CameraCalibration2", Rule::kMatrix},
    {"ColorMatrix1", Rule::kMatrix},
    {"ColorMatrix2", Rule::kMatrix},
    {"ColorSpace", Rule::kColorSpace},
    {"DNGBackwardVersion", Rule::kVersion},
    {"DNGVersion", Rule::kVersion},
    {"DigitalZoomRatio", Rule::kTwoDecimals},
    {"ExposureCompensation", Rule::kTwoDecimals},
    {"ExposureMode", Rule::kExposureMode},
    {"ExposureProgram", Rule::kExposureProgram},
    {"ExposureTime", Rule::kExposureTime},
    {"FNumber", Rule::kFNumber},
    {"Flash", Rule::kFlash},
    {"FocalLength", Rule::kFocalLength},
    {"FocalLengthIn35mmFormat", Rule::kFocalLength},
    {"GPSAltitude", Rule::kGpsAltitude},
    {"GPSAltitudeRef", Rule::kGpsAltitudeRef},
    {"GPSLatitude", Rule::kGpsLatitude},
    {"GPSLongitude", Rule::kGpsLongitude},
    {"GPSSpeed", Rule::kTwoDecimals},
    {"LightSource", Rule::kLightSource},
    {"MaxApertureValue", Rule::kAperture},
    {"MeteringMode", Rule::kMeteringMode},
    {"Orientation", Rule::kOrientation},
    {"ResolutionUnit", Rule::kResolutionUnit},
    {"SceneCaptureType", Rule::kSceneCaptureType},
    {"SensingMethod", Rule::kSensingMethod},
    {"ShutterSpeedValue", Rule::kShutterSpeed},
    {"TIFF-EPStandardID", Rule::kVersion},
    {"WhiteBalance", Rule::kWhiteBalance},
};

static_assert(std::is_sorted(std::begin(kRules), std::end(kRules),
                             [](const NamedRule& a, const NamedRule& b) { return a.name < b.name; }));

std::optional<Rule> ruleFor(std::string_view name) {
  auto it = std::lower_bound(std::begin(kRules), std::end(kRules), name,
                             [](const NamedRule& r, std::string_view n) { return r.name < n; });
  if (it == std::end(kRules) || it->name != name) return std::nullopt;
  return it->rule;
}

std::string storedOr(const TagMap& tags, std::string_view key, std::string_view fallback) {
  auto it = tags.find(key);
  return it != tags.end() ? it->second : std::string(fallback);
}

std::string renderVersion(const std::string& raw) {
  std::string out;
  for (std::string_view tok : tokens(raw)) {
    auto v = parseHex(tok);
    if (!v) return raw;
    if (!out.empty()) out.push_back('.');
    out += std::to_string(*v);
  }
  return out;
}

// Rationals of 32-bit integers render at most about three times as long as
// their text; only numbers written as huge floats ("1e308/1") render longer,
// and a matrix of them stays raw rather than grow without bound.
std::string renderMatrix(const std::string& raw) {
  const size_t limit = 4 * raw.size() + 64;
  std::string out;
  for (std::string_view tok : tokens(raw)) {
    if (out.size() > limit) return raw;
    if (!out.empty()) out.push_back(' ');
    size_t slash = tok.find('/', 1);
    if (slash == std::string_view::npos) {
      out += tok;
      continue;
    }
    double num = parseFloatText(tok.substr(0, slash)).value_or(0.0);
    double den = parseFloatText(tok.substr(slash + 1)).value_or(1.0);
    out += den == 0 ? std::string("0") : fmtNum(6, num / den);
  }
  return out.size() > limit ? raw : out;
}

}  // namespace

std::optional<int64_t> parseWholeInt(std::string_view s) {
  if (!s.empty() && s.front() == '+') {
    s.remove_prefix(1);
    if (!s.empty() && s.front() == '-') return std::nullopt;
  }
  if (s.empty()) return std::nullopt;
  int64_t v = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), v, 10);
  if (r.ec != std::errc() || r.ptr != s.data() + s.size()) return std::nullopt;
  return v;
}

double parseRational(std::string_view text) {
  size_t slash = text.find('/');
  if (slash == std::string_view::npos) return parseFloatText(base::trimAscii(text)).value_or(0.0);
  auto num = parseFloatText(base::trimAscii(text.substr(0, slash)));
  auto den = parseFloatText(base::trimAscii(text.substr(slash + 1)));
  if (!num) return 0.0;
  if (!den) return *num;
  if (*den == 0) return 0.0;
  return *num / *den;
}

double ratToFloat(std::string_view raw) { return parseRational(firstToken(raw)); }

double parseGpsRationals(std::string_view raw) {
  std::vector<std::string_view> t = tokens(raw);
  double deg = t.size() > 0 ? parseRational(t[0]) : 0.0;
  double min = t.size() > 1 ? parseRational(t[1]) : 0.0;
  double sec = t.size() > 2 ? parseRational(t[2]) : 0.0;
  return deg + min / 60 + sec / 3600;
}

std::string fmtNum(int decimals, double x) {
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, x);
  std::string s(buf);
  size_t dot = s.find('.');
  if (dot != std::string::npos) {
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
  }
  return s;
}

std::string fmtShutter(double apex) {
  double t = std::pow(2.0, -apex);
  if (t <= 0) return fmtNum(3, 0);
  if (t < 1) return "1/" + roundedInteger(1 / t);
  return fmtNum(3, t);
}

std::string formatGPSCoord(const std::string& raw, std::string_view ref) {
  const std::vector<std::string_view> parts = base::splitFields(raw, ' ');
  if (parts.size() < 3) return raw;
  std::string out;
  out.reserve(raw.size() + 16 + ref.size());
  out += parts[0];
  out += " deg ";
  out += parts[1];
  out += "' ";
  out += parts[2];
  out += "\" ";
  out += ref;
  return out;
}

namespace {

std::string renderByRule(Rule rule, const std::string& raw, const TagMap& tags) {
  auto whole = [&](std::string (*f)(int64_t)) {
    auto v = parseWholeInt(raw);
    return v ? f(*v) : raw;
  };
  auto first = [&](std::string (*f)(int64_t)) {
    auto v = parseWholeInt(firstToken(raw));
    return v ? f(*v) : raw;
  };
  switch (rule) {
    case Rule::kOrientation: return whole(getOrientation);
    case Rule::kResolutionUnit: return whole(getResolutionUnit);
    case Rule::kExposureProgram: return whole(getExposureProgram);
    case Rule::kMeteringMode: return whole(getMeteringMode);
    case Rule::kLightSource: return whole(getLightSource);
    case Rule::kFlash: return whole(parseFlash);
    case Rule::kWhiteBalance: return whole(getWhiteBalance);
    case Rule::kColorSpace: return first(getColorSpace);
    case Rule::kExposureMode: return first(getExposureMode);
    case Rule::kSceneCaptureType: return first(getSceneCaptureType);
    case Rule::kSensingMethod: return first(getSensingMethod);
    case Rule::kGpsAltitudeRef:
      return getGpsAltitudeRef(parseWholeInt(firstToken(raw)).value_or(0));
    case Rule::kExposureTime: {
      double t = ratToFloat(raw);
      if (t > 0 && t < 0.25001) return "1/" + roundedInteger(1 / t);
      return fmtNum(1, t);
    }
    case Rule::kShutterSpeed: return fmtShutter(ratToFloat(raw));
    case Rule::kFNumber: return "f/" + fmtNum(2, ratToFloat(raw));
    case Rule::kAperture: return "f/" + fmtNum(2, std::pow(2.0, ratToFloat(raw) / 2));
    case Rule::kFocalLength: return fmtNum(3, ratToFloat(raw)) + " mm";
    case Rule::kTwoDecimals: return fmtNum(2, ratToFloat(raw));
    case Rule::kGpsAltitude: {
      std::string out = fmtNum(1, ratToFloat(raw)) + " m";
      auto it = tags.find(std::string_view("GPSAltitudeRef"));
      if (it != tags.end()) out += " " + it->second;
      return out;
    }
    case Rule::kGpsLatitude: return formatGPSCoord(raw, storedOr(tags, "GPSLatitudeRef", "N"));
    case Rule::kGpsLongitude: return formatGPSCoord(raw, storedOr(tags, "GPSLongitudeRef", "W"));
    case Rule::kVersion: return renderVersion(raw);
    case Rule::kMatrix: return renderMatrix(raw);
  }
  return raw;
}

}  // namespace

std::string formatTagValue(std::string_view name, const std::string& raw, const TagMap& tags) {
  const std::optional<Rule> rule = ruleFor(name);
  return rule ? renderByRule(*rule, raw, tags) : raw;
}

std::string formatTagValue(std::string_view name, std::string&& raw, const TagMap& tags) {
  const std::optional<Rule> rule = ruleFor(name);
  return rule ? renderByRule(*rule, raw, tags) : std::move(raw);
}

}  // namespace kd::exif
