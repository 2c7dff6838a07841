// Nothing lost, over the sample files: after setting Artist, GPS and
// DateTimeOriginal and writing,
//  (a) the image data is byte-identical (JPEG scan data, TIFF strips and
//      pixels with this library and with libtiff),
//  (b) every other tag reads back unchanged with this library and with
//      exiftool (-j -G1 -a), IFD1's included, and exiftool extracts the same
//      thumbnail and preview bytes (ThumbnailImage, the maker notes'
//      PreviewImage) before and after, as does kd_image_thumbnail,
//  (c) the edited tags read back with their new values in both;
// and after stripping, exiftool finds no EXIF, XMP or IPTC.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "exif/edit.h"
#include "exif/exif.h"
#include "exif/isobmff.h"
#include "exif/png.h"
#include "exif/webp.h"
#include "keldra/keldra.h"
#include "support/exiftool.h"
#include "support/testdata.h"

namespace kd::exif {
namespace {

namespace fs = std::filesystem;
using Json = std::map<std::string, std::string>;  // "Group:Tag" -> value text

const char* const kArtist = "Keldra Corpus Artist";
const char* const kDate = "2031:02:03 04:05:06";

// exiftool -j prints one member per line: "  \"Group:Tag\": value,".
std::map<std::string, Json> exiftoolJson(const std::vector<std::string>& paths,
                                         const std::string& tags = "") {
  const std::string out = test::exiftoolOutput("-j -G1 -a -q -q " + tags, paths);
  std::map<std::string, Json> files;
  Json* current = nullptr;
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    pos = end + 1;
    size_t q1 = line.find('"'), q2 = line.find("\": ");
    if (q1 == std::string::npos || q2 == std::string::npos || q2 <= q1) continue;
    std::string key = line.substr(q1 + 1, q2 - q1 - 1);
    std::string value = line.substr(q2 + 3);
    if (!value.empty() && value.back() == ',') value.pop_back();
    if (key == "SourceFile") {
      std::string path = value.substr(1, value.size() - 2);
      current = &files[path];
      continue;
    }
    if (current != nullptr) (*current)[key] = value;
  }
  return files;
}

std::string groupOf(const std::string& key) { return key.substr(0, key.find(':')); }
std::string nameOf(const std::string& key) { return key.substr(key.find(':') + 1); }

bool editedName(const std::string& name) {
  static const std::set<std::string> kEdited = {
      "Artist", "DateTimeOriginal", "CreateDate", "DateTime", "ModifyDate"};
  return kEdited.count(name) != 0 || name.rfind("GPS", 0) == 0;
}

// Groups that describe the file or are computed from other tags, and the
// directories after IFD1.
bool comparedGroup(const std::string& g) {
  static const std::set<std::string> kSkipped = {"System", "File", "Composite", "ExifTool",
                                                  "IFD2", "IFD3", "SubIFD", "SubIFD1"};
  return kSkipped.count(g) == 0;
}

Bytes fileBytes(const std::string& path) { return test::readFileBytes(path); }

void save(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

size_t scanStart(const Bytes& jpeg) {
  size_t p = 2;
  while (p + 4 <= jpeg.size() && jpeg[p] == 0xFF && jpeg[p + 1] != 0xDA) {
    p += 2 + static_cast<size_t>(jpeg[p + 2] << 8 | jpeg[p + 3]);
  }
  return p;
}

uint32_t be32At(const Bytes& b, size_t p) {
  return uint32_t{b[p]} << 24 | b[p + 1] << 16 | b[p + 2] << 8 | b[p + 3];
}

// The bytes that make the picture: JPEG scan data, PNG IDAT data, WebP image
// chunks, HEIF item data other than Exif and XMP.
Bytes imageData(const Bytes& f) {
  Bytes out;
  if (f.size() >= 2 && f[0] == 0xFF && f[1] == 0xD8) return Bytes(f.begin() + scanStart(f), f.end());
  if (isPng(f)) {
    for (size_t p = 8; p + 12 <= f.size();) {
      const size_t len = be32At(f, p);
      if (len > f.size() - p - 12) break;
      if (std::memcmp(f.data() + p + 4, "IDAT", 4) == 0) {
        out.insert(out.end(), f.begin() + p + 8, f.begin() + p + 8 + len);
      }
      p += 12 + len;
    }
  } else if (isWebp(f)) {
    for (size_t p = 12; p + 8 <= f.size();) {
      const size_t len = f[p + 4] | f[p + 5] << 8 | f[p + 6] << 16 | size_t{f[p + 7]} << 24;
      if (len > f.size() - p - 8) break;
      const std::string fourcc(f.begin() + p, f.begin() + p + 4);
      if (fourcc == "VP8 " || fourcc == "VP8L" || fourcc == "ALPH" || fourcc == "ANIM" ||
          fourcc == "ANMF") {
        out.insert(out.end(), f.begin() + p, f.begin() + p + 8 + len);
      }
      p += 8 + len + len % 2;
    }
  } else if (isIsobmff(f)) {
    for (const auto& [id, item] : parseItemRecords(f)) {
      const bool xmp = item.itemType == "mime" && item.contentType == "application/rdf+xml";
      if (item.itemType == "Exif" || xmp || !item.located ||
          !base::fits(f, item.offset, item.length)) {
        continue;
      }
      out.insert(out.end(), f.begin() + item.offset, f.begin() + item.offset + item.length);
    }
  }
  return out;
}

Bytes pixelsOf(const Bytes& file, bool thumbnail = false) {
  KdImage* img = nullptr;
  int status = thumbnail ? kd_image_thumbnail(file.data(), file.size(), &img)
                         : kd_image_decode_buffer(file.data(), file.size(), 0, &img);
  if (status != 0) return {};
  const uint8_t* px = nullptr;
  size_t len = 0;
  kd_image_pixels(img, &px, &len);
  Bytes out(px, px + len);
  kd_image_free(img);
  return out;
}

struct Written {
  std::string source, output;
  bool tiff = false;
};

class EditCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    kd_exif_init();
    dir_ = ::testing::TempDir() + "/edit_corpus_" + std::to_string(::getpid());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string dir_;
};

// Paths of the files of these folders, bundled and (when configured) corpus.
std::vector<std::string> corpus(std::initializer_list<const char*> folders) {
  std::vector<std::string> out;
  for (const auto& rel : test::listTestdata(folders)) out.push_back(test::testdataPath(rel));
  return out;
}

// Plain edits, and edits that grow IFD0 until the maker notes have to move
// (taking along, and re-pointing, what they address outside themselves).
class EditCorpusNotes : public EditCorpus, public ::testing::WithParamInterface<bool> {};

TEST_P(EditCorpusNotes, EditedFilesLoseNothing) {
  const bool notesMove = GetParam();
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  ASSERT_TRUE(test::toolInstalled("tiffcmp", "libtiff-tools"));
  std::vector<Written> written;
  int index = 0;
  for (const std::string& path :
       corpus({"metadata/jpeg-exif", "metadata/gps", "metadata/orientation", "metadata/tiff",
               "metadata/makernote-canon", "metadata/makernote-nikon",
               "metadata/makernote-olympus", "metadata/makernote-fujifilm",
               "metadata/makernote-pentax", "metadata/makernote-panasonic",
               "metadata/makernote-casio", "metadata/makernote-sigma",
               "metadata/makernote-minolta", "metadata/makernote-other",
               "metadata/makernote-apple", "codec/jpeg", "metadata/png", "metadata/webp",
               "metadata/heif", "metadata/iptc", "metadata/xmp", "codec/tiff"})) {
    // Its EXIF continues into a second APP1 segment, which is not carried.
    if (path.ends_with("pil_multiple_exif.jpg")) continue;
    Bytes src = fileBytes(path);
    EditSession s = parseExifBytes(src);
    setArtist(s, kArtist);
    setGps(s, 48.8583, -122.4194, 35);
    setDateTimeOriginal(s, kDate);
    for (int t = 0; notesMove && t < 200; ++t) {
      setTag(s, IfdSelector::ifd0, static_cast<uint16_t>(0xF000 + t), longVal({t}));
    }
    Bytes out = writeExifBytes(src, s);
    if (out.empty()) continue;  // malformed segments or a BigTIFF: refused, not damaged
    const bool tiff = src[0] == 'I' || src[0] == 'M';
    if (tiff && !isFullTiff(src)) continue;
    const std::string ext = fs::path(path).extension().string();
    Written w{path, dir_ + "/" + std::to_string(index++) + ext, tiff};
    save(w.output, out);
    written.push_back(w);

    // (a) image data
    if (tiff) {
      EXPECT_TRUE(std::equal(src.begin() + 8, src.end(), out.begin() + 8)) << path;
      EXPECT_EQ(pixelsOf(out), pixelsOf(src)) << path;
    } else {
      const Bytes data = imageData(src);
      EXPECT_FALSE(data.empty()) << path;
      EXPECT_EQ(imageData(out), data) << path;
      EXPECT_EQ(pixelsOf(out, true), pixelsOf(src, true)) << path;
    }
    // (b), (c) with this library
    Metadata before = readMetadataFromBytes(src), after = readMetadataFromBytes(out);
    EXPECT_EQ(after.tags["Artist"], kArtist) << path;
    EXPECT_EQ(after.tags["DateTimeOriginal"], kDate) << path;
    EXPECT_TRUE(after.hasGps()) << path;
    EXPECT_NEAR(after.longitude, -122.4194, 1e-4) << path;
    w.source = path;
  }
  ASSERT_GT(written.size(), 20u);

  std::vector<std::string> sources, outputs;
  for (const auto& w : written) {
    sources.push_back(w.source);
    outputs.push_back(w.output);
  }
  auto etBefore = exiftoolJson(sources), etAfter = exiftoolJson(outputs);
  ASSERT_FALSE(etBefore.empty()) << "exiftool reported nothing on the sources";
  ASSERT_FALSE(etAfter.empty()) << "exiftool reported nothing on the rewritten files";
  const std::string previews = "-b -ThumbnailImage -PreviewImage";
  auto previewsBefore = exiftoolJson(sources, previews), previewsAfter = exiftoolJson(outputs, previews);
  size_t makerNoteTags = 0;
  for (const auto& w : written) {
    const Json& a = etBefore[w.source];
    const Json& b = etAfter[w.output];
    // Fuzzed segment structures that exiftool itself cannot walk.
    if (a.count("ExifTool:Warning") && a.at("ExifTool:Warning").find("format error") !=
        std::string::npos) {
      continue;
    }
    // The same thumbnail and preview bytes (base64) in the same places.
    EXPECT_EQ(previewsAfter[w.output], previewsBefore[w.source]) << w.source;
    for (const auto& [key, value] : a) {
      if (!comparedGroup(groupOf(key)) || editedName(nameOf(key))) continue;
      // Absolute file positions of the thumbnail move with the block.
      if (nameOf(key) == "ThumbnailOffset") continue;
      // Absolute file positions of data behind the EXIF segment move with it.
      if (nameOf(key) == "MPImageStart") continue;
      // So do those of the maker notes' previews when the notes move.
      if (notesMove && nameOf(key).ends_with("ImageStart")) continue;
      // Where the media data boxes lie, not a tag.
      if (nameOf(key).rfind("MediaData", 0) == 0) continue;
      // The VP8X flags now announce the EXIF chunk that was added.
      if (nameOf(key) == "WebP_Flags") continue;
      auto it = b.find(key);
      EXPECT_TRUE(it != b.end() && it->second == value)
          << w.source << ": " << key << " was " << value << ", now "
          << (it == b.end() ? std::string("missing") : it->second);
    }
    auto get = [&](const char* key, const Json& from) {
      auto it = from.find(key);
      return it == from.end() ? std::string() : it->second;
    };
    // A moved note is read at its rewritten offsets, not by exiftool's
    // guess of how far it moved.
    if (get("ExifTool:Warning", b).find("aker") != std::string::npos) {
      EXPECT_EQ(get("ExifTool:Warning", b), get("ExifTool:Warning", a)) << w.source;
    }
    EXPECT_EQ(get("IFD0:Artist", b), std::string("\"") + kArtist + "\"") << w.source;
    EXPECT_EQ(get("ExifIFD:DateTimeOriginal", b), std::string("\"") + kDate + "\"") << w.source;
    EXPECT_EQ(get("GPS:GPSLongitudeRef", b), "\"West\"") << w.source;
    EXPECT_EQ(get("GPS:GPSAltitude", b), "\"35 m\"") << w.source;

    // The library's own reading of everything but the edited tags and IFD1.
    Metadata before = readMetadataFromBytes(fileBytes(w.source));
    Metadata after = readMetadataFromBytes(fileBytes(w.output));
    for (const auto& [name, value] : before.tags) {
      if (editedName(name)) continue;
      // Directory pointers are laid out afresh, and so is IFD1's preview
      // (0x0201).
      if (name == "ExifOffset" || name == "InteropOffset" || name == "Unknown:0x0201") continue;
      // A moved note's offsets are rewritten; its tags are compared.
      if (notesMove && name == "MakerNote") continue;
      auto it = after.tags.find(name);
      EXPECT_TRUE(it != after.tags.end() && it->second == value)
          << w.source << ": library " << name << " was " << value;
      const bool maker = name.find(':') != std::string::npos && name.rfind("XMP:", 0) != 0 &&
                         name.rfind("IPTC:", 0) != 0 && name.rfind("GPS:", 0) != 0 &&
                         name.rfind("Unknown:", 0) != 0;
      makerNoteTags += maker ? 1 : 0;
    }
  }

  // The maker notes were read, through their own offsets, on both sides.
  EXPECT_GT(makerNoteTags, 200u);

  // Full TIFF pictures decode the same with libtiff.
  ASSERT_TRUE(test::toolInstalled("tiffinfo", "libtiff-tools"));
  for (const auto& w : written) {
    if (!w.tiff) continue;
    if (std::system(("tiffinfo '" + w.source + "' >/dev/null 2>&1").c_str()) != 0) continue;
    EXPECT_EQ(std::system(("tiffcmp '" + w.source + "' '" + w.output + "' >/dev/null 2>&1")
                              .c_str()),
              0)
        << w.source;
  }
}

INSTANTIATE_TEST_SUITE_P(Edits, EditCorpusNotes, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "NotesMoved" : "Plain"; });

