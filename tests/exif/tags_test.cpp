// Tag dictionaries and value rendering.
#include "exif/tags.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

#include "exif/enums.h"

namespace kd::exif {
namespace {

std::string render(const std::string& name, const std::string& raw, const TagMap& tags = {}) {
  return formatTagValue(name, raw, tags);
}

TEST(TagDictionaries, SizesOrderAndRenamedTags) {
  std::set<std::string> names;
  for (size_t i = 0; i < 117; ++i) {
    names.insert(ExifTags[i].name);
    if (i > 0) {
      EXPECT_LT(ExifTags[i - 1].id, ExifTags[i].id);
    }
    EXPECT_STREQ(exifTagName(ExifTags[i].id), ExifTags[i].name);
  }
  EXPECT_EQ(names.size(), 117u);
  EXPECT_STREQ(exifTagName(0x000B), "ProcessingSoftware");
  EXPECT_STREQ(exifTagName(0x0132), "ModifyDate");
  EXPECT_STREQ(exifTagName(0x9004), "CreateDate");
  EXPECT_STREQ(exifTagName(0x8769), "ExifOffset");
  EXPECT_STREQ(exifTagName(0x8827), "ISO");
  EXPECT_STREQ(exifTagName(0xA005), "InteropOffset");
  EXPECT_STREQ(exifTagName(0xA405), "FocalLengthIn35mmFormat");
  EXPECT_STREQ(exifTagName(0xA430), "OwnerName");
  EXPECT_STREQ(exifTagName(0x9216), "TIFF-EPStandardID");
  EXPECT_STREQ(exifTagName(0xC68B), "OriginalRawFileName");
  EXPECT_EQ(exifTagName(0x0201), nullptr);
  EXPECT_EQ(exifTagName(0), nullptr);
  EXPECT_EQ(exifTagName(0xFFFF), nullptr);
  EXPECT_STREQ(gpsTagName(0), "GPSVersionID");
  EXPECT_STREQ(gpsTagName(7), "GPSTimeStamp");
  EXPECT_STREQ(gpsTagName(31), "GPSHPositioningError");
  EXPECT_EQ(gpsTagName(32), nullptr);
}

TEST(FormatTagValue, ExposureTime) {
  EXPECT_EQ(render("ExposureTime", "1/250"), "1/250");
  EXPECT_EQ(render("ExposureTime", "1/4"), "1/4");
  EXPECT_EQ(render("ExposureTime", "3/10"), "0.3");
  EXPECT_EQ(render("ExposureTime", "2"), "2");
  EXPECT_EQ(render("ExposureTime", "0"), "0");
  EXPECT_EQ(render("ExposureTime", "10/0"), "0");
  EXPECT_EQ(render("ExposureTime", "1/3"), "0.3");  // above 0.25001: one decimal
  EXPECT_EQ(render("ExposureTime", "2/3"), "0.7");
  EXPECT_EQ(render("ExposureTime", "1/8000 5"), "1/8000");
}

TEST(FormatTagValue, ApertureShutterAndFocalLength) {
  EXPECT_EQ(render("FNumber", "14/5"), "f/2.8");
  EXPECT_EQ(render("FNumber", "8"), "f/8");
  EXPECT_EQ(render("ApertureValue", "3"), "f/2.83");
  EXPECT_EQ(render("MaxApertureValue", "0"), "f/1");
  EXPECT_EQ(render("ShutterSpeedValue", "8"), "1/256");
  EXPECT_EQ(render("ShutterSpeedValue", "-1"), "2");
  EXPECT_EQ(render("ShutterSpeedValue", "0"), "1");
  EXPECT_EQ(render("ShutterSpeedValue", "5000"), "0");  // 2^-5000 underflows to 0
  EXPECT_EQ(render("FocalLength", "50"), "50 mm");
  EXPECT_EQ(render("FocalLength", "24/5"), "4.8 mm");
  EXPECT_EQ(render("FocalLengthIn35mmFormat", "1/3"), "0.333 mm");
  EXPECT_EQ(render("BrightnessValue", "-7/3"), "-2.33");
  EXPECT_EQ(render("ExposureCompensation", "1/3"), "0.33");
  EXPECT_EQ(render("DigitalZoomRatio", "0/100"), "0");
  EXPECT_EQ(render("GPSSpeed", "1/8"), "0.12");  // 0.125 is exact: round half to even
}

TEST(FormatTagValue, Enumerations) {
  EXPECT_EQ(render("Orientation", "6"), "Rotate 90 CW");
  EXPECT_EQ(render("Orientation", "9"), "9");
  EXPECT_EQ(render("Orientation", "6 1"), "6 1");
  EXPECT_EQ(render("Orientation", ""), "");
  EXPECT_EQ(render("Flash", "2"), "Unknown (2)");
  EXPECT_EQ(render("Flash", "16"), "Off, Did not fire");
  EXPECT_EQ(render("Flash", "x"), "x");
  EXPECT_EQ(render("ColorSpace", "65535"), "Uncalibrated");
  EXPECT_EQ(render("ColorSpace", "1 2"), "sRGB");  // first token
  EXPECT_EQ(render("ExposureMode", "2"), "Auto bracket");
  EXPECT_EQ(render("SceneCaptureType", "3"), "Night");
  EXPECT_EQ(render("SensingMethod", "6"), "6");
  EXPECT_EQ(render("ResolutionUnit", "2"), "inches");
  EXPECT_EQ(render("ExposureProgram", "0"), "Not Defined");
  EXPECT_EQ(render("MeteringMode", "255"), "Other");
  EXPECT_EQ(render("LightSource", "24"), "ISO studio tungsten");
  EXPECT_EQ(render("WhiteBalance", "1"), "Manual");
  EXPECT_EQ(render("WhiteBalance", "1 0"), "1 0");  // whole
  EXPECT_EQ(render("GPSAltitudeRef", "1"), "Below Sea Level");
  EXPECT_EQ(render("GPSAltitudeRef", "01"), "Below Sea Level");
  EXPECT_EQ(render("GPSAltitudeRef", "junk"), "Above Sea Level");
  EXPECT_EQ(render("Make", "6"), "6");  // no rule: raw
}

TEST(FormatTagValue, EnumerationTables) {
  EXPECT_EQ(getOrientation(5), "Mirror horizontal and rotate 270 CW");
  EXPECT_EQ(getOrientation(7), "Mirror horizontal and rotate 90 CW");
  EXPECT_EQ(getResolutionUnit(3), "cm");
  EXPECT_EQ(getExposureProgram(6), "Action (High speed)");
  EXPECT_EQ(getMeteringMode(6), "Partial");
  EXPECT_EQ(getLightSource(14), "Cool white fluorescent (W 3800 - 4500K)");
  EXPECT_EQ(getLightSource(5), "5");
  EXPECT_EQ(parseFlash(95), "Auto, Fired, Red-eye reduction, Return detected");
  EXPECT_EQ(parseFlash(-1), "Unknown (-1)");
  EXPECT_EQ(getColorSpace(65533), "Wide Gamut RGB");
  EXPECT_EQ(getSceneCaptureType(4), "Other");
  EXPECT_EQ(getSensingMethod(8), "Color sequential linear");
  EXPECT_EQ(getGpsAltitudeRef(2), "2");
}

TEST(FormatTagValue, GpsCoordinatesAndAltitude) {
  TagMap tags;
  EXPECT_EQ(render("GPSLatitude", "48 51 1461/50", tags), "48 deg 51' 1461/50\" N");
  EXPECT_EQ(render("GPSLongitude", "2 21 7/2", tags), "2 deg 21' 7/2\" W");
  EXPECT_EQ(render("GPSLatitude", "48 51", tags), "48 51");
  tags["GPSLatitudeRef"] = "S";
  tags["GPSLongitudeRef"] = "E";
  EXPECT_EQ(render("GPSLatitude", "10 0 0", tags), "10 deg 0' 0\" S");
  EXPECT_EQ(render("GPSLongitude", "10 0 0 9", tags), "10 deg 0' 0\" E");
  EXPECT_EQ(render("GPSAltitude", "123", {}), "123 m");
  EXPECT_EQ(render("GPSAltitude", "123", {{"GPSAltitudeRef", "Below Sea Level"}}),
            "123 m Below Sea Level");
  EXPECT_EQ(render("GPSAltitude", "2857/200", {{"GPSAltitudeRef", "Above Sea Level"}}),
            "14.3 m Above Sea Level");
}

TEST(FormatTagValue, VersionsAndMatrices) {
  EXPECT_EQ(render("DNGVersion", "01 04 00 00"), "1.4.0.0");
  EXPECT_EQ(render("DNGBackwardVersion", "01 0A"), "1.10");
  EXPECT_EQ(render("TIFF-EPStandardID", ""), "");
  EXPECT_EQ(render("DNGVersion", "zz 01"), "zz 01");
  EXPECT_EQ(render("ColorMatrix1", "1/2 3/0 x"), "0.5 0 x");
  EXPECT_EQ(render("ColorMatrix2", "-1/3 7 /4"), "-0.333333 7 /4");
  EXPECT_EQ(render("AsShotNeutral", "a/2 1/b"), "0 1");
  EXPECT_EQ(render("CameraCalibration1", "1/1 0  0"), "1 0 0");
}

TEST(NumberHelpers, ParseRational) {
  EXPECT_DOUBLE_EQ(parseRational("3/4"), 0.75);
  EXPECT_DOUBLE_EQ(parseRational(" 3 / 4 "), 0.75);
  EXPECT_DOUBLE_EQ(parseRational("2.5"), 2.5);
  EXPECT_DOUBLE_EQ(parseRational("-7/2"), -3.5);
  EXPECT_DOUBLE_EQ(parseRational("5/0"), 0.0);
  EXPECT_DOUBLE_EQ(parseRational("x/5"), 0.0);
  EXPECT_DOUBLE_EQ(parseRational("5/x"), 5.0);
  EXPECT_DOUBLE_EQ(parseRational("abc"), 0.0);
  EXPECT_DOUBLE_EQ(parseRational(""), 0.0);
  EXPECT_DOUBLE_EQ(parseRational("+4"), 4.0);
  EXPECT_DOUBLE_EQ(ratToFloat("1/2 9/1"), 0.5);
  EXPECT_DOUBLE_EQ(parseGpsRationals("48 51 1461/50"), 48 + 51.0 / 60 + 29.22 / 3600);
  EXPECT_DOUBLE_EQ(parseGpsRationals("  10  30 "), 10.5);
  EXPECT_DOUBLE_EQ(parseGpsRationals(""), 0.0);
}

TEST(NumberHelpers, FmtNumAndShutter) {
  EXPECT_EQ(fmtNum(2, 2.8), "2.8");
  EXPECT_EQ(fmtNum(3, 50), "50");
  EXPECT_EQ(fmtNum(1, 0.04), "0");
  EXPECT_EQ(fmtNum(1, 0.05), "0.1");  // 0.05 is slightly above 1/20 in binary
  EXPECT_EQ(fmtNum(2, 1.005), "1");   // 1.005 is slightly below in binary
  EXPECT_EQ(fmtNum(0, 2.5), "2");
  EXPECT_EQ(fmtNum(6, 1e20), "100000000000000000000");
  EXPECT_EQ(fmtShutter(1), "1/2");
  EXPECT_EQ(fmtShutter(-2), "4");
  EXPECT_EQ(fmtShutter(std::log2(3.0)), "1/3");
  EXPECT_EQ(fmtShutter(-0.5), "1.414");
}

}  // namespace
}  // namespace kd::exif
