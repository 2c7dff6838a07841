// Container dispatch and the directory walks of the metadata reader.
#include "exif/exif.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "exif/isobmff.h"
#include "exif/jpeg.h"
#include "exif/png.h"
#include "exif/webp.h"
#include "support/testdata.h"
#include "support/tiff_builder.h"

namespace kd::exif {
namespace {

using base::Bytes;
using test::jpegWithExif;
using test::TiffBuilder;
using test::TiffDir;

std::string tagOf(const Metadata& md, const std::string& name) {
  auto it = md.tags.find(name);
  return it == md.tags.end() ? "<absent>" : it->second;
}

TEST(JpegSegmentWalk, FindsExifAfterOtherSegments) {
  TiffBuilder tb(false);
  Bytes tiff = tb.build({TiffDir{{tb.ascii(0x010F, "Make")}}});
  Bytes jpeg = jpegWithExif(tiff);
  auto [t, n] = findExifAPP1(jpeg).value();
  EXPECT_EQ(t, 20 + 10);
  EXPECT_EQ(n, static_cast<int64_t>(tiff.size()));
  EXPECT_EQ(exifTiffBase(jpeg), 30);
}

TEST(JpegSegmentWalk, StopsAtScanNonMarkerAndShortBuffers) {
  Bytes noExif = {0xFF, 0xD8, 0xFF, 0xDA, 0, 8, 0xFF, 0xE1, 0, 16, 'E', 'x', 'i', 'f', 0, 0};
  EXPECT_EQ(findExifAPP1(noExif), std::nullopt);
  Bytes garbage = {0xFF, 0xD8, 0x00, 0xE1, 0, 16, 'E', 'x', 'i', 'f', 0, 0, 1, 2, 3};
  EXPECT_EQ(findExifAPP1(garbage), std::nullopt);
  // An APP1 that is not Exif (XMP) is skipped by its length.
  Bytes xmpFirst = {0xFF, 0xD8, 0xFF, 0xE1, 0, 6, 'h', 't', 't', 'p',
                    0xFF, 0xE1, 0, 16, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0};
  EXPECT_EQ(findExifAPP1(xmpFirst).value_or(ByteRange{}).offset, 20);
  EXPECT_EQ(findExifAPP1(Bytes{0xFF, 0xD8, 0xFF}), std::nullopt);
  EXPECT_EQ(exifTiffBase(Bytes{0xFF, 0xD8, 0xFF, 0xD9}), std::nullopt);
  // A length of 7 is too short for the "Exif" header.
  Bytes shortLen = {0xFF, 0xD8, 0xFF, 0xE1, 0, 7, 'E', 'x', 'i', 'f', 0, 0, 0, 0};
  EXPECT_EQ(findExifAPP1(shortLen), std::nullopt);
}

TEST(ReadMetadata, ExifAndGpsPointersOfTypeIfd) {
  TiffBuilder tb(true);
  test::TiffEntry exif = tb.pointer(0x8769, 1);
  test::TiffEntry gps = tb.pointer(0x8825, 2);
  exif.type = gps.type = 13;
  Bytes tiff = tb.build({TiffDir{{exif, gps}}, TiffDir{{tb.shorts(0x8827, {200})}},
                         TiffDir{{tb.ascii(1, "S")}}});
  Metadata md = readMetadataFromBytes(jpegWithExif(tiff));
  EXPECT_EQ(tagOf(md, "ISO"), "200");
  EXPECT_EQ(tagOf(md, "GPSLatitudeRef"), "S");
}

TEST(ReadMetadata, ShortAndUnknownBuffersAreEmpty) {
  EXPECT_FALSE(readMetadataFromBytes(Bytes{}).isValid);
  EXPECT_FALSE(readMetadataFromBytes(Bytes{0xFF}).isValid);
  Metadata md = readMetadataFromBytes(Bytes{'h', 'e', 'l', 'l', 'o'});
  EXPECT_FALSE(md.isValid);
  EXPECT_TRUE(md.tags.empty());
  EXPECT_EQ(md.dateTime, DateTime{});
  EXPECT_EQ(exifTiffBase(Bytes{'I', 'I', 42, 0}), 0);
  EXPECT_EQ(exifTiffBase(Bytes{'x'}), std::nullopt);
}

TEST(ReadMetadata, OtherContainersAreRecognisedAndYieldNothingYet) {
  Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0};
  EXPECT_TRUE(isPng(png));
  EXPECT_FALSE(isPng(Bytes(png.begin(), png.begin() + 7)));
  EXPECT_EQ(exifTiffBase(png), std::nullopt);
  EXPECT_FALSE(readMetadataFromBytes(png).isValid);
  Bytes webp = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'E', 'B', 'P'};
  EXPECT_TRUE(isWebp(webp));
  EXPECT_EQ(exifTiffBase(webp), std::nullopt);
  // An ISO base media file whose top-level boxes are walked to "moov":
  // sizes 1 (64-bit), 0 (to the end) and below 8 end or bound the walk.
  Bytes mp4 = {0, 0, 0, 16, 'f', 't', 'y', 'p', 'i', 's', 'o', 'm', 0, 0, 0, 0,
               0, 0, 0, 1,  'f', 'r', 'e', 'e', 0, 0, 0, 0, 0, 0, 0, 24, 0, 0, 0, 0, 0, 0, 0, 0,
               0, 0, 0, 0,  'm', 'o', 'o', 'v', 1, 2, 3};
  EXPECT_TRUE(isIsobmff(mp4));
  EXPECT_FALSE(readMetadataFromBytes(mp4).isValid);
  EXPECT_EQ(exifTiffBase(mp4), std::nullopt);
  mp4[3] = 3;  // a box size below 8 ends the walk
  EXPECT_FALSE(readMetadataFromBytes(mp4).isValid);
}

