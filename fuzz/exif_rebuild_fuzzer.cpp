// The PNG and WebP rebuilders on arbitrary bytes: a file rebuilt with a new
// EXIF block must read back with exactly that block, rebuilding with no
// block must keep a PNG byte for byte, and a stripped file must hold no
// metadata. The first input byte picks an even- or odd-sized block (WebP pads
// odd chunks).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "exif/endian.h"
#include "exif/png.h"
#include "exif/webp.h"

namespace {

using kd::base::Bytes;
using kd::base::ByteView;

const uint8_t kBlock[] = {'I', 'I', 42, 0, 8, 0, 0, 0, 1, 0, 0x12, 1, 3, 0, 1, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0};

void check(bool ok) {
  if (!ok) std::abort();
}

bool holdsBlock(ByteView file, kd::exif::FoundOffset at, ByteView block) {
  return at && kd::base::fits(file, *at, static_cast<int64_t>(block.size())) &&
         std::memcmp(file.data() + *at, block.data(), block.size()) == 0;
}

void fuzzPng(ByteView in, ByteView block) {
  check(kd::exif::replacePngExif(in, {}) == Bytes(in.begin(), in.end()));
  Bytes out = kd::exif::replacePngExif(in, block);
  check(!out.empty());
  // With a complete IHDR first, the new chunk follows it and is the one read.
  const int64_t ihdrEnd = int64_t{8} + 12 + kd::exif::readUint32(in, 8, kd::exif::kBigEndian);
  if (kd::exif::chunkType(in, 12) == "IHDR" && ihdrEnd <= static_cast<int64_t>(in.size())) {
    check(holdsBlock(out, kd::exif::findExifInPng(out), block));
  }
  Bytes stripped = kd::exif::stripPng(out);
  check(!kd::exif::findExifInPng(stripped));
  check(kd::exif::pngTextChunks(stripped).empty());
}

void fuzzWebp(ByteView in, ByteView block) {
  Bytes out = kd::exif::replaceWebpExif(in, block);
  if (!out.empty()) {
    check(holdsBlock(out, kd::exif::findExifInWebp(out), block));
    check(kd::exif::readUint32(out, 4, kd::exif::kLittleEndian) == out.size() - 8);
  }
  Bytes stripped = kd::exif::stripWebp(in);
  check(!stripped.empty());
  check(!kd::exif::findExifInWebp(stripped) && kd::exif::findXmpInWebp(stripped).empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  ByteView block(kBlock, (data[0] & 1) != 0 ? sizeof kBlock : sizeof kBlock - 1);
  ByteView in(data + 1, size - 1);
  if (kd::exif::isPng(in)) fuzzPng(in, block);
  if (kd::exif::isWebp(in)) fuzzWebp(in, block);
  return 0;
}