// Nikon Coolpix notes declare a length that ends before their PreviewIFD's
// preview: made here from a D70 note by shortening its declared length to
// end where the preview begins. Moved by an edit, the note takes it along.
TEST_F(EditCorpus, PreviewPastTheNoteMovesWithIt) {
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  Bytes src = test::readTestdata("metadata/makernote-nikon/exiv2_exiv2-nikon-d70.jpg");
  const EditSession parsed = parseExifBytes(src);
  const uint8_t entry[] = {0x92, 0x7C, 0, 7, 0, 0, 0x72, 0x8A};  // MakerNote, 29322 bytes
  auto at = std::search(src.begin(), src.end(), std::begin(entry), std::end(entry));
  ASSERT_NE(at, src.end());
  at[6] = 0x06, at[7] = 0x0C;  // 1548: the note ends where the preview begins
  EditSession s = parseExifBytes(src);
  ASSERT_EQ(s.makerNote.length, 1548);
  EXPECT_EQ(s.makerNote.length + s.makerNote.reach, parsed.makerNote.length - 1);
  for (int t = 0; t < 200; ++t) {
    setTag(s, IfdSelector::ifd0, static_cast<uint16_t>(0xF000 + t), longVal({t}));
  }
  const std::string before = dir_ + "/short.jpg", after = dir_ + "/moved.jpg";
  save(before, src);
  save(after, writeExifBytes(src, s));
  const std::string preview = test::exiftoolOutput("-b -PreviewImage", {before});
  EXPECT_EQ(preview.size(), 27773u);
  EXPECT_EQ(test::exiftoolOutput("-b -PreviewImage", {after}), preview);
}

