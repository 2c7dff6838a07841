// The exported editing and stripping functions: every status path, the
// out-parameters on failure, and round trips through the reader.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "keldra/keldra.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A JPEG with an APP0 segment and a scan: no EXIF yet.
const Bytes kJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 'J', 'F', 'I', 'F',
                     0xFF, 0xDA, 0x00, 0x04, 1,    2,    3,   4,   0xFF, 0xD9};
const Bytes kGif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0};
constexpr size_t kTopBit = size_t{1} << (sizeof(size_t) * 8 - 1);

class ExifEditApi : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { kd_exif_init(); }
  void SetUp() override {
    dir_ = ::testing::TempDir() + "/edit_api_" + std::to_string(::getpid()) + "_" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
    ::mkdir(dir_.c_str(), 0700);
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string path(const std::string& name, const Bytes& content) {
    std::string p = dir_ + "/" + name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
    return p;
  }
  static Bytes read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  static std::string tag(const Bytes& file, const char* name) {
    KdExif* m = nullptr;
    if (kd_exif_read_buffer(file.data(), file.size(), &m) != KD_EXIF_OK) return "<unread>";
    const char* v = kd_exif_get_tag(m, name);
    std::string out = v ? v : "<none>";
    kd_exif_meta_free(m);
    return out;
  }
  std::string dir_;
};

TEST_F(ExifEditApi, StripBufferStatuses) {
  uint8_t* out = reinterpret_cast<uint8_t*>(1);
  size_t len = 7;
  EXPECT_EQ(kd_exif_strip_buffer(kJpeg.data(), kJpeg.size(), nullptr, &len), 2);
  EXPECT_EQ(len, 7u) << "out-parameters are not touched when one is NULL";
  EXPECT_EQ(kd_exif_strip_buffer(kJpeg.data(), kJpeg.size(), &out, nullptr), 2);
  for (size_t bad : {size_t{0}, kTopBit, ~size_t{0}}) {
    out = reinterpret_cast<uint8_t*>(1);
    len = 7;
    EXPECT_EQ(kd_exif_strip_buffer(kJpeg.data(), bad, &out, &len), 2);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0u);
  }
  EXPECT_EQ(kd_exif_strip_buffer(nullptr, 4, &out, &len), 2);
  EXPECT_EQ(kd_exif_strip_buffer(kGif.data(), kGif.size(), &out, &len), 4);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(len, 0u);
  ASSERT_EQ(kd_exif_strip_buffer(kJpeg.data(), kJpeg.size(), &out, &len), 0);
  EXPECT_EQ(Bytes(out, out + len), kJpeg);
  kd_exif_buffer_free(out);
}

TEST_F(ExifEditApi, StripFileStatuses) {
  const std::string in = path("in.jpg", kJpeg), gif = path("in.gif", kGif);
  EXPECT_EQ(kd_exif_strip_file(nullptr, in.c_str()), 2);
  EXPECT_EQ(kd_exif_strip_file(in.c_str(), nullptr), 2);
  EXPECT_EQ(kd_exif_strip_file((dir_ + "/missing.jpg").c_str(), in.c_str()), 4);
  EXPECT_EQ(kd_exif_strip_file(gif.c_str(), (dir_ + "/out.gif").c_str()), 4);
  EXPECT_EQ(read(gif), kGif);
  EXPECT_EQ(kd_exif_strip_file(in.c_str(), ""), 4);
  EXPECT_EQ(kd_exif_strip_file(in.c_str(), (dir_ + "/out.jpg").c_str()), 0);
  EXPECT_EQ(read(dir_ + "/out.jpg"), kJpeg);
  EXPECT_EQ(kd_exif_strip_file(in.c_str(), (dir_ + "/no/such/dir/out.jpg").c_str()), 4);
}

TEST_F(ExifEditApi, OpenStatuses) {
  KdExifEdit* h = reinterpret_cast<KdExifEdit*>(1);
  EXPECT_EQ(kd_exif_edit_open(nullptr, &h), 2);
  EXPECT_EQ(kd_exif_edit_open("x", nullptr), 2);
  EXPECT_EQ(kd_exif_edit_open_buffer(kJpeg.data(), kJpeg.size(), nullptr), 2);
  for (size_t bad : {size_t{0}, kTopBit}) {
    h = reinterpret_cast<KdExifEdit*>(1);
    EXPECT_EQ(kd_exif_edit_open_buffer(kJpeg.data(), bad, &h), 2);
    EXPECT_EQ(h, nullptr);
  }
  EXPECT_EQ(kd_exif_edit_open_buffer(nullptr, 3, &h), 2);
  // A missing file opens an empty session (its write then fails).
  ASSERT_EQ(kd_exif_edit_open((dir_ + "/missing.jpg").c_str(), &h), 0);
  EXPECT_EQ(kd_exif_edit_write(h, nullptr), 4);
  kd_exif_edit_free(h);
  kd_exif_edit_free(h);
}

