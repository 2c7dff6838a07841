// ImageMagick's raw profiles and late eXIf chunks against exiftool: camera
// JPEGs turned into PNGs by `convert` (which writes the EXIF as an eXIf chunk
// after the image data and XMP and IPTC as "Raw profile type" zTXt chunks),
// and the same PNGs with the eXIf chunk turned into a "Raw profile type exif"
// chunk. A read of each gives the tags of the EXIF, XMP and IPTC blocks
// exiftool extracts from it; an edit writes an eXIf chunk in place of the raw
// profile.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "exif/exif.h"
#include "exif/iptc.h"
#include "exif/png.h"
#include "exif/xmp.h"
#include "keldra/keldra.h"
#include "support/exiftool.h"
#include "support/testdata.h"

namespace kd::exif {
namespace {

using Bytes = std::vector<uint8_t>;

void putBe32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

Bytes chunk(const std::string& type, const Bytes& data) {
  Bytes out;
  putBe32(out, static_cast<uint32_t>(data.size()));
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(out.data() + 4), 4);
  if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
  putBe32(out, static_cast<uint32_t>(crc));
  return out;
}

// ImageMagick's layout of a raw profile, deflated into a zTXt chunk.
Bytes rawProfileChunk(const std::string& name, const Bytes& bytes) {
  char head[64];
  std::snprintf(head, sizeof head, "\n%s\n%8zu", name.c_str(), bytes.size());
  std::string text = head;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 36 == 0) text += '\n';
    std::snprintf(head, sizeof head, "%02x", bytes[i]);
    text += head;
  }
  text += '\n';
  uLongf n = compressBound(static_cast<uLong>(text.size()));
  Bytes data(("Raw profile type " + name).size() + 2 + n);
  std::string key = "Raw profile type " + name;
  std::copy(key.begin(), key.end(), data.begin());
  compress(data.data() + key.size() + 2, &n, reinterpret_cast<const Bytef*>(text.data()),
           static_cast<uLong>(text.size()));
  data.resize(key.size() + 2 + n);
  return chunk("zTXt", data);
}

// The PNG with its eXIf chunk (payload prefixed "Exif\0\0") as a raw profile.
Bytes eXIfAsRawProfile(const Bytes& png) {
  Bytes out(png.begin(), png.begin() + 8);
  for (size_t pos = 8; pos + 12 <= png.size();) {
    size_t len = size_t{png[pos]} << 24 | size_t{png[pos + 1]} << 16 | size_t{png[pos + 2]} << 8 | png[pos + 3];
    size_t end = std::min(png.size(), pos + 12 + len);
    if (std::string(png.begin() + pos + 4, png.begin() + pos + 8) == "eXIf") {
      Bytes payload = {'E', 'x', 'i', 'f', 0, 0};
      payload.insert(payload.end(), png.begin() + pos + 8, png.begin() + end - 4);
      Bytes c = rawProfileChunk("exif", payload);
      out.insert(out.end(), c.begin(), c.end());
    } else {
      out.insert(out.end(), png.begin() + pos, png.begin() + end);
    }
    pos = end;
  }
  return out;
}

void writeFile(const std::string& path, const Bytes& b) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fwrite(b.data(), 1, b.size(), f);
  std::fclose(f);
}

