#include "exif/enums.h"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace kd::exif {

namespace {

struct EnumText {
  int64_t value;
  std::string_view text;
};

// Tables are ordered by value.
template <size_t N>
const std::string_view* lookup(const EnumText (&table)[N], int64_t v) {
  auto it = std::lower_bound(std::begin(table), std::end(table), v,
                             [](const EnumText& e, int64_t x) { return e.value < x; });
  return it != std::end(table) && it->value == v ? &it->text : nullptr;
}

template <size_t N>
std::string textOrNumber(const EnumText (&table)[N], int64_t v) {
  const std::string_view* t = lookup(table, v);
  return t != nullptr ? std::string(*t) : std::to_string(v);
}

constexpr EnumText kOrientation[] = {
    {1, "Horizontal (normal)"},
    {2, "Mirror horizontal"},
    {3, "Rotate 180"},
    {4, "Mirror vertical"},
    {5, "Mirror horizontal and rotate 270 CW"},
    {6, "Rotate 90 CW"},
    {7, "Mirror horizontal and rotate 90 CW"},
    {8, "Rotate 270 CW"},
};

constexpr EnumText kResolutionUnit[] = {{1, "None"}, {2, "inches"}, {3, "cm"}};

constexpr EnumText kExposureProgram[] = {
    {0, "Not Defined"},
    {1, "Manual"},
    {2, "Program AE"},
    {3, "Aperture-priority AE"},
    {4, "Shutter speed priority AE"},
    {5, "Creative (Slow speed)"},
    {6, "Action (High speed)"},
    {7, "Portrait"},
    {8, "Landscape"},
};

constexpr EnumText kMeteringMode[] = {
    {0, "Unknown"}, {1, "Average"},     {2, "Center-weighted average"},
    {3, "Spot"},    {4, "Multi-spot"},  {5, "Multi-segment"},
    {6, "Partial"}, {255, "Other"},
};

constexpr EnumText kLightSource[] = {
    {0, "Unknown"},
    {1, "Daylight"},
    {2, "Fluorescent"},
    {3, "Tungsten (Incandescent)"},
    {4, "Flash"},
    {9, "Fine weather"},
    {10, "Cloudy"},
    {11, "Shade"},
    {12, "Daylight fluorescent (D 5700 - 7100K)"},
    {13, "Day white fluorescent (N 4600 - 5500K)"},
    {14, "Cool white fluorescent (W 3800 - 4500K)"},
    {15, "White fluorescent (WW 3200 - 3700K)"},
    {16, "Warm white fluorescent (L 2600 - 3200K)"},
    {17, "Standard light A"},
    {18, "Standard light B"},
    {19, "Standard light C"},
    {20, "D55"},
    {21, "D65"},
    {22, "D75"},
    {23, "D50"},
    {24, "ISO studio tungsten"},
    {255, "Other"},
};

constexpr EnumText kFlash[] = {
    {0, "No Flash"},
    {1, "Fired"},
    {5, "Fired, Return not detected"},
    {7, "Fired, Return detected"},
    {8, "On, Did not fire"},
    {9, "On, Fired"},
    {13, "On, Return not detected"},
    {15, "On, Return detected"},
    {16, "Off, Did not fire"},
    {20, "Off, Did not fire, Return not detected"},
    {24, "Auto, Did not fire"},
    {25, "Auto, Fired"},
    {29, "Auto, Fired, Return not detected"},
    {31, "Auto, Fired, Return detected"},
    {32, "No flash function"},
    {48, "Off, No flash function"},
    {65, "Fired, Red-eye reduction"},
    {69, "Fired, Red-eye reduction, Return not detected"},
    {71, "Fired, Red-eye reduction, Return detected"},
    {73, "On, Red-eye reduction"},
    {77, "On, Red-eye reduction, Return not detected"},
    {79, "On, Red-eye reduction, Return detected"},
    {80, "Off, Red-eye reduction"},
    {88, "Auto, Did not fire, Red-eye reduction"},
    {89, "Auto, Fired, Red-eye reduction"},
    {93, "Auto, Fired, Red-eye reduction, Return not detected"},
    {95, "Auto, Fired, Red-eye reduction, Return detected"},
};

constexpr EnumText kWhiteBalance[] = {{0, "Auto"}, {1, "Manual"}};

constexpr EnumText kColorSpace[] = {
    {1, "sRGB"},
    {2, "Adobe RGB"},
    {65533, "Wide Gamut RGB"},
    {65534, "ICC Profile"},
    {65535, "Uncalibrated"},
};

constexpr EnumText kExposureMode[] = {{0, "Auto"}, {1, "Manual"}, {2, "Auto bracket"}};

constexpr EnumText kSceneCaptureType[] = {
    {0, "Standard"}, {1, "Landscape"}, {2, "Portrait"}, {3, "Night"}, {4, "Other"},
};

constexpr EnumText kSensingMethod[] = {
    {1, "Not defined"},
    {2, "One-chip color area"},
    {3, "Two-chip color area"},
    {4, "Three-chip color area"},
    {5, "Color sequential area"},
    {7, "Trilinear"},
    {8, "Color sequential linear"},
};

constexpr EnumText kGpsAltitudeRef[] = {{0, "Above Sea Level"}, {1, "Below Sea Level"}};

}  // namespace

std::string getOrientation(int64_t v) { return textOrNumber(kOrientation, v); }
std::string getResolutionUnit(int64_t v) { return textOrNumber(kResolutionUnit, v); }
std::string getExposureProgram(int64_t v) { return textOrNumber(kExposureProgram, v); }
std::string getMeteringMode(int64_t v) { return textOrNumber(kMeteringMode, v); }
std::string getLightSource(int64_t v) { return textOrNumber(kLightSource, v); }
std::string parseFlash(int64_t v) {
  const std::string_view* t = lookup(kFlash, v);
  return t != nullptr ? std::string(*t) : "Unknown (" + std::to_string(v) + ")";
}
std::string getWhiteBalance(int64_t v) { return textOrNumber(kWhiteBalance, v); }
std::string getColorSpace(int64_t v) { return textOrNumber(kColorSpace, v); }
std::string getExposureMode(int64_t v) { return textOrNumber(kExposureMode, v); }
std::string getSceneCaptureType(int64_t v) { return textOrNumber(kSceneCaptureType, v); }
std::string getSensingMethod(int64_t v) { return textOrNumber(kSensingMethod, v); }
std::string getGpsAltitudeRef(int64_t v) { return textOrNumber(kGpsAltitudeRef, v); }

}  // namespace kd::exif