TEST(ReadMetadata, CameraPromotionAndSoftwareOrientation) {
  TiffBuilder tb(true);
  Bytes tiff = tb.build({TiffDir{{tb.ascii(0x010F, "Canon"), tb.ascii(0x0110, "Canon EOS 40D"),
                                  tb.shorts(0x0112, {8}), tb.ascii(0x0131, "GIMP 2.4.5 ")}}});
  Metadata md = readMetadataFromBytes(jpegWithExif(tiff));
  EXPECT_TRUE(md.isValid);
  EXPECT_EQ(md.camera, "Canon Canon EOS 40D");
  EXPECT_EQ(md.software, "GIMP 2.4.5");
  EXPECT_EQ(md.orientation, 8);
  EXPECT_EQ(tagOf(md, "Orientation"), "Rotate 270 CW");
  EXPECT_EQ(tagOf(md, "Make"), "Canon");

  Bytes modelOnly = tb.build({TiffDir{{tb.ascii(0x0110, "X100"), tb.shorts(0x0112, {6, 1})}}});
  md = readMetadataFromBytes(jpegWithExif(modelOnly));
  EXPECT_EQ(md.camera, "X100");
  EXPECT_EQ(md.orientation, 0);  // "6 1" is not one integer
}

TEST(ReadMetadata, ChainCycleIsReadOnceAndIfd1Overrides) {
  TiffBuilder tb(false);
  // IFD0 -> IFD1 -> IFD0 again.
  Bytes tiff = tb.build({TiffDir{{tb.rationals(0x011A, {{72, 1}}), tb.ascii(0x010F, "A")}, 1},
                         TiffDir{{tb.rationals(0x011A, {{300, 1}}), tb.ascii(0x0110, "B")}, 0}});
  Metadata md = readMetadataFromBytes(jpegWithExif(tiff));
  EXPECT_EQ(tagOf(md, "XResolution"), "300");
  EXPECT_EQ(md.camera, "A B");  // Model appended once: IFD0 was not read twice
  md = readMetadataFromBytes(tiff);
  EXPECT_EQ(tagOf(md, "XResolution"), "300");
  EXPECT_EQ(md.camera, "A B");
}

TEST(ReadMetadata, UnknownTagsAndPointersKeepRawText) {
  TiffBuilder tb(false);
  Bytes tiff = tb.build({TiffDir{{tb.shorts(0x0201, {4548}), tb.pointer(0x8769, 1)}},
                         TiffDir{{tb.rationals(0x829A, {{1, 250}}), tb.bytes(0xEEEE, 7, {1, 0xAB})}}});
  Metadata md = readMetadataFromBytes(jpegWithExif(tiff));
  EXPECT_EQ(tagOf(md, "Unknown:0x0201"), "4548");
  EXPECT_EQ(tagOf(md, "Unknown:0xEEEE"), "01 AB");
  EXPECT_EQ(tagOf(md, "ExifOffset"), std::to_string(8 + 2 + 24 + 4));
  EXPECT_EQ(tagOf(md, "ExposureTime"), "1/250");
}