// What this library makes of the EXIF, XMP and IPTC blocks exiftool
// extracted from a file (`stem`.EXIF, .XMP, .IPTC), named as a read names
// them.
std::map<std::string, std::string> tagsOfPeerBlocks(const std::string& stem) {
  Metadata md;
  Bytes exif = {'E', 'x', 'i', 'f', 0, 0};
  Bytes tiff = test::readFileBytes(stem + ".EXIF");
  exif.insert(exif.end(), tiff.begin(), tiff.end());
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
std::map<std::string, std::string> libraryTags(const std::string& path) {
  Metadata md = readMetadata(path, kMetadataReadLimit);
  for (auto& [keyword, text] : pngTextChunks(test::readFileBytes(path))) {
    if (md.tags.count(keyword) && md.tags.at(keyword) == text) md.tags.erase(keyword);
  }
  return {md.tags.begin(), md.tags.end()};
}

// The tags two reads disagree on, with both values.
std::string differences(const std::map<std::string, std::string>& got,
                        const std::map<std::string, std::string>& want) {
  std::set<std::string> names;
  for (const auto& [k, v] : got) names.insert(k);
  for (const auto& [k, v] : want) names.insert(k);
  std::string out;
  for (const std::string& k : names) {
    std::string a = got.count(k) ? got.at(k) : "(none)", b = want.count(k) ? want.at(k) : "(none)";
    if (a != b) out += k + ": " + a.substr(0, 80) + " | " + b.substr(0, 80) + "\n";
  }
  return out;
}

// Samples ImageMagick cannot turn into a PNG: a JPEG of metadata without
// image data.
const std::set<std::string> kNoPicture = {"metadata/iptc/exiv2_table.jpg"};

TEST(PngRawProfiles, ConvertedCameraFilesReadAsExiftoolExtractsThem) {
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  ASSERT_TRUE(test::toolInstalled("convert", "imagemagick"));
  const std::string dir = ::testing::TempDir();
  int files = 0;
  for (const char* folder : {"metadata/jpeg-exif", "metadata/iptc", "metadata/xmp",
                             "metadata/makernote-canon", "metadata/makernote-nikon"}) {
    for (const std::string& name : test::listTestdata(folder)) {
      if (name.size() < 4 || name.substr(name.size() - 4) != ".jpg" || kNoPicture.count(name)) {
        continue;
      }
      const std::string png = dir + "/profiles.png", raw = dir + "/profiles_raw.png";
      const std::string out = dir + "/profiles_edited.png";
      for (const char* stem : {"profiles", "profiles_raw", "profiles_edited"}) {
        for (const char* block : {".png", ".EXIF", ".XMP", ".IPTC"}) {
          std::remove((dir + "/" + stem + block).c_str());
        }
      }
      test::commandOutput("convert -define jpeg:size=32x32 '" + test::testdataPath(name) +
                          "' -sample 8x8 '" + png + "' 2>/dev/null");
      SCOPED_TRACE(name);
      const Bytes converted = test::readFileBytes(png);
      ASSERT_GT(converted.size(), 8u);
      writeFile(raw, eXIfAsRawProfile(converted));
      // An edit writes the EXIF as an eXIf chunk and drops the raw profile.
      KdExifEdit* edit = nullptr;
      ASSERT_EQ(kd_exif_edit_open(raw.c_str(), &edit), KD_EXIF_OK);
      kd_exif_set_artist(edit, "Edited");
      ASSERT_EQ(kd_exif_edit_write(edit, out.c_str()), KD_EXIF_OK);
      kd_exif_edit_free(edit);
      test::exiftoolOutput("-b -EXIF -XMP -IPTC -W! '" + dir + "/%f.%t'", {png, raw, out});

      const auto fromRaw = libraryTags(raw);
      EXPECT_EQ(differences(libraryTags(png), tagsOfPeerBlocks(dir + "/profiles")), "");
      EXPECT_EQ(differences(fromRaw, tagsOfPeerBlocks(dir + "/profiles_raw")), "");
      EXPECT_EQ(differences(fromRaw, libraryTags(png)), "");
      for (const char* listed : {"exif", "xmp", "iptc", "APP1"}) {
        EXPECT_EQ(fromRaw.count(std::string("Raw profile type ") + listed), 0u) << listed;
      }
      Bytes edited = test::readFileBytes(out);
      EXPECT_GT(findExifInPng(edited), 0);
      for (auto& [key, text] : pngTextChunks(edited)) EXPECT_NE(key, "Raw profile type exif");
      EXPECT_EQ(tagsOfPeerBlocks(dir + "/profiles_edited")["Artist"], "Edited");
      ++files;
    }
  }
  EXPECT_GT(files, 10);
}

}  // namespace
}  // namespace kd::exif
