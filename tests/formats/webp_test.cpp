#include <algorithm>
#include <cstdio>
#include <functional>
#include <malloc.h>
#include <map>
#include <random>
#include <sstream>

#include "codec_support.h"
#include "formats/formats.h"
#include "formats/webp.h"
#include "support/peak_memory.h"
#include "webp_reference.h"

namespace kd::formats::test {
namespace {

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---------------------------------------------------------------------------
// A VP8L writer for hand-made streams: canonical codes from lengths, normal
// and simple code-length codes, literals, backward references, cache codes.

using BitWriter = LsbBitWriter;

struct WCode {
  std::vector<int> len;
  std::vector<uint32_t> word;  // MSB-first canonical code word
};

WCode canonicalCode(const std::vector<int>& lengths) {
  WCode c{lengths, std::vector<uint32_t>(lengths.size())};
  uint32_t next = 0;
  for (int len = 1; len <= 15; ++len) {
    for (size_t s = 0; s < lengths.size(); ++s) {
      if (lengths[s] == len) c.word[s] = next++;
    }
    next <<= 1;
  }
  return c;
}

// Lengths of a complete code over n symbols (all symbols usable).
std::vector<int> completeLengths(int n) {
  int k = 0;
  while ((1 << k) < n) ++k;
  std::vector<int> l(static_cast<size_t>(n), k);
  for (int i = 0; i < (1 << k) - n; ++i) l[static_cast<size_t>(i)] = k - 1;
  return l;
}

void putSymbol(BitWriter& w, const WCode& c, int s) {
  const int len = c.len[static_cast<size_t>(s)];
  if (std::count_if(c.len.begin(), c.len.end(), [](int l) { return l > 0; }) == 1) return;
  for (int i = len - 1; i >= 0; --i) w.put((c.word[static_cast<size_t>(s)] >> i) & 1, 1);
}

// Normal code-length code: the 16 lengths 0..15 get 4-bit words.
WCode putNormalCode(BitWriter& w, const std::vector<int>& lengths) {
  w.put(0, 1);
  w.put(15, 4);  // 19 code-length code lengths
  static const int order[19] = {17, 18, 0, 1, 2, 3, 4, 5, 16, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 19; ++i) w.put(order[i] < 16 ? 4 : 0, 3);
  w.put(0, 1);  // max_symbol = alphabet
  const WCode lengthCode = canonicalCode(std::vector<int>(16, 4));
  for (int l : lengths) putSymbol(w, lengthCode, l);
  return canonicalCode(lengths);
}

WCode putSimpleCode(BitWriter& w, int alphabet, int s0, int s1 = -1) {
  w.put(1, 1);
  w.put(s1 >= 0 ? 1 : 0, 1);
  w.put(s0 > 1 ? 1 : 0, 1);
  w.put(static_cast<uint32_t>(s0), s0 > 1 ? 8 : 1);
  std::vector<int> l(static_cast<size_t>(alphabet), 0);
  l[static_cast<size_t>(s0)] = 1;
  if (s1 >= 0) {
    w.put(static_cast<uint32_t>(s1), 8);
    l[static_cast<size_t>(s1)] = 1;
  }
  return canonicalCode(l);
}

// Prefix symbol and extra bits of a length or distance value.
void prefixOf(uint32_t v, int& prefix, int& extra, uint32_t& extraValue) {
  if (v <= 4) {
    prefix = static_cast<int>(v) - 1;
    extra = 0;
    extraValue = 0;
    return;
  }
  for (prefix = 4; prefix < 40; ++prefix) {
    extra = (prefix - 2) >> 1;
    const uint32_t offset = (2u + (static_cast<uint32_t>(prefix) & 1)) << extra;
    if (v - 1 >= offset && v - 1 < offset + (1u << extra)) {
      extraValue = v - 1 - offset;
      return;
    }
  }
  ADD_FAILURE() << "no prefix for " << v;
}

struct Op {
  enum Kind { kLiteral, kCopy, kCache } kind;
  uint32_t value;  // ARGB, distance code or cache index
  uint32_t length = 0;
};
Op lit(uint32_t argb) { return {Op::kLiteral, argb}; }
Op copy(uint32_t length, uint32_t distanceCode) { return {Op::kCopy, distanceCode, length}; }
Op cached(uint32_t index) { return {Op::kCache, index}; }

// Entropy-coded image data with one group of complete codes: colour cache
// info, (for the main image) a zero meta-prefix bit, five codes, then ops.
void putImageData(BitWriter& w, const std::vector<Op>& ops, int cacheBits, bool mainImage) {
  if (cacheBits > 0) {
    w.put(1, 1);
    w.put(static_cast<uint32_t>(cacheBits), 4);
  } else {
    w.put(0, 1);
  }
  if (mainImage) w.put(0, 1);
  const int cacheSize = cacheBits > 0 ? 1 << cacheBits : 0;
  const WCode green = putNormalCode(w, completeLengths(280 + cacheSize));
  const WCode red = putNormalCode(w, completeLengths(256));
  const WCode blue = putNormalCode(w, completeLengths(256));
  const WCode alpha = putNormalCode(w, completeLengths(256));
  const WCode dist = putNormalCode(w, completeLengths(40));
  for (const Op& op : ops) {
    if (op.kind == Op::kLiteral) {
      putSymbol(w, green, (op.value >> 8) & 0xFF);
      putSymbol(w, red, (op.value >> 16) & 0xFF);
      putSymbol(w, blue, op.value & 0xFF);
      putSymbol(w, alpha, op.value >> 24);
    } else if (op.kind == Op::kCache) {
      putSymbol(w, green, 280 + static_cast<int>(op.value));
    } else {
      int prefix, extra;
      uint32_t extraValue;
      prefixOf(op.length, prefix, extra, extraValue);
      putSymbol(w, green, 256 + prefix);
      w.put(extraValue, extra);
      prefixOf(op.value, prefix, extra, extraValue);
      putSymbol(w, dist, prefix);
      w.put(extraValue, extra);
    }
  }
}

std::vector<Op> literals(const std::vector<uint32_t>& px) {
  std::vector<Op> ops;
  for (uint32_t p : px) ops.push_back(lit(p));
  return ops;
}

void putHeader(BitWriter& w, int width, int height, bool alpha) {
  w.put(0x2F, 8);
  w.put(static_cast<uint32_t>(width - 1), 14);
  w.put(static_cast<uint32_t>(height - 1), 14);
  w.put(alpha ? 1 : 0, 1);
  w.put(0, 3);
}

Bytes chunk(const std::string& code, const Bytes& payload) {
  ByteWriter w;
  w.text(code).u32le(static_cast<uint32_t>(payload.size())).raw(payload);
  if (payload.size() % 2) w.u8(0);
  return w.b;
}

Bytes riff(const Bytes& chunks) {
  ByteWriter w;
  w.text("RIFF").u32le(static_cast<uint32_t>(chunks.size() + 4)).text("WEBP").raw(chunks);
  return w.b;
}

Bytes vp8x(uint8_t flags, int width, int height) {
  ByteWriter w;
  w.u8(flags).u8(0).u8(0).u8(0);
  w.u8((width - 1) & 0xFF).u8((width - 1) >> 8 & 0xFF).u8((width - 1) >> 16 & 0xFF);
  w.u8((height - 1) & 0xFF).u8((height - 1) >> 8 & 0xFF).u8((height - 1) >> 16 & 0xFF);
  return chunk("VP8X", w.b);
}

// A simple lossless file: header, no transform, literals.
Bytes simpleFile(int width, int height, const std::vector<Op>& ops, bool alpha = true,
                 int cacheBits = 0) {
  BitWriter w;
  putHeader(w, width, height, alpha);
  w.put(0, 1);
  putImageData(w, ops, cacheBits, true);
  return riff(chunk("VP8L", w.finish()));
}

std::vector<uint32_t> noise(size_t n, uint32_t seed, uint32_t alphaMask = 0xFF000000u) {
  std::mt19937 rng(seed);
  std::vector<uint32_t> px(n);
  for (uint32_t& p : px) p = rng() | alphaMask;
  return px;
}

// ---------------------------------------------------------------------------
// Peers

Failure webpFailure(const Bytes& file) { return failureOf([&] { return decodeWebp(viewOf(file)); }); }

// RGBA of what dwebp -pam makes of a file; nullopt when dwebp refuses it.
std::optional<Image> dwebpDecode(const Bytes& file) {
  TempDir dir;
  if (!dir.ok()) return std::nullopt;
  const std::string in = dir.file("in.webp"), out = dir.file("out.pam");
  {
    std::ofstream f(in, std::ios::binary);
    f.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  }
  if (!runCommand("dwebp -quiet -pam " + quoted(in) + " -o " + quoted(out) + " 2>/dev/null")) {
    return std::nullopt;
  }
  const Bytes pam = kd::test::readFileBytes(out);
  std::string header(pam.begin(), pam.begin() + static_cast<ptrdiff_t>(std::min<size_t>(pam.size(), 200)));
  const size_t endhdr = header.find("ENDHDR\n");
  if (endhdr == std::string::npos) return std::nullopt;
  int64_t w = 0, h = 0;
  std::istringstream hs(header.substr(0, endhdr));
  std::string key;
  while (hs >> key) {
    if (key == "WIDTH") hs >> w;
    if (key == "HEIGHT") hs >> h;
  }
  Image img = newImage(w, h, csRgba);
  const size_t at = endhdr + 7;
  if (pam.size() != at + img.pixels.size()) return std::nullopt;
  std::copy(pam.begin() + static_cast<ptrdiff_t>(at), pam.end(), img.pixels.begin());
  return img;
}

Bytes asRgba(const Image& img) {
  if (img.colorspace == csRgba) return img.pixels;
  Bytes out;
  for (size_t i = 0; i < img.pixels.size(); i += 3) {
    out.insert(out.end(), img.pixels.begin() + static_cast<ptrdiff_t>(i),
               img.pixels.begin() + static_cast<ptrdiff_t>(i + 3));
    out.push_back(255);
  }
  return out;
}

// The library and the plain reference give the same failure, or the same
// picture; returns the library's picture when there is one.
std::optional<Image> expectSameAsReference(const Bytes& file, const std::string& label) {
  Image ours, theirs;
  const Failure f1 = failureOf([&] { return ours = decodeWebp(viewOf(file)); });
  const Failure f2 = failureOf([&] { return theirs = referenceDecodeWebp(viewOf(file)); });
  EXPECT_EQ(f1, f2) << label;
  if (f1.kind != ekNone || f2.kind != ekNone) return std::nullopt;
  EXPECT_EQ(ours.width, theirs.width) << label;
  EXPECT_EQ(ours.height, theirs.height) << label;
  EXPECT_EQ(ours.colorspace, theirs.colorspace) << label;
  EXPECT_TRUE(ours.pixels == theirs.pixels) << label;
  return ours;
}

// Library, reference and dwebp agree on a valid file.
Image expectAllAgree(const Bytes& file, const std::string& label) {
  const std::optional<Image> ours = expectSameAsReference(file, label);
  if (!ours) {
    ADD_FAILURE() << label << " did not decode: " << webpFailure(file);
    return {};
  }
  const std::optional<Image> peer = dwebpDecode(file);
  EXPECT_TRUE(peer.has_value()) << label << ": dwebp refused it";
  if (peer) {
    EXPECT_EQ(peer->width, ours->width) << label;
    EXPECT_EQ(peer->height, ours->height) << label;
    const Bytes peerPixels = ours->colorspace == csRgba ? peer->pixels : rgbOf(*peer);
    EXPECT_TRUE(peerPixels == ours->pixels) << label << ": pixels differ from dwebp";
  }
  return *ours;
}

bool dwebpInstalled() { return static_cast<bool>(kd::test::toolInstalled("dwebp", "webp")); }

// ---------------------------------------------------------------------------
// Container and header failures

struct FailureCase {
  const char* name;
  Bytes file;
  const char* message;
  ErrorKind kind;
};

Bytes validStream() {
  BitWriter w;
  putHeader(w, 2, 1, false);
  w.put(0, 1);
  putImageData(w, {lit(0xFF102030u), lit(0xFF405060u)}, 0, true);
  return w.finish();
}

Bytes withByte(Bytes b, size_t at, uint8_t v) {
  b[at] = v;
  return b;
}

Bytes withU32(Bytes b, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

std::vector<FailureCase> failureCases() {
  const Bytes stream = validStream();
  const Bytes good = riff(chunk("VP8L", stream));
  Bytes badVersion = stream;
  badVersion[4] |= 0x20;  // version 1 (bits 29..31 of the header word)
  const Bytes badRiffSize = withU32(good, 4, static_cast<uint32_t>(good.size() - 7));
  Bytes shortRiff = riff({});
  Bytes headerShort = riff(Bytes{'V', 'P', '8', 'L', 0, 0});
  const Bytes firstTooLong = withU32(good, 16, static_cast<uint32_t>(stream.size() + 2));
  std::vector<FailureCase> cases = {
      {"ElevenBytes", Bytes(11, 'R'), "webp: container truncated", ekTruncated},
      {"NotRiff", bytesOf(std::string("RIFX\x04\0\0\0WEBP", 12)), "webp: not a RIFF", ekUnsupported},
      {"NotWebp", bytesOf(std::string("RIFF\x04\0\0\0WEBQ", 12)), "webp: not a WEBP", ekUnsupported},
      {"RiffSizeBelowFour", withU32(good, 4, 3), "webp: bad RIFF size", ekTruncated},
      {"RiffSizeBeyondFile", badRiffSize, "webp: bad RIFF size", ekTruncated},
      {"NoChunkHeader", shortRiff, "webp: chunk header short", ekTruncated},
      {"SixByteChunkHeader", headerShort, "webp: chunk header short", ekTruncated},
      {"FirstChunkTooLong", firstTooLong, "webp: first chunk exceeds RIFF payload", ekTruncated},
      {"EmptyVp8l", riff(chunk("VP8L", {})), "webp: empty VP8L chunk", ekTruncated},
      {"Lossy", riff(chunk("VP8 ", Bytes(10, 0))), "webp: VP8 lossy decode not yet implemented",
       ekUnsupported},
      {"UnknownChunk", riff(chunk("ICCP", Bytes(4, 0))), "webp: unknown chunk ICCP", ekUnsupported},
      {"Vp8xNineBytes", riff(chunk("VP8X", Bytes(9, 0))), "webp: VP8X chunk must be 10 bytes",
       ekInvalid},
      {"Vp8xBit0", riff(vp8x(0x01, 2, 1) + chunk("VP8L", stream)),
       "webp: VP8X reserved bits are nonzero", ekInvalid},
      {"Vp8xBit6", riff(vp8x(0x40, 2, 1) + chunk("VP8L", stream)),
       "webp: VP8X reserved bits are nonzero", ekInvalid},
      {"Vp8xBit7", riff(vp8x(0x80, 2, 1) + chunk("VP8L", stream)),
       "webp: VP8X reserved bits are nonzero", ekInvalid},
      {"Vp8xReservedByte", riff(withByte(vp8x(0, 2, 1), 10, 1) + chunk("VP8L", stream)),
       "webp: VP8X reserved bits are nonzero", ekInvalid},
      {"Animated", riff(vp8x(0x02, 2, 1) + chunk("ANIM", Bytes(6, 0))),
       "webp: animated images unsupported", ekUnsupported},
      {"CanvasWidth", riff(vp8x(0, 16385, 1) + chunk("VP8L", stream)), "webp: canvas too large",
       ekInvalid},
      {"CanvasHeight", riff(vp8x(0, 1, 16385) + chunk("VP8L", stream)), "webp: canvas too large",
       ekInvalid},
      {"Vp8xOnlyLossy", riff(vp8x(0, 2, 1) + chunk("VP8 ", Bytes(10, 0))),
       "webp: VP8X without a VP8L payload (lossy/anim unsupported)", ekUnsupported},
      {"Vp8xEmptyVp8l", riff(vp8x(0, 2, 1) + chunk("VP8L", {})), "webp: empty VP8L chunk",
       ekTruncated},
      {"Vp8xChunkTooLong", riff(vp8x(0, 2, 1) + withByte(chunk("EXIF", Bytes(4, 0)), 4, 9)),
       "webp: chunk exceeds RIFF payload", ekTruncated},
      {"Vp8xCanvasDiffers", riff(vp8x(0, 3, 1) + chunk("VP8L", stream)),
       "webp: VP8X canvas and payload dimensions differ", ekInvalid},
      {"FourBytePayload", riff(chunk("VP8L", Bytes{0x2F, 0, 0, 0})), "webp: missing VP8L sig",
       ekUnsupported},
      {"WrongSignature", riff(chunk("VP8L", withByte(stream, 0, 0x2E))), "webp: missing VP8L sig",
       ekUnsupported},
      {"Version1", riff(chunk("VP8L", badVersion)), "webp: unsupported VP8L version 1",
       ekUnsupported},
      {"StreamCut", riff(chunk("VP8L", Bytes(stream.begin(), stream.begin() + 40))),
       "webp: bitstream truncated", ekTruncated},
      {"AlphEmpty", riff(vp8x(0x10, 2, 1) + chunk("ALPH", {}) + chunk("VP8L", stream)),
       "webp: ALPH short", ekTruncated},
      {"AlphFiltered", riff(vp8x(0x10, 2, 1) + chunk("ALPH", {0x04, 1, 2}) + chunk("VP8L", stream)),
       "webp: filtered or preprocessed ALPH unsupported", ekUnsupported},
      {"AlphPreprocessed",
       riff(vp8x(0x10, 2, 1) + chunk("ALPH", {0x10, 1, 2}) + chunk("VP8L", stream)),
       "webp: filtered or preprocessed ALPH unsupported", ekUnsupported},
      {"AlphReserved", riff(vp8x(0x10, 2, 1) + chunk("ALPH", {0x40, 1, 2}) + chunk("VP8L", stream)),
       "webp: filtered or preprocessed ALPH unsupported", ekUnsupported},
      {"AlphCompression2",
       riff(vp8x(0x10, 2, 1) + chunk("ALPH", {0x02, 1, 2}) + chunk("VP8L", stream)),
       "webp: ALPH compression 2 unsupported", ekUnsupported},
      {"AlphCompression3",
       riff(vp8x(0x10, 2, 1) + chunk("ALPH", {0x03, 1, 2}) + chunk("VP8L", stream)),
       "webp: ALPH compression 3 unsupported", ekUnsupported},
      {"AlphPlaneShort", riff(vp8x(0x10, 2, 1) + chunk("ALPH", {0x00, 1}) + chunk("VP8L", stream)),
       "webp: ALPH plane short", ekTruncated},
  };
  return cases;
}

TEST(WebpRejects, ContainerAndHeaderFailures) {
  for (const FailureCase& c : failureCases()) {
    const Failure expected{c.message, c.kind};
    EXPECT_EQ(webpFailure(c.file), expected) << c.name;
    EXPECT_EQ(failureOf([&] { return referenceDecodeWebp(viewOf(c.file)); }), expected) << c.name;
  }
}

// Bitstream failures, each in a stream that is otherwise whole.
TEST(WebpRejects, BitstreamFailures) {
  struct Case {
    const char* name;
    std::function<void(BitWriter&)> body;  // everything after the 32 header bits
    const char* message;
  };
  const std::vector<Case> cases = {
      {"DuplicateTransform", [](BitWriter& w) { w.put(1, 1), w.put(2, 2), w.put(1, 1), w.put(2, 2); },
       "webp: duplicate transform"},
      {"CacheBitsZero", [](BitWriter& w) { w.put(0, 1), w.put(1, 1), w.put(0, 4); },
       "webp: bad color cache bits"},
      {"CacheBitsTwelve", [](BitWriter& w) { w.put(0, 1), w.put(1, 1), w.put(12, 4); },
       "webp: bad color cache bits"},
      {"SimpleSymbolBeyondDistances",
       [](BitWriter& w) {
         w.put(0, 3);  // no transform, no cache, no meta codes
         for (int i = 0; i < 4; ++i) putSimpleCode(w, 256, 0);
         w.put(1, 1), w.put(0, 1), w.put(1, 1), w.put(40, 8);
       },
       "webp: simple code symbol out of range"},
      {"MaxSymbolBeyondAlphabet",
       [](BitWriter& w) {
         w.put(0, 3);
         w.put(0, 1), w.put(0, 4);  // normal code, 4 code-length code lengths
         for (int i = 0; i < 4; ++i) w.put(1, 3);
         w.put(1, 1), w.put(4, 3), w.put(279, 10);  // max_symbol 281 > 280
       },
       "webp: max_symbol exceeds alphabet"},
      {"RepeatBeyondAlphabet",
       [](BitWriter& w) {
         w.put(0, 3);
         for (int i = 0; i < 4; ++i) putSimpleCode(w, 256, 0);
         // Distance code: code-length symbols 0 and 18 with one bit each,
         // then 18 (zeros x 11 + 31 = 42 > 40).
         w.put(0, 1), w.put(0, 4);
         w.put(0, 3), w.put(1, 3), w.put(1, 3), w.put(0, 3);  // lengths of 17, 18, 0, 1
         w.put(0, 1);
         w.put(1, 1), w.put(31, 7);
       },
       "webp: code lengths exceed alphabet"},
      {"EmptyCodeUsed",
       [](BitWriter& w) {
         w.put(0, 3);
         w.put(0, 1), w.put(0, 4);  // all code-length code lengths zero
         for (int i = 0; i < 4; ++i) w.put(0, 3);
         w.put(0, 1);
         w.put(0, 32);
       },
       "webp: huffman code longer than 15 bits"},
      {"DistanceBeforeFirstPixel",
       [](BitWriter& w) {
         w.put(0, 3);
         std::vector<int> green(280, 0);
         green[256] = 1;  // the only symbol: length prefix 0 (one pixel)
         putNormalCode(w, green);
         for (int i = 0; i < 3; ++i) putSimpleCode(w, 256, 0);
         putSimpleCode(w, 40, 0);  // distance code 1: the pixel above
       },
       "webp: bad back-reference distance"},
      {"CopyPastEnd",
       [](BitWriter& w) {
         w.put(0, 3);
         std::vector<int> green(280, 0);
         green[0] = green[259] = 1;  // literal 0, or a copy of 4
         putNormalCode(w, green);
         for (int i = 0; i < 3; ++i) putSimpleCode(w, 256, 0);
         putSimpleCode(w, 40, 1);  // distance code 2: the pixel to the left
         w.put(0, 1), w.put(1, 1);
       },
       "webp: copy runs past image end"},
  };
  for (const Case& c : cases) {
    BitWriter w;
    putHeader(w, 2, 2, true);
    c.body(w);
    const Bytes file = riff(chunk("VP8L", w.finish()));
    EXPECT_EQ(webpFailure(file).message, c.message) << c.name;
    EXPECT_EQ(webpFailure(file).kind, ekInvalid) << c.name;
    EXPECT_EQ(failureOf([&] { return referenceDecodeWebp(viewOf(file)); }).message, c.message)
        << c.name;
  }
}

TEST(WebpRejects, ReadBitsAboveThirtyTwo) {
  const Bytes data(16, 0xFF);
  webp::BitReader br(viewOf(data), 0);
  EXPECT_EQ(failureOf([&] { return br.readBits(33); }),
            (Failure{"webp: readBits > 32", ekInvalid}));
  EXPECT_EQ(br.readBits(32), 0xFFFFFFFFu);
}

TEST(WebpRejects, EveryPrefixOfAFileFailsTyped) {
  const Bytes file = simpleFile(5, 3, literals(noise(15, 7)), true, 2);
  for (size_t n = 0; n < file.size(); ++n) {
    Bytes cut(file.begin(), file.begin() + static_cast<ptrdiff_t>(n));
    const Failure f = webpFailure(cut);
    EXPECT_NE(f.kind, ekNone) << n;
    EXPECT_EQ(f, failureOf([&] { return referenceDecodeWebp(viewOf(cut)); })) << n;
  }
}

// ---------------------------------------------------------------------------
// Hand-made streams against dwebp and the reference

TEST(WebpDecode, AlphaHintPicksTheColourSpace) {
  const std::vector<Op> ops = literals(noise(12, 3));
  const Image rgb = decodeImage(viewOf(simpleFile(4, 3, ops, false)));
  const Image rgba = decodeImage(viewOf(simpleFile(4, 3, ops, true)));
  EXPECT_EQ(rgb.colorspace, csRgb);
  EXPECT_EQ(rgba.colorspace, csRgba);
  EXPECT_EQ(asRgba(rgb), rgba.pixels);
  ASSERT_TRUE(dwebpInstalled());
  expectAllAgree(simpleFile(4, 3, ops, true), "rgba");
}

// Every predictor mode over a picture whose width is not a multiple of the
// block, so the top row, left column and right-column top-right rules all
// apply; green values 14 and 15 (and 16 + mode) of the block image included.
TEST(WebpDecode, PredictorModesAtTheEdges) {
  ASSERT_TRUE(dwebpInstalled());
  const int width = 11, height = 7;
  for (uint32_t mode = 0; mode < 18; ++mode) {
    BitWriter w;
    putHeader(w, width, height, true);
    w.put(1, 1), w.put(0, 2), w.put(0, 3);  // predictor, 4x4 blocks
    std::vector<uint32_t> modes(3 * 2);
    for (size_t i = 0; i < modes.size(); ++i) {
      modes[i] = 0xFF000000u | ((mode + (i == 5 ? 16 : 0)) & 0xFF) << 8;
    }
    putImageData(w, literals(modes), 0, false);
    w.put(0, 1);
    putImageData(w, literals(noise(width * height, mode, 0)), 0, true);
    expectAllAgree(riff(chunk("VP8L", w.finish())), "mode " + std::to_string(mode));
  }
}

TEST(WebpDecode, CrossColourAndSubtractGreen) {
  ASSERT_TRUE(dwebpInstalled());
  BitWriter w;
  putHeader(w, 9, 5, true);
  w.put(1, 1), w.put(2, 2);                // subtract green
  w.put(1, 1), w.put(1, 2), w.put(0, 3);  // cross colour, 4x4 blocks
  putImageData(w, literals(noise(3 * 2, 11)), 0, false);
  w.put(0, 1);
  putImageData(w, literals(noise(9 * 5, 12)), 0, true);
  expectAllAgree(riff(chunk("VP8L", w.finish())), "cross colour");
}

// Colour tables of 2, 3, 4, 5, 16, 17 and 256 entries over widths that
// leave a partial bundle at the end of each row; indices past the table
// give transparent black.
TEST(WebpDecode, ColourIndexingWithBundledWidths) {
  ASSERT_TRUE(dwebpInstalled());
  for (int size : {2, 3, 4, 5, 16, 17, 256}) {
    for (int width : {1, 7, 13}) {
      const bool alpha = width != 7;  // RGB output too
      const int height = 3;
      const int bits = size <= 2 ? 3 : size <= 4 ? 2 : size <= 16 ? 1 : 0;
      const int coded = (width + (1 << bits) - 1) >> bits;
      BitWriter w;
      putHeader(w, width, height, alpha);
      w.put(1, 1), w.put(3, 2), w.put(static_cast<uint32_t>(size - 1), 8);
      putImageData(w, literals(noise(static_cast<size_t>(size), 40u + static_cast<uint32_t>(size), 0)), 0, false);
      w.put(0, 1);
      std::mt19937 rng(static_cast<uint32_t>(size * 100 + width));
      std::vector<uint32_t> px(static_cast<size_t>(coded * height));
      for (uint32_t& p : px) p = 0xFF000000u | (rng() & 0xFF) << 8;
      putImageData(w, literals(px), 0, true);
      const std::string label = std::to_string(size) + " colours, width " + std::to_string(width);
      const Bytes file = riff(chunk("VP8L", w.finish()));
      if (size == 256) {
        expectAllAgree(file, label);
      } else {
        // Indices past a small table: the reference says transparent black.
        expectSameAsReference(file, label);
      }
    }
  }
}

TEST(WebpDecode, ColourCacheHitsAndEmptySlots) {
  ASSERT_TRUE(dwebpInstalled());
  const int bits = 3;
  std::vector<uint32_t> seen = noise(6, 5);
  std::vector<Op> ops = literals(seen);
  for (uint32_t p : seen) ops.push_back(cached((0x1E35A7BDu * p) >> (32 - bits)));
  for (int i = 0; i < 6; ++i) ops.push_back(cached(static_cast<uint32_t>(i)));  // some slots hold 0
  ops.push_back(copy(4, 2));
  ops.push_back(cached((0x1E35A7BDu * seen[2]) >> (32 - bits)));
  ops.push_back(lit(0x80402010u));
  expectAllAgree(simpleFile(6, 4, ops, true, bits), "cache");
}

TEST(WebpDecode, CopiesThatOverlapThemselves) {
  ASSERT_TRUE(dwebpInstalled());
  std::vector<Op> ops = {lit(0xFF010203u), copy(40, 2 /* distance 1 */), lit(0xFF0A0B0Cu),
                         lit(0xFF0D0E0Fu), lit(0xFF101112u), copy(52, 123 /* distance 3 */)};
  expectAllAgree(simpleFile(8, 12, ops), "overlap");
}

// All 120 neighbourhood codes, on a wide picture (every offset inside the
// picture) and on a narrow one (offsets wrapping past the left edge, and
// distances below 1 clamped to 1).
TEST(WebpDecode, DistanceMapNearTheLeftEdge) {
  ASSERT_TRUE(dwebpInstalled());
  for (int width : {10, 3}) {
    const int rows = 8;
    std::vector<Op> ops = literals(noise(static_cast<size_t>(width * rows), 9));
    uint32_t pixels = static_cast<uint32_t>(width * rows);
    for (uint32_t code = 1; code <= 120; ++code) {
      const uint32_t len = 1 + code % 3;
      ops.push_back(copy(len, code));
      pixels += len;
      ops.push_back(lit(0xFF000000u | code * 0x010203u));
      ++pixels;
    }
    const int height = static_cast<int>((pixels + static_cast<uint32_t>(width) - 1) / static_cast<uint32_t>(width));
    while (pixels < static_cast<uint32_t>(width * height)) {
      ops.push_back(lit(0xFF808080u));
      ++pixels;
    }
    expectAllAgree(simpleFile(width, height, ops), "width " + std::to_string(width));
  }
}

// ---------------------------------------------------------------------------
// Container walk

Bytes smallStream(bool alpha) {
  BitWriter w;
  putHeader(w, 3, 2, alpha);
  w.put(0, 1);
  putImageData(w, literals(noise(6, 21, 0x80000000u)), 0, true);
  return w.finish();
}

TEST(WebpContainer, TrailingBytesAfterTheRiffSizeAreIgnored) {
  const Bytes file = riff(chunk("VP8L", smallStream(true)));
  const Bytes longer = file + Bytes{'j', 'u', 'n', 'k', 0, 1, 2};
  EXPECT_EQ(decodeWebp(viewOf(longer)).pixels, decodeWebp(viewOf(file)).pixels);
  expectSameAsReference(longer, "trailing");
}

TEST(WebpContainer, OddChunkWithPadByteIsSkipped) {
  ASSERT_TRUE(dwebpInstalled());
  const Bytes file = riff(vp8x(0, 3, 2) + chunk("ABCD", {1, 2, 3}) + chunk("VP8L", smallStream(true)));
  EXPECT_EQ(file[30 + 8 + 3], 0);  // the pad byte
  const Image img = expectAllAgree(file, "pad");
  EXPECT_EQ(img.pixels, decodeWebp(viewOf(riff(chunk("VP8L", smallStream(true))))).pixels);
}

TEST(WebpContainer, AlphaFlagWithoutAlphKeepsTheStreamChannels) {
  const Image img = decodeWebp(viewOf(riff(vp8x(0x10, 3, 2) + chunk("VP8L", smallStream(false)))));
  EXPECT_EQ(img.colorspace, csRgb);
}

TEST(WebpContainer, RawAlphPlane) {
  const Bytes plane = {0x00, 10, 20, 30, 40, 50, 60, 70};  // header, then one extra byte
  const Bytes file =
      riff(vp8x(0x10, 3, 2) + chunk("ALPH", plane) + chunk("VP8L", smallStream(false)));
  const std::optional<Image> img = expectSameAsReference(file, "raw ALPH");
  ASSERT_TRUE(img.has_value());
  EXPECT_EQ(img->colorspace, csRgba);
  const Image rgb = decodeWebp(viewOf(riff(chunk("VP8L", smallStream(false)))));
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(img->pixels[4 * i + 3], plane[i + 1]);
    EXPECT_EQ(img->pixels[4 * i], rgb.pixels[3 * i]);
  }
}

TEST(WebpContainer, LosslessAlphPlaneTakesGreen) {
  BitWriter w;
  w.put(0x01, 8);  // ALPH header: lossless, no filter
  w.put(0, 1);
  std::vector<uint32_t> px = noise(6, 33);
  putImageData(w, literals(px), 0, true);
  const Bytes file =
      riff(vp8x(0x10, 3, 2) + chunk("VP8L", smallStream(true)) + chunk("ALPH", w.finish()));
  const std::optional<Image> img = expectSameAsReference(file, "lossless ALPH");
  ASSERT_TRUE(img.has_value());
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(img->pixels[4 * i + 3], (px[i] >> 8) & 0xFF);
}

// ---------------------------------------------------------------------------
// Real files and cwebp output against dwebp

std::vector<std::string> webpTestFiles() {
  std::vector<std::string> files;
  for (const std::string& f :
       kd::test::listTestdata({"codec/webp", "metadata/webp", "malformed/metadata"})) {
    if (f.size() > 5 && f.substr(f.size() - 5) == ".webp") files.push_back(f);
  }
  return files;
}

// A file either decodes to dwebp's pixels or fails as the reference does;
// a file dwebp decodes fails only as unsupported (lossy, animated).
void checkAgainstDwebp(const Bytes& file, const std::string& label, int& decoded) {
  const std::optional<Image> ours = expectSameAsReference(file, label);
  const std::optional<Image> peer = dwebpDecode(file);
  if (ours) {
    ++decoded;
    ASSERT_TRUE(peer.has_value()) << label;
    ASSERT_EQ(peer->width, ours->width) << label;
    ASSERT_EQ(peer->height, ours->height) << label;
    if (ours->colorspace == csRgba) {
      EXPECT_TRUE(peer->pixels == ours->pixels) << label;
    } else {
      EXPECT_TRUE(rgbOf(*peer) == ours->pixels) << label;
    }
  } else if (peer) {
    EXPECT_EQ(webpFailure(file).kind, ekUnsupported) << label << ": " << webpFailure(file);
  }
}

TEST(WebpPeer, TestFilesMatchDwebp) {
  ASSERT_TRUE(dwebpInstalled());
  int decoded = 0;
  for (const std::string& rel : webpTestFiles()) {
    checkAgainstDwebp(kd::test::readTestdata(rel), rel, decoded);
  }
  EXPECT_GE(decoded, 5);
}

// Lossless files made by cwebp from the test PNGs at several effort levels
// (palettes with bundling, predictors, cross colour, colour cache, meta
// codes), kept for the mutation test below.
const std::vector<std::pair<std::string, Bytes>>& cwebpFiles() {
  static const std::vector<std::pair<std::string, Bytes>> files = [] {
    std::vector<std::pair<std::string, Bytes>> out;
    TempDir dir;
    const std::pair<const char*, const char*> jobs[] = {
        {"codec/png/pil_hopper.png", "-z 0"},       {"codec/png/pil_hopper.png", "-z 3"},
        {"codec/png/pil_hopper.png", "-z 6"},       {"codec/png/pil_hopper.png", "-z 8"},
        {"codec/png/pngsuite_basn6a08.png", "-z 6 -exact"},
        {"codec/png/pngsuite_basn6a08.png", "-z 9"},
        {"codec/png/pngsuite_basn3p04.png", "-z 6"}, {"codec/png/pngsuite_basn3p01.png", "-z 6"},
        {"codec/png/pngsuite_basn0g02.png", "-z 6"}, {"codec/png/pil_rgb_trns.png", "-z 9 -exact"},
        {"codec/png/mei_photoshop-8x12-rgba32.png", "-z 6 -exact"},
        {"codec/png/pngsuite_basi3p08.png", "-z 5"},
    };
    int i = 0;
    for (const auto& [png, options] : jobs) {
      const std::string out_path = dir.file("f" + std::to_string(i++) + ".webp");
      const std::string cmd = std::string("cwebp -quiet -lossless ") + options + " " +
                              quoted(kd::test::testdataPath(png)) + " -o " + quoted(out_path);
      if (!runCommand(cmd)) {
        ADD_FAILURE() << "cwebp failed: " << cmd;
        continue;
      }
      out.emplace_back(std::string(png) + " " + options, kd::test::readFileBytes(out_path));
    }
    return out;
  }();
  return files;
}

TEST(WebpPeer, CwebpLosslessOutputMatchesDwebp) {
  ASSERT_TRUE(dwebpInstalled());
  ASSERT_TRUE(kd::test::toolInstalled("cwebp", "webp"));
  int decoded = 0;
  for (const auto& [label, file] : cwebpFiles()) checkAgainstDwebp(file, label, decoded);
  EXPECT_EQ(decoded, static_cast<int>(cwebpFiles().size()));
}

// A picture of more coded pixels than the decoder's ring (a photograph
// tiled with a shift per tile, 2803 pixels wide so rows wrap around the
// ring's end; long back-references from the tiling): the same pixels as
// dwebp, and a peak of the output plus a working set independent of size
// (the ring's 8 MiB and tables), below the 16.8 MB of one word per pixel.
TEST(WebpPeer, PictureLargerThanTheRingMatchesDwebpInLittleMemory) {
  ASSERT_TRUE(kd::test::toolInstalled("cwebp", "webp"));
  const Image photo = decodeJpeg(kd::test::readTestdata("codec/jpeg/pil_flower2.jpg"));
  Image big = newImage(2803, 1500, csRgb);
  for (int64_t y = 0; y < big.height; ++y) {
    for (int64_t x = 0; x < big.width; ++x) {
      const int64_t sx = (x + y / photo.height * 7) % photo.width, sy = y % photo.height;
      for (int c = 0; c < 3; ++c) {
        big.pixels[static_cast<size_t>((y * big.width + x) * 3 + c)] =
            photo.pixels[static_cast<size_t>((sy * photo.width + sx) * photo.channels + c)];
      }
    }
  }
  TempDir dir;
  const std::string png = dir.file("big.png"), webp = dir.file("big.webp");
  const Bytes encoded = encodePng(big);
  std::FILE* f = std::fopen(png.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(encoded.data(), 1, encoded.size(), f), encoded.size());
  std::fclose(f);
  ASSERT_TRUE(runCommand("cwebp -quiet -lossless -z 3 " + quoted(png) + " -o " + quoted(webp)));
  const Bytes file = kd::test::readFileBytes(webp);
  int decoded = 0;
  checkAgainstDwebp(file, "tiled 2803x1500", decoded);
  EXPECT_EQ(decoded, 1);
  // Peaks of two children, one decoding, with the heap's free pages given
  // back first so the decode cannot hide in memory the test freed.
  const size_t output = big.pixels.size();
  Bytes().swap(big.pixels);
  const long base = kd::test::childPeakKiB([] { malloc_trim(0); });
  const long decode = kd::test::childPeakKiB([&file] {
    malloc_trim(0);
    (void)decodeWebp(file);
  });
  ASSERT_GT(base, 0);
  if (!kd::test::PeakMemory::kSanitized) {
    EXPECT_LE((decode - base) * 1024, static_cast<long>(output) + (12l << 20)) << decode - base;
  }
}

// Byte changes and cuts in valid files: the table-driven decoder and the
// bit-by-bit reference give the same failure or the same picture.
TEST(WebpMutations, TableDecoderAgreesWithTheBitWalk) {
  ASSERT_TRUE(kd::test::toolInstalled("cwebp", "webp"));
  std::vector<Bytes> bases;
  for (const auto& entry : cwebpFiles()) {
    if (entry.second.size() < 6000) bases.push_back(entry.second);
  }
  for (const char* rel : {"codec/webp/webptd_lossless_vec_1_6.webp",
                          "codec/webp/webptd_dual_transform.webp",
                          "codec/webp/webptd_lossless4.webp"}) {
    bases.push_back(kd::test::readTestdata(rel));
  }
  std::mt19937 rng(12);
  int runs = 0;
  for (const Bytes& base : bases) {
    for (int i = 0; i < 300; ++i, ++runs) {
      Bytes m = base;
      const int kind = static_cast<int>(rng() % 4);
      const size_t at = 20 + rng() % (m.size() - 20);
      if (kind == 0) m[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
      if (kind == 1) m[at] = static_cast<uint8_t>(rng());
      if (kind == 2) {
        m.resize(at);
        m[4] = static_cast<uint8_t>(m.size() - 8), m[5] = static_cast<uint8_t>((m.size() - 8) >> 8);
        m[16] = static_cast<uint8_t>(m.size() - 20), m[17] = static_cast<uint8_t>((m.size() - 20) >> 8);
      }
      if (kind == 3) {
        for (int k = 0; k < 4; ++k) m[20 + rng() % (m.size() - 20)] = static_cast<uint8_t>(rng());
      }
      expectSameAsReference(m, "mutation " + std::to_string(runs));
      if (HasFailure()) return;
    }
  }
}

}  // namespace
}  // namespace kd::formats::test
