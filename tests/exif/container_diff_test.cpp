// Differential test against exiftool for the metadata containers: XMP
// properties against exiftool's XMP values (-XMP:all -n, matched by prefix
// and property name), IPTC datasets against its IPTC group, and the movie
// make, model, software and creation date against its QuickTime values.
// EXIF tags of PNG, WebP and HEIF files are compared by the EXIF
// differential (exiftool_diff_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "exif/exif.h"
#include "support/exiftool.h"
#include "support/testdata.h"

namespace kd::exif {
namespace {

using Values = std::multimap<std::string, std::string>;  // "Group:Name" -> value

// `exiftool -args -G1 -a -n` of the given tag groups, per file.
std::map<std::string, Values> exiftool(const std::vector<std::string>& paths,
                                       const std::string& groups) {
  std::map<std::string, Values> files;
  for (auto& [path, values] : test::exiftoolArgs("-G1 -a -n -charset iptc=Latin " + groups, paths)) {
    files[path].insert(values.begin(), values.end());
  }
  return files;
}

std::vector<std::string> pathsOf(const std::vector<const char*>& folders) {
  std::vector<std::string> paths;
  for (const char* folder : folders) {
    for (const std::string& rel : test::listTestdata(folder)) {
      paths.push_back(test::testdataPath(rel));
    }
  }
  return paths;
}

// exiftool's -args output shows line breaks inside a value as dots.
std::string argsForm(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = '.';
  }
  return text;
}

// Dates: exiftool's numeric form of an XMP or IPTC date is "YYYY:MM:DD
// HH:MM:SS"; the library keeps the text as written ("YYYY-MM-DDTHH:MM:SS",
// IPTC "YYYYMMDD" and "HHMMSS+HHMM"). Compared on their digits.
std::string digitsOf(const std::string& s) {
  std::string d;
  for (char c : s) {
    if (c >= '0' && c <= '9') d.push_back(c);
  }
  return d;
}

// Older XMP writers use the "xap" prefixes; exiftool names the groups after
// the current ones.
std::string exiftoolPrefix(const std::string& prefix) {
  static const std::map<std::string, std::string> kAliases = {
      {"xap", "xmp"}, {"xapMM", "xmpMM"}, {"xapRights", "xmpRights"}, {"xapBJ", "xmpBJ"},
      {"xapGImg", "xmpGImg"}};
  auto it = kAliases.find(prefix);
  return it == kAliases.end() ? prefix : it->second;
}

// XMP properties exiftool reports under another name or in another form on
// purpose; each is skipped with its reason.
const std::map<std::string, std::string> kXmpNotCompared = {
    // exiftool prints booleans as "True"/"False" whatever the case written.
    {"xmpRights:Marked", "boolean case normalised by exiftool"},
};

// A decimal or rational number ("720000/10000").
std::optional<double> numberOf(const std::string& text) {
  try {
    size_t used = 0;
    size_t slash = text.find('/');
    double n = std::stod(text.substr(0, slash), &used);
    if (used != (slash == std::string::npos ? text.size() : slash)) return std::nullopt;
    if (slash == std::string::npos) return n;
    std::string den = text.substr(slash + 1);
    double d = std::stod(den, &used);
    if (used != den.size() || d == 0) return std::nullopt;
    return n / d;
  } catch (...) {
    return std::nullopt;
  }
}

// XMP keeps EXIF numbers as written (rationals, APEX values); exiftool's
// numeric output converts them: APEX aperture to an f-number, APEX shutter
// speed to seconds, rationals to decimals.
bool sameNumber(const std::string& local, const std::string& ours, const std::string& theirs) {
  auto a = numberOf(ours);
  auto b = numberOf(theirs);
  if (!a || !b) return false;
  double v = *a;
  if (local == "ApertureValue" || local == "MaxApertureValue") v = std::pow(2.0, v / 2);
  if (local == "ShutterSpeedValue") v = std::pow(2.0, -v);
  return std::fabs(v - *b) <= 1e-6 * std::max(1.0, std::fabs(*b));
}

// exiftool's -args output ends a value that had trailing line breaks with
// dots; the library strips trailing white space.
bool sameText(const std::string& ours, const std::string& theirs) {
  std::string o = argsForm(ours);
  if (o == theirs) return true;
  return theirs.rfind(o, 0) == 0 && theirs.find_first_not_of('.', o.size()) == std::string::npos;
}

bool isDateName(const std::string& name) {
  return name.find("Date") != std::string::npos || name.find("Time") != std::string::npos;
}

TEST(ContainerDifferential, XmpPropertiesAgree) {
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  std::vector<std::string> paths =
      pathsOf({"metadata/xmp", "metadata/png", "metadata/webp", "metadata/heif",
               "metadata/iptc", "metadata/jpeg-exif", "metadata/tiff"});
  auto theirs = exiftool(paths, "-XMP:all");
  size_t compared = 0;
  std::set<std::string> namesCompared;
  for (const std::string& path : paths) {
    Metadata md = readMetadata(path, kMetadataReadLimit);
    const Values& et = theirs[path];
    for (const auto& [key, value] : md.tags) {
      if (key.rfind("XMP:", 0) != 0) continue;
      std::string property = key.substr(4);
      size_t colon = property.find(':');
      std::string prefix = exiftoolPrefix(property.substr(0, colon));
      std::string local = property.substr(colon + 1);
      if (kXmpNotCompared.count(prefix + ":" + local) || local.empty()) continue;
      local[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(local[0])));
      auto range = et.equal_range("XMP-" + prefix + ":" + local);
      if (range.first == range.second) continue;  // structure fields: flattened by exiftool
      ++compared;
      namesCompared.insert(prefix + ":" + local);
      bool ok = false;
      std::string seen;
      for (auto it = range.first; it != range.second && !ok; ++it) {
        ok = sameText(value, it->second) || sameNumber(local, value, it->second) ||
             (isDateName(local) && digitsOf(value) == digitsOf(it->second));
        seen += " [" + it->second + "]";
      }
      EXPECT_TRUE(ok) << path << ": " << key << ": ours \"" << value << "\" exiftool" << seen;
    }
  }
  EXPECT_GE(compared, 60u) << compared;
  for (const char* name : {"dc:Subject", "dc:Creator", "xmp:CreateDate", "photoshop:City"}) {
    EXPECT_EQ(namesCompared.count(name), 1u) << name;
  }
}

