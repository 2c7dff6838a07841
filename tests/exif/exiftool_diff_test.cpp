// Differential test against exiftool: for every JPEG and TIFF file of the
// metadata sample folders, each tag that both report under the same name
// must agree with exiftool's print conversion. Where this library renders a
// value differently on purpose, the comparison is made on the numbers
// instead (see kRenderedDifferently); where it keeps raw values that
// exiftool turns into words, the raw value is compared with exiftool's
// numeric (-n) output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "keldra/keldra.h"
#include "support/exiftool.h"
#include "support/testdata.h"

namespace {

struct EtValue {
  std::string group;
  std::string name;
  std::string print;
  std::string number;
};

using EtFile = std::vector<EtValue>;

// exiftool names the strip tags of preview and thumbnail directories
// after what they hold; the library keeps the TIFF names.
const std::map<std::string, std::vector<std::string>> kExiftoolAliases = {
    {"StripOffsets", {"PreviewImageStart", "JpgFromRawStart", "OtherImageStart", "ThumbnailOffset"}},
    {"StripByteCounts",
     {"PreviewImageLength", "JpgFromRawLength", "OtherImageLength", "ThumbnailLength"}},
};

bool isExifGroup(const std::string& g) {
  if (g == "ExifIFD" || g == "GPS" || g == "InteropIFD") return true;
  auto digitsAfter = [&](const char* prefix, bool allowEmpty) {
    size_t n = std::char_traits<char>::length(prefix);
    if (g.rfind(prefix, 0) != 0) return false;
    if (g.size() == n) return allowEmpty;
    return g.find_first_not_of("0123456789", n) == std::string::npos;
  };
  return digitsAfter("IFD", false) || digitsAfter("SubIFD", true);
}

std::optional<double> numberOf(const std::string& token) {
  if (token.empty()) return std::nullopt;
  size_t slash = token.find('/');
  try {
    size_t used = 0;
    if (slash == std::string::npos) {
      double v = std::stod(token, &used);
      if (used != token.size()) return std::nullopt;
      return v;
    }
    double n = std::stod(token.substr(0, slash), &used);
    if (used != slash) return std::nullopt;
    std::string dtext = token.substr(slash + 1);
    double d = std::stod(dtext, &used);
    if (used != dtext.size()) return std::nullopt;
    return d == 0 ? std::nullopt : std::optional<double>(n / d);
  } catch (...) {
    return std::nullopt;
  }
}

// Numbers separated by spaces or colons ("14 27 181/25", "14:27:07.24").
std::optional<std::vector<double>> numbersOf(const std::string& text) {
  std::vector<double> out;
  std::string token;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ' ' || text[i] == ':') {
      if (!token.empty()) {
        auto v = numberOf(token);
        if (!v) return std::nullopt;
        out.push_back(*v);
      }
      token.clear();
    } else {
      token.push_back(text[i]);
    }
  }
  if (out.empty()) return std::nullopt;
  return out;
}

bool close(double a, double b, double absTol) {
  return std::fabs(a - b) <= absTol + 1e-9 * std::fabs(b);
}

bool sameNumbers(const std::string& ours, const std::string& theirs) {
  auto a = numbersOf(ours);
  auto b = numbersOf(theirs);
  if (!a || !b || a->size() != b->size()) return false;
  for (size_t i = 0; i < a->size(); ++i) {
    if (!close((*a)[i], (*b)[i], 0)) return false;
  }
  return true;
}

// Leading number of `text` after `prefix`.
std::optional<double> leadingNumber(const std::string& text, const std::string& prefix = "") {
  if (text.rfind(prefix, 0) != 0) return std::nullopt;
  std::string rest = text.substr(prefix.size());
  size_t sp = rest.find(' ');
  return numberOf(rest.substr(0, sp));
}

