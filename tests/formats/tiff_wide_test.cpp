// TIFF under the wide option: separate planes, odd depths, floating-point
// samples, YCbCr, CCITT fax and JPEG strips and tiles, against ImageMagick
// over every TIFF of the shared sets the plain decoder refuses and over
// files tiffcp and ImageMagick write from the test data, with one counted
// table of the inputs where the two part ways.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>

#include <tiffio.h>

#include <map>

#include "codec_support.h"
#include "support/divergences.h"
#include "support/testdata.h"

namespace kd::formats::test {
namespace {

const DecodeOptions kWide{true, 0};

constexpr kd::test::Divergence kDivergences[] = {
    {"itiff_flower-minisblack-24.tif", "off by 193", "ImageMagick 6 misreads 24-bit samples"},
    {"itiff_seq-1c-24b-072a9dc9.tiff", "off by 255", "ImageMagick 6 misreads 24-bit samples"},
    {"itiff_seq-3c-24b-contig-27b9f8ce.tiff", "off by 255", "ImageMagick 6 misreads 24-bit samples"},
    {"itiff_seq-1c-3b-miniswhite-ef237c07.tiff", "off by 255",
     "ImageMagick 6 ignores WhiteIsZero at 3, 6 and 7 bits; this decoder inverts, as at 1 and 4"},
    {"itiff_seq-1c-6b-miniswhite-79cafbb6.tiff", "off by 255", "WhiteIsZero, as above"},
    {"itiff_seq-1c-7b-miniswhite-9c61ba70.tiff", "off by 255", "WhiteIsZero, as above"},
    {"itiff_logluv-3c-16b.tiff", "tiff: compression 34676 unsupported", "SGI LogLuv is not decoded"},
    {"mei_16f2a7e9adcda96170bc1fa873e275c1.tif", "tiff: compression 34676 unsupported",
     "SGI LogLuv is not decoded"},
    {"itiff_seq-1c-8b-bigtiff-20f3db0c.tiff", "tiff: bad magic (not classic TIFF)", "BigTIFF is not read"},
    {"itiff_smallliz.tif", "tiff: compression 6 unsupported", "old-style JPEG stays refused"},
    {"itiff_seq-3c-i16-f7fcf423.tiff", "tiff: gray with spp=3 unsupported",
     "grey with three samples and no ExtraSamples; ImageMagick shows the first"},
    {"pil_separate_planar_extra_samples.tiff", "tiff: empty strip/tile",
     "a plane stored in no bytes; ImageMagick shows it black"},
};

// Files ImageMagick 6 misreads, compared with the file of the same picture
// at another depth.
const std::map<std::string, std::string> kSamePicture = {
    {"itiff_flower-rgb-planar-24.tif", "codec/tiff/itiff_flower-rgb-contig-16.tif"},
};

// The picture as 8-bit RGBA, CMYK made RGB as ImageMagick does.
Bytes rgbaOf(const Image& img) {
  const size_t n = static_cast<size_t>(img.width * img.height);
  const size_t ch = static_cast<size_t>(img.channels);
  Bytes out(4 * n, 255);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* px = &img.pixels[i * ch];
    for (size_t c = 0; c < 3; ++c) {
      if (img.colorspace == csCmyk) {
        out[4 * i + c] = static_cast<uint8_t>(((255 - px[c]) * (255 - px[3]) + 127) / 255);
      } else {
        out[4 * i + c] = px[ch < 3 ? 0 : c];
      }
    }
    if (ch == 4 && img.colorspace != csCmyk) out[4 * i + 3] = px[3];
  }
  return out;
}

// The Compression field of the first directory.
uint64_t compressionOf(const Bytes& file) {
  const auto order = file[0] == 'I' ? base::ByteOrder::kLittle : base::ByteOrder::kBig;
  const ByteView view = viewOf(file);
  return tiff::parseIfd(view, base::loadU32(view, 4, order), order).getU32(tiff::kCompression, 1);
}

// libtiff's RGBA interface: YCbCr, fax, JPEG, planes, depths 1, 2, 4, 8
// and 16. Empty when libtiff refuses the file or the picture has alpha,
// which that interface premultiplies.
Bytes libtiffRgba(const std::string& path) {
  TIFFSetWarningHandler(nullptr);
  TIFFSetErrorHandler(nullptr);
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (t == nullptr) return {};
  uint16_t extra = 0;
  uint16_t* kinds = nullptr;
  uint32_t w = 0, h = 0;
  TIFFGetFieldDefaulted(t, TIFFTAG_EXTRASAMPLES, &extra, &kinds);
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  char message[1024];
  Bytes out;
  std::vector<uint32_t> raster(extra == 0 && TIFFRGBAImageOK(t, message) ? size_t{w} * h : 0);
  if (!raster.empty() && TIFFReadRGBAImageOriented(t, w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) {
    for (uint32_t px : raster) {
      for (uint32_t v : {TIFFGetR(px), TIFFGetG(px), TIFFGetB(px), TIFFGetA(px)}) out.push_back(static_cast<uint8_t>(v));
    }
  }
  TIFFClose(t);
  return out;
}

// "" when the file decodes like the peer (libtiff's RGBA interface where it
// reads the file, else ImageMagick), or both refuse it. Samples may be off
// by 1; JPEG strips and tiles, whose peers smooth the chroma, by 1.5 on
// average.
std::string compareWithPeer(const std::string& path, const std::string& peerPath) {
  Bytes peer = libtiffRgba(peerPath);
  if (peer.empty()) peer = magickRgba(peerPath);
  const Bytes file = kd::test::readFileBytes(path);
  Image img;
  try {
    img = decodeTiff(viewOf(file), kWide);
  } catch (const KeldraException& e) {
    return peer.empty() ? "" : e.what();
  }
  const Bytes ours = rgbaOf(img);
  if (peer.size() != ours.size()) return "the peer gives another size";
  int worst = 0;
  double sum = 0;
  for (size_t i = 0; i < ours.size(); ++i) {
    worst = std::max(worst, std::abs(ours[i] - peer[i]));
    sum += std::abs(ours[i] - peer[i]);
  }
  if (compressionOf(file) == tiff::kJpeg) return sum / static_cast<double>(ours.size()) <= 1.5 ? "" : "mean off by more than 1.5";
  return worst <= 1 ? "" : "off by " + std::to_string(worst);
}

// The TIFFs of the shared sets only the wide decoder reads, or reads
// differently: those the plain decoder refuses as unsupported or as an
// LZW strip longer than needed.
bool wideOnly(const Bytes& file) {
  try {
    (void)decodeTiff(viewOf(file));
  } catch (const KeldraException& e) {
    return e.kind() == ekUnsupported || std::string(e.what()) == "tiff: LZW output exceeds expected size";
  }
  return false;
}

TEST(TiffWide, SharedFilesMatchLibtiffOrImageMagickWithinOne) {
  ASSERT_TRUE(kd::test::toolInstalled("convert-im6.q16", "imagemagick"));
  size_t compared = 0, diverging = 0;
  for (const std::string& rel : listTestdataBoth("codec/tiff", "malformed/tiff")) {
    if (!wideOnly(kd::test::readTestdata(rel))) continue;
    const std::string name = std::filesystem::path(rel).filename().string();
    const auto same = kSamePicture.find(name);
    const std::string outcome = compareWithPeer(
        kd::test::testdataPath(rel), kd::test::testdataPath(same == kSamePicture.end() ? rel : same->second));
    const kd::test::Divergence* row = kd::test::findDivergence(kDivergences, name);
    if (row != nullptr) {
      ++diverging;
      EXPECT_EQ(outcome, row->failure) << name << ": " << row->reason;
    } else {
      EXPECT_EQ(outcome, "") << name;
      ++compared;
    }
  }
  // Every row names a file of the wider corpus: each is met only with it.
  if (kd::test::corpusDir()) {
    EXPECT_EQ(diverging, std::size(kDivergences));
    EXPECT_GE(compared, 30u);
  } else {
    EXPECT_GE(compared, 7u);
  }
}

// Files tiffcp and ImageMagick write from the test data: `command` makes
// out.tif from {RGB}, {GREY} and {CMYK}, pictures the plain decoder reads.
struct Written {
  const char* name;
  const char* command;
};

constexpr Written kWritten[] = {
    {"RGB planes, LZW", "tiffcp -p separate -c lzw {RGB} out.tif"},
    {"CMYK planes, Deflate tiles", "tiffcp -p separate -c zip -t {CMYK} out.tif"},
    {"JPEG strips, YCbCr", "tiffcp -c jpeg -r 16 {RGB} out.tif"},
    {"JPEG tiles, YCbCr", "tiffcp -c jpeg -t {RGB} out.tif"},
    {"JPEG strips, grey", "tiffcp -c jpeg {GREY} out.tif"},
    {"Group 4", "convert-im6.q16 {GREY} -monochrome -compress Group4 out.tif"},
    {"Group 3, 2D with fill bits", "convert-im6.q16 {GREY} -monochrome -compress Group4 g4.tif && tiffcp -c g3:2d:fill g4.tif out.tif"},
    {"Group 3, 1D", "convert-im6.q16 {GREY} -monochrome -compress Fax out.tif"},
    {"32-bit float, predictor 3", "convert-im6.q16 {RGB} -define quantum:format=floating-point -depth 32 f.tif; tiffcp -c zip:3 f.tif out.tif"},
    {"16-bit float", "convert-im6.q16 {RGB} -define quantum:format=floating-point -depth 16 out.tif; test -s out.tif"},
    {"64-bit float", "convert-im6.q16 {GREY} -define quantum:format=floating-point -depth 64 out.tif"},
    {"12-bit RGB", "convert-im6.q16 {RGB} -depth 12 out.tif"},
    {"5-bit grey, LZW", "convert-im6.q16 {GREY} -depth 5 -compress lzw out.tif"},
};

std::string replaced(std::string s, const std::string& key, const std::string& value) {
  for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, key.size(), value);
  return s;
}

TEST(TiffWide, FilesWrittenByTiffcpAndImageMagickMatchThePeer) {
  ASSERT_TRUE(kd::test::toolInstalled("tiffcp", "libtiff-tools"));
  ASSERT_TRUE(kd::test::toolInstalled("convert-im6.q16", "imagemagick"));
  for (const Written& w : kWritten) {
    TempDir dir;
    std::string command = replaced(w.command, "{RGB}", quoted(kd::test::testdataPath("codec/tiff/itiff_seq-3c-8b-multistrip-8743c999.tiff")));
    command = replaced(command, "{GREY}", quoted(kd::test::testdataPath("codec/tiff/itiff_seq-1c-8b-lzw-20f3db0c.tiff")));
    command = replaced(command, "{CMYK}", quoted(kd::test::testdataPath("codec/tiff/itiff_seq-4c-8b-cmyk-352ac1da.tiff")));
    ASSERT_TRUE(runCommand("cd " + quoted(dir.file("")) + " && (" + command + ") 2>/dev/null")) << w.name;
    const std::string out = dir.file("out.tif");
    EXPECT_TRUE(wideOnly(kd::test::readFileBytes(out))) << w.name;
    EXPECT_EQ(compareWithPeer(out, out), "") << w.name;
  }
}

// ImageLength one row short of what the LZW strips hold: the plain decoder
// refuses the strip, the wide one keeps the rows it needs.
TEST(TiffWide, LzwStripLongerThanNeededKeepsItsFirstRows) {
  Bytes file = kd::test::readTestdata("codec/tiff/itiff_seq-1c-8b-lzw-20f3db0c.tiff");
  const Image whole = decodeTiff(viewOf(file));
  ASSERT_EQ(file[0], 'I');
  const size_t ifd = base::loadLe32(&file[4]);
  for (size_t e = 0; e < base::loadLe16(&file[ifd]); ++e) {
    uint8_t* entry = &file[ifd + 2 + 12 * e];
    if (base::loadLe16(entry) == tiff::kImageLength) base::storeLe16(entry + 8, static_cast<uint16_t>(whole.height - 1));
  }
  EXPECT_EQ(failureOf([&] { return decodeTiff(viewOf(file)); }),
            (Failure{"tiff: LZW output exceeds expected size", ekInvalid}));
  const Image cut = decodeTiff(viewOf(file), kWide);
  ASSERT_EQ(cut.height, whole.height - 1);
  EXPECT_TRUE(std::equal(cut.pixels.begin(), cut.pixels.end(), whole.pixels.begin()));
}

// Every prefix of every wide-only test file decodes or fails with a typed
// error: never a crash, a partial picture or another exception.
TEST(TiffWide, EveryPrefixDecodesOrFailsTyped) {
  size_t files = 0;
  for (const std::string& rel : kd::test::listTestdata("codec/tiff")) {
    const Bytes file = kd::test::readTestdata(rel);
    if (!wideOnly(file)) continue;
    ++files;
    for (size_t n = 0; n < file.size(); n += 1 + file.size() / 97) {
      const Bytes prefix(file.begin(), file.begin() + static_cast<ptrdiff_t>(n));
      try {
        const Image img = decodeTiff(viewOf(prefix), kWide);
        EXPECT_EQ(img.pixels.size(), static_cast<size_t>(img.width * img.height * img.channels)) << rel;
      } catch (const KeldraException& e) {
        EXPECT_NE(e.kind(), ekNone) << rel;
      }
    }
  }
  EXPECT_GE(files, 7u);
}

}  // namespace
}  // namespace kd::formats::test