// IPTC values are bytes; exiftool decodes them as Latin-1 (-charset
// iptc=Latin), so the library's bytes are decoded the same way to compare.
std::string latin1ToUtf8(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back(static_cast<char>(0xC0 | c >> 6));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

TEST(ContainerDifferential, IptcDatasetsAgree) {
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  std::vector<std::string> paths =
      pathsOf({"metadata/iptc", "metadata/xmp", "metadata/jpeg-exif", "metadata/gps"});
  auto theirs = exiftool(paths, "-IPTC:all");
  size_t compared = 0;
  for (const std::string& path : paths) {
    Metadata md = readMetadata(path, kMetadataReadLimit);
    const Values& et = theirs[path];
    for (const auto& [key, value] : md.tags) {
      if (key.rfind("IPTC:", 0) != 0) continue;
      auto range = et.equal_range(key);
      if (range.first == range.second) {
        ADD_FAILURE() << path << ": " << key << " not reported by exiftool";
        continue;
      }
      // Repeated datasets: exiftool lists them one by one (-a) or joins a
      // list; the library joins them with ", ".
      std::string joined;
      for (auto it = range.first; it != range.second; ++it) {
        joined += (joined.empty() ? "" : ", ") + it->second;
      }
      ++compared;
      // exiftool drops trailing spaces of IPTC values.
      std::string ours = argsForm(latin1ToUtf8(value));
      ours.erase(ours.find_last_not_of(' ') + 1);
      bool ok = ours == joined || (isDateName(key) && digitsOf(ours) == digitsOf(joined));
      EXPECT_TRUE(ok) << path << ": " << key << ": ours \"" << ours << "\" exiftool \"" << joined
                      << "\"";
    }
  }
  EXPECT_GE(compared, 40u) << compared;
}

std::string dateText(const DateTime& d) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lld:%02d:%02d %02d:%02d:%02d",
                static_cast<long long>(d.year), d.month, d.day, d.hour, d.minute, d.second);
  return buf;
}

TEST(ContainerDifferential, MovieValuesAgree) {
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  std::vector<std::string> paths = pathsOf({"metadata/movie", "metadata/heif"});
  auto theirs = exiftool(paths, "-QuickTime:all");
  size_t compared = 0;
  for (const std::string& path : paths) {
    Metadata md = readMetadata(path, kMetadataReadLimit);
    const Values& et = theirs[path];
    // Make, model and software: from the keys, the user data or the item list.
    for (const char* name : {"Make", "Model", "Software"}) {
      auto it = md.tags.find(std::string(name));
      std::set<std::string> their;
      for (const char* group : {"Keys", "UserData", "ItemList", "QuickTime"}) {
        auto range = et.equal_range(std::string(group) + ":" + name);
        for (auto v = range.first; v != range.second; ++v) their.insert(v->second);
      }
      if (their.empty()) continue;
      ++compared;
      ASSERT_NE(it, md.tags.end()) << path << ": " << name << " missing";
      EXPECT_EQ(their.count(it->second), 1u) << path << ": " << name << " " << it->second;
    }
    // Creation date: the movie header's, in UTC; exiftool shows an unset
    // one as zeros.
    auto created = et.find("QuickTime:CreateDate");
    if (created == et.end()) continue;
    ++compared;
    if (created->second == "0000:00:00 00:00:00") {
      EXPECT_FALSE(md.dateTime.known()) << path;
    } else {
      EXPECT_EQ(dateText(md.dateTime), created->second) << path;
    }
  }
  EXPECT_GE(compared, 3u) << compared;
}

}  // namespace
}  // namespace kd::exif
