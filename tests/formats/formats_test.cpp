#include "formats/formats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <string>

namespace kd::formats {
namespace {

// Runs the sniffer and returns the message it (or the chosen decoder) fails
// with. Every decoder message starts with the format's lower-case name.
std::string sniffFailure(const std::string& bytes, ErrorKind* kind = nullptr) {
  ByteView v(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  try {
    (void)decodeImage(v);
  } catch (const KeldraException& e) {
    if (kind != nullptr) *kind = e.kind();
    return e.what();
  }
  return "decoded";
}

std::string prefixOf(const std::string& message) { return message.substr(0, message.find(':')); }

TEST(DecodeImageSniffer, TooShortInput) {
  ErrorKind kind{};
  EXPECT_EQ(sniffFailure("B", &kind), "decodeImage: input too short");
  EXPECT_EQ(kind, ekTruncated);
  EXPECT_EQ(sniffFailure(""), "decodeImage: input too short");
}

TEST(DecodeImageSniffer, PicksTheDecoderBySignature) {
  EXPECT_EQ(prefixOf(sniffFailure("BM")), "bmp");
  EXPECT_EQ(prefixOf(sniffFailure("qoif")), "qoi");
  EXPECT_EQ(prefixOf(sniffFailure("P1")), "pnm");
  EXPECT_EQ(prefixOf(sniffFailure(std::string("\x89PNGabcd", 8))), "png");
  EXPECT_EQ(prefixOf(sniffFailure("\xFF\xD8")), "jpeg");
  EXPECT_EQ(prefixOf(sniffFailure("GIF87a")), "gif");
  EXPECT_EQ(prefixOf(sniffFailure("GIF89a")), "gif");
  EXPECT_EQ(prefixOf(sniffFailure(std::string("RIFF\0\0\0\0WEBP", 12))), "webp");
  EXPECT_EQ(prefixOf(sniffFailure(std::string("II\x2A\0", 4))), "tiff");
  EXPECT_EQ(prefixOf(sniffFailure(std::string("MM\0\x2A", 4))), "tiff");
  for (char version : {0, 2, 3, 4, 5}) {
    for (char encoding : {0, 1}) {
      EXPECT_EQ(prefixOf(sniffFailure(std::string{'\x0A', version, encoding})), "pcx");
    }
  }
}

TEST(DecodeImageSniffer, NearMissesAreUnrecognized) {
  const std::string misses[] = {
      "P7 WIDTH 1",                            // PAM is not sniffed
      "P0",       "P9",                        // not P1..P6
      "GIF88a",                                // neither 87a nor 89a
      std::string("RIFF\0\0\0\0WEB", 11),      // WebP needs 12 bytes
      std::string("\x89PNG\r\n\x1A", 7),       // PNG needs 8 bytes
      std::string("II\x2A", 3),                // TIFF needs 4 bytes
      std::string("II\0\x2A", 4),              // mixed byte order
      std::string("\x0A\x01\x00", 3),          // PCX version 1 does not exist
      std::string("\x0A\x05\x02", 3),          // PCX encoding above 1
      std::string("\x0A\x05", 2),              // PCX needs 3 bytes
      std::string("\0\0\x02\0\0\0\0\0", 8),    // TGA has no signature
  };
  for (const std::string& m : misses) {
    ErrorKind kind{};
    EXPECT_EQ(sniffFailure(m, &kind), "decodeImage: unrecognized format") << m;
    EXPECT_EQ(kind, ekUnsupported);
  }
}

TEST(DecodeImageSniffer, EarlierRowsWin) {
  // "BM" wins over everything; a PNM header is tested before PNG.
  EXPECT_EQ(prefixOf(sniffFailure("BMqoif")), "bmp");
  EXPECT_EQ(prefixOf(sniffFailure("qoifBM")), "qoi");
  EXPECT_EQ(prefixOf(sniffFailure(std::string("P5\x89PNG\r\n\x1A\n", 10))), "pnm");
}

TEST(NewImage, SizesAndChannelsFollowTheColourSpace) {
  const int64_t expectChannels[] = {1, 3, 4, 4, 3, 1};
  for (int cs = 0; cs < 6; ++cs) {
    Image img = newImage(3, 2, static_cast<ColorSpace>(cs));
    EXPECT_EQ(img.channels, expectChannels[cs]);
    EXPECT_EQ(img.pixels.size(), static_cast<size_t>(6 * expectChannels[cs]));
    EXPECT_EQ(img.width, 3);
    EXPECT_EQ(img.height, 2);
  }
}

TEST(NewImage, ProductOverflowFailsInsteadOfWrapping) {
  const int64_t big = int64_t{1} << 31;
  EXPECT_THROW(newImage(big, big, csRgba), KeldraException);  // 2^62 * 4 overflows
  EXPECT_THROW(newImage(std::numeric_limits<int64_t>::max(), 2, csGray), KeldraException);
}

TEST(PixelCount, CapsAtTwoToThe30) {
  EXPECT_NO_THROW(requirePixelCount(int64_t{1} << 15, int64_t{1} << 15, "t: too many pixels"));
  EXPECT_THROW(requirePixelCount((int64_t{1} << 15) + 1, int64_t{1} << 15, "t: too many pixels"),
               KeldraException);
  EXPECT_THROW(requirePixelCount(int64_t{1} << 62, 4, "t: too many pixels"), KeldraException);
}

TEST(RequireLen, FailsTruncatedWithTheMessage) {
  const uint8_t data[3] = {};
  EXPECT_NO_THROW(requireLen(ByteView(data, 3), 3, "t: header truncated"));
  try {
    requireLen(ByteView(data, 3), 4, "t: header truncated");
    FAIL();
  } catch (const KeldraException& e) {
    EXPECT_EQ(e.kind(), ekTruncated);
    EXPECT_STREQ(e.what(), "t: header truncated");
  }
}

}  // namespace
}  // namespace kd::formats
