// Differential test of the maker notes against exiftool (`exiftool -j -G1
// -a`): every "Maker:Name" pair this library reads from a camera file must
// agree with exiftool's printed value of the same tag in the maker's group.
// Where this library shows a value its own way, the pair is checked against
// exiftool's numbers (-n) instead; kOwnRendering lists those, with why.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "keldra/keldra.h"
#include "support/exiftool.h"
#include "support/testdata.h"

namespace {

// ---- exiftool's JSON: an array of flat objects ----

// Reads exiftool's -j output: one multimap per file from "Group:Name" to the
// value's text (numbers keep their literal text, lists are joined with ", ").
class EtJson {
 public:
  explicit EtJson(std::string text) : s_(std::move(text)) {}

  std::vector<std::multimap<std::string, std::string>> files() {
    std::vector<std::multimap<std::string, std::string>> out;
    skip();
    if (!eat('[')) return out;
    while (skip(), !eat(']')) {
      if (!eat('{')) return {};
      std::multimap<std::string, std::string> file;
      while (skip(), !eat('}')) {
        std::string key = string();
        skip();
        eat(':');
        file.emplace(std::move(key), value());
        skip();
        eat(',');
      }
      out.push_back(std::move(file));
      skip();
      eat(',');
    }
    return out;
  }

 private:
  void skip() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\r' || s_[i_] == '\t')) {
      ++i_;
    }
  }
  bool eat(char c) {
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  std::string string() {
    std::string out;
    if (!eat('"')) return out;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\' || i_ >= s_.size()) {
        out.push_back(c);
        continue;
      }
      char e = s_[i_++];
      switch (e) {
        case 'n': out.push_back('\n'); break;
        case 't': out.push_back('\t'); break;
        case 'r': out.push_back('\r'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'u': {
          unsigned cp = static_cast<unsigned>(std::stoul(s_.substr(i_, 4), nullptr, 16));
          i_ += 4;
          if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
          } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | cp >> 6));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
          } else {
            out.push_back(static_cast<char>(0xE0 | cp >> 12));
            out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
          }
          break;
        }
        default: out.push_back(e); break;
      }
    }
    eat('"');
    return out;
  }
  std::string value() {
    skip();
    if (i_ < s_.size() && s_[i_] == '"') return string();
    if (eat('[')) {
      std::string out;
      while (skip(), !eat(']')) {
        if (!out.empty()) out += ", ";
        out += value();
        skip();
        eat(',');
      }
      return out;
    }
    if (eat('{')) {  // structures are not compared
      int depth = 1;
      while (i_ < s_.size() && depth > 0) {
        if (s_[i_] == '"') {
          string();
          continue;
        }
        depth += s_[i_] == '{' ? 1 : s_[i_] == '}' ? -1 : 0;
        ++i_;
      }
      return "{}";
    }
    size_t start = i_;
    while (i_ < s_.size() && s_[i_] != ',' && s_[i_] != '}' && s_[i_] != ']' && s_[i_] != '\n') {
      ++i_;
    }
    return s_.substr(start, i_ - start);
  }

  std::string s_;
  size_t i_ = 0;
};

std::vector<std::multimap<std::string, std::string>> exiftoolJson(
    const std::vector<std::string>& paths, bool numeric) {
  return EtJson(kd::test::exiftoolOutput(numeric ? "-j -G1 -a -n" : "-j -G1 -a", paths)).files();
}

// ---- numbers ----

std::optional<double> numberOf(const std::string& token) {
  if (token.empty()) return std::nullopt;
  char* end = nullptr;
  size_t slash = token.find('/');
  if (slash == std::string::npos) {
    double v = std::strtod(token.c_str(), &end);
    return *end == 0 ? std::optional<double>(v) : std::nullopt;
  }
  std::string num = token.substr(0, slash), den = token.substr(slash + 1);
  double n = std::strtod(num.c_str(), &end);
  if (*end != 0) return std::nullopt;
  double d = std::strtod(den.c_str(), &end);
  if (*end != 0 || d == 0) return std::nullopt;
  return n / d;
}

std::optional<std::vector<double>> numbersOf(const std::string& text) {
  std::vector<double> out;
  size_t i = 0;
  while (i <= text.size()) {
    size_t j = text.find(' ', i);
    if (j == std::string::npos) j = text.size();
    if (j > i) {
      auto v = numberOf(text.substr(i, j - i));
      if (!v) return std::nullopt;
      out.push_back(*v);
    }
    i = j + 1;
  }
  if (out.empty()) return std::nullopt;
  return out;
}

bool numbersClose(const std::string& ours, const std::string& theirs, double tolerance) {
  auto a = numbersOf(ours), b = numbersOf(theirs);
  if (!a || !b || a->size() != b->size()) return false;
  for (size_t i = 0; i < a->size(); ++i) {
    if (std::fabs((*a)[i] - (*b)[i]) > tolerance + 1e-9 * std::fabs((*b)[i])) return false;
  }
  return true;
}

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

std::string lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

// ---- where this library shows a value its own way ----

