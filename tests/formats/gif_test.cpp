#include "formats/gif.h"

#include <gif_lib.h>
#include <malloc.h>

#include <array>
#include <cstring>
#include <optional>
#include <set>

#include "codec_support.h"
#include "formats/formats.h"
#include "support/divergences.h"
#include "support/lzw_writer.h"
#include "support/peak_memory.h"

namespace kd::formats::test {
namespace {

// Every index as its own code, as an encoder that never matches would
// write it. With clearWhenFull the table is reset when it fills; otherwise
// it stays full and the codes stay 12 bits wide.
Bytes literalLzw(unsigned minCode, const Bytes& indices, bool clearWhenFull = true,
                 bool endCode = true) {
  kd::test::LiteralLzw w(minCode, /*msbFirst=*/false, /*earlyChange=*/false);
  w.clear();
  for (uint8_t i : indices) {
    w.code(i);
    if (w.next == 4096 && clearWhenFull) w.clear();
  }
  if (endCode) w.end();
  return w.codes.finish();
}

struct GifSpec {
  std::string version = "89a";
  uint16_t screenWidth = 2, screenHeight = 2;
  Bytes globalTable = {0, 0, 0, 255, 255, 255};  // two colours
  Bytes blocks;                                  // extensions before the frame
  uint16_t width = 2, height = 2;
  Bytes localTable;
  bool interlaced = false;
  uint8_t minCode = 2;
  Bytes indices = {0, 1, 1, 0};
  std::optional<Bytes> payload;  // LZW data; by default the literals of `indices`
};

uint8_t tableBits(size_t bytes) {
  uint8_t e = 0;
  while ((size_t{6} << e) < bytes) ++e;
  return e;
}

Bytes gifFile(const GifSpec& s) {
  ByteWriter w;
  w.text("GIF" + s.version).u16le(s.screenWidth).u16le(s.screenHeight);
  w.u8(s.globalTable.empty() ? 0 : 0x80 | tableBits(s.globalTable.size())).u8(0).u8(0);
  w.raw(s.globalTable);
  w.raw(s.blocks);
  w.u8(0x2C).u16le(0).u16le(0).u16le(s.width).u16le(s.height);
  w.u8((s.localTable.empty() ? 0 : 0x80 | tableBits(s.localTable.size())) |
       (s.interlaced ? 0x40 : 0));
  w.raw(s.localTable);
  w.u8(s.minCode);
  const Bytes data = s.payload ? *s.payload : literalLzw(s.minCode, s.indices);
  for (size_t i = 0; i < data.size(); i += 255) {
    const size_t n = std::min<size_t>(255, data.size() - i);
    w.u8(static_cast<unsigned>(n)).raw(Bytes(data.begin() + static_cast<ptrdiff_t>(i),
                                             data.begin() + static_cast<ptrdiff_t>(i + n)));
  }
  w.u8(0).u8(0x3B);
  return w.b;
}

Bytes gce(bool transparent, uint8_t index) {
  return {0x21, 0xF9, 4, static_cast<uint8_t>(transparent ? 1 : 0), 0, 0, index, 0};
}

Failure gifFailure(const Bytes& f) { return failureOf([&] { return decodeGif(viewOf(f)); }); }
Image gif(const GifSpec& s) { return decodeGif(viewOf(gifFile(s))); }

// --- giflib as the peer ---------------------------------------------------

struct MemoryInput {
  const Bytes* data;
  size_t pos = 0;
};

int readFromMemory(GifFileType* g, GifByteType* buf, int n) {
  auto* in = static_cast<MemoryInput*>(g->UserData);
  const size_t take = std::min(static_cast<size_t>(n), in->data->size() - in->pos);
  std::memcpy(buf, in->data->data() + in->pos, take);
  in->pos += take;
  return static_cast<int>(take);
}

// The first frame as giflib reads it, turned into RGBA by this decoder's
// rules; empty when giflib cannot read the file.
struct PeerFrame {
  bool ok = false;
  bool indexOutOfRange = false;
  int64_t width = 0, height = 0;
  Bytes rgba;
};

PeerFrame giflibFirstFrame(const Bytes& file) {
  PeerFrame out;
  MemoryInput in{&file};
  int error = 0;
  GifFileType* g = DGifOpen(&in, readFromMemory, &error);
  if (g == nullptr) return out;
  // Records up to the first image only, as giflib's step-by-step reader
  // hands them over; later frames do not matter.
  int transparent = -1;
  GifRecordType type;
  while (DGifGetRecordType(g, &type) == GIF_OK && type != TERMINATE_RECORD_TYPE) {
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* ext = nullptr;
      if (DGifGetExtension(g, &code, &ext) != GIF_OK) break;
      if (code == GRAPHICS_EXT_FUNC_CODE && ext != nullptr && ext[0] >= 4 && (ext[1] & 1)) {
        transparent = ext[4];
      }
      while (ext != nullptr) {
        if (DGifGetExtensionNext(g, &ext) != GIF_OK) break;
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE || DGifGetImageDesc(g) != GIF_OK) break;
    const GifImageDesc& d = g->Image;
    const ColorMapObject* map = d.ColorMap ? d.ColorMap : g->SColorMap;
    Bytes indices(static_cast<size_t>(d.Width) * d.Height);
    bool ok = true;
    std::vector<int> rows;
    if (d.Interlace) {
      for (auto [first, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}}) {
        for (int y = first; y < d.Height; y += step) rows.push_back(y);
      }
    } else {
      for (int y = 0; y < d.Height; ++y) rows.push_back(y);
    }
    for (int y : rows) {
      ok = ok && DGifGetLine(g, indices.data() + static_cast<size_t>(y) * d.Width, d.Width) == GIF_OK;
    }
    if (!ok) break;
    out.ok = true;
    out.width = d.Width;
    out.height = d.Height;
    for (uint8_t index : indices) {
      if (map == nullptr || index >= map->ColorCount) {
        out.indexOutOfRange = true;
        break;
      }
      const GifColorType& c = map->Colors[index];
      out.rgba.insert(out.rgba.end(),
                      {c.Red, c.Green, c.Blue, static_cast<uint8_t>(index == transparent ? 0 : 255)});
    }
    break;
  }
  DGifCloseFile(g, &error);
  return out;
}

TEST(GifRejects, EachFailureWithItsMessage) {
  ASSERT_EQ(gifFailure(gifFile({})).message, "decoded");
  auto with = [](auto change) {
    GifSpec s;
    change(s);
    return gifFailure(gifFile(s));
  };
  auto unsupported = [](const char* m) { return Failure{m, ekUnsupported}; };
  auto invalid = [](const char* m) { return Failure{m, ekInvalid}; };
  auto truncated = [](const char* m) { return Failure{m, ekTruncated}; };
  const Bytes good = gifFile({});
  auto cut = [&](size_t n) { return gifFailure(Bytes(good.begin(), good.begin() + static_cast<ptrdiff_t>(n))); };
  auto patched = [&](size_t at, uint8_t v) {
    Bytes f = good;
    f[at] = v;
    return gifFailure(f);
  };
  EXPECT_EQ(cut(12), truncated("gif: header truncated"));
  EXPECT_EQ(patched(0, 'g'), unsupported("gif: bad signature"));
  EXPECT_EQ(with([](GifSpec& s) { s.version = "88a"; }), unsupported("gif: unsupported version"));
  EXPECT_EQ(with([](GifSpec& s) { s.screenHeight = 0; }), invalid("gif: bad dimensions"));
  EXPECT_EQ(with([](GifSpec& s) { s.screenWidth = s.screenHeight = 65535; }),
            invalid("gif: too many pixels"));
  EXPECT_EQ(cut(18), truncated("gif: global color table truncated"));
  EXPECT_EQ(cut(19), truncated("gif: no image descriptor"));
  EXPECT_EQ(with([](GifSpec& s) { s.blocks = {0x3B}; }), invalid("gif: no image data"));
  EXPECT_EQ(with([](GifSpec& s) { s.blocks = {0x00}; }), invalid("gif: unknown block marker"));
  {
    Bytes f(good.begin(), good.begin() + 19);
    f.push_back(0x21);
    EXPECT_EQ(gifFailure(f), truncated("gif: extension truncated"));
    f.push_back(0xF9);
    f.push_back(4);
    EXPECT_EQ(gifFailure(f), truncated("gif: GCE truncated"));
    f[20] = 0xFE;  // a comment whose sub-block runs off the end
    f.back() = 5;
    f.push_back('a');
    EXPECT_EQ(gifFailure(f), truncated("gif: sub-block truncated"));
  }
  EXPECT_EQ(cut(19 + 9), truncated("gif: image descriptor truncated"));
  EXPECT_EQ(with([](GifSpec& s) { s.width = 0; }), invalid("gif: bad image dimensions"));
  EXPECT_EQ(with([](GifSpec& s) { s.width = s.height = 65535; }),
            invalid("gif: image has too many pixels"));
  EXPECT_EQ(with([](GifSpec& s) { s.localTable = Bytes(6, 1); }).message, "decoded");
  {
    GifSpec s;
    s.localTable = Bytes(6, 1);
    Bytes f = gifFile(s);
    f.resize(19 + 10 + 5);
    EXPECT_EQ(gifFailure(f), truncated("gif: local color table truncated"));
  }
  EXPECT_EQ(cut(19 + 10), truncated("gif: missing LZW min code size"));
  EXPECT_EQ(cut(19 + 11), truncated("gif: sub-block truncated"));
  EXPECT_EQ(with([](GifSpec& s) { s.minCode = 1; }), invalid("gif: bad LZW min code size"));
  EXPECT_EQ(with([](GifSpec& s) { s.minCode = 9; }), invalid("gif: bad LZW min code size"));
  EXPECT_EQ(with([](GifSpec& s) { s.payload = literalLzw(2, s.indices, true, false); }),
            truncated("gif: LZW stream truncated"));  // every pixel there, but no end code
  EXPECT_EQ(with([](GifSpec& s) { s.indices = {0, 1, 1}; }), truncated("gif: LZW output too short"));
  EXPECT_EQ(with([](GifSpec& s) { s.indices = {0, 1, 1, 0, 1}; }),
            invalid("gif: LZW output exceeds the frame size"));
  auto codes = [](std::initializer_list<unsigned> c) {
    kd::test::LzwCodes w;
    for (unsigned x : c) w.put(x, 3);
    return w.finish();
  };
  EXPECT_EQ(with([&](GifSpec& s) { s.payload = codes({4, 0, 7}); }), invalid("gif: bad LZW code"));
  EXPECT_EQ(with([&](GifSpec& s) { s.payload = codes({4, 6}); }), invalid("gif: bad LZW code"));
  EXPECT_EQ(with([](GifSpec& s) { s.indices = {0, 1, 2, 0}; }),
            invalid("gif: palette index out of range"));
  EXPECT_EQ(with([](GifSpec& s) { s.globalTable.clear(); }),
            invalid("gif: palette index out of range"));
}

TEST(GifDecode, LocalTableTransparencyAndFrameSmallerThanScreen) {
  GifSpec s;
  s.screenWidth = s.screenHeight = 100;
  s.width = 3;
  s.height = 1;
  s.indices = {0, 1, 2};
  s.globalTable = Bytes(12, 9);
  s.localTable = {10, 11, 12, 20, 21, 22, 30, 31, 32, 40, 41, 42};
  // Transparency from the first GCE survives a later GCE without the bit;
  // a comment between is skipped.
  s.blocks = gce(true, 1);
  for (uint8_t b : Bytes{0x21, 0xFE, 2, 'h', 'i', 0}) s.blocks.push_back(b);
  for (uint8_t b : gce(false, 2)) s.blocks.push_back(b);
  const Image img = gif(s);
  EXPECT_EQ(img.width, 3);
  EXPECT_EQ(img.height, 1);
  EXPECT_EQ(img.colorspace, csRgba);
  EXPECT_EQ(img.pixels, (Bytes{10, 11, 12, 255, 20, 21, 22, 0, 30, 31, 32, 255}));
  EXPECT_EQ(img.pixels, giflibFirstFrame(gifFile(s)).rgba);
}

TEST(GifDecode, InterlacedPassesForHeightsOneToNine) {
  for (uint16_t h = 1; h <= 9; ++h) {
    GifSpec s;
    s.width = 2;
    s.height = h;
    s.screenHeight = h;
    s.minCode = 4;
    s.globalTable.resize(48);
    for (size_t i = 0; i < 48; ++i) s.globalTable[i] = static_cast<uint8_t>(i);
    s.interlaced = true;
    // Stored row k holds index k; the passes put rows 0, 8 | 4 | 2, 6 | 1, 3, 5, 7.
    std::vector<int> order;
    for (int first : {0, 4, 2, 1}) {
      for (int y = first; y < h; y += first == 0 ? 8 : first == 4 ? 8 : first == 2 ? 4 : 2) {
        order.push_back(y);
      }
    }
    s.indices.clear();
    for (size_t k = 0; k < order.size(); ++k) s.indices.insert(s.indices.end(), 2, static_cast<uint8_t>(k));
    const Image img = gif(s);
    for (size_t k = 0; k < order.size(); ++k) {
      const size_t y = static_cast<size_t>(order[k]);
      EXPECT_EQ(img.pixels[y * 8], 3 * k) << "height " << h << " stored row " << k;
    }
    EXPECT_EQ(img.pixels, giflibFirstFrame(gifFile(s)).rgba) << "height " << h;
  }
}

TEST(GifDecode, CodesGrowToTwelveBitsThenClearOrStayFull) {
  GifSpec s;
  s.minCode = 8;
  s.globalTable.resize(768);
  for (size_t i = 0; i < 768; ++i) s.globalTable[i] = static_cast<uint8_t>(i * 7);
  s.width = 100;
  s.height = 90;  // 9000 literals: two full tables
  s.indices.resize(9000);
  for (size_t i = 0; i < s.indices.size(); ++i) s.indices[i] = static_cast<uint8_t>(i * 13 + i / 256);
  for (bool clearWhenFull : {true, false}) {
    s.payload = literalLzw(8, s.indices, clearWhenFull);
    const Image img = gif(s);
    const Bytes indices =
        gif::lzwDecode(8, viewOf(*s.payload), s.indices.size());
    EXPECT_EQ(indices, s.indices) << clearWhenFull;
    EXPECT_EQ(img.pixels, giflibFirstFrame(gifFile(s)).rgba) << clearWhenFull;
  }
}

// --- differential: every GIF of the test data, and gifsicle's rewrites ---

// Inputs giflib decodes and this decoder refuses (test data paths, or a
// path and gifsicle's options). None at present: giflib stops once it has
// every pixel where this decoder wants the end code, but no file of the
// test data or of the corpus ends that way.
constexpr std::array<kd::test::Divergence, 0> kGifDivergences{};

// `input` names the file in the table of divergences.
void expectLikeGiflib(const std::string& path, const std::string& input) {
  const Bytes file = kd::test::readFileBytes(path);
  const PeerFrame want = giflibFirstFrame(file);
  Image got;
  const Failure f = failureOf([&] { return got = decodeGif(viewOf(file)); });
  const kd::test::Divergence* known = kd::test::findDivergence(kGifDivergences, input);
  if (file.size() >= 13 && ((file[6] | file[7]) == 0 || (file[8] | file[9]) == 0)) {
    EXPECT_EQ(f.message, "gif: bad dimensions");  // giflib accepts an empty screen
  } else if (!want.ok) {
    EXPECT_NE(f.message, "decoded") << "giflib cannot read it, but it decoded";
  } else if (want.indexOutOfRange) {
    EXPECT_EQ(f.message, "gif: palette index out of range");
  } else if (known != nullptr) {
    EXPECT_EQ(f.message, known->failure) << "listed as diverging: " << known->reason;
  } else {
    ASSERT_EQ(f.message, "decoded") << "an unlisted divergence from giflib: " << input;
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_TRUE(got.pixels == want.rgba) << "pixels differ from giflib's";
  }
}

std::vector<std::string> gifFiles() {
  return kd::test::listTestdata({"codec/gif", "malformed/gif"});
}

class GifFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(GifFiles, DecodesLikeGiflibOrFailsWithItsMessage) {
  expectLikeGiflib(kd::test::testdataPath(GetParam()), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Files, GifFiles, ::testing::ValuesIn(gifFiles()),
                         kd::test::FileTestName());

TEST(GifRewrittenByGifsicle, InterlacedOptimisedAndRecoloured) {
  ASSERT_TRUE(kd::test::toolInstalled("gifsicle", "gifsicle"));
  TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::vector<std::string> names = kd::test::listTestdata("codec/gif");
  const char* const options[] = {"--interlace", "-O3", "--colors 7",
                                 "--no-interlace -O2 --crop 1,1+5x3"};
  // gifsicle refuses a crop that lies outside the picture.
  const std::set<std::string> refused = {
      "codec/gif/igif_2x2.gif --no-interlace -O2 --crop 1,1+5x3",
      "codec/gif/pil_no_palette_with_transparency.gif --no-interlace -O2 --crop 1,1+5x3"};
  size_t rewritten = 0;
  for (const std::string& name : names) {
    for (const char* opt : options) {
      const std::string input = name + " " + opt;
      const std::string out = dir.file("out" + std::to_string(rewritten) + ".gif");
      SCOPED_TRACE(input);
      const bool made = runCommand(std::string("gifsicle ") + opt + " " +
                                   quoted(kd::test::testdataPath(name)) + " -o " + quoted(out) +
                                   " 2>/dev/null");
      EXPECT_EQ(made, refused.count(input) == 0) << "gifsicle's refusals changed";
      if (!made) continue;
      ++rewritten;
      expectLikeGiflib(out, input);
    }
  }
  // The five bundled files, four options each, less the one refused crop.
  EXPECT_GE(rewritten, 19u);
}

TEST(GifBomb, HugeFrameFromATinyFileStaysSmall) {
  GifSpec s;
  s.width = 65535;
  s.height = 16384;
  s.indices.assign(300, 1);
  const Bytes file = gifFile(s);
  ASSERT_LT(file.size(), 1024u);
  EXPECT_EQ(gifFailure(file), (Failure{"gif: LZW output too short", ekTruncated}));

  const long base = kd::test::childPeakKiB([] {});
  const long used = kd::test::childPeakKiB([&] { (void)decodeGif(viewOf(file)); });
  ASSERT_GT(base, 0);
  EXPECT_LT(used - base, 8 * 1024) << "resident KiB grew from " << base << " to " << used;
}

// A large interlaced frame: rows land where giflib puts them (row cycles
// of every length), and the decode holds the picture once, beside the
// payload it gathers from the sub-blocks.
TEST(GifMemory, LargeInterlacedFrameHoldsThePictureOnce) {
  GifSpec s;
  s.width = s.screenWidth = 1500;
  s.height = s.screenHeight = 2001;
  s.interlaced = true;
  s.minCode = 8;
  s.globalTable.resize(768);
  for (size_t i = 0; i < 768; ++i) s.globalTable[i] = static_cast<uint8_t>(i * 5);
  s.indices.resize(size_t{s.width} * s.height);
  for (size_t i = 0; i < s.indices.size(); ++i) s.indices[i] = static_cast<uint8_t>(i / s.width * 3 + i % 7);
  const Bytes file = gifFile(s);
  EXPECT_EQ(decodeGif(viewOf(file)).pixels, giflibFirstFrame(file).rgba);

  const long output = 4l * s.width * s.height;
  const long base = kd::test::childPeakKiB([] { malloc_trim(0); });
  const long used = kd::test::childPeakKiB([&] {
    malloc_trim(0);
    (void)decodeGif(viewOf(file));
  });
  ASSERT_GT(base, 0);
  if (!kd::test::PeakMemory::kSanitized) {
    EXPECT_LE((used - base) * 1024, output + static_cast<long>(file.size()) + (1l << 20));
  }
}

}  // namespace
}  // namespace kd::formats::test