TEST(ReadMetadata, ExifDirectoryGivesTheCaptureDate) {
  TiffBuilder tb(true);
  Bytes tiff = tb.build({TiffDir{{tb.pointer(0x8769, 1)}},
                         TiffDir{{tb.ascii(0x9003, "2008:05:30 15:56:01"),
                                  tb.ascii(0x9004, "2001:01:01 00:00:00")}}});
  Metadata md = readMetadataFromBytes(jpegWithExif(tiff));
  EXPECT_EQ(md.dateTime, (DateTime{2008, 5, 30, 15, 56, 1, false}));
  Bytes createOnly = tb.build({TiffDir{{tb.pointer(0x8769, 1)}},
                               TiffDir{{tb.ascii(0x9004, "2001-02-03")}}});
  EXPECT_EQ(readMetadataFromBytes(createOnly).dateTime, (DateTime{2001, 2, 3, 0, 0, 0, false}));
  Bytes bad = tb.build({TiffDir{{tb.pointer(0x8769, 1)}}, TiffDir{{tb.ascii(0x9003, "    :  :  ")}}});
  EXPECT_FALSE(readMetadataFromBytes(bad).dateTime.known());
}

TEST(ReadMetadata, GpsSignFixupsAndReferences) {
  TiffBuilder tb(false);
  Bytes tiff = tb.build(
      {TiffDir{{tb.pointer(0x8825, 1)}},
       TiffDir{{tb.ascii(1, "S"), tb.rationals(2, {{10, 1}, {0, 1}, {0, 1}}), tb.ascii(3, "W"),
                tb.rationals(4, {{2, 1}, {30, 1}, {0, 1}}), tb.bytes(5, 1, {1}),
                tb.rationals(6, {{5, 1}}), tb.shorts(0x40, {9})}}});
  Metadata md = readMetadataFromBytes(jpegWithExif(tiff));
  EXPECT_DOUBLE_EQ(md.latitude, -10);
  EXPECT_DOUBLE_EQ(md.longitude, -2.5);
  EXPECT_DOUBLE_EQ(md.altitude, -5);
  EXPECT_EQ(md.latRef, 'S');
  EXPECT_EQ(md.lonRef, 'W');
  EXPECT_TRUE(md.hasGps());
  EXPECT_EQ(tagOf(md, "GPSLatitude"), "10 deg 0' 0\" S");
  EXPECT_EQ(tagOf(md, "GPSLongitude"), "2 deg 30' 0\" W");
  EXPECT_EQ(tagOf(md, "GPSAltitudeRef"), "Below Sea Level");
  EXPECT_EQ(tagOf(md, "GPSAltitude"), "5 m Below Sea Level");
  EXPECT_EQ(tagOf(md, "GPSInfo"), std::to_string(8 + 2 + 12 + 4));
  EXPECT_EQ(tagOf(md, "GPS:Unknown:0x0040"), "9");
  EXPECT_FALSE(md.isValid == false);

  // Without references there is no position; an empty reference means N/E.
  Bytes noRefs = tb.build({TiffDir{{tb.pointer(0x8825, 1)}},
                           TiffDir{{tb.rationals(2, {{10, 1}, {0, 1}, {0, 1}})}}});
  md = readMetadataFromBytes(noRefs);
  EXPECT_FALSE(md.hasGps());
  EXPECT_EQ(tagOf(md, "GPSLatitude"), "10 deg 0' 0\" N");
  Bytes emptyRefs = tb.build({TiffDir{{tb.pointer(0x8825, 1)}},
                              TiffDir{{tb.ascii(1, ""), tb.ascii(3, "")}}});
  md = readMetadataFromBytes(emptyRefs);
  EXPECT_EQ(md.latRef, 'N');
  EXPECT_EQ(md.lonRef, 'E');
}