enum class Check {
  kNumber,           // ours equals exiftool's -n value as numbers
  kRounded4,         // ours has at most four decimals of exiftool's -n numbers
  kRounded1,         // one decimal
  kHex,              // ours is exiftool's -n number in hexadecimal
  kCaseInsensitive,  // the same words in other letter case
  kAfterLabel,       // ours keeps the camera's "Label:" before exiftool's value
  kTextBeforeNul,    // ours shows the bytes in hexadecimal; exiftool the text before a zero byte
  kSerialDate,       // ours spells out the date inside exiftool's serial number
  kNotCompared,      // the value tables' words differ from exiftool's
};

struct OwnRendering {
  Check check;
  const char* why;
};

const std::map<std::string, OwnRendering> kOwnRendering = {
    {"Apple:AEStable", {Check::kNumber, "the flag as stored; exiftool says Yes/No"}},
    {"Apple:AFStable", {Check::kNumber, "the flag as stored; exiftool says Yes/No"}},
    {"Apple:HDRImageType", {Check::kNumber, "no value table; exiftool names the kind"}},
    {"Apple:ImageCaptureType", {Check::kNumber, "only four kinds have words here"}},
    {"Apple:AccelerationVector", {Check::kRounded4, "four decimals; exiftool shows ten digits"}},
    {"Apple:FocusDistanceRange", {Check::kRounded4, "four decimals; exiftool writes \"a - b m\""}},
    {"Canon:CanonModelID", {Check::kHex, "the id in hexadecimal; exiftool names the model"}},
    {"Canon:SerialNumber", {Check::kNumber, "always ten digits; exiftool pads some models only"}},
    {"Nikon:Lens", {Check::kNumber, "the stored rationals; exiftool writes \"18-70mm f/3.5-4.5\""}},
    {"Nikon:WhiteBalance", {Check::kCaseInsensitive, "words with digits keep their capitals"}},
    {"Nikon:Sharpness", {Check::kCaseInsensitive, "words with punctuation keep their capitals"}},
    {"Olympus:DigitalZoom", {Check::kRounded1, "exactly one decimal"}},
    {"Olympus:CameraID", {Check::kTextBeforeNul, "bytes after the zero byte are not text"}},
    {"Panasonic:InternalSerialNumber", {Check::kSerialDate, "the date of manufacture spelled out"}},
    {"Panasonic:ImageStabilization", {Check::kNotCompared, "\"On, Mode 1\" is exiftool's \"On, Optical\""}},
    {"Pentax:AFPointMode", {Check::kNumber, "no value table"}},
    {"Pentax:AFPointSelected2", {Check::kNumber, "no value table"}},
    {"Pentax:BracketShotNumber", {Check::kNumber, "no value table"}},
    {"Pentax:DriveMode2", {Check::kNumber, "no value table"}},
    {"Pentax:MultipleExposureSet", {Check::kNumber, "no value table"}},
    {"Sigma:ExposureMode", {Check::kNotCompared, "\"Program\" is exiftool's \"Program AE\""}},
    {"Sigma:ExposureCompensation", {Check::kAfterLabel, "the camera's text as written"}},
    {"Sigma:Contrast", {Check::kAfterLabel, "the camera's text as written"}},
    {"Sigma:Shadow", {Check::kAfterLabel, "the camera's text as written"}},
    {"Sigma:Highlight", {Check::kAfterLabel, "the camera's text as written"}},
    {"Sigma:Saturation", {Check::kAfterLabel, "the camera's text as written"}},
    {"Sigma:Sharpness", {Check::kAfterLabel, "the camera's text as written"}},
    {"Sigma:X3FillLight", {Check::kAfterLabel, "the camera's text as written"}},
    {"Sigma:ColorAdjustment", {Check::kAfterLabel, "the camera's text as written"}},
};

// exiftool's names for tags this library names after the description.
const std::map<std::string, std::string> kExiftoolName = {
    {"Canon:ImageType", "Canon:CanonImageType"},
    {"Canon:FirmwareVersion", "Canon:CanonFirmwareVersion"},
};

std::string textBeforeNul(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 3) {
    unsigned v = static_cast<unsigned>(std::stoul(hex.substr(i, 2), nullptr, 16));
    if (v == 0) break;
    out.push_back(static_cast<char>(v));
  }
  return out;
}

// "(S01) 2006:04:03 no. 0293" back to "S010604030293".
std::string serialWithoutDate(std::string s) {
  for (const char* mark : {"(", ") 20", ":", ":", " no. "}) {
    size_t at = s.find(mark);
    if (at == std::string::npos) return {};
    s.erase(at, std::char_traits<char>::length(mark));
  }
  return s;
}