TEST_F(ExifEditApi, InvalidHandlesAndNullTexts) {
  KdExifEdit* h = nullptr;
  ASSERT_EQ(kd_exif_edit_open_buffer(kJpeg.data(), kJpeg.size(), &h), 0);
  KdExifEdit* freed = nullptr;
  ASSERT_EQ(kd_exif_edit_open_buffer(kJpeg.data(), kJpeg.size(), &freed), 0);
  kd_exif_edit_free(freed);
  KdImage* img = nullptr;
  const uint8_t px[3] = {1, 2, 3};
  ASSERT_EQ(kd_image_from_pixels(1, 1, 1, px, 3, &img), 0);
  auto* wrongKind = reinterpret_cast<KdExifEdit*>(img);
  for (KdExifEdit* bad : {static_cast<KdExifEdit*>(nullptr), freed, wrongKind}) {
    kd_exif_set_artist(bad, "a");
    kd_exif_set_software(bad, "a");
    kd_exif_set_datetime(bad, "a");
    kd_exif_set_gps(bad, 1, 2, 3);
    kd_exif_strip_all(bad);
    EXPECT_EQ(kd_exif_edit_set_tag(bad, "Artist", "a"), 2);
    EXPECT_EQ(kd_exif_edit_write(bad, "x"), 2);
    uint8_t* out = reinterpret_cast<uint8_t*>(1);
    size_t len = 5;
    EXPECT_EQ(kd_exif_edit_write_buffer(bad, &out, &len), 2);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0u);
    kd_exif_edit_free(bad);
  }
  EXPECT_EQ(kd_image_width(img), 1) << "edit_free released an image handle";
  const uint8_t* pixels = nullptr;
  size_t count = 0;
  ASSERT_EQ(kd_image_pixels(img, &pixels, &count), 0);
  EXPECT_EQ(Bytes(pixels, pixels + count), Bytes(px, px + 3)) << "a setter wrote into an image";
  kd_image_free(img);
  // Nor did the setters on bad handles reach the open session.
  {
    uint8_t* written = nullptr;
    size_t size = 0;
    ASSERT_EQ(kd_exif_edit_write_buffer(h, &written, &size), 0);
    const Bytes block(written, written + size);
    kd_exif_buffer_free(written);
    EXPECT_EQ(tag(block, "Artist"), "<none>");
    EXPECT_EQ(tag(block, "Software"), "<none>");
    EXPECT_EQ(tag(block, "GPSLatitude"), "<none>");
  }

  EXPECT_EQ(kd_exif_edit_set_tag(h, nullptr, "a"), 2);
  EXPECT_EQ(kd_exif_edit_set_tag(h, "Artist", nullptr), 2);
  kd_exif_set_artist(h, nullptr);
  kd_exif_set_software(h, nullptr);
  kd_exif_set_datetime(h, nullptr);
  uint8_t* out = nullptr;
  size_t len = 0;
  ASSERT_EQ(kd_exif_edit_write_buffer(h, &out, &len), 0);
  EXPECT_EQ(tag(Bytes(out, out + len), "Artist"), "<none>");
  kd_exif_buffer_free(out);
  EXPECT_EQ(kd_exif_edit_write_buffer(h, nullptr, &len), 2);
  EXPECT_EQ(kd_exif_edit_write_buffer(h, &out, nullptr), 2);
  kd_exif_edit_free(h);
}