// Tags this library renders in its own way. Each entry says how the value
// is checked against exiftool's numeric output instead, and why.
enum class Check { kRounded2, kRounded3, kRounded1, kFNumber, kDms };
const std::map<std::string, Check> kRenderedDifferently = {
    // "f/" plus two decimals; exiftool prints one decimal without the "f/".
    {"FNumber", Check::kFNumber},
    {"ApertureValue", Check::kFNumber},
    {"MaxApertureValue", Check::kFNumber},
    // Up to three decimals with trailing zeros removed; exiftool writes "6.0 mm".
    {"FocalLength", Check::kRounded3},
    {"FocalLengthIn35mmFormat", Check::kRounded3},
    // Two decimals; exiftool prints the exact value or a fraction ("+1/3").
    {"BrightnessValue", Check::kRounded2},
    {"ExposureCompensation", Check::kRounded2},
    {"DigitalZoomRatio", Check::kRounded2},
    {"GPSSpeed", Check::kRounded2},
    // One decimal and the reference words; exiftool prints two decimals.
    {"GPSAltitude", Check::kRounded1},
    // The raw rationals as degrees, minutes and seconds plus the reference
    // letter; exiftool converts the seconds to decimals.
    {"GPSLatitude", Check::kDms},
    {"GPSLongitude", Check::kDms},
};

// Tags whose raw text keeps the 8-byte character-code prefix of the EXIF
// "undefined" string ("ASCII\0\0\0" becomes "ASCII"); exiftool decodes it.
const std::set<std::string> kNotCompared = {"UserComment", "GPSProcessingMethod",
                                            "GPSAreaInformation", "MakerNote",
                                            // raw bytes in hex; exiftool decodes the
                                            // pattern's size header and colours
                                            "CFAPattern"};

// Single values of single files that differ on purpose, with the reason.
const std::set<std::string> kFileExceptions = {
    // Its GPS directory repeats tag 0 with an empty type-0 entry; a later
    // entry with the same id replaces the earlier one, exiftool keeps the
    // first.
    "mei_Nikon_D1X.webp:GPSVersionID",
};

// Every name the library renders with words or units. Tags not in this set
// keep their raw value, so they may also match exiftool's numeric output.
const std::set<std::string> kRendered = {
    "Orientation", "ResolutionUnit", "ExposureProgram", "MeteringMode", "LightSource", "Flash",
    "WhiteBalance", "ColorSpace", "ExposureMode", "SceneCaptureType", "SensingMethod",
    "GPSAltitudeRef", "ExposureTime", "ShutterSpeedValue", "FNumber", "ApertureValue",
    "MaxApertureValue", "FocalLength", "FocalLengthIn35mmFormat", "BrightnessValue",
    "ExposureCompensation", "DigitalZoomRatio", "GPSSpeed", "GPSAltitude", "GPSLatitude",
    "GPSLongitude", "DNGVersion", "DNGBackwardVersion", "TIFF-EPStandardID", "ColorMatrix1",
    "ColorMatrix2", "CameraCalibration1", "CameraCalibration2", "AnalogBalance",
    "AsShotNeutral"};

// exiftool's -args output shows line breaks inside a value as dots.
std::string argsForm(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = '.';
  }
  return text;
}

bool allZero(const std::string& numbers) {
  auto v = numbersOf(numbers);
  if (!v) return false;
  for (double x : *v) {
    if (x != 0) return false;
  }
  return true;
}

bool agrees(const std::string& name, const std::string& ours, const EtValue& et) {
  if (ours == et.print || argsForm(ours) == et.print) return true;
  // ASCII values lose trailing white space; exiftool keeps trailing line
  // breaks (shown as dots).
  if (et.print.rfind(argsForm(ours), 0) == 0 &&
      et.print.find_first_not_of('.', argsForm(ours).size()) == std::string::npos) {
    return true;
  }
  // Undefined-type values whose bytes are all zero render as the empty text.
  if (ours.empty() && allZero(et.number)) return true;
  // Enumeration values without a word: exiftool says "Unknown (...)".
  if (et.print.rfind("Unknown (", 0) == 0 &&
      (ours == et.number || ours == "Unknown (" + et.number + ")")) {
    return true;
  }
  auto rule = kRenderedDifferently.find(name);
  if (rule != kRenderedDifferently.end()) {
    auto theirs = numberOf(et.number);
    if (!theirs) return false;
    switch (rule->second) {
      case Check::kFNumber: {
        auto v = leadingNumber(ours, "f/");
        return v && close(*v, *theirs, 0.005);
      }
      case Check::kRounded3: {
        auto v = leadingNumber(ours);
        return v && ours.size() > 3 && ours.substr(ours.size() - 3) == " mm" &&
               close(*v, *theirs, 0.0005);
      }
      case Check::kRounded2: {
        auto v = leadingNumber(ours);
        return v && close(*v, *theirs, 0.005);
      }
      case Check::kRounded1: {
        auto v = leadingNumber(ours);
        return v && ours.find(" m") != std::string::npos && close(*v, *theirs, 0.05);
      }
      case Check::kDms: {
        // "D deg M' S\" R"; fewer than three values stay raw.
        if (ours.find(" deg ") == std::string::npos) return sameNumbers(ours, et.number);
        std::string t = ours;
        for (const char* mark : {" deg", "'", "\""}) {
          size_t at = t.find(mark);
          if (at == std::string::npos) return false;
          t.erase(at, std::char_traits<char>::length(mark));
        }
        auto parts = numbersOf(t.substr(0, t.rfind(' ')));
        if (!parts || parts->size() != 3) return false;
        double deg = (*parts)[0] + (*parts)[1] / 60 + (*parts)[2] / 3600;
        return close(deg, std::fabs(*theirs), 1e-9);
      }
    }
    return false;
  }
  if (kRendered.count(name) != 0) return false;
  // Raw values: the same text or the same numbers as exiftool's -n output.
  return ours == et.number || sameNumbers(ours, et.number);
}

