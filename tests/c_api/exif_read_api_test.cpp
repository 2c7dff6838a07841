// kd_exif_* reading functions: argument checks, the snapshot queries and
// the JSON document.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "exif/tiff.h"
#include "keldra/keldra.h"
#include "support/json_check.h"
#include "support/peak_memory.h"
#include "support/testdata.h"
#include "support/tiff_builder.h"

namespace {

using kd::test::TiffBuilder;
using kd::test::TiffDir;
using Bytes = std::vector<uint8_t>;

const size_t kTopBit = size_t{1} << (sizeof(size_t) * 8 - 1);
KdExif* const kPoison = reinterpret_cast<KdExif*>(uintptr_t{0x1234});

KdExif* readBytes(const Bytes& b) {
  KdExif* h = nullptr;
  EXPECT_EQ(kd_exif_read_buffer(b.data(), b.size(), &h), 0);
  return h;
}

// A camera file: Make/Model/Software/Orientation, an Exif directory and a
// GPS position south-west of Greenwich, 2.5 m below sea level.
Bytes cameraJpeg() {
  TiffBuilder tb(false);
  return kd::test::jpegWithExif(tb.build(
      {TiffDir{{tb.ascii(0x010F, "Acme"), tb.ascii(0x0110, "Z1"), tb.shorts(0x0112, {6}),
                tb.ascii(0x0131, "fw \"1\\2\""), tb.pointer(0x8769, 1), tb.pointer(0x8825, 2)}},
       TiffDir{{tb.rationals(0x829D, {{14, 5}})}},
       TiffDir{{tb.ascii(1, "S"), tb.rationals(2, {{10, 1}, {30, 1}, {0, 1}}), tb.ascii(3, "W"),
                tb.rationals(4, {{0, 1}, {3, 1}, {0, 1}}), tb.bytes(5, 1, {1}),
                tb.rationals(6, {{5, 2}})}}}));
}

TEST(ExifRead, ArgumentChecks) {
  KdExif* out = kPoison;
  EXPECT_EQ(kd_exif_read_file(nullptr, &out), 2);
  EXPECT_EQ(out, kPoison);  // a NULL path leaves *out untouched
  EXPECT_EQ(kd_exif_read_file("/x", nullptr), 2);
  uint8_t b[4] = {0xFF, 0xD8, 0xFF, 0xD9};
  EXPECT_EQ(kd_exif_read_buffer(b, 4, nullptr), 2);
  out = kPoison;
  EXPECT_EQ(kd_exif_read_buffer(b, 0, &out), 2);
  EXPECT_EQ(out, nullptr);
  out = kPoison;
  EXPECT_EQ(kd_exif_read_buffer(nullptr, 4, &out), 2);
  EXPECT_EQ(out, nullptr);
  out = kPoison;
  EXPECT_EQ(kd_exif_read_buffer(b, kTopBit | 4, &out), 2);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(kd_exif_read_buffer(b, 4, &out), 0);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(kd_exif_is_valid(out), 0);
  kd_exif_meta_free(out);
}

TEST(ExifRead, MissingFileGivesAnEmptyValidHandle) {
  KdExif* h = kPoison;
  ASSERT_EQ(kd_exif_read_file("/nonexistent/keldra/none.jpg", &h), 0);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(kd_exif_is_valid(h), 0);
  EXPECT_EQ(kd_exif_tag_count(h), 0);
  EXPECT_STREQ(kd_exif_to_json(h), "{\n  \"isValid\": false,\n  \"orientation\": 0,\n  \"tags\": {}\n}");
  kd_exif_meta_free(h);
}

TEST(ExifRead, SortedTagListAndIndexBounds) {
  KdExif* h = readBytes(cameraJpeg());
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(kd_exif_is_valid(h), 1);
  int64_t n = kd_exif_tag_count(h);
  ASSERT_EQ(n, 13);
  std::string prev;
  for (int64_t i = 0; i < n; ++i) {
    const char* name = nullptr;
    const char* value = nullptr;
    ASSERT_EQ(kd_exif_tag_at(h, i, &name, &value), 0);
    EXPECT_LT(prev, name);
    EXPECT_STREQ(kd_exif_get_tag(h, name), value);
    prev = name;
  }
  const char* name = "keep";
  const char* value = "keep";
  EXPECT_EQ(kd_exif_tag_at(h, n, &name, &value), 2);
  EXPECT_EQ(kd_exif_tag_at(h, -1, &name, &value), 2);
  EXPECT_EQ(kd_exif_tag_at(h, 0, nullptr, &value), 2);
  EXPECT_EQ(kd_exif_tag_at(h, 0, &name, nullptr), 2);
  EXPECT_STREQ(name, "keep");
  EXPECT_STREQ(value, "keep");
  ASSERT_EQ(kd_exif_tag_at(h, n - 1, &name, &value), 0);
  EXPECT_STREQ(name, "Software");
  ASSERT_EQ(kd_exif_tag_at(h, 0, &name, &value), 0);
  EXPECT_STREQ(name, "ExifOffset");
  EXPECT_STREQ(kd_exif_get_tag(h, "FNumber"), "f/2.8");
  EXPECT_EQ(kd_exif_get_tag(h, "fnumber"), nullptr);
  EXPECT_EQ(kd_exif_get_tag(h, nullptr), nullptr);
  EXPECT_EQ(kd_exif_get_tag(h, "Artist"), nullptr);
  EXPECT_EQ(kd_exif_get_orientation(h), 6);
  kd_exif_meta_free(h);
}

TEST(ExifRead, GpsPosition) {
  KdExif* h = readBytes(cameraJpeg());
  double lat = 0, lon = 0, alt = 0;
  EXPECT_EQ(kd_exif_get_gps(h, &lat, &lon, &alt), 1);
  EXPECT_DOUBLE_EQ(lat, -10.5);
  EXPECT_DOUBLE_EQ(lon, -0.05);
  EXPECT_DOUBLE_EQ(alt, -2.5);
  EXPECT_EQ(kd_exif_get_gps(h, nullptr, nullptr, nullptr), 1);
  kd_exif_meta_free(h);

  TiffBuilder tb(true);
  KdExif* none = readBytes(tb.build({TiffDir{{tb.ascii(0x010F, "x")}}}));
  lat = 7;
  EXPECT_EQ(kd_exif_get_gps(none, &lat, nullptr, nullptr), 0);
  EXPECT_EQ(lat, 7);
  kd_exif_meta_free(none);
}

TEST(ExifJson, LayoutNumbersAndEscapes) {
  KdExif* h = readBytes(cameraJpeg());
  const char* json = kd_exif_to_json(h);
  ASSERT_NE(json, nullptr);
  EXPECT_STREQ(json,
               "{\n"
               "  \"isValid\": true,\n"
               "  \"orientation\": 6,\n"
               "  \"camera\": \"Acme Z1\",\n"
               "  \"software\": \"fw \\\"1\\\\2\\\"\",\n"
               "  \"gps\": {\n"
               "    \"latitude\": -10.5,\n"
               "    \"longitude\": -0.05,\n"
               "    \"altitude\": -2.5\n"
               "  },\n"
               "  \"tags\": {\n"
               "    \"ExifOffset\": \"100\",\n"
               "    \"FNumber\": \"f/2.8\",\n"
               "    \"GPSAltitude\": \"2.5 m Below Sea Level\",\n"
               "    \"GPSAltitudeRef\": \"Below Sea Level\",\n"
               "    \"GPSInfo\": \"126\",\n"
               "    \"GPSLatitude\": \"10 deg 30' 0\\\" S\",\n"
               "    \"GPSLatitudeRef\": \"S\",\n"
               "    \"GPSLongitude\": \"0 deg 3' 0\\\" W\",\n"
               "    \"GPSLongitudeRef\": \"W\",\n"
               "    \"Make\": \"Acme\",\n"
               "    \"Model\": \"Z1\",\n"
               "    \"Orientation\": \"Rotate 90 CW\",\n"
               "    \"Software\": \"fw \\\"1\\\\2\\\"\"\n"
               "  }\n"
               "}");
  EXPECT_EQ(kd_exif_to_json(h), json);  // cached: the same pointer
  kd_exif_meta_free(h);
}

TEST(ExifJson, ControlBytesAndBytesOutsideUtf8AreEscaped) {
  TiffBuilder tb(false);
  std::string text = "a";
  for (int c = 1; c < 32; ++c) text.push_back(static_cast<char>(c));
  text += "\x7F\x80\xFFz";
  KdExif* h = readBytes(tb.build({TiffDir{{tb.ascii(0x010E, text)}}}));
  std::string json = kd_exif_to_json(h);
  std::string want =
      "\"ImageDescription\": \"a\\u0001\\u0002\\u0003\\u0004\\u0005\\u0006\\u0007\\b\\t\\n"
      "\\u000b\\f\\r\\u000E\\u000F\\u0010\\u0011\\u0012\\u0013\\u0014\\u0015\\u0016\\u0017"
      "\\u0018\\u0019\\u001A\\u001B\\u001C\\u001D\\u001E\\u001F\x7F\\u0080\\u00FFz\"";
  EXPECT_NE(json.find(want), std::string::npos) << json;
  kd_exif_meta_free(h);
}

TEST(ExifJson, ZeroAndIntegralNumbersKeepAPoint) {
  TiffBuilder tb(false);
  KdExif* h = readBytes(tb.build(
      {TiffDir{{tb.pointer(0x8825, 1)}},
       TiffDir{{tb.ascii(1, "N"), tb.rationals(2, {{35, 1}}), tb.ascii(3, "E"),
                tb.rationals(4, {{1, 1}, {0, 1}, {9, 250000}}), tb.rationals(6, {{0, 1}})}}}));
  std::string json = kd_exif_to_json(h);
  EXPECT_NE(json.find("\"latitude\": 35.0,\n"), std::string::npos) << json;
  EXPECT_NE(json.find("\"longitude\": 1.00000001,\n"), std::string::npos) << json;
  EXPECT_NE(json.find("\"altitude\": 0.0\n"), std::string::npos) << json;
  kd_exif_meta_free(h);
}

TEST(ExifRead, OrientationOutsideIntIsZero) {
  TiffBuilder tb(false);
  KdExif* h = readBytes(tb.build({TiffDir{{tb.longs(0x0112, {4294967295u})}}}));
  EXPECT_EQ(kd_exif_get_orientation(h), 0);
  EXPECT_NE(std::string(kd_exif_to_json(h)).find("\"orientation\": 4294967295,"),
            std::string::npos);
  kd_exif_meta_free(h);
}

TEST(ExifRead, HandleMisuse) {
  EXPECT_EQ(kd_exif_is_valid(nullptr), 0);
  EXPECT_EQ(kd_exif_tag_count(nullptr), 0);
  EXPECT_EQ(kd_exif_get_orientation(nullptr), 0);
  EXPECT_EQ(kd_exif_to_json(nullptr), nullptr);
  EXPECT_EQ(kd_exif_get_tag(nullptr, "Make"), nullptr);
  const char* name = nullptr;
  const char* value = nullptr;
  EXPECT_EQ(kd_exif_tag_at(nullptr, 0, &name, &value), 2);
  EXPECT_EQ(kd_exif_tag_count(kPoison), 0);
  EXPECT_EQ(kd_exif_to_json(kPoison), nullptr);
  kd_exif_meta_free(kPoison);

  uint8_t px[3] = {1, 2, 3};
  KdImage* img = nullptr;
  ASSERT_EQ(kd_image_from_pixels(1, 1, KD_CS_RGB, px, 3, &img), 0);
  auto* asMeta = reinterpret_cast<KdExif*>(img);
  EXPECT_EQ(kd_exif_tag_count(asMeta), 0);
  kd_exif_meta_free(asMeta);
  EXPECT_EQ(kd_image_width(img), 1);  // still live
  kd_image_free(img);

  KdExif* h = readBytes(cameraJpeg());
  kd_exif_meta_free(h);
  EXPECT_EQ(kd_exif_tag_count(h), 0);
  kd_exif_meta_free(h);  // double release is a no-op
}

TEST(ExifRead, RealFileThroughPathAndBuffer) {
  std::string path = kd::test::testdataPath("metadata/gps/exiv2_FurnaceCreekInn.jpg");
  KdExif* fromFile = nullptr;
  ASSERT_EQ(kd_exif_read_file(path.c_str(), &fromFile), 0);
  Bytes bytes = kd::test::readTestdata("metadata/gps/exiv2_FurnaceCreekInn.jpg");
  KdExif* fromBuffer = readBytes(bytes);
  EXPECT_STREQ(kd_exif_to_json(fromFile), kd_exif_to_json(fromBuffer));
  double lat = 0, lon = 0, alt = 0;
  EXPECT_EQ(kd_exif_get_gps(fromFile, &lat, &lon, &alt), 1);
  EXPECT_NEAR(lat, 36 + 26.0 / 60 + 54.0 / 3600, 1e-9);
  EXPECT_NEAR(lon, -(116 + 51.0 / 60 + 18.0 / 3600), 1e-9);
  EXPECT_LT(alt, 0);  // Furnace Creek lies below sea level
  kd_exif_meta_free(fromFile);
  kd_exif_meta_free(fromBuffer);
}

}  // namespace

