// Maker notes: header variants and their bounds, byte orders, settings
// arrays, value tables, text formats, the keyword dispatch and the read
// budget, on hand-built notes; and the bundled camera files end to end.
#include "exif/makernotes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exif/exif.h"
#include "keldra/keldra.h"
#include "support/testdata.h"
#include "support/tiff_builder.h"

namespace kd::exif {
namespace {

using base::Bytes;
using test::TiffBuilder;
using test::TiffEntry;

// Where a note's out-of-line offsets count from.
enum class Origin { kParent, kBlock, kBlockPlus10 };

// A buffer standing in for a TIFF block (base 0) that holds one maker note
// at kAt: `header`, then the directory of `entries` at `dirAt` within the
// block, then the values that do not fit their entries.
struct Note {
  static constexpr int64_t kAt = 16;
  Bytes buf;
  IfdEntry entry;
};

Note makeNote(const std::string& header, const std::vector<TiffEntry>& entries, bool be,
              Origin origin, size_t dirAt, bool parentBe = false) {
  TiffBuilder tb(be);
  Note n;
  n.buf.assign(Note::kAt, 0);
  n.buf.insert(n.buf.end(), header.begin(), header.end());
  n.buf.resize(Note::kAt + dirAt, 0);
  const int64_t originAt = origin == Origin::kParent  ? 0
                           : origin == Origin::kBlock ? Note::kAt
                                                      : Note::kAt + 10;
  size_t valuesAt = n.buf.size() + 2 + 12 * entries.size() + 4;
  Bytes values;
  tb.put16(n.buf, static_cast<uint32_t>(entries.size()));
  for (const TiffEntry& e : entries) {
    tb.put16(n.buf, e.tag);
    tb.put16(n.buf, e.type);
    tb.put32(n.buf, e.count);
    if (e.forceOffset) {
      tb.put32(n.buf, e.rawOffset);
    } else if (e.value.size() > 4) {
      tb.put32(n.buf, static_cast<uint32_t>(valuesAt + values.size() - originAt));
      values.insert(values.end(), e.value.begin(), e.value.end());
    } else {
      Bytes field = e.value;
      field.resize(4, 0);
      n.buf.insert(n.buf.end(), field.begin(), field.end());
    }
  }
  tb.put32(n.buf, 0);
  n.buf.insert(n.buf.end(), values.begin(), values.end());
  n.entry.tag = 0x927C;
  n.entry.fieldType = kUndefined;
  n.entry.count = static_cast<uint32_t>(n.buf.size() - Note::kAt);
  n.entry.valueOffset = Note::kAt;
  n.entry.data = base::ByteView(n.buf).subspan(Note::kAt);
  n.entry.bigEndian = parentBe;
  return n;
}

TagMap parse(const std::string& make, const Note& n, const std::string& model = "") {
  ReadBudget budget = ReadBudget::forInputSize(n.buf.size());
  return parseMakerNote(make, n.buf, n.entry, 0, n.entry.bigEndian, model, budget);
}

std::string get(const TagMap& m, const std::string& key) {
  auto it = m.find(key);
  return it == m.end() ? "<absent>" : it->second;
}

const std::string kNikonHeader("Nikon\0\x02\x10\0\0", 10);

// "Nikon\0", version, then a TIFF header of the note's own order at +10.
Note nikonType3(bool be, bool parentBe, const std::vector<TiffEntry>& entries) {
  std::string header = kNikonHeader + (be ? std::string("MM\0*", 4) : std::string("II*\0", 4));
  header += be ? std::string("\0\0\0\x08", 4) : std::string("\x08\0\0\0", 4);
  return makeNote(header, entries, be, Origin::kBlockPlus10, 18, parentBe);
}

TEST(MakerNoteNikon, OwnTiffHeaderInEitherOrderWhateverTheParentsOrder) {
  for (bool be : {false, true}) {
    for (bool parentBe : {false, true}) {
      TiffBuilder tb(be);
      Note n = nikonType3(be, parentBe,
                          {tb.ascii(4, "FINE"), tb.ascii(7, "AF-C"), tb.ascii(5, "PRESET0"),
                           tb.ascii(132, "long lens text beyond four bytes"), tb.ascii(99, "X")});
      TagMap m = parse("NIKON CORPORATION", n);
      EXPECT_EQ(get(m, "Nikon:Quality"), "Fine") << be << parentBe;
      EXPECT_EQ(get(m, "Nikon:FocusMode"), "AF-C");
      EXPECT_EQ(get(m, "Nikon:WhiteBalance"), "PRESET0");
      EXPECT_EQ(get(m, "Nikon:Lens"), "long lens text beyond four bytes");
      EXPECT_EQ(m.size(), 4u);  // id 99 is not in the table
    }
  }
}

TEST(MakerNoteNikon, CapitalisesOnlyWholeUpperCaseWords) {
  struct Case {
    const char* stored;
    const char* shown;
  } cases[] = {{"FINE", "Fine"}, {"AUTO", "Auto"}, {"A", "A"},      {"MED.H", "MED.H"},
               {"AF-S", "AF-S"}, {"NORMAL ", "Normal"}, {"Color", "Color"}, {"TWO WORDS", "TWO WORDS"}};
  for (const Case& c : cases) {
    TiffBuilder tb(true);
    TagMap m = parse("Nikon", nikonType3(true, true, {tb.ascii(4, c.stored)}));
    EXPECT_EQ(get(m, "Nikon:Quality"), c.shown) << c.stored;
  }
  TiffBuilder tb(true);
  EXPECT_TRUE(parse("Nikon", nikonType3(true, true, {tb.ascii(4, "  ")})).empty());
}

TEST(MakerNoteNikon, EarlyNotesWithoutTiffHeaderUseTheirOwnIds) {
  TiffBuilder tb(false);
  Note n = makeNote(std::string("Nikon\0\x01\0", 8),
                    {tb.shorts(3, {12}), tb.shorts(4, {1}), tb.shorts(7, {0}),
                     tb.ascii(2, "08.00 long enough")},
                    false, Origin::kBlock, 8);
  TagMap m = parse("NIKON", n);
  EXPECT_EQ(get(m, "Nikon:Quality"), "12");
  EXPECT_EQ(get(m, "Nikon:ColorMode"), "1");
  EXPECT_EQ(get(m, "Nikon:WhiteBalance"), "0");
  EXPECT_EQ(m.size(), 3u);
}

TEST(MakerNoteNikon, NoHeaderReadsTheBlockAsTheParentsDirectory) {
  for (bool be : {false, true}) {
    TiffBuilder tb(be);
    Note n = makeNote("", {tb.ascii(4, "NORMAL"), tb.ascii(132, "18-70 mm f/3.5-4.5")}, be,
                      Origin::kParent, 0, be);
    TagMap m = parse("Nikon", n);
    EXPECT_EQ(get(m, "Nikon:Quality"), "Normal");
    EXPECT_EQ(get(m, "Nikon:Lens"), "18-70 mm f/3.5-4.5");
  }
}

// A note that is only its header, or part of it, yields nothing.
TEST(MakerNoteHeaders, BlocksTooShortForTheirHeaderYieldNothing) {
  struct Case {
    const char* make;
    std::string block;
  } cases[] = {
      {"Nikon", kNikonHeader + "MM\0*"},
      {"Nikon", std::string("Nikon\0\x01\0", 8)},
      {"Panasonic", std::string("Panasonic\0\0", 11)},
      {"FUJIFILM", "FUJIFILM\x0C\0\0"},
      {"PENTAX", std::string("AOC\0M", 5)},
      {"OLYMPUS", std::string("OLYMP\0\x01", 7)},
      {"SIGMA", std::string("SIGMA\0\0\0\x01", 9)},
      {"Canon", ""},
  };
  for (const Case& c : cases) {
    Note n = makeNote(c.block, {}, false, Origin::kParent, c.block.size());
    n.buf.resize(Note::kAt + c.block.size());
    n.entry.count = static_cast<uint32_t>(c.block.size());
    n.entry.data = base::ByteView(n.buf).subspan(Note::kAt);
    EXPECT_TRUE(parse(c.make, n).empty()) << c.make << " " << c.block.size();
  }
}

TEST(MakerNoteHeaders, MakersWithAHeaderNeedIt) {
  TiffBuilder tb(false);
  const std::vector<TiffEntry> entries = {tb.shorts(1, {2}), tb.shorts(513, {2}),
                                          tb.ascii(2, "serial")};
  for (const char* make : {"Panasonic", "FUJIFILM", "PENTAX", "OLYMPUS", "SIGMA"}) {
    Note n = makeNote("XXXXXXXXXXXXXXXX", entries, false, Origin::kParent, 16);
    EXPECT_TRUE(parse(make, n).empty()) << make;
  }
}

TEST(MakerNoteDispatch, KeywordsInOrderCaseInsensitive) {
  TiffBuilder tb(false);
  Note fuji = makeNote("FUJIFILM\x0C\0\0\0", {tb.shorts(4128, {1})}, false, Origin::kBlock, 12);
  EXPECT_EQ(get(parse("fujifilm pentax", fuji), "FujiFilm:Macro"), "On");
  EXPECT_EQ(get(parse("Pentax Fuji", fuji), "FujiFilm:Macro"), "On");
  EXPECT_TRUE(parse("PENTAX", fuji).empty());
  EXPECT_TRUE(parse("", fuji).empty());
  EXPECT_TRUE(parse("Leica", fuji).empty());
  Note konica = makeNote("", {tb.ascii(0, "MLT0")}, false, Origin::kParent, 0);
  EXPECT_EQ(get(parse("KONICA MINOLTA", konica), "Minolta:MakerNoteVersion"), "MLT0");
}

TEST(MakerNoteFuji, LittleEndianWithBlockOffsetsInABigEndianFile) {
  TiffBuilder tb(false);
  Note n = makeNote("FUJIFILM\x0C\0\0\0",
                    {tb.ascii(0x1000, "NORMAL "), tb.shorts(0x1002, {769}),
                     tb.shorts(0x1031, {3}), tb.bytes(0, 7, {'0', '1', '3', '0'})},
                    false, Origin::kBlock, 12, /*parentBe=*/true);
  TagMap m = parse("FUJIFILM", n);
  EXPECT_EQ(get(m, "FujiFilm:Quality"), "NORMAL");
  EXPECT_EQ(get(m, "FujiFilm:WhiteBalance"), "Day White Fluorescent");
  EXPECT_EQ(get(m, "FujiFilm:PictureMode"), "<absent>");  // 3 is not in the table
  EXPECT_EQ(get(m, "FujiFilm:Version"), "0130");
}

TEST(MakerNoteCanon, SettingsArraysReadOnlyTheirElements) {
  for (bool be : {false, true}) {
    TiffBuilder tb(be);
    // Eight bytes: elements 0 to 3; element 7 (focus mode) lies beyond.
    Note n = makeNote("", {tb.shorts(1, {8, 0, 0, 3}), tb.shorts(4, {0, 0, 0, 0, 0, 0, 0, 99, 2})},
                      be, Origin::kParent, 0, be);
    TagMap m = parse("Canon", n);
    EXPECT_EQ(get(m, "Canon:Quality"), "Fine");
    EXPECT_EQ(get(m, "Canon:FocusMode"), "<absent>");
    EXPECT_EQ(get(m, "Canon:WhiteBalance"), "<absent>");  // 99 is not in the table
    EXPECT_EQ(get(m, "Canon:SlowShutter"), "On");
    EXPECT_EQ(m.size(), 2u);
  }
  TiffBuilder tb(false);
  Note longs = makeNote("", {tb.longs(1, {0, 0, 0, 3})}, false, Origin::kParent, 0);
  EXPECT_TRUE(parse("Canon", longs).empty());  // settings must be SHORT
}

// A note moved 164 bytes back by an earlier editor that left its offsets:
// the footer Canon writes, or else the first value beyond the buffer, gives
// the shift.
TEST(MakerNoteCanon, MovedNoteReadRelativeToTheCorrectedBase) {
  TiffBuilder tb(false);
  const std::vector<TiffEntry> entries = {tb.ascii(6, "Canon EOS 600D"),
                                          tb.ascii(7, "Firmware 1.0.2"), tb.ascii(9, "Owner")};
  const TagMap want = parse("Canon", makeNote("", entries, false, Origin::kParent, 0));
  ASSERT_EQ(want.size(), 3u);
  for (bool footer : {true, false}) {
    Note n = makeNote("", entries, false, Origin::kParent, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
      uint8_t* field = n.buf.data() + Note::kAt + 2 + 12 * i + 8;
      base::storeLe32(field, base::loadLe32(field) + 164);
    }
    if (footer) {
      n.buf.insert(n.buf.end(), {'I', 'I', '*', 0, Note::kAt + 164, 0, 0, 0});
      n.entry.count += 8;
      n.buf.resize(n.buf.size() + 200);  // values then lie inside the buffer
    }
    n.entry.data = base::ByteView(n.buf).subspan(Note::kAt, n.entry.count);
    EXPECT_EQ(parse("Canon", n), want) << footer;
  }
}

TEST(MakerNoteCanon, SerialModelAndFileNumberFormats) {
  struct Case {
    uint16_t tag;
    uint32_t value;
    const char* name;
    const char* text;
  } cases[] = {
      {12, 12345, "Canon:SerialNumber", "0000012345"},
      {12, 4294967295u, "Canon:SerialNumber", "4294967295"},
      {16, 2147484294u, "Canon:CanonModelID", "0x80000286"},
      {16, 0x1560000, "Canon:CanonModelID", "0x01560000"},
      {8, 1001234, "Canon:FileNumber", "100-1234"},
      {8, 1000007, "Canon:FileNumber", "100-0007"},
      {8, 0, "Canon:FileNumber", "0-0000"},
  };
  for (const Case& c : cases) {
    TiffBuilder tb(false);
    TagMap m = parse("Canon", makeNote("", {tb.longs(c.tag, {c.value})}, false, Origin::kParent, 0));
    EXPECT_EQ(get(m, c.name), c.text) << c.value;
  }
  TiffBuilder tb(false);
  TagMap m = parse("Canon", makeNote("", {tb.ascii(12, "abc"), tb.ascii(9, "Owner Name  ")}, false,
                                     Origin::kParent, 0));
  EXPECT_EQ(get(m, "Canon:SerialNumber"), "0000000000");  // a number that does not parse
  EXPECT_EQ(get(m, "Canon:OwnerName"), "Owner Name");
}

TEST(MakerNotePentax, EitherByteOrderAfterTheHeader) {
  for (bool be : {false, true}) {
    TiffBuilder tb(be);
    std::string header = std::string("AOC\0", 4) + (be ? "MM" : "II");
    Note n = makeNote(header,
                      {tb.shorts(5, {0}), tb.longs(5, {76830}), tb.shorts(8, {2}),
                       tb.shorts(2, {640, 480}), tb.bytes(0, 1, {3, 0, 0, 0}),
                       tb.bytes(6, 7, {0x07, 0xD8, 3, 2}), tb.bytes(7, 7, {12, 1, 23}),
                       tb.bytes(71, 6, {0xF6}), tb.bytes(92, 7, {1, 0, 0x5C, 0x14}),
                       tb.bytes(62, 1, {28, 28, 0, 0})},
                      be, Origin::kParent, 6, !be);
    TagMap m = parse("PENTAX Corporation", n, "PENTAX K10D");
    EXPECT_EQ(get(m, "Pentax:PentaxModelID"), "K10D") << be;
    EXPECT_EQ(get(m, "Pentax:Quality"), "Best");
    EXPECT_EQ(get(m, "Pentax:PreviewImageSize"), "640x480");
    EXPECT_EQ(get(m, "Pentax:PentaxVersion"), "3.0.0.0");
    EXPECT_EQ(get(m, "Pentax:Date"), "2008:03:02");
    EXPECT_EQ(get(m, "Pentax:Time"), "12:01:23");
    EXPECT_EQ(get(m, "Pentax:CameraTemperature"), "-10 C");
    EXPECT_EQ(get(m, "Pentax:SRResult"), "Stabilized");
    EXPECT_EQ(get(m, "Pentax:ShakeReduction"), "Off");
    EXPECT_EQ(get(m, "Pentax:PreviewImageBorders"), "28 28 0 0");
  }
}

// Bytes of tag 517 and 518 as a K10D writes them, with the values exiftool
// shows for them.
TEST(MakerNotePentax, CameraSettingsAndExposureInformation) {
  TiffBuilder tb(true);
  Bytes settings = {0x05, 0xA0, 0x50, 0x11, 0x00, 0x20, 0x20, 0x00, 0x03, 0x00, 0x00, 0x00,
                    0x00, 0x25, 0x01, 0x9C, 0x50, 0xE0, 0x81, 0x7F, 0x20, 0x3B, 0x00};
  Bytes ae = {0x7A, 0x7F, 0x20, 0x3B, 0x00, 0xA4, 0x01, 0x00,
              0x1C, 0x64, 0x64, 0x8C, 0x00, 0x40, 0x00, 0x9D};
  Note n = makeNote(std::string("AOC\0MM", 6), {tb.bytes(517, 7, settings), tb.bytes(518, 7, ae)},
                    true, Origin::kParent, 6, false);
  TagMap m = parse("PENTAX", n);
  const std::pair<const char*, const char*> expected[] = {
      {"PictureMode2", "Aperture Priority"}, {"ProgramLine", "Normal"},
      {"EVSteps", "1/3 EV Steps"},           {"E-DialInProgram", "Tv or Av"},
      {"ApertureRingUse", "Permitted"},      {"FlashOptions", "Wireless (Master)"},
      {"MeteringMode2", "Multi-segment"},    {"FocusMode2", "AF-S"},
      {"AFPointSelected2", "32"},            {"ISOFloor", "100"},
      {"ExposureBracketStepSize", "0.3"},    {"WhiteBalanceSet", "Auto"},
      {"RawAndJpgRecording", "RAW+JPEG (PEF, Better)"}, {"JpgRecordedPixels", "6 MP"},
      {"FlashOptions2", "Wireless (Master)"}, {"MeteringMode3", "Multi-segment"},
      {"SRActive", "Yes"},                   {"Rotation", "Rotate 270 CW"},
      {"ISOSetting", "Manual"},              {"SensitivitySteps", "1 EV Steps"},
      {"TvExposureTimeSetting", "1/203"},    {"AvApertureSetting", "12.7"},
      {"SvISOSetting", "100"},               {"BaseExposureCompensation", "+0.7"},
      {"AEExposureTime", "1/101"},           {"AEAperture", "12.9"},
      {"AE_ISO", "100"},                     {"AEXv", "-0.625"},
      {"AEBXv", "0"},                        {"AEMinExposureTime", "1/3862"},
      {"AEProgramMode", "Av, B or X"},       {"AEApertureSteps", "28"},
      {"AEMaxAperture", "4.0"},              {"AEMaxAperture2", "4.0"},
      {"AEMinAperture", "23"},               {"AEMeteringMode", "Multi-segment"},
  };
  for (const auto& [name, text] : expected) {
    EXPECT_EQ(get(m, std::string("Pentax:") + name), text) << name;
  }
  // A 16-byte settings array (the *ist bodies) ends at byte 10.
  settings.resize(16);
  Note shortNote = makeNote(std::string("AOC\0MM", 6), {tb.bytes(517, 7, settings)}, true,
                            Origin::kParent, 6);
  TagMap s = parse("PENTAX", shortNote);
  EXPECT_EQ(get(s, "Pentax:WhiteBalanceSet"), "Auto");
  EXPECT_EQ(get(s, "Pentax:RawAndJpgRecording"), "<absent>");
}

TEST(MakerNoteApple, NamesUnknownTagsAndRendersRatios) {
  TiffBuilder tb(true);
  Note n = makeNote(std::string("Apple iOS\0\0\x01MM", 14),
                    {tb.longs(1, {4}), tb.srationals(8, {{-1213, 1871}, {1, 3}, {5, 0}}),
                     tb.shorts(0x63, {7}), tb.bytes(0x64, 7, {1, 2}),
                     tb.bytes(0x65, 1, Bytes(9, 1)), tb.bytes(0x66, 1, Bytes(8, 0x41)),
                     tb.longs(46, {6}), tb.longs(20, {3}), tb.rationals(48, {{1, 8}})},
                    true, Origin::kBlock, 14);
  ASSERT_TRUE(isAppleMakerNote(n.entry.data));
  TagMap m = parseAppleMakerNote(n.entry.data);
  EXPECT_EQ(get(m, "Apple:MakerNoteVersion"), "4");
  EXPECT_EQ(get(m, "Apple:AccelerationVector"), "-0.6483 0.3333 0");
  EXPECT_EQ(get(m, "Apple:0x0063"), "7");
  EXPECT_EQ(get(m, "Apple:0x0064"), "<absent>");  // UNDEFINED
  EXPECT_EQ(get(m, "Apple:0x0065"), "<absent>");  // nine bytes
  EXPECT_EQ(get(m, "Apple:0x0066"), "AAAAAAAA");
  EXPECT_EQ(get(m, "Apple:CameraType"), "Front");
  EXPECT_EQ(get(m, "Apple:ImageCaptureType"), "3");
  EXPECT_EQ(get(m, "Apple:HDRGain"), "0.125");
  EXPECT_FALSE(isAppleMakerNote(base::ByteView(n.entry.data).first(15)));
}

TEST(MakerNoteTexts, RenderedValuesPerMaker) {
  TiffBuilder tb(false);
  struct Case {
    const char* make;
    std::string header;
    size_t dirAt;
    Origin origin;
    TiffEntry entry;
    const char* name;
    const char* text;
  } cases[] = {
      {"Minolta", "", 0, Origin::kParent, tb.longs(3, {0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                        0, 0, 0, 0, 0, 0, 0x07D20601, 0x000C2517}),
       "Minolta:MinoltaDate", "2002:06:01"},
      {"Minolta", "", 0, Origin::kParent, tb.longs(3, {0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                        0, 0, 0, 0, 0, 0, 0x07D20601, 0x000C2517}),
       "Minolta:MinoltaTime", "12:37:23"},
      {"Minolta", "", 0, Origin::kParent, tb.longs(3, {0, 0, 4}), "Minolta:FlashMode", "Off"},
      {"SIGMA", std::string("SIGMA\0\0\0\x01\0", 10), 10, Origin::kParent, tb.ascii(22, "Qual:12"),
       "Sigma:Quality", "12"},
      {"SIGMA", std::string("SIGMA\0\0\0\x01\0", 10), 10, Origin::kParent, tb.ascii(8, "P"),
       "Sigma:ExposureMode", "Program"},
      {"SIGMA", std::string("SIGMA\0\0\0\x01\0", 10), 10, Origin::kParent, tb.ascii(9, "A"),
       "Sigma:MeteringMode", "Average"},
      {"OLYMPUS", std::string("OLYMP\0\x01\0", 8), 8, Origin::kParent, tb.longs(512, {2, 7, 3}),
       "Olympus:SpecialMode", "Fast, Sequence: 7, Panorama: Bottom to top"},
      {"OLYMPUS", std::string("OLYMP\0\x01\0", 8), 8, Origin::kParent,
       tb.rationals(516, {{5, 3}}), "Olympus:DigitalZoom", "1.7"},
      {"OLYMPUS", std::string("OLYMP\0\x01\0", 8), 8, Origin::kParent,
       tb.rationals(517, {{904, 100}}), "Olympus:FocalPlaneDiagonal", "9.04 mm"},
      {"OLYMPUS", std::string("OLYMP\0\x01\0", 8), 8, Origin::kParent, tb.ascii(519, "SR951"),
       "Olympus:CameraType", "C2000Z"},
      {"OLYMPUS", std::string("OLYMP\0\x01\0", 8), 8, Origin::kParent,
       tb.ascii(520, "[pict] Resolution=2 [x]"), "Olympus:Resolution", "2"},
      {"CASIO", "", 0, Origin::kParent, tb.longs(6, {2500}), "Casio:ObjectDistance", "2.5 m"},
      {"CASIO", "", 0, Origin::kParent, tb.longs(10, {65536}), "Casio:DigitalZoom", "Off"},
      {"Panasonic", std::string("Panasonic\0\0\0", 12), 12, Origin::kParent,
       tb.bytes(37, 7, {'S', '0', '1', '0', '6', '0', '4', '0', '3', '0', '2', '9', '3', 0, 0, 0}),
       "Panasonic:InternalSerialNumber", "(S01) 2006:04:03 no. 0293"},
      {"Panasonic", std::string("Panasonic\0\0\0", 12), 12, Origin::kParent,
       tb.longs(41, {36612345}), "Panasonic:TimeSincePowerOn", "101:42:03.45"},
      {"Panasonic", std::string("Panasonic\0\0\0", 12), 12, Origin::kParent,
       tb.bytes(2, 7, {0, 1, 0, 4}), "Panasonic:FirmwareVersion", "0.1.0.4"},
      {"Panasonic", std::string("Panasonic\0\0\0", 12), 12, Origin::kParent,
       tb.shorts(28, {257}), "Panasonic:MacroMode", "Tele-macro"},
  };
  for (const Case& c : cases) {
    TagMap m = parse(c.make, makeNote(c.header, {c.entry}, false, c.origin, c.dirAt));
    EXPECT_EQ(get(m, c.name), c.text) << c.name;
  }
  // Values the formats cannot show give no pair.
  const Case none[] = {
      {"OLYMPUS", std::string("OLYMP\0\x01\0", 8), 8, Origin::kParent, tb.longs(512, {2, 7}),
       "Olympus:SpecialMode", ""},
      {"OLYMPUS", std::string("OLYMP\0\x01\0", 8), 8, Origin::kParent,
       tb.rationals(517, {{904, 0}}), "Olympus:FocalPlaneDiagonal", ""},
      {"OLYMPUS", std::string("OLYMP\0\x01\0", 8), 8, Origin::kParent, tb.ascii(520, "Res=2"),
       "Olympus:Resolution", ""},
      {"CASIO", "", 0, Origin::kParent, tb.longs(10, {65537}), "Casio:DigitalZoom", ""},
      {"Panasonic", std::string("Panasonic\0\0\0", 12), 12, Origin::kParent,
       tb.ascii(37, "S01x604030293"), "Panasonic:InternalSerialNumber", ""},
      {"SIGMA", std::string("SIGMA\0\0\0\x01\0", 10), 10, Origin::kParent, tb.ascii(8, "X"),
       "Sigma:ExposureMode", ""},
  };
  for (const Case& c : none) {
    TagMap m = parse(c.make, makeNote(c.header, {c.entry}, false, c.origin, c.dirAt));
    EXPECT_EQ(m.count(c.name), 0u) << c.name;
  }
}

// Hostile offsets: values outside the buffer are empty, values inside the
// enclosing directory are read as bytes like any other, and a thousand
// entries that all name one large value stop at the text budget.
TEST(MakerNoteBounds, HostileOffsetsAndTheTextBudget) {
  TiffBuilder tb(false);
  TiffEntry outside = tb.ascii(9, "owner name text");
  outside.forceOffset = true;
  outside.rawOffset = 0xFFFFFFF0;
  TiffEntry back = tb.ascii(6, "image type text");
  back.forceOffset = true;
  back.rawOffset = 0;
  Note n = makeNote("", {back, outside}, false, Origin::kParent, 0);
  TagMap m = parse("Canon", n);
  EXPECT_EQ(m.count("Canon:OwnerName"), 0u);
  EXPECT_EQ(m.count("Canon:ImageType"), 0u);  // sixteen zero bytes: the empty text

  // The note's text counts against the read's allowance.
  Note owner = makeNote("", {tb.ascii(9, std::string(100, 'o'))}, false, Origin::kParent, 0);
  ReadBudget small(1000, 50);
  EXPECT_TRUE(parseMakerNote("Canon", owner.buf, owner.entry, 0, false, "", small).empty());
  EXPECT_TRUE(small.exhausted());

  // Apple notes keep unknown tags: two thousand of them naming one value of
  // 200 kB would render 400 MB.
  TiffBuilder be(true);
  std::vector<TiffEntry> many;
  for (uint16_t id = 0x100; id < 0x100 + 2000; ++id) {
    TiffEntry e = be.shorts(id, {0});
    e.count = 100000;
    e.forceOffset = true;
    e.rawOffset = 0;
    many.push_back(e);
  }
  Note apple = makeNote(std::string("Apple iOS\0\0\x01MM", 14), many, true, Origin::kBlock, 14);
  apple.buf.resize(apple.buf.size() + 200000, 0);
  base::ByteView block = base::ByteView(apple.buf).subspan(Note::kAt);
  ReadBudget budget = ReadBudget::forInputSize(block.size());
  TagMap pairs = parseAppleMakerNote(block, budget);
  EXPECT_TRUE(budget.exhausted());
  EXPECT_LT(pairs.size(), 20u);
}

// A MakerNote entry inside a note is data of the note, not a note to read.
TEST(MakerNoteBounds, NoteInsideANoteIsNotFollowed) {
  TiffBuilder tb(true);
  Note inner = nikonType3(true, true, {tb.ascii(4, "FINE")});
  Bytes innerBlock(inner.buf.begin() + Note::kAt, inner.buf.end());
  Note outer = nikonType3(true, true, {tb.ascii(7, "AF-S"), tb.bytes(0x927C, 7, innerBlock)});
  TagMap m = parse("NIKON", outer);
  EXPECT_EQ(get(m, "Nikon:FocusMode"), "AF-S");
  EXPECT_EQ(m.size(), 1u);
}

// A JPEG whose Exif directory holds the note's block as its MakerNote.
Bytes jpegWithNote(const std::string& make, const Bytes& block) {
  TiffBuilder tb(false);
  TiffEntry note = tb.bytes(0x927C, 7, block);
  Bytes tiff = tb.build({test::TiffDir{{tb.ascii(0x010F, make), tb.pointer(0x8769, 1)}},
                         test::TiffDir{{note}}});
  return test::jpegWithExif(tiff);
}

TEST(MakerNoteInMetadata, QvcCasioNotesStayAsTheMakerNoteEntry) {
  Bytes block = {'Q', 'V', 'C', 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Metadata md = readMetadataFromBytes(jpegWithNote("CASIO COMPUTER CO.,LTD", block));
  EXPECT_EQ(md.tags.count("MakerNote"), 1u);
  for (const auto& [name, text] : md.tags) EXPECT_NE(name.rfind("Casio:", 0), 0u) << name;
  // An unknown maker keeps the entry too.
  EXPECT_EQ(readMetadataFromBytes(jpegWithNote("Leica", block)).tags.count("MakerNote"), 1u);
}

TEST(MakerNoteInMetadata, ParsedNotesReplaceTheEntry) {
  TiffBuilder tb(false);
  // A Canon note's offsets count from the TIFF header, unknown before the
  // note is placed; a note of values held in their entries can be moved.
  Note n = makeNote("", {tb.longs(16, {0x80000170}), tb.longs(12, {7})}, false, Origin::kParent, 0);
  Bytes block(n.buf.begin() + Note::kAt, n.buf.end());
  Metadata md = readMetadataFromBytes(jpegWithNote("Canon", block));
  EXPECT_EQ(md.tags.count("MakerNote"), 0u);
  EXPECT_EQ(get(md.tags, "Canon:CanonModelID"), "0x80000170");
  EXPECT_EQ(get(md.tags, "Canon:SerialNumber"), "0000000007");
}

// One camera file per maker, each with a value exiftool shows for it.
TEST(MakerNoteInMetadata, CameraFilesOfEveryMaker) {
  struct Case {
    const char* file;
    const char* name;
    const char* text;
  } cases[] = {
      {"makernote-apple/et_Apple.jpg", "Apple:AETarget", "177"},
      {"makernote-canon/et_Canon.jpg", "Canon:SerialNumber", "0560018150"},
      {"makernote-casio/et_Casio.jpg", "Casio:ObjectDistance", "2.5 m"},
      {"makernote-fujifilm/et_FujiFilm.jpg", "FujiFilm:FujiFlashMode", "Red-eye reduction"},
      {"makernote-minolta/et_Minolta.jpg", "Minolta:MinoltaTime", "12:37:27"},
      {"makernote-nikon/et_Nikon.jpg", "Nikon:Quality", "Fine"},
      {"makernote-olympus/et_Olympus.jpg", "Olympus:FocalPlaneDiagonal", "7.8 mm"},
      {"makernote-panasonic/et_Panasonic.jpg", "Panasonic:ShootingMode", "Program"},
      {"makernote-pentax/et_Pentax.jpg", "Pentax:Date", "2008:03:02"},
      {"makernote-sigma/et_Sigma.jpg", "Sigma:Quality", "12"},
  };
  for (const Case& c : cases) {
    const Bytes file = test::readTestdata(std::string("metadata/") + c.file);
    KdExif* h = nullptr;
    ASSERT_EQ(kd_exif_read_buffer(file.data(), file.size(), &h), 0);
    const char* value = kd_exif_get_tag(h, c.name);
    EXPECT_STREQ(value == nullptr ? "<absent>" : value, c.text) << c.file;
    EXPECT_EQ(kd_exif_get_tag(h, "MakerNote"), nullptr) << c.file;
    const std::string json = kd_exif_to_json(h);
    EXPECT_NE(json.find("\"" + std::string(c.name) + "\": \"" + c.text + "\""), std::string::npos)
        << c.file;
    kd_exif_meta_free(h);
  }
  // Casio's second kind of note ("QVC") is kept as the entry.
  Metadata qvc = readMetadataFromBytes(test::readTestdata("metadata/makernote-casio/et_Casio2.jpg"));
  EXPECT_EQ(qvc.tags.count("MakerNote"), 1u);
}

}  // namespace
}  // namespace kd::exif
