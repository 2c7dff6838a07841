// Identity, status texts and buffer release.
#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>
#include <thread>

#include "c_api/guard.h"
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

// Every kd_image_* call runs in this guard: an allocation that fails
// anywhere in the work is status 8, not the catch-all 2.
TEST(ImageGuard, AllocationFailureIsOutOfMemory) {
  EXPECT_EQ(kd::c_api::imageCall([]() -> int { throw std::bad_alloc(); }), KD_IMAGE_ENOMEM);
  EXPECT_EQ(kd::c_api::imageCall([]() -> int { throw std::length_error("n"); }), KD_IMAGE_EARG);
  EXPECT_EQ(kd::c_api::imageCall([]() -> int {
              kd::base::fail(kd::base::ekUnsupported, "x");
            }),
            KD_IMAGE_EUNSUPPORTED);
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

// Encoded buffers are blocks of the C heap (so either release function may
// take them, from any thread), sized for their contents; NULL is ignored.
TEST(Buffers, NullIsIgnoredAndEitherFamilyFreesFromAnyThread) {
  kd_exif_buffer_free(nullptr);
  kd_image_buffer_free(nullptr);
  const uint8_t pixels[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  KdImage* img = nullptr;
  ASSERT_EQ(kd_image_from_pixels(2, 2, KD_CS_RGB, pixels, sizeof pixels, &img), KD_IMAGE_OK);
  for (void (*release)(void*) : {kd_exif_buffer_free, kd_image_buffer_free}) {
    uint8_t* buf = nullptr;
    size_t len = 0;
    ASSERT_EQ(kd_image_encode(img, KD_FORMAT_QOI, 90, &buf, &len), KD_IMAGE_OK);
    ASSERT_NE(buf, nullptr);
    EXPECT_GE(malloc_usable_size(buf), len);
    std::thread([&] { release(buf); }).join();
  }
  kd_image_free(img);
}

}  // namespace