namespace {

// The JSON string member of ImageDescription for a given ASCII text.
std::string descriptionJson(const std::string& text) {
  TiffBuilder tb(false);
  KdExif* h = readBytes(tb.build({TiffDir{{tb.ascii(0x010E, text)}}}));
  std::string json = kd_exif_to_json(h);
  kd_exif_meta_free(h);
  EXPECT_TRUE(kd::test::StrictJson::valid(json)) << json;
  const std::string key = "\"ImageDescription\": ";
  size_t at = json.find(key);
  if (at == std::string::npos) return json;
  return json.substr(at + key.size(), json.find('\n', at) - at - key.size());
}

TEST(ExifJson, Utf8KeptAndEveryOtherByteEscapedAsLatin1) {
  const struct {
    const char* text;
    const char* json;
  } kCases[] = {
      {"caf\xC3\xA9 \xE2\x82\xAC \xEF\xBF\xBF \xF0\x9F\x98\x80", "\"caf\xC3\xA9 \xE2\x82\xAC \xEF\xBF\xBF \xF0\x9F\x98\x80\""},
      {"Bogot\xE1", "\"Bogot\\u00E1\""},                         // Latin-1
      {"\x93quoted\x94", "\"\\u0093quoted\\u0094\""},            // Windows-1252
      {"\xC0\x80|\xC1\xBF", "\"\\u00C0\\u0080|\\u00C1\\u00BF\""},  // overlong
      {"\xE0\x9F\xBF", "\"\\u00E0\\u009F\\u00BF\""},             // overlong
      {"\xED\xA0\x80", "\"\\u00ED\\u00A0\\u0080\""},             // surrogate
      {"\xF4\x90\x80\x80", "\"\\u00F4\\u0090\\u0080\\u0080\""},  // above U+10FFFF
      {"\xE2\x82x", "\"\\u00E2\\u0082x\""},                      // cut short
      {"\xF0\x9F\x98", "\"\\u00F0\\u009F\\u0098\""},             // cut short at the end
      {"\xC3\xA9\xA9", "\"\xC3\xA9\\u00A9\""},                   // stray continuation
      {"\xF5\x80\xFE\xFF", "\"\\u00F5\\u0080\\u00FE\\u00FF\""},
  };
  for (const auto& c : kCases) EXPECT_EQ(descriptionJson(c.text), c.json) << c.text;
}

// Every file under `dir` and its sub-folders.
void collectFiles(const std::filesystem::path& dir, std::vector<std::string>& out) {
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir, ec)) {
    if (e.is_regular_file()) out.push_back(e.path().string());
  }
}

