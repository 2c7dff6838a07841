// Identity, status texts and buffer release.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "keldra/keldra.h"

namespace {

TEST(Identity, VersionAndAbi) {
  EXPECT_EQ(kd_exif_abi_version(), 1);
  EXPECT_EQ(kd_image_abi_version(), 1);
  EXPECT_STREQ(kd_version(), "1.0.0");
}

TEST(Init, IsIdempotent) {
  kd_exif_init();
  kd_exif_init();
  EXPECT_EQ(kd_library_init(), 0);
}

TEST(StatusText, ExifFamilyListedAndUnlisted) {
  EXPECT_STREQ(kd_exif_strerror(0), "ok");
  EXPECT_STREQ(kd_exif_strerror(1), "io error");
  EXPECT_STREQ(kd_exif_strerror(2), "unrecognized format / no metadata");
  EXPECT_STREQ(kd_exif_strerror(4), "unsupported operation");
  for (int code : {3, 5, 6, 8, 100, -1, -2147483647 - 1, 2147483647}) {
    EXPECT_STREQ(kd_exif_strerror(code), "unknown error") << code;
  }
}

TEST(StatusText, ImageFamilyListedAndUnlisted) {
  EXPECT_STREQ(kd_image_strerror(0), "ok");
  EXPECT_STREQ(kd_image_strerror(2), "bad argument / unrecognized / truncated");
  EXPECT_STREQ(kd_image_strerror(4), "unsupported operation");
  EXPECT_STREQ(kd_image_strerror(8), "out of memory");
  for (int code : {1, 3, 5, 6, 7, 9, 100, -1, -2147483647 - 1}) {
    EXPECT_STREQ(kd_image_strerror(code), "unknown error") << code;
  }
}

TEST(Buffers, NullIsIgnoredAndEitherFamilyFreesFromAnyThread) {
  kd_exif_buffer_free(nullptr);
  kd_image_buffer_free(nullptr);
  // Both release functions use the one shared heap.
  kd_exif_buffer_free(std::malloc(16));
  kd_image_buffer_free(std::malloc(16));
}

}  // namespace
