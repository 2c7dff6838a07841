// WebP metadata chunks: locating EXIF and XMP, VP8X flags and the byte-exact
// rebuilds.
#include "exif/webp.h"

#include <gtest/gtest.h>

#include "support/container_builder.h"

namespace kd::exif {
namespace {

using test::ByteVec;
using test::bytesOf;
using test::webpChunkOf;
using test::webpFile;

const ByteVec kTiff = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0};  // odd length
const ByteVec kVp8l = webpChunkOf("VP8L", {0x2F, 1, 2, 3, 4});

ByteVec vp8x(uint8_t flags) { return webpChunkOf("VP8X", {flags, 0, 0, 0, 9, 0, 0, 9, 0, 0}); }

TEST(WebpExif, WithAndWithoutExifHeader) {
  ByteVec prefixed = {'E', 'x', 'i', 'f', 0, 0};
  prefixed.insert(prefixed.end(), kTiff.begin(), kTiff.end());
  ByteVec a = webpFile({vp8x(8), kVp8l, webpChunkOf("EXIF", prefixed)});
  EXPECT_EQ(findExifInWebp(a), 12 + 18 + 14 + 8 + 6);
  ByteVec b = webpFile({vp8x(8), webpChunkOf("EXIF", kTiff), webpChunkOf("EXIF", prefixed)});
  EXPECT_EQ(findExifInWebp(b), 12 + 18 + 8);
  EXPECT_EQ(findExifInWebp(webpFile({kVp8l})), std::nullopt);
  EXPECT_EQ(findExifInWebp(bytesOf("RIFF....WEBP")), std::nullopt);
}

TEST(WebpXmp, FirstXmpChunkUnlessCut) {
  ByteVec file = webpFile({vp8x(4), webpChunkOf("XMP ", bytesOf("<x/>")),
                           webpChunkOf("XMP ", bytesOf("<y/>"))});
  EXPECT_EQ(findXmpInWebp(file), "<x/>");
  ByteVec cut = webpFile({vp8x(4), kVp8l, webpChunkOf("XMP ", bytesOf("<x/>"))});
  cut.pop_back();
  EXPECT_EQ(findXmpInWebp(cut), "");
}

TEST(WebpRebuild, StripClearsFlagsAndPads) {
  ByteVec icc = webpChunkOf("ICCP", {1, 2, 3}, 0xEE);  // odd size, dirty pad byte
  ByteVec src = webpFile({vp8x(0x2C), icc, kVp8l, webpChunkOf("EXIF", kTiff),
                          webpChunkOf("XMP ", bytesOf("<x/>"))});
  ByteVec want = webpFile({vp8x(0x20), webpChunkOf("ICCP", {1, 2, 3}), kVp8l});
  ByteVec got = stripWebp(src);
  EXPECT_EQ(got, want);
  EXPECT_EQ(test::webpFile({}).size(), 12u);
  // The RIFF size is the output length minus 8.
  EXPECT_EQ(got[4] | got[5] << 8 | got[6] << 16 | got[7] << 24, static_cast<int>(got.size() - 8));
}

TEST(WebpRebuild, ReplaceSetsFlagAndAppendsExifLast) {
  ByteVec xmp = webpChunkOf("XMP ", bytesOf("<x/>"));
  ByteVec src = webpFile({vp8x(0x00), webpChunkOf("EXIF", {1, 2}), kVp8l, xmp});
  EXPECT_EQ(replaceWebpExif(src, kTiff),
            webpFile({vp8x(0x08), kVp8l, xmp, webpChunkOf("EXIF", kTiff)}));
  // An empty block drops EXIF and its flag.
  EXPECT_EQ(replaceWebpExif(webpFile({vp8x(0x0C), webpChunkOf("EXIF", {1, 2}), kVp8l}), {}),
            webpFile({vp8x(0x04), kVp8l}));
  // A zero-size VP8X is kept as it is.
  ByteVec empty = webpChunkOf("VP8X", {});
  EXPECT_EQ(replaceWebpExif(webpFile({empty, kVp8l}), kTiff),
            webpFile({empty, kVp8l, webpChunkOf("EXIF", kTiff)}));
}

TEST(WebpRebuild, SimpleLayoutCannotTakeExif) {
  ByteVec simple = webpFile({kVp8l});
  EXPECT_TRUE(replaceWebpExif(simple, kTiff).empty());
  EXPECT_EQ(stripWebp(simple), simple);
  EXPECT_TRUE(stripWebp(bytesOf("RIFF")).empty());
}

TEST(WebpRebuild, CutChunkAndTrailingBytesDropped) {
  ByteVec src = webpFile({vp8x(0), kVp8l});
  ByteVec withTail = src;
  withTail.insert(withTail.end(), {'J', 'U', 'N', 'K', 9, 0, 0, 0, 1});  // runs past the end
  EXPECT_EQ(stripWebp(withTail), src);
  EXPECT_EQ(assembleWebp({webpChunkOf("VP8L", {1})}), webpFile({webpChunkOf("VP8L", {1})}));
  EXPECT_EQ(le32w(0x01020304), (ByteVec{4, 3, 2, 1}));
}

}  // namespace
}  // namespace kd::exif