TEST_F(ExifEditApi, SetTagStatusesAndBufferRoundTrip) {
  KdExifEdit* h = nullptr;
  ASSERT_EQ(kd_exif_edit_open_buffer(kJpeg.data(), kJpeg.size(), &h), 0);
  EXPECT_EQ(kd_exif_edit_set_tag(h, "NoSuchTag", "1"), 4);
  EXPECT_EQ(kd_exif_edit_set_tag(h, "ISO", "70000"), 4);
  EXPECT_EQ(kd_exif_edit_set_tag(h, "ISO", "400"), 0);
  EXPECT_EQ(kd_exif_edit_set_tag(h, "FNumber", "28/10"), 0);
  kd_exif_set_artist(h, "Ann");
  kd_exif_set_software(h, "Keldra test");
  kd_exif_set_datetime(h, "2024:05:06 07:08:09");
  kd_exif_set_gps(h, 48.8583, -122.4194, 35);
  uint8_t* out = nullptr;
  size_t len = 0;
  ASSERT_EQ(kd_exif_edit_write_buffer(h, &out, &len), 0);
  Bytes file(out, out + len);
  kd_exif_buffer_free(out);
  EXPECT_EQ(tag(file, "ISO"), "400");
  EXPECT_EQ(tag(file, "Artist"), "Ann");
  EXPECT_EQ(tag(file, "Software"), "Keldra test");
  EXPECT_EQ(tag(file, "DateTimeOriginal"), "2024:05:06 07:08:09");
  EXPECT_EQ(tag(file, "GPSLongitudeRef"), "W");
  // Writing twice gives the same bytes: the session is not changed.
  ASSERT_EQ(kd_exif_edit_write_buffer(h, &out, &len), 0);
  EXPECT_EQ(Bytes(out, out + len), file);
  kd_exif_buffer_free(out);
  kd_exif_strip_all(h);
  ASSERT_EQ(kd_exif_edit_write_buffer(h, &out, &len), 0);
  EXPECT_EQ(tag(Bytes(out, out + len), "Artist"), "<none>");
  kd_exif_buffer_free(out);
  EXPECT_EQ(kd_exif_edit_write(h, (dir_ + "/x.jpg").c_str()), 2) << "buffer session";
  kd_exif_edit_free(h);

  ASSERT_EQ(kd_exif_edit_open_buffer(kGif.data(), kGif.size(), &h), 0);
  kd_exif_set_artist(h, "Ann");
  EXPECT_EQ(kd_exif_edit_write_buffer(h, &out, &len), 4);
  EXPECT_EQ(out, nullptr);
  kd_exif_edit_free(h);
}

TEST_F(ExifEditApi, FileWriteTargetsAndPermissions) {
  const std::string src = path("src.jpg", kJpeg);
  ::chmod(src.c_str(), 0640);
  KdExifEdit* h = nullptr;
  ASSERT_EQ(kd_exif_edit_open(src.c_str(), &h), 0);
  kd_exif_set_artist(h, "Ann");
  uint8_t* out = nullptr;
  size_t len = 0;
  EXPECT_EQ(kd_exif_edit_write_buffer(h, &out, &len), 2) << "file session";
  const std::string other = dir_ + "/other.jpg";
  ASSERT_EQ(kd_exif_edit_write(h, other.c_str()), 0);
  EXPECT_EQ(read(src), kJpeg);
  EXPECT_EQ(tag(read(other), "Artist"), "Ann");
  ASSERT_EQ(kd_exif_edit_write(h, ""), 0);
  EXPECT_EQ(tag(read(src), "Artist"), "Ann");
  struct stat st;
  ::stat(src.c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  kd_exif_set_artist(h, "Bob");
  ASSERT_EQ(kd_exif_edit_write(h, nullptr), 0);
  EXPECT_EQ(tag(read(src), "Artist"), "Bob");
  kd_exif_edit_free(h);

  const std::string gif = path("g.gif", kGif);
  ASSERT_EQ(kd_exif_edit_open(gif.c_str(), &h), 0);
  kd_exif_set_artist(h, "Ann");
  EXPECT_EQ(kd_exif_edit_write(h, nullptr), 4);
  EXPECT_EQ(read(gif), kGif);
  kd_exif_edit_free(h);
}

TEST_F(ExifEditApi, ThreadsEditDifferentFiles) {
  std::vector<std::thread> threads;
  std::vector<int> status(6, -1);
  for (int i = 0; i < 6; ++i) {
    std::string p = path("t" + std::to_string(i) + ".jpg", kJpeg);
    threads.emplace_back([&status, i, p] {
      KdExifEdit* h = nullptr;
      int st = kd_exif_edit_open(p.c_str(), &h);
      for (int k = 0; k < 10 && st == 0; ++k) {
        kd_exif_set_artist(h, ("artist " + std::to_string(i)).c_str());
        kd_exif_set_gps(h, i, k, 0);
        st = kd_exif_edit_write(h, nullptr);
      }
      kd_exif_edit_free(h);
      status[static_cast<size_t>(i)] = st;
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(status[static_cast<size_t>(i)], 0);
    EXPECT_EQ(tag(read(dir_ + "/t" + std::to_string(i) + ".jpg"), "Artist"),
              "artist " + std::to_string(i));
  }
}

}  // namespace
