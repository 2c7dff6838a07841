// kd_exif_get_datetime against exiftool: the capture date of every camera,
// HEIF and movie sample (and of the corpus) is exiftool's EXIF
// DateTimeOriginal (else CreateDate) with its offset field, else the movie's
// QuickTime CreateDate in UTC.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "keldra/keldra.h"
#include "support/exiftool.h"
#include "support/testdata.h"

namespace {

// "2020:05:01 10:20:30" -> "2020-05-01T10:20:30"; empty for a zero date.
std::string isoOf(std::string et) {
  if (et.size() < 19 || et.starts_with("0000")) return {};
  et.resize(19);
  et[4] = et[7] = '-';
  et[10] = 'T';
  return et;
}

TEST(ExifDateTime, AgreesWithExiftoolOverCameraAndMovieFiles) {
  ASSERT_TRUE(kd::test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  std::vector<std::string> paths;
  for (const auto& folder :
       std::filesystem::directory_iterator(std::string(KELDRA_SOURCE_DIR) + "/tests/data/metadata")) {
    for (const std::string& f : kd::test::listTestdata("metadata/" + folder.path().filename().string())) {
      paths.push_back(kd::test::testdataPath(f));
    }
  }
  auto et = kd::test::exiftoolArgs(
      "-G1 -n -EXIF:DateTimeOriginal -EXIF:OffsetTimeOriginal -EXIF:CreateDate "
      "-EXIF:OffsetTimeDigitized -QuickTime:CreateDate", paths);
  int dated = 0;
  for (const std::string& path : paths) {
    std::map<std::string, std::string> t(et[path].begin(), et[path].end());
    std::string want = isoOf(t["ExifIFD:DateTimeOriginal"]) + t["ExifIFD:OffsetTimeOriginal"];
    if (t["ExifIFD:DateTimeOriginal"].empty()) {
      want = isoOf(t["ExifIFD:CreateDate"]) + t["ExifIFD:OffsetTimeDigitized"];
    }
    if (want.empty() && !isoOf(t["QuickTime:CreateDate"]).empty()) {
      want = isoOf(t["QuickTime:CreateDate"]) + "Z";
    }
    KdExif* h = nullptr;
    ASSERT_EQ(kd_exif_read_file(path.c_str(), &h), KD_EXIF_OK);
    char buf[64], small[8];
    int status = kd_exif_get_datetime(h, buf, sizeof buf);
    EXPECT_EQ(status == KD_EXIF_OK ? std::string(buf) : std::string(), want) << path;
    EXPECT_EQ(status, want.empty() ? KD_EXIF_ENOMETA : KD_EXIF_OK) << path;
    // A short buffer takes what fits; no buffer is a misuse.
    EXPECT_EQ(kd_exif_get_datetime(h, small, sizeof small), status);
    EXPECT_EQ(std::string(small), want.substr(0, 7));
    EXPECT_EQ(kd_exif_get_datetime(h, nullptr, 8), KD_EXIF_ENOMETA);
    kd_exif_meta_free(h);
    dated += !want.empty();
  }
  EXPECT_GT(dated, 20);
}

}  // namespace
