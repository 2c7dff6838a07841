// PNG metadata chunks: the readers' stop rules and the byte-exact rebuilds.
#include "exif/png.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "exif/tiff.h"
#include "support/container_builder.h"

namespace kd::exif {
namespace {

using test::append;
using test::ByteVec;
using test::bytesOf;
using test::pngChunk;
using test::pngFile;

ByteVec zlibCompress(const std::string& text) {
  uLongf n = compressBound(static_cast<uLong>(text.size()));
  ByteVec out(n);
  compress(out.data(), &n, reinterpret_cast<const Bytef*>(text.data()),
           static_cast<uLong>(text.size()));
  out.resize(n);
  return out;
}

// zlib's own CRC-32 of type + data, big-endian: the chunk a correct writer
// produces.
ByteVec realChunk(const std::string& type, const ByteVec& data) {
  ByteVec out;
  test::putBe(out, data.size(), 4);
  append(out, type);
  append(out, data);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
  if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));  // NULL resets
  test::putBe(out, crc, 4);
  return out;
}

ByteVec iTxt(const std::string& keyword, uint8_t flag, const ByteVec& text) {
  ByteVec d = bytesOf(keyword);
  d.insert(d.end(), {0, flag, 0});
  append(d, std::string("en"));
  d.push_back(0);
  append(d, std::string("Title"));
  d.push_back(0);
  append(d, text);
  return pngChunk("iTXt", d);
}

ByteVec zTxt(const std::string& keyword, const ByteVec& stream) {
  ByteVec d = bytesOf(keyword);
  d.insert(d.end(), {0, 0});
  append(d, stream);
  return pngChunk("zTXt", d);
}

const ByteVec kIhdr = pngChunk("IHDR", ByteVec(13, 1));
const ByteVec kIdat = pngChunk("IDAT", ByteVec{1, 2, 3});
const ByteVec kIend = pngChunk("IEND", {});
const ByteVec kTiff = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0};

TEST(PngExif, FirstExifBeforeIendEvenAfterImageData) {
  ByteVec two = pngFile({kIhdr, pngChunk("eXIf", kTiff), pngChunk("eXIf", {'I', 'I'}), kIdat});
  EXPECT_EQ(findExifInPng(two), 8 + 25 + 8);
  EXPECT_EQ(findExifInPng(pngFile({kIhdr, kIdat, pngChunk("eXIf", kTiff)})), 8 + 25 + 15 + 8);
  EXPECT_EQ(findExifInPng(pngFile({kIhdr, kIend, pngChunk("eXIf", kTiff)})), std::nullopt);
  // The data start must lie inside the buffer; its length is not checked.
  ByteVec cut = pngFile({kIhdr, pngChunk("eXIf", kTiff)});
  cut.resize(8 + 25 + 9);
  EXPECT_EQ(findExifInPng(cut), 8 + 25 + 8);
  cut.resize(8 + 25 + 8);
  EXPECT_EQ(findExifInPng(cut), std::nullopt);
  EXPECT_EQ(findExifInPng(bytesOf("not a png at all")), std::nullopt);
}

TEST(PngText, ChunkKindsAndTheirFailures) {
  ByteVec corrupt = zlibCompress("hello hello hello");
  corrupt[corrupt.size() - 1] ^= 1;  // Adler-32 mismatch
  ByteVec file = pngFile({
      kIhdr,
      pngChunk("tEXt", bytesOf(std::string("\0orphan", 7))),    // empty keyword: kept
      pngChunk("tEXt", bytesOf("no separator")),                // no NUL: nothing
      pngChunk("tEXt", {}),                                     // empty: nothing
      zTxt("Comment", zlibCompress("zipped")),                  // inflated
      zTxt("", zlibCompress("nameless")),                       // empty keyword: nothing
      iTxt("Plain", 0, {}),                                     // uncompressed, empty text
      iTxt("Packed", 1, zlibCompress("unpacked")),              // inflated
      iTxt("Broken", 1, corrupt),                               // corrupt stream: nothing
      pngChunk("iTXt", bytesOf(std::string("Short\0\1", 7))),   // method byte missing
      pngChunk("iTXt", bytesOf(std::string("NoLang\0\0\0en", 12))),  // language unterminated
      kIdat,
      pngChunk("tEXt", bytesOf(std::string("After\0data", 10))),  // IDAT does not stop text
      kIend,
      pngChunk("tEXt", bytesOf(std::string("Late\0x", 6))),
  });
  TextPairs want = {{"", "orphan"}, {"Comment", "zipped"}, {"Plain", ""},
                    {"Packed", "unpacked"}, {"After", "data"}};
  EXPECT_EQ(pngTextChunks(file), want);
}

TEST(PngText, StopsAtChunkRunningPastBuffer) {
  ByteVec file = pngFile({kIhdr, pngChunk("tEXt", bytesOf(std::string("A\0one", 5))),
                          pngChunk("tEXt", bytesOf(std::string("B\0two", 5)))});
  file.resize(file.size() - 4);  // last CRC missing: still read
  EXPECT_EQ(pngTextChunks(file).size(), 2u);
  file.resize(file.size() - 1);  // last data cut
  EXPECT_EQ(pngTextChunks(file), (TextPairs{{"A", "one"}}));
}

