// The EXIF preview: IFD1's JPEGInterchangeFormat pointers in JPEG and TIFF
// containers, every way the pointers can fail, and the decoded preview.
#include "exif/thumbnail.h"

#include <gtest/gtest.h>

#include "exif/exif.h"
#include "formats/codecs.h"
#include "keldra.h"
#include "support/testdata.h"
#include "support/tiff_builder.h"

namespace kd::exif {
namespace {

using base::Bytes;
using test::TiffBuilder;
using test::TiffDir;
using test::TiffEntry;

Bytes previewJpeg() {
  formats::Image img = formats::newImage(24, 16, formats::csRgb);
  for (size_t i = 0; i < img.pixels.size(); ++i) img.pixels[i] = static_cast<uint8_t>(i * 7);
  return formats::encodeJpeg(img, 90);
}

// IFD0 (Make) -> IFD1 (513, 514) with the preview appended after the TIFF
// structure. `length` overrides the stored length; `lengthAsShort` stores
// it as a SHORT.
Bytes tiffWithPreview(bool bigEndian, const Bytes& preview, int64_t lengthDelta = 0,
                      bool lengthAsShort = false, bool link = true) {
  TiffBuilder tb(bigEndian);
  auto layout = [&](uint32_t offset) {
    TiffDir ifd0{{tb.ascii(0x010F, "Make")}};
    if (link) ifd0.next = 1;
    const auto length = static_cast<uint32_t>(static_cast<int64_t>(preview.size()) + lengthDelta);
    TiffEntry len = lengthAsShort ? tb.shorts(514, {length}) : tb.longs(514, {length});
    return tb.build({ifd0, TiffDir{{tb.longs(513, {offset}), len}}});
  };
  Bytes tiff = layout(0);
  tiff = layout(static_cast<uint32_t>(tiff.size()));
  tiff.insert(tiff.end(), preview.begin(), preview.end());
  return tiff;
}

TEST(ExifThumbnail, FoundInJpegAndTiffContainersOfBothByteOrders) {
  const Bytes preview = previewJpeg();
  for (bool be : {false, true}) {
    const Bytes tiff = tiffWithPreview(be, preview);
    EXPECT_EQ(extractExifThumbnailAt(tiff, 0), preview);
    const Bytes jpeg = test::jpegWithExif(tiff);
    EXPECT_EQ(extractExifThumbnailAt(jpeg, exifTiffBase(jpeg)), preview);
    for (const Bytes& file : {tiff, jpeg}) {
      const formats::Image img = loadThumbnail(file);
      EXPECT_EQ(img.width, 24);
      EXPECT_EQ(img.height, 16);
      EXPECT_EQ(img.pixels, formats::decodeJpeg(preview).pixels);
    }
  }
}

TEST(ExifThumbnail, MissingOrBrokenPointersGiveNoPreview) {
  const Bytes preview = previewJpeg();
  EXPECT_TRUE(extractExifThumbnailAt(tiffWithPreview(false, preview, 0, true), 0).empty());
  EXPECT_TRUE(extractExifThumbnailAt(tiffWithPreview(false, preview, 1), 0).empty());
  EXPECT_TRUE(extractExifThumbnailAt(tiffWithPreview(false, preview, 0, false, false), 0).empty());
  EXPECT_TRUE(extractExifThumbnailAt(tiffWithPreview(false, preview, -static_cast<int64_t>(preview.size())), 0).empty());
  const Bytes good = tiffWithPreview(false, preview);
  EXPECT_TRUE(extractExifThumbnailAt(good, -1).empty());
  EXPECT_TRUE(extractExifThumbnailAt(good, static_cast<int64_t>(good.size()) - 7).empty());
  // Every prefix either has the whole preview or none of it.
  for (size_t n = 0; n < good.size(); ++n) {
    const Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
    EXPECT_TRUE(extractExifThumbnailAt(cut, 0).empty()) << n;
  }
  // A length one byte short still yields the bytes it names.
  EXPECT_EQ(extractExifThumbnailAt(tiffWithPreview(false, preview, -1), 0).size(), preview.size() - 1);
}

struct Failure {
  std::string message;
  base::ErrorKind kind;
};

Failure failureOfThumbnail(const Bytes& file) {
  try {
    loadThumbnail(file);
  } catch (const base::KeldraException& e) {
    return {e.what(), e.kind()};
  }
  return {"decoded", base::ekNone};
}

TEST(ExifThumbnail, LoadFailures) {
  const Bytes preview = previewJpeg();
  const Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0};
  EXPECT_EQ(failureOfThumbnail(png).message, "loadThumbnail: no EXIF segment");
  EXPECT_EQ(failureOfThumbnail(formats::encodeJpeg(formats::newImage(8, 8, formats::csGray), 50)).message,
            "loadThumbnail: no EXIF segment");
  const Failure noPreview = failureOfThumbnail(tiffWithPreview(false, preview, 1));
  EXPECT_EQ(noPreview.message, "loadThumbnail: no embedded EXIF thumbnail");
  EXPECT_EQ(noPreview.kind, base::ekUnsupported);
  // Preview bytes that are not a baseline JPEG: the decoder's own failure.
  const Bytes bogus = tiffWithPreview(false, Bytes{0xFF, 0xD8, 0xFF, 0xC2, 0, 2});
  EXPECT_EQ(failureOfThumbnail(bogus).message, "jpeg: progressive unsupported");
  EXPECT_EQ(failureOfThumbnail(tiffWithPreview(false, Bytes{1, 2, 3})).message, "jpeg: bad SOI");
}

TEST(ExifThumbnail, CameraFilesInTheSharedData) {
  // Camera JPEGs whose IFD1 holds a preview; the preview is smaller than the
  // picture and decodes.
  int found = 0;
  for (const std::string& name : test::listTestdata("metadata/jpeg-exif")) {
    const Bytes file = test::readTestdata(name);
    const int64_t base = exifTiffBase(file);
    if (base < 0 || extractExifThumbnailAt(file, base).empty()) continue;
    try {
      const formats::Image thumb = loadThumbnail(file);
      EXPECT_GT(thumb.width, 0) << name;
      ++found;
    } catch (const base::KeldraException& e) {
      EXPECT_EQ(e.kind(), base::ekUnsupported) << name << ": " << e.what();
    }
  }
  EXPECT_GE(found, 3);
}

}  // namespace
}  // namespace kd::exif