TEST(ReadMetadata, InteroperabilityDirectory) {
  TiffBuilder tb(true);
  Bytes tiff = tb.build({TiffDir{{tb.pointer(0x8769, 1)}}, TiffDir{{tb.pointer(0xA005, 2)}},
                         TiffDir{{tb.ascii(1, " R98 "), tb.bytes(2, 7, {'0', '1', '0', '0'}),
                                  tb.shorts(0x1001, {640}), tb.shorts(0x1002, {480}),
                                  tb.shorts(0x0BAD, {1})}}});
  Metadata md = readMetadataFromBytes(tiff);
  EXPECT_EQ(tagOf(md, "InteropIndex"), "R98 - DCF basic file (sRGB)");
  EXPECT_EQ(tagOf(md, "InteropVersion"), "0100");
  EXPECT_EQ(tagOf(md, "RelatedImageWidth"), "640");
  EXPECT_EQ(tagOf(md, "RelatedImageHeight"), "480");
  EXPECT_EQ(tagOf(md, "InteropOffset"), "<absent>");
  EXPECT_EQ(tagOf(md, "Unknown:0x0BAD"), "<absent>");
  Bytes thm = tb.build({TiffDir{{tb.pointer(0xA005, 1)}},
                        TiffDir{{tb.ascii(1, "THM"), tb.ascii(2, "  ")}}});
  md = readMetadataFromBytes(thm);
  EXPECT_EQ(tagOf(md, "InteropIndex"), "THM - DCF thumbnail file");
  EXPECT_EQ(tagOf(md, "InteropVersion"), "<absent>");
}

TEST(ReadMetadata, TiffSubIfdsComeBeforeTheNextDirectoryLastFirst) {
  TiffBuilder tb(false);
  // IFD0 (SubIFDs A=1, B=2; next C=3). Visit order: IFD0, B, A, C.
  auto build = [&](bool cHasTag) {
    TiffDir ifd0{{tb.ascii(0x010E, "ifd0"), tb.pointers(0x014A, {1, 2})}, 3};
    TiffDir c{{tb.shorts(0x0100, {1})}};
    if (cHasTag) c.entries.insert(c.entries.begin(), tb.ascii(0x010E, "C"));
    return tb.build({ifd0, TiffDir{{tb.ascii(0x010E, "A")}}, TiffDir{{tb.ascii(0x010E, "B")}}, c});
  };
  EXPECT_EQ(tagOf(readMetadataFromBytes(build(false)), "ImageDescription"), "A");
  EXPECT_EQ(tagOf(readMetadataFromBytes(build(true)), "ImageDescription"), "C");
}

TEST(ReadMetadata, TiffEmptyFirstDirectoryStillValid) {
  TiffBuilder tb(true);
  Bytes tiff = tb.build({TiffDir{{}, 1}, TiffDir{{tb.ascii(0x0131, "sw")}}});
  Metadata md = readMetadataFromBytes(tiff);
  EXPECT_TRUE(md.isValid);
  EXPECT_EQ(md.software, "sw");
  Bytes onlyEmpty = tb.build({TiffDir{{}}});
  EXPECT_FALSE(readMetadataFromBytes(onlyEmpty).isValid);
}

TEST(ReadMetadata, JpegChainOffsetsBoundedByTheSegment) {
  TiffBuilder tb(false);
  Bytes tiff = tb.build({TiffDir{{tb.ascii(0x0131, "sw")}}});
  Bytes jpeg = jpegWithExif(tiff);
  // Shrink the declared segment so that IFD0's offset 8 is not below it.
  jpeg[22] = 0;
  jpeg[23] = 8 + 8;
  EXPECT_FALSE(readMetadataFromBytes(jpeg).isValid);
  jpeg[23] = 8 + 9;
  EXPECT_TRUE(readMetadataFromBytes(jpeg).isValid);
}