TEST(PngXmp, KeywordMustMatchExactly) {
  ByteVec file = pngFile({kIhdr, iTxt("xml:com.adobe.xmp", 0, bytesOf("<lower/>")), kIdat,
                          iTxt("XML:com.adobe.xmp", 1, zlibCompress("<x:xmpmeta/>")),
                          iTxt("XML:com.adobe.xmp", 0, bytesOf("<second/>"))});
  EXPECT_EQ(findXmpInPng(file), "<x:xmpmeta/>");
  // The differently cased chunk is still a text entry.
  EXPECT_EQ(pngTextChunks(file).front().first, "xml:com.adobe.xmp");
  ByteVec zipped = pngFile({kIhdr, zTxt("XML:com.adobe.xmp", zlibCompress("<z/>"))});
  EXPECT_EQ(findXmpInPng(zipped), "");
}

// Many small deflate bombs: inflated text is charged to the read's budget,
// and compressed chunks past it give no entry.
TEST(PngText, InflatedTextChargedToBudget) {
  ByteVec bomb = zlibCompress(std::string(1 << 20, 'a'));
  std::vector<ByteVec> chunks = {kIhdr};
  for (int i = 0; i < 8; ++i) chunks.push_back(zTxt("K" + std::to_string(i), bomb));
  ByteVec file = pngFile(chunks);
  ReadBudget budget(1 << 30, (3 << 20) + 10);
  TextPairs got = pngTextChunks(file, &budget);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[2].second.size(), size_t{1} << 20);
  EXPECT_EQ(budget.textLeft(), 0);
  // Without a budget every chunk inflates.
  EXPECT_EQ(pngTextChunks(file).size(), 8u);
  // A failing stream is charged what it may have produced.
  ByteVec corrupt = zlibCompress("text");
  corrupt.back() ^= 1;
  ReadBudget small(1 << 30, 100000);
  pngTextChunks(pngFile({kIhdr, zTxt("Bad", corrupt)}), &small);
  EXPECT_EQ(small.textLeft(), 100000 - 1032 * static_cast<int64_t>(corrupt.size()));
}

TEST(PngRebuild, ReplaceInsertsAfterIhdrAndDropsOldExif) {
  ByteVec text = pngChunk("tEXt", bytesOf(std::string("k\0v", 3)));
  ByteVec src = pngFile({kIhdr, pngChunk("eXIf", {'I', 'I'}), text, kIdat,
                         pngChunk("eXIf", {'M', 'M'}), kIend});
  ByteVec want = pngFile({kIhdr, realChunk("eXIf", kTiff), text, kIdat, kIend});
  EXPECT_EQ(replacePngExif(src, kTiff), want);
  // Without IHDR the old chunks go and nothing new comes.
  EXPECT_EQ(replacePngExif(pngFile({pngChunk("eXIf", {1}), kIdat}), kTiff), pngFile({kIdat}));
  EXPECT_EQ(makeChunk("eXIf", kTiff), realChunk("eXIf", kTiff));
  EXPECT_EQ(makeChunk("IEND", {}), realChunk("IEND", {}));
  EXPECT_TRUE(replacePngExif(bytesOf("GIF89a..."), kTiff).empty());
}

TEST(PngRebuild, EmptyBlockKeepsEveryByte) {
  ByteVec src = pngFile({kIhdr, pngChunk("eXIf", kTiff), kIdat, kIend});
  src.insert(src.end(), {7, 7, 7});  // trailing fragment under 8 bytes
  EXPECT_EQ(replacePngExif(src, {}), src);
  ByteVec cut = pngFile({kIhdr, kIdat});
  cut.resize(cut.size() - 2);  // last chunk runs past the end: copied as it is
  EXPECT_EQ(replacePngExif(cut, {}), cut);
}

TEST(PngRebuild, StripDropsMetadataChunksOnly) {
  ByteVec keep = pngChunk("iCCP", ByteVec{'p', 0, 0, 1});
  ByteVec src = pngFile({kIhdr, keep, pngChunk("eXIf", kTiff), iTxt("a", 0, bytesOf("b")),
                         zTxt("c", zlibCompress("d")), kIdat,
                         pngChunk("tEXt", bytesOf(std::string("e\0f", 3))), kIend});
  EXPECT_EQ(stripPng(src), pngFile({kIhdr, keep, kIdat, kIend}));
  // A cut metadata chunk at the end goes with everything after it; a cut
  // image chunk stays.
  ByteVec cutText = pngFile({kIhdr, pngChunk("tEXt", bytesOf(std::string("e\0f", 3)))});
  cutText.pop_back();
  EXPECT_EQ(stripPng(cutText), pngFile({kIhdr}));
  ByteVec cutIdat = pngFile({kIhdr, kIdat});
  cutIdat.pop_back();
  EXPECT_EQ(stripPng(cutIdat), cutIdat);
}

}  // namespace
}  // namespace kd::exif