TEST(ExiftoolDifferential, RenderedValuesAgree) {
  ASSERT_TRUE(kd::test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  std::vector<std::string> paths;
  for (const char* folder : {"metadata/jpeg-exif", "metadata/gps", "metadata/tiff",
                             "metadata/orientation", "metadata/png", "metadata/webp",
                             "metadata/heif"}) {
    for (const std::string& rel : kd::test::listTestdata(folder)) {
      paths.push_back(kd::test::testdataPath(rel));
    }
  }
  auto printed = kd::test::exiftoolArgs("-G1 -a", paths);
  auto numeric = kd::test::exiftoolArgs("-G1 -a -n", paths);
  ASSERT_EQ(printed.size(), paths.size()) << "exiftool did not report every file";

  size_t compared = 0;
  std::set<std::string> namesCompared;
  std::vector<std::string> mismatches;
  for (const std::string& path : paths) {
    const auto& p = printed[path];
    const auto& n = numeric[path];
    ASSERT_EQ(p.size(), n.size()) << path;
    std::multimap<std::string, EtValue> byName;
    for (size_t i = 0; i < p.size(); ++i) {
      ASSERT_EQ(p[i].first, n[i].first) << path;
      size_t colon = p[i].first.find(':');
      EtValue v{p[i].first.substr(0, colon), p[i].first.substr(colon + 1), p[i].second,
                n[i].second};
      if (!isExifGroup(v.group)) continue;
      byName.emplace(v.name, v);
      for (const auto& [ours, aliases] : kExiftoolAliases) {
        for (const std::string& alias : aliases) {
          if (alias == v.name) byName.emplace(ours, v);
        }
      }
    }
    KdExif* h = nullptr;
    ASSERT_EQ(kd_exif_read_file(path.c_str(), &h), 0);
    for (int64_t i = 0; i < kd_exif_tag_count(h); ++i) {
      const char* name = nullptr;
      const char* value = nullptr;
      ASSERT_EQ(kd_exif_tag_at(h, i, &name, &value), 0);
      if (kNotCompared.count(name) != 0) continue;
      if (kFileExceptions.count(path.substr(path.rfind('/') + 1) + ":" + name) != 0) continue;
      auto range = byName.equal_range(name);
      if (range.first == range.second) continue;
      ++compared;
      namesCompared.insert(name);
      bool ok = false;
      std::string theirs;
      for (auto it = range.first; it != range.second && !ok; ++it) {
        ok = agrees(name, value, it->second);
        theirs += " [" + it->second.group + ": " + it->second.print + " | " + it->second.number + "]";
      }
      if (!ok) mismatches.push_back(path + ": " + name + ": ours \"" + value + "\" exiftool" + theirs);
    }
    kd_exif_meta_free(h);
  }
  for (const std::string& m : mismatches) ADD_FAILURE() << m;
  EXPECT_GE(compared, 600u);
  for (const char* name : {"FNumber", "ExposureTime", "Flash", "GPSLatitude", "GPSAltitude",
                           "Orientation", "XResolution", "InteropIndex", "DNGVersion",
                           "ColorMatrix1", "ShutterSpeedValue", "FocalLength"}) {
    EXPECT_EQ(namesCompared.count(name), 1u) << name;
  }
}

}  // namespace