TEST_F(EditCorpus, StrippedFilesHoldNoMetadata) {
  ASSERT_TRUE(test::toolInstalled("exiftool", "libimage-exiftool-perl"));
  std::vector<std::string> outputs;
  int index = 0;
  for (const std::string& path :
       corpus({"metadata/jpeg-exif", "metadata/gps", "codec/jpeg", "metadata/png",
               "metadata/webp", "metadata/heif", "metadata/iptc", "metadata/xmp"})) {
    Bytes src = fileBytes(path);
    Bytes out = stripMetadataBytes(src);
    if (out.empty()) continue;
    EXPECT_EQ(imageData(out), imageData(src)) << path;
    if (isIsobmff(src)) {
      // Blanked in place: same size, and the Exif item holds no tags.
      EXPECT_EQ(out.size(), src.size()) << path;
      EditSession s = parseExifBytes(out);
      EXPECT_TRUE(s.ifd0.empty() && s.exif.empty() && s.gps.empty()) << path;
      continue;
    }
    outputs.push_back(dir_ + "/s" + std::to_string(index++) + fs::path(path).extension().string());
    save(outputs.back(), out);
  }
  ASSERT_GT(outputs.size(), 5u);
  const auto reported = exiftoolJson(outputs);
  ASSERT_FALSE(reported.empty()) << "exiftool reported nothing";
  for (const auto& [file, tags] : reported) {
    for (const auto& [key, value] : tags) {
      const std::string g = groupOf(key);
      EXPECT_TRUE(g != "IFD0" && g != "ExifIFD" && g != "GPS" && g.rfind("XMP", 0) != 0 &&
                  g != "IPTC" && g != "Photoshop")
          << file << " still has " << key;
    }
  }
}

}  // namespace
}  // namespace kd::exif
