// Texts of the enumerated EXIF values. A value that is not listed gives its
// decimal text (parseFlash: "Unknown (<value>)").
#pragma once

#include <cstdint>
#include <string>

namespace kd::exif {

std::string getOrientation(int64_t v);
std::string getResolutionUnit(int64_t v);
std::string getExposureProgram(int64_t v);
std::string getMeteringMode(int64_t v);
std::string getLightSource(int64_t v);
std::string parseFlash(int64_t v);
std::string getWhiteBalance(int64_t v);
std::string getColorSpace(int64_t v);
std::string getExposureMode(int64_t v);
std::string getSceneCaptureType(int64_t v);
std::string getSensingMethod(int64_t v);
std::string getGpsAltitudeRef(int64_t v);

}  // namespace kd::exif