// A crafted TIFF of about 1 MB: IFD0's SubIFDs list 100000 offsets into one
// region of 0xFF bytes, so each offset is a different directory of tens of
// thousands of (unreadable) entries: billions of entry reads without a
// bound. The work budget ends the walk after about a million.
TEST(ReadMetadata, OverlappingSubIfdsEndAtTheWorkBudget) {
  TiffBuilder tb(false);
  const uint32_t n = 100000;
  const uint32_t valuesAt = 8 + 2 + 12 + 4;
  const uint32_t regionAt = valuesAt + 4 * n;
  test::TiffEntry sub = tb.longs(0x014A, {0});
  sub.count = n;
  sub.forceOffset = true;
  sub.rawOffset = valuesAt;
  Bytes b = tb.build({TiffDir{{sub}}});
  for (uint32_t i = 0; i < n; ++i) tb.put32(b, regionAt + 2 * i);
  b.resize(regionAt + 600000, 0xFF);
  Metadata md = readMetadataFromBytes(b);
  EXPECT_TRUE(md.isValid);
  EXPECT_EQ(md.tags.count("SubIFDs"), 1u);
  EXPECT_EQ(md.tags.count("Unknown:0xFFFF"), 1u);
  ReadBudget budget = ReadBudget::forInputSize(b.size());
  int64_t dirs = 0;
  while (!budget.exhausted()) {
    readIFD(b, regionAt + 2 * dirs++, 0, false, &budget);
  }
  EXPECT_LT(dirs, 100);  // the whole walk's allowance lasts a few dozen directories
}

TEST(ParseDateTime, PatternsInOrder) {
  EXPECT_EQ(parseDateTime("2008:05:30 15:56:01"), (DateTime{2008, 5, 30, 15, 56, 1, false}));
  EXPECT_EQ(parseDateTime("2008-05-30 15:56:01"), (DateTime{2008, 5, 30, 15, 56, 1, false}));
  EXPECT_EQ(parseDateTime("2008-05-30T15:56:01"), (DateTime{2008, 5, 30, 15, 56, 1, false}));
  EXPECT_EQ(parseDateTime("2008:05:30"), (DateTime{2008, 5, 30, 0, 0, 0, false}));
  EXPECT_EQ(parseDateTime("2008-05-30"), (DateTime{2008, 5, 30, 0, 0, 0, false}));
  EXPECT_EQ(parseDateTime("2024:02:29 00:00:00").day, 29);
  EXPECT_FALSE(parseDateTime("2023:02:29 00:00:00").known());
  EXPECT_FALSE(parseDateTime("1899:12:31 00:00:00").known());
  EXPECT_FALSE(parseDateTime("2008:13:01 00:00:00").known());
  EXPECT_FALSE(parseDateTime("2008:05:30 24:00:00").known());
  EXPECT_FALSE(parseDateTime("2008:05:30 15:56:01Z").known());
  EXPECT_FALSE(parseDateTime("").known());
  EXPECT_EQ(parseDateTime("junk"), DateTime{});
}

TEST(ParseMP4Time, SecondsSince1904Utc) {
  EXPECT_EQ(parseMP4Time(0), (DateTime{1904, 1, 1, 0, 0, 0, true}));
  // 2082844800 s after 1904-01-01 is 1970-01-01.
  EXPECT_EQ(parseMP4Time(2082844800u), (DateTime{1970, 1, 1, 0, 0, 0, true}));
  EXPECT_EQ(parseMP4Time(2082844800u + 951782400u + 3661),
            (DateTime{2000, 2, 29, 1, 1, 1, true}));
  EXPECT_GT(parseMP4Time(UINT64_MAX).year, 1904);
}

TEST(ApplyVideoMeta, TagsDatesAndValidity) {
  Metadata md;
  VideoMeta v;
  v.make = "Apple";
  v.model = "iPhone";
  v.maxTrackWidth = 1920;
  v.maxTrackHeight = 0;
  v.creationDate = "MP4-Time-V0:3786912000";  // 2024-01-01
  applyVideoMeta(md, v);
  EXPECT_TRUE(md.isValid);
  EXPECT_EQ(md.dateTime.year, 2024);
  EXPECT_EQ(tagOf(md, "Make"), "Apple");
  EXPECT_EQ(tagOf(md, "ImageWidth"), "1920");
  EXPECT_EQ(tagOf(md, "ImageHeight"), "<absent>");
  EXPECT_EQ(md.camera, "");  // promoted fields untouched
  Metadata bad;
  v.creationDate = "MP4-Time-V0:99999999999";  // does not fit 32 bits
  applyVideoMeta(bad, v);
  EXPECT_FALSE(bad.isValid);
  v.creationDate = "MP4-Time-V1:99999999999";
  applyVideoMeta(bad, v);
  EXPECT_TRUE(bad.isValid);
  Metadata str;
  v.creationDate = "String:2019-07-04";
  applyVideoMeta(str, v);
  EXPECT_EQ(str.dateTime, (DateTime{2019, 7, 4, 0, 0, 0, false}));
  EXPECT_TRUE(str.isValid);
}