TEST(ExifJson, SamplesAndFuzzCorpusGiveStrictUtf8Json) {
  std::vector<std::string> files;
  collectFiles(std::string(KELDRA_SOURCE_DIR) + "/fuzz/corpus/exif_read", files);
  collectFiles(std::string(KELDRA_SOURCE_DIR) + "/samples", files);
  collectFiles(std::string(KELDRA_SOURCE_DIR) + "/tests/data", files);
  if (auto corpus = kd::test::corpusDir()) {
    for (const char* folder : {"metadata", "malformed"}) collectFiles(*corpus + "/" + folder, files);
  }
  ASSERT_FALSE(files.empty());
  for (const std::string& path : files) {
    Bytes b = kd::test::readFileBytes(path);
    if (b.empty()) continue;
    KdExif* h = readBytes(b);
    const char* json = kd_exif_to_json(h);
    ASSERT_NE(json, nullptr) << path;
    EXPECT_TRUE(kd::test::StrictJson::valid(json)) << path;
    kd_exif_meta_free(h);
  }
}

// Names and values of every tag plus the JSON document.
int64_t handedOut(KdExif* h) {
  int64_t total = static_cast<int64_t>(std::string(kd_exif_to_json(h)).size());
  for (int64_t i = 0; i < kd_exif_tag_count(h); ++i) {
    const char* name = nullptr;
    const char* value = nullptr;
    EXPECT_EQ(kd_exif_tag_at(h, i, &name, &value), 0);
    total += static_cast<int64_t>(std::strlen(name) + std::strlen(value));
  }
  return total;
}

