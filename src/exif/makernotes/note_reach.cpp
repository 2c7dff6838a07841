// What a maker note addresses outside itself, found by walking its
// directories the way each maker lays them out: every value stored away
// from its entry, the sub-directories a maker points at, and the preview
// start/length pairs. An editor that has to move the note carries those
// bytes with it; for a note whose offsets are relative to the TIFF header
// it also needs the place of every such offset, to shift them by the move.
#include <algorithm>
#include <span>

#include "exif/endian.h"
#include "exif/makernotes.h"
#include "exif/makernotes/common.h"

namespace kd::exif {

namespace {

using makernote::startsWith;

// A directory entry holding the start of a block, and the entry (in the same
// directory) holding its length.
struct StartLength {
  uint16_t start;
  uint16_t length;
};

// One way a maker lays its note out.
struct NoteFormat {
  std::string_view make;    // keyword of the lower-cased Make ("" = any)
  std::string_view header;  // the note's first bytes ("" = none)
  int64_t directoryAt;      // position of the first directory in the note
  bool tiffRelative;        // offsets relative to the TIFF header, else to the note
  std::span<const uint16_t> subDirectories;
  std::span<const StartLength> blocks;
};

constexpr uint16_t kNikonSubDirectories[] = {0x0011};  // PreviewIFD
constexpr StartLength kNikonBlocks[] = {{0x0201, 0x0202}};
constexpr uint16_t kOlympusSubDirectories[] = {0x2010, 0x2020, 0x2030, 0x2031,
                                               0x2040, 0x2050, 0x3000};
constexpr StartLength kOlympusBlocks[] = {{0x0088, 0x0089}, {0x0101, 0x0102}};
constexpr StartLength kMinoltaBlocks[] = {{0x0088, 0x0089}};
constexpr StartLength kPentaxBlocks[] = {{0x0004, 0x0003}};

using std::string_view_literals::operator""sv;

// Earlier rows win; headers are checked before the bare layouts of a Make.
// Nikon's notes with their own TIFF header and the "OLYMPUS", "PENTAX ",
// Fujifilm and Apple notes are relative to themselves.
constexpr NoteFormat kFormats[] = {
    {"nikon", "Nikon\0\2"sv, 10, false, kNikonSubDirectories, kNikonBlocks},
    {"nikon", "Nikon\0\1"sv, 8, true, kNikonSubDirectories, kNikonBlocks},
    {"nikon", "", 0, true, kNikonSubDirectories, kNikonBlocks},
    {"", "OLYMPUS\0"sv, 12, false, kOlympusSubDirectories, kOlympusBlocks},
    {"", "OLYMP\0"sv, 8, true, kOlympusSubDirectories, kOlympusBlocks},
    {"", "EPSON\0"sv, 8, true, kOlympusSubDirectories, kOlympusBlocks},
    {"", "PENTAX \0"sv, 10, false, {}, kPentaxBlocks},
    {"", "AOC\0"sv, 6, true, {}, kPentaxBlocks},
    {"", "Panasonic\0"sv, 12, true, {}, {}},
    {"", "SONY DSC \0"sv, 12, true, {}, {}},
    {"", "SONY CAM \0"sv, 12, true, {}, {}},
    {"", "SIGMA\0"sv, 10, true, {}, {}},
    {"", "FOVEON\0"sv, 10, true, {}, {}},
    {"", "FUJIFILM"sv, 0, false, {}, {}},
    {"", "Apple iOS\0"sv, 14, false, {}, {}},
    {"", "SANYO\0"sv, 8, true, {}, {}},
    {"", "RICOH\0"sv, 8, true, {}, {}},
    {"", "Ricoh\0"sv, 8, true, {}, {}},
    {"", "JVC "sv, 4, true, {}, {}},
    {"casio", "QVC\0"sv, 6, true, {}, {}},
    {"canon", "", 0, true, {}, {}},
    {"casio", "", 0, true, {}, {}},
    {"minolta", "", 0, true, {}, kMinoltaBlocks},
    {"flir", "", 0, true, {}, {}},
};

std::string lowered(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

const NoteFormat* formatOf(const std::string& make, base::ByteView note) {
  const std::string lower = lowered(make);
  for (const NoteFormat& f : kFormats) {
    if (!f.make.empty() && lower.find(f.make) == std::string::npos) continue;
    if (startsWith(note, f.header)) return &f;
  }
  return nullptr;
}

// The walk over one note. `base` is the position offsets count from; all
// recorded positions are relative to the note's first byte `at`.
class Walk {
 public:
  Walk(base::ByteView buf, int64_t at, int64_t length, int64_t base, bool bigEndian,
       const NoteFormat& format, MakerNoteReach& out)
      : buf_(buf), at_(at), base_(base), order_(orderOf(bigEndian)), format_(format),
        out_(out) {
    out_.end = length;
    out_.bigEndian = bigEndian;
  }

  void directory(int64_t pos, int depth) {
    if (depth > 2 || directories_ >= kMaxDirectories || !base::fits(buf_, pos, 2)) return;
    ++directories_;
    reach(pos, 2);
    const int64_t count = readUint16(buf_, pos, order_);
    for (int64_t i = 0; i < count && entries_ < kMaxEntries; ++i, ++entries_) {
      const int64_t e = pos + 2 + 12 * i;
      if (!base::fits(buf_, e, 12)) return;
      reach(e, 12);
      entry(pos, count, e, depth);
    }
    reach(pos + 2 + 12 * count, 4);
  }

 private:
  static constexpr int kMaxDirectories = 16;
  static constexpr int kMaxEntries = 4096;

  void entry(int64_t dir, int64_t count, int64_t e, int depth) {
    const uint16_t tag = readUint16(buf_, e, order_);
    const int typeSize = fieldTypeSize(static_cast<uint8_t>(readUint16(buf_, e + 2, order_)));
    const int64_t size = int64_t{typeSize} * readUint32(buf_, e + 4, order_);
    const int64_t value = readUint32(buf_, e + 8, order_);
    const bool sub = std::ranges::find(format_.subDirectories, tag) !=
                     format_.subDirectories.end();
    if (size > 4) {
      offsetField(e + 8);
      reach(base_ + value, size);
      if (sub) directory(base_ + value, depth + 1);
    } else if (sub && size == 4) {
      offsetField(e + 8);
      directory(base_ + value, depth + 1);
    }
    for (const StartLength& block : format_.blocks) {
      if (block.start != tag || size != 4) continue;
      for (int64_t j = 0; j < count; ++j) {
        const int64_t other = dir + 2 + 12 * j;
        if (!base::fits(buf_, other, 12) || readUint16(buf_, other, order_) != block.length) {
          continue;
        }
        offsetField(e + 8);
        reach(base_ + value, readUint32(buf_, other + 8, order_));
      }
    }
  }

  // A field of four bytes holding an offset from the TIFF header.
  void offsetField(int64_t pos) {
    if (format_.tiffRelative && pos >= at_) out_.offsetFields.push_back(pos - at_);
  }

  // Bytes the note addresses; those that do not lie in the buffer are lost
  // already and are not counted.
  void reach(int64_t pos, int64_t size) {
    if (size <= 0 || !base::fits(buf_, pos, size)) return;
    if (pos < at_) {
      out_.reachesBefore = true;
      return;
    }
    out_.end = std::max(out_.end, pos - at_ + size);
  }

  base::ByteView buf_;
  int64_t at_;
  int64_t base_;
  ByteOrder order_;
  const NoteFormat& format_;
  MakerNoteReach& out_;
  int directories_ = 0;
  int entries_ = 0;
};

}  // namespace

MakerNoteReach makerNoteReach(const std::string& make, base::ByteView buf, int64_t tiffBase,
                              bool bigEndian, int64_t at, int64_t length) {
  MakerNoteReach out;
  out.end = length;
  out.bigEndian = bigEndian;
  if (!base::fits(buf, at, length) || length < 8) return out;
  const base::ByteView note = buf.subspan(static_cast<size_t>(at), static_cast<size_t>(length));
  const NoteFormat* format = formatOf(make, note);
  if (format == nullptr || length < format->directoryAt + 2) return out;

  int64_t base = tiffBase, directory = at + format->directoryAt;
  const std::string_view header = format->header;
  if (header == "FUJIFILM") {
    bigEndian = false;
    base = at;
    directory = at + readUint32(note, 8, kLittleEndian);
  } else if (header.starts_with("Nikon") && format->directoryAt == 10) {
    bigEndian = note[10] == 'M';
    base = at + 10;
    directory = base + readUint32(note, 14, orderOf(bigEndian));
  } else if (header == "OLYMPUS\0"sv || header == "PENTAX \0"sv || header == "AOC\0"sv) {
    // The byte order follows the header: "II" is little-endian, anything
    // else (Pentax's "AOC" may hold spaces) big-endian.
    bigEndian = note[header == "AOC\0"sv ? 4 : 8] != 'I';
    if (!format->tiffRelative) base = at;
  } else if (header.starts_with("Apple")) {
    bigEndian = note[12] == 'M';
    base = at;
  } else if (format->tiffRelative) {
    // A note moved by an earlier rewrite that kept Canon's footer ("II*\0"
    // or "MM\0*" and the note's first offset) counts from the shifted base;
    // the footer is an offset to shift with the others.
    const base::ByteView footer = note.subspan(note.size() - 8);
    const bool little = startsWith(footer, std::string_view("II*\0", 4));
    if (little || startsWith(footer, std::string_view("MM\0*", 4))) {
      base += (at - tiffBase) - readUint32(footer, 4, orderOf(!little));
      bigEndian = !little;
      out.offsetFields.push_back(length - 4);
    }
  }
  // Some makers write their note in their own byte order whatever the
  // block's (Canon's are little-endian): a count that cannot fit the note
  // in one order, and can in the other, names the order. A note whose
  // directory fits in neither is no directory, and nothing is rewritten.
  auto fitsNote = [&](bool be) {
    const int64_t count = readUint16(buf, directory, orderOf(be));
    return count > 0 && 2 + 12 * count <= at + length - directory;
  };
  if (!fitsNote(bigEndian)) {
    if (!fitsNote(!bigEndian)) {
      out.offsetFields.clear();
      return out;
    }
    bigEndian = !bigEndian;
  }
  Walk(buf, at, length, base, bigEndian, *format, out).directory(directory, 0);
  std::sort(out.offsetFields.begin(), out.offsetFields.end());
  out.offsetFields.erase(std::unique(out.offsetFields.begin(), out.offsetFields.end()),
                         out.offsetFields.end());
  return out;
}

}  // namespace kd::exif
