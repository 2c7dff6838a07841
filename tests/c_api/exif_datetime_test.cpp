// kd_exif_get_datetime against exiftool: the capture date of every camera,
// HEIF and movie sample (and of the corpus) is exiftool's EXIF
// DateTimeOriginal (else CreateDate) with its offset field, else the movie's
// QuickTime CreateDate in UTC.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "keldra/keldra.h"
#include "support/exiftool.h"
#include "support/testdata.h"

namespace {

// "2020:05:01 10:20:30" -> "2020-05-01T10:20:30"; empty for a zero date.
std::string isoOf(std::string et) {
  if (et.size() < 19 || et.compare(0, 4, "0000") == 0) return {};
  et.resize(19);
  et[4] = et[7] = '-';
  et[10] = 'T';
  return et;
}

std::string expectedDate(const std::vector<std::pair<std::string, std::string>>& tags) {
  std::map<std::string, std::string> t(tags.begin(), tags.end());
  for (auto [date, offset] : {std::pair{"ExifIFD:DateTimeOriginal", "ExifIFD:OffsetTimeOriginal"},
                              std::pair{"ExifIFD:CreateDate", "ExifIFD:OffsetTimeDigitized"}}) {
    if (std::string d = isoOf(t[date]); !d.empty()) return d + t[offset];
  }
  std::string movie = isoOf(t["QuickTime:CreateDate"]);
  return movie.empty() ? movie : movie + "Z";
}

TEST(ExifDateTime, AgreesWithExiftoolOverCameraAndMovieFiles) {
  ASSERT_TRUE(kd::test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  std::vector<std::string> paths;
  for (const char* folder : {"gps", "heif", "jpeg-exif", "movie", "orientation", "tiff", "webp",
                             "makernote-apple", "makernote-canon", "makernote-casio",
                             "makernote-fujifilm", "makernote-minolta", "makernote-nikon",
                             "makernote-olympus", "makernote-other", "makernote-panasonic",
                             "makernote-pentax", "makernote-sigma"}) {
    for (const std::string& f : kd::test::listTestdata(std::string("metadata/") + folder)) {
      paths.push_back(kd::test::testdataPath(f));
    }
  }
  auto et = kd::test::exiftoolArgs(
      "-G1 -n -EXIF:DateTimeOriginal -EXIF:OffsetTimeOriginal -EXIF:CreateDate "
      "-EXIF:OffsetTimeDigitized -QuickTime:CreateDate",
      paths);
  int dated = 0;
  for (const std::string& path : paths) {
    std::string want = expectedDate(et[path]);
    KdExif* h = nullptr;
    ASSERT_EQ(kd_exif_read_file(path.c_str(), &h), KD_EXIF_OK);
    char buf[64];
    int status = kd_exif_get_datetime(h, buf, sizeof buf);
    kd_exif_meta_free(h);
    EXPECT_EQ(status, want.empty() ? KD_EXIF_ENOMETA : KD_EXIF_OK) << path;
    EXPECT_EQ(status == KD_EXIF_OK ? std::string(buf) : std::string(), want) << path;
    dated += !want.empty();
  }
  EXPECT_GT(dated, 20);
}

TEST(ExifDateTime, TruncatesToTheBufferAndRejectsMisuse) {
  KdExif* h = nullptr;
  ASSERT_EQ(kd_exif_read_file(kd::test::testdataPath("metadata/movie/et_QuickTime.mov").c_str(), &h),
            KD_EXIF_OK);
  char small[8];
  EXPECT_EQ(kd_exif_get_datetime(h, small, sizeof small), KD_EXIF_OK);
  EXPECT_STREQ(small, "2005-08");
  EXPECT_EQ(kd_exif_get_datetime(h, nullptr, 8), KD_EXIF_ENOMETA);
  kd_exif_meta_free(h);
  EXPECT_EQ(kd_exif_get_datetime(h, small, sizeof small), KD_EXIF_ENOMETA);
  EXPECT_STREQ(small, "");
}

}  // namespace