// About 1 MB of colour matrices written as text numbers of 1e308, which
// render to hundreds of digits each.
TEST(ExifReadBudget, HugeMatrixNumbersStayWithinAFewMegabytes) {
  TiffBuilder tb(false);
  std::string numbers;
  while (numbers.size() < 170000) numbers += "1e308/1 1/1e-300 ";
  TiffDir dir;
  for (uint16_t tag : {0xC621, 0xC622, 0xC623, 0xC624, 0xC627, 0xC628}) {
    dir.entries.push_back(tb.ascii(tag, numbers));
  }
  Bytes file = tb.build({dir});
  kd::test::PeakMemory peak;
  KdExif* h = readBytes(file);
  ASSERT_EQ(kd_exif_tag_count(h), 6);
  const int64_t out = handedOut(h);
  EXPECT_LE(out, kd::exif::ReadBudget::outputAllowance(file.size()));
  EXPECT_TRUE(peak.within(24 << 20)) << peak.growth();
  // Kept raw (without the trailing space of the text).
  EXPECT_TRUE(kd_exif_get_tag(h, "ColorMatrix1") == numbers.substr(0, numbers.size() - 1));
  kd_exif_meta_free(h);

  // Ordinary matrices still render.
  KdExif* plain = readBytes(tb.build({TiffDir{{tb.ascii(0xC621, "1/3 -5163/10000 2/1")}}}));
  EXPECT_STREQ(kd_exif_get_tag(plain, "ColorMatrix1"), "0.333333 -0.5163 2");
  kd_exif_meta_free(plain);
}