bool agrees(const std::string& key, const std::string& ours, const std::string& print,
            const std::string& number) {
  if (ours == trimmed(print)) return true;
  auto rule = kOwnRendering.find(key);
  if (rule == kOwnRendering.end()) return false;
  switch (rule->second.check) {
    case Check::kNumber: return numbersClose(ours, number, 0);
    case Check::kRounded4: return numbersClose(ours, number, 0.00005);
    case Check::kRounded1: return numbersClose(ours, number, 0.05);
    case Check::kHex: {
      auto v = numberOf(number);
      char buf[32];
      std::snprintf(buf, sizeof buf, "0x%08llx", v ? static_cast<unsigned long long>(*v) : 0ull);
      return v && ours == buf;
    }
    case Check::kCaseInsensitive: return lower(ours) == lower(trimmed(print));
    case Check::kAfterLabel: {
      size_t colon = ours.find(':');
      return colon != std::string::npos && ours.substr(colon + 1) == trimmed(print);
    }
    case Check::kTextBeforeNul: return textBeforeNul(ours) == trimmed(print);
    case Check::kSerialDate: return serialWithoutDate(ours) == trimmed(print);
    case Check::kNotCompared: return true;
  }
  return false;
}

const char* const kMakers[] = {"Apple",   "Canon",   "Nikon", "Panasonic", "FujiFilm",
                               "Pentax",  "Olympus", "Casio", "Minolta",   "Sigma"};

std::string makerOf(const std::string& name) {
  size_t colon = name.find(':');
  if (colon == std::string::npos) return {};
  std::string prefix = name.substr(0, colon);
  for (const char* m : kMakers) {
    if (prefix == m) return prefix;
  }
  return {};
}

// The camera files: every maker's folder and the camera JPEGs of the other
// metadata folders; the corpus adds the makers this library does not read.
std::vector<std::string> cameraFiles() {
  std::vector<std::string> folders = {
      "metadata/makernote-apple",    "metadata/makernote-canon",  "metadata/makernote-casio",
      "metadata/makernote-fujifilm", "metadata/makernote-minolta", "metadata/makernote-nikon",
      "metadata/makernote-olympus",  "metadata/makernote-panasonic", "metadata/makernote-pentax",
      "metadata/makernote-sigma",    "metadata/jpeg-exif",        "metadata/gps",
      "metadata/orientation",        "metadata/makernote-other"};
  std::vector<std::string> paths;
  for (const std::string& folder : folders) {
    for (const std::string& rel : kd::test::listTestdata(folder)) {
      paths.push_back(kd::test::testdataPath(rel));
    }
  }
  return paths;
}

TEST(MakerNoteExiftool, PairsAgreeWithExiftoolsMakerGroups) {
  ASSERT_TRUE(kd::test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  const std::vector<std::string> paths = cameraFiles();
  auto printed = exiftoolJson(paths, false);
  auto numeric = exiftoolJson(paths, true);
  ASSERT_EQ(printed.size(), paths.size()) << "exiftool did not report every file";
  ASSERT_EQ(numeric.size(), paths.size());

  // Per maker: pairs compared, agreeing word for word, agreeing through a
  // rule of kOwnRendering, and left out (table words that differ).
  struct Tally {
    int compared = 0, exact = 0, byRule = 0, leftOut = 0;
  };
  std::map<std::string, Tally> tally;
  std::vector<std::string> mismatches;
  for (size_t f = 0; f < paths.size(); ++f) {
    KdExif* h = nullptr;
    ASSERT_EQ(kd_exif_read_file(paths[f].c_str(), &h), 0) << paths[f];
    for (int64_t i = 0; i < kd_exif_tag_count(h); ++i) {
      const char* name = nullptr;
      const char* value = nullptr;
      ASSERT_EQ(kd_exif_tag_at(h, i, &name, &value), 0);
      const std::string maker = makerOf(name);
      if (maker.empty()) continue;
      auto alias = kExiftoolName.find(name);
      const std::string key = alias == kExiftoolName.end() ? name : alias->second;
      auto p = printed[f].equal_range(key);
      auto n = numeric[f].equal_range(key);
      if (p.first == p.second) continue;  // exiftool has no such tag here
      Tally& t = tally[maker];
      bool exact = false, ok = false;
      std::string theirs;
      for (auto a = p.first, b = n.first; a != p.second && b != n.second; ++a, ++b) {
        exact = exact || value == trimmed(a->second);
        ok = ok || agrees(name, value, a->second, b->second);
        theirs += " [" + a->second + " | " + b->second + "]";
      }
      auto rule = kOwnRendering.find(name);
      if (!exact && rule != kOwnRendering.end() && rule->second.check == Check::kNotCompared) {
        ++t.leftOut;
        continue;
      }
      ++t.compared;
      if (exact) {
        ++t.exact;
      } else if (ok) {
        ++t.byRule;
      } else {
        mismatches.push_back(paths[f] + ": " + name + ": ours \"" + value + "\" exiftool" + theirs);
      }
    }
    kd_exif_meta_free(h);
  }
  for (const std::string& m : mismatches) ADD_FAILURE() << m;
  for (const char* maker : kMakers) {
    const Tally& t = tally[maker];
    std::cout << maker << ": " << t.compared << " pairs compared, " << t.exact
              << " agree word for word, " << t.byRule << " by their listed rule; " << t.leftOut
              << " left out\n";
    EXPECT_GT(t.compared, 0) << maker;
  }
}

}  // namespace
