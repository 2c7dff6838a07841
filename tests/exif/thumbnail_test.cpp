// The EXIF preview: IFD1's JPEGInterchangeFormat pointers in every
// container the metadata reader knows (JPEG, TIFF, PNG eXIf, WebP EXIF, the
// HEIF Exif item), every way the pointers can fail, and the decoded preview.
#include "exif/thumbnail.h"

#include <gtest/gtest.h>

#include "exif/exif.h"
#include "formats/codecs.h"
#include "keldra.h"
#include "keldra/keldra.h"
#include "support/container_builder.h"
#include "support/exiftool.h"
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
    EXPECT_EQ(extractExifThumbnailAt(jpeg, exifTiffBase(jpeg).value()), preview);
    for (const Bytes& file : {tiff, jpeg}) {
      const formats::Image img = loadThumbnail(file);
      EXPECT_EQ(img.width, 24);
      EXPECT_EQ(img.height, 16);
      EXPECT_EQ(img.pixels, formats::decodeJpeg(preview).pixels);
    }
  }
}

// The TIFF structure (offsets relative to its own start) carried by the
// other containers.
Bytes pngWith(const Bytes& tiff) {
  return test::pngFile({test::pngChunk("IHDR", Bytes(13, 0)), test::pngChunk("eXIf", tiff),
                        test::pngChunk("IDAT", {}), test::pngChunk("IEND", {})});
}

Bytes webpWith(const Bytes& tiff, bool exifPrefix) {
  Bytes payload;
  if (exifPrefix) payload = Bytes{'E', 'x', 'i', 'f', 0, 0};
  payload.insert(payload.end(), tiff.begin(), tiff.end());
  return test::webpFile({test::webpChunkOf("VP8X", Bytes{0x08, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                         test::webpChunkOf("EXIF", payload)});
}

// ftyp, meta (iinf with item 1 of type "Exif", iloc placing it in mdat),
// mdat holding the item: a 4-byte offset to the TIFF header, "Exif\0\0",
// then the TIFF structure.
Bytes heifWith(const Bytes& tiff) {
  using test::putBe;
  Bytes item;
  putBe(item, 6, 4);
  test::append(item, Bytes{'E', 'x', 'i', 'f', 0, 0});
  test::append(item, tiff);
  auto build = [&](uint64_t itemOffset) {
    Bytes infe;
    putBe(infe, 1, 2);  // item ID
    putBe(infe, 0, 2);  // protection index
    test::append(infe, std::string("Exif"));
    infe.push_back(0);  // empty name
    Bytes iinf;
    putBe(iinf, 1, 2);
    test::append(iinf, test::fullBox("infe", 2, infe));
    Bytes iloc = {0x44, 0x00};  // 4-byte offsets and lengths, no base offset
    putBe(iloc, 1, 2);          // one item
    putBe(iloc, 1, 2);          // item ID
    putBe(iloc, 0, 2);          // data reference index
    putBe(iloc, 1, 2);          // one extent
    putBe(iloc, itemOffset, 4);
    putBe(iloc, item.size(), 4);
    return test::concat({test::box("ftyp", test::bytesOf(std::string("heic\0\0\0\0mif1heic", 16))),
                         test::fullBox("meta", 0,
                                       test::concat({test::fullBox("iinf", 0, iinf),
                                                     test::fullBox("iloc", 0, iloc)})),
                         test::box("mdat", item)});
  };
  const Bytes sized = build(0);
  return build(sized.size() - item.size());
}

TEST(ExifThumbnail, FoundInPngWebpAndHeifContainers) {
  kd_exif_init();
  const Bytes preview = previewJpeg();
  const std::vector<uint8_t> expected = formats::decodeJpeg(preview).pixels;
  for (bool be : {false, true}) {
    const Bytes tiff = tiffWithPreview(be, preview);
    const Bytes noLink = tiffWithPreview(be, preview, 0, false, false);
    const struct {
      const char* name;
      Bytes file;
      Bytes withoutPreview;
    } cases[] = {
        {"png", pngWith(tiff), pngWith(noLink)},
        {"webp", webpWith(tiff, false), webpWith(noLink, false)},
        {"webp Exif prefix", webpWith(tiff, true), webpWith(noLink, true)},
        {"heif", heifWith(tiff), heifWith(noLink)},
    };
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (be ? " big-endian" : " little-endian"));
      EXPECT_EQ(extractExifThumbnailAt(c.file, exifTiffBase(c.file).value()), preview);
      KdImage* img = nullptr;
      ASSERT_EQ(kd_image_thumbnail(c.file.data(), c.file.size(), &img), 0);
      EXPECT_EQ(kd_image_width(img), 24);
      EXPECT_EQ(kd_image_height(img), 16);
      const uint8_t* px = nullptr;
      size_t len = 0;
      kd_image_pixels(img, &px, &len);
      EXPECT_EQ(std::vector<uint8_t>(px, px + len), expected);
      kd_image_free(img);
      EXPECT_EQ(kd_image_thumbnail(c.withoutPreview.data(), c.withoutPreview.size(), &img),
                KD_IMAGE_EUNSUPPORTED);
      EXPECT_EQ(img, nullptr);
    }
  }
}

// Real PNG and WebP files with a preview: the same picture as the preview
// exiftool extracts, decoded.
TEST(ExifThumbnail, RealPngAndWebpFilesMatchExiftool) {
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  for (const char* name : {"metadata/png/pngsuite_exif2c08.png", "metadata/webp/pil_flower2.webp"}) {
    SCOPED_TRACE(name);
    const std::string path = test::testdataPath(name);
    const std::string theirs = test::exiftoolOutput("-b -ThumbnailImage", {path});
    ASSERT_FALSE(theirs.empty());
    const formats::Image expected = formats::decodeJpeg(Bytes(theirs.begin(), theirs.end()));
    const formats::Image ours = loadThumbnail(test::readTestdata(name));
    EXPECT_EQ(ours.width, expected.width);
    EXPECT_EQ(ours.height, expected.height);
    EXPECT_EQ(ours.pixels, expected.pixels);
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
    const FoundOffset base = exifTiffBase(file);
    if (!base || extractExifThumbnailAt(file, *base).empty()) continue;
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