TEST(ReadMetadataFile, MissingEmptyAndLimitedFiles) {
  EXPECT_FALSE(readMetadata("/nonexistent/keldra/file.jpg", kMetadataReadLimit).isValid);
  std::string dir = ::testing::TempDir();
  std::string empty = dir + "/keldra_empty.jpg";
  { std::ofstream(empty, std::ios::binary); }
  EXPECT_FALSE(readMetadata(empty, kMetadataReadLimit).isValid);
  std::remove(empty.c_str());

  std::string path = test::testdataPath("metadata/gps/ianare_DSCN0010.jpg");
  Metadata whole = readMetadata(path, kMetadataReadLimit);
  Bytes bytes = test::readTestdata("metadata/gps/ianare_DSCN0010.jpg");
  Metadata fromBytes = readMetadataFromBytes(bytes);
  EXPECT_TRUE(whole.isValid);
  EXPECT_EQ(whole.tags, fromBytes.tags);
  // A limit below the EXIF segment leaves nothing; the floor is 16 bytes.
  EXPECT_FALSE(readMetadata(path, 0).isValid);
}

TEST(ReadMetadataRealFiles, CameraJpegAndTiff) {
  Metadata md = readMetadataFromBytes(test::readTestdata("metadata/gps/ianare_DSCN0010.jpg"));
  EXPECT_TRUE(md.isValid);
  EXPECT_EQ(md.camera, "NIKON COOLPIX P6000");
  EXPECT_EQ(md.orientation, 1);
  EXPECT_TRUE(md.hasGps());
  EXPECT_NEAR(md.latitude, 43.467448, 1e-6);
  EXPECT_NEAR(md.longitude, 11.885127, 1e-6);
  EXPECT_EQ(md.dateTime, (DateTime{2008, 10, 22, 16, 28, 39, false}));
  Metadata tif = readMetadataFromBytes(test::readTestdata("metadata/tiff/et_DNG.dng"));
  EXPECT_TRUE(tif.isValid);
  EXPECT_EQ(tagOf(tif, "DNGVersion"), "1.1.0.0");
  for (int i = 2; i <= 8; i += 2) {
    std::string name = "metadata/orientation/pil_hopper_orientation_" + std::to_string(i) + ".jpg";
    EXPECT_EQ(readMetadataFromBytes(test::readTestdata(name)).orientation, i) << name;
  }
}

}  // namespace
}  // namespace kd::exif

namespace kd::exif {
namespace {

// Every prefix of a camera JPEG and of a TIFF reads without touching memory
// outside the buffer (checked under the sanitizers); the whole file gives
// the same record every time.
TEST(ReadMetadataRobustness, EveryPrefixReads) {
  for (const char* name : {"metadata/gps/et_GPS.jpg", "metadata/tiff/exiv2_mini9.tif"}) {
    Bytes whole = test::readTestdata(name);
    ASSERT_FALSE(whole.empty());
    Metadata full = readMetadataFromBytes(whole);
    EXPECT_TRUE(full.isValid) << name;
    size_t step = whole.size() > 4096 ? whole.size() / 2048 : 1;
    for (size_t len = 0; len < whole.size(); len += step) {
      Metadata md = readMetadataFromBytes(base::ByteView(whole.data(), len));
      EXPECT_LE(md.tags.size(), size_t{4096}) << name << " " << len;
    }
    EXPECT_EQ(readMetadataFromBytes(whole).tags, full.tags);
  }
}

TEST(ReadMetadataRobustness, MalformedSamplesRead) {
  size_t valid = 0;
  for (const std::string& rel : test::listTestdata("malformed/metadata")) {
    Bytes b = test::readTestdata(rel);
    Metadata md = readMetadataFromBytes(b);
    valid += md.isValid ? 1 : 0;
    (void)exifTiffBase(b);
  }
  EXPECT_GT(valid, 0u);  // damaged files keep what can be read
}

}  // namespace
}  // namespace kd::exif
