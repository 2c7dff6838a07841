// ImageMagick's raw profiles and late eXIf chunks against exiftool: camera
// JPEGs turned into PNGs by `convert` (which writes the EXIF as an eXIf chunk
// after the image data and XMP and IPTC as "Raw profile type" zTXt chunks),
// and the same PNGs with the eXIf chunk turned into a "Raw profile type exif"
// chunk. A read of each gives the tags of the EXIF, XMP and IPTC blocks
// exiftool extracts from it; an edit writes an eXIf chunk in place of the raw
// profile.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "exif/exif.h"
#include "exif/iptc.h"
#include "exif/png.h"
#include "exif/xmp.h"
#include "keldra/keldra.h"
#include "support/container_builder.h"
#include "support/exiftool.h"
#include "support/testdata.h"

namespace kd::exif {
namespace {

using Bytes = std::vector<uint8_t>;
using Tags = std::map<std::string, std::string>;

// The PNG with its eXIf chunk as a tEXt raw profile ("Exif\0\0" + payload
// in ImageMagick's hex layout).
Bytes eXIfAsRawProfile(const Bytes& png) {
  Bytes out(png.begin(), png.begin() + 8);
  for (size_t pos = 8, len; pos + 12 <= png.size(); pos += 12 + len) {
    len = size_t{png[pos]} << 24 | size_t{png[pos + 1]} << 16 | png[pos + 2] << 8 | png[pos + 3];
    if (std::string(png.begin() + pos + 4, png.begin() + pos + 8) != "eXIf") {
      out.insert(out.end(), png.begin() + pos, png.begin() + pos + 12 + len);
      continue;
    }
    char hex[32];
    std::snprintf(hex, sizeof hex, "\nexif\n%8zu", len + 6);
    std::string text = std::string("Raw profile type exif", 22) + hex + "\n457869660000";
    for (size_t i = 0; i < len; ++i) {
      std::snprintf(hex, sizeof hex, (i + 6) % 36 == 0 ? "\n%02x" : "%02x", png[pos + 8 + i]);
      text += hex;
    }
    test::append(out, test::pngChunk("tEXt", test::bytesOf(text + "\n")));
  }
  return out;
}

// What this library makes of the EXIF, XMP and IPTC blocks exiftool
// extracted from a file (`stem`.EXIF, .XMP, .IPTC), named as a read names
// them.
Tags tagsOfPeerBlocks(const std::string& stem) {
  Metadata md;
  Bytes exif = {'E', 'x', 'i', 'f', 0, 0};
  test::append(exif, test::readFileBytes(stem + ".EXIF"));
  parseTiffAt(md, exif, 6);
  const Bytes xmp = test::readFileBytes(stem + ".XMP");
  for (auto& [name, value] : parseXmp(std::string(xmp.begin(), xmp.end()))) {
    if (!value.empty()) md.tags.insert_or_assign("XMP:" + name, value);
  }
  for (auto& [name, value] : parseIptcDatasets(test::readFileBytes(stem + ".IPTC"))) {
    if (!value.empty()) md.tags.insert_or_assign("IPTC:" + name, value);
  }
  return {md.tags.begin(), md.tags.end()};
}

// A read's tags less the text chunks it lists as they are.
Tags libraryTags(const std::string& path) {
  Metadata md = readMetadata(path, kMetadataReadLimit);
  for (auto& [keyword, text] : pngTextChunks(test::readFileBytes(path))) {
    if (md.tags.count(keyword) && md.tags.at(keyword) == text) md.tags.erase(keyword);
  }
  return {md.tags.begin(), md.tags.end()};
}

// Samples ImageMagick cannot turn into a PNG: a JPEG of metadata without
// image data.
const std::set<std::string> kNoPicture = {"metadata/iptc/exiv2_table.jpg"};

TEST(PngRawProfiles, ConvertedCameraFilesReadAsExiftoolExtractsThem) {
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  ASSERT_TRUE(test::toolInstalled("convert", "imagemagick"));
  int files = 0;
  for (const char* folder : {"metadata/jpeg-exif", "metadata/iptc", "metadata/xmp",
                             "metadata/makernote-canon", "metadata/makernote-nikon"}) {
    for (const std::string& name : test::listTestdata(folder)) {
      if (!name.ends_with(".jpg") || kNoPicture.count(name)) continue;
      SCOPED_TRACE(name);
      const std::string dir = ::testing::TempDir() + "/png_profiles" + std::to_string(files);
      const std::string png = dir + "/profiles.png", raw = dir + "/profiles_raw.png";
      const std::string out = dir + "/profiles_edited.png";
      std::filesystem::remove_all(dir);
      std::filesystem::create_directories(dir);
      test::commandOutput("convert -define jpeg:size=32x32 '" + test::testdataPath(name) +
                          "' -sample 8x8 '" + png + "' 2>/dev/null");
      const Bytes converted = test::readFileBytes(png), rawPng = eXIfAsRawProfile(converted);
      ASSERT_GT(converted.size(), 8u);
      std::ofstream(raw, std::ios::binary).write(reinterpret_cast<const char*>(rawPng.data()),
                                                 static_cast<std::streamsize>(rawPng.size()));
      KdExifEdit* edit = nullptr;
      ASSERT_EQ(kd_exif_edit_open(raw.c_str(), &edit), KD_EXIF_OK);
      kd_exif_set_artist(edit, "Edited");
      ASSERT_EQ(kd_exif_edit_write(edit, out.c_str()), KD_EXIF_OK);
      kd_exif_edit_free(edit);
      test::exiftoolOutput("-b -EXIF -XMP -IPTC -W! '" + dir + "/%f.%t'", {png, raw, out});

      const Tags fromRaw = libraryTags(raw);
      EXPECT_EQ(libraryTags(png), tagsOfPeerBlocks(dir + "/profiles"));
      EXPECT_EQ(fromRaw, tagsOfPeerBlocks(dir + "/profiles_raw"));
      EXPECT_EQ(fromRaw, libraryTags(png));
      EXPECT_EQ(fromRaw.count("Raw profile type exif"), 0u);
      // The edit's EXIF is an eXIf chunk, and the raw profile is gone.
      const Bytes edited = test::readFileBytes(out);
      EXPECT_GT(findExifInPng(edited).value_or(0), 0);
      for (auto& [key, text] : pngTextChunks(edited)) EXPECT_NE(key, "Raw profile type exif");
      EXPECT_EQ(tagsOfPeerBlocks(dir + "/profiles_edited")["Artist"], "Edited");
      ++files;
    }
  }
  EXPECT_GT(files, 10);
}

}  // namespace
}  // namespace kd::exif