// Many tags share one 64 KB value of control bytes, each escaped to six
// bytes in the JSON: the text and the document stop at the allowance, the
// tags that fit are whole and in name order.
TEST(ExifReadBudget, SharedControlByteValuesStopAtTheOutputAllowance) {
  TiffBuilder tb(false);
  const int kTags = 200;
  const std::string control(65536, '\x01');
  TiffDir dir;
  dir.entries.push_back(tb.ascii(0xE000, control));
  for (int i = 1; i < kTags; ++i) {
    auto e = tb.ascii(static_cast<uint16_t>(0xE000 + i), control);
    e.forceOffset = true;
    e.rawOffset = 8 + 2 + 12 * kTags + 4;
    dir.entries.push_back(e);
  }
  Bytes file = tb.build({dir});
  kd::test::PeakMemory peak;
  KdExif* h = readBytes(file);
  const int64_t count = kd_exif_tag_count(h);
  EXPECT_GT(count, 1);
  EXPECT_LT(count, kTags);
  EXPECT_LE(handedOut(h), kd::exif::ReadBudget::outputAllowance(file.size()));
  EXPECT_TRUE(peak.within(24 << 20)) << peak.growth();
  for (int64_t i = 0; i < count; ++i) {
    const char* name = nullptr;
    const char* value = nullptr;
    ASSERT_EQ(kd_exif_tag_at(h, i, &name, &value), 0);
    char want[32];
    std::snprintf(want, sizeof want, "Unknown:0x%04X", 0xE000 + static_cast<int>(i));
    EXPECT_STREQ(name, want);
    EXPECT_EQ(std::string(value), control);
  }
  EXPECT_TRUE(kd::test::StrictJson::valid(kd_exif_to_json(h)));
  kd_exif_meta_free(h);
}

}  // namespace
