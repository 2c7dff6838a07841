// Shared pieces of the maker-note parsers: value tables, per-maker tag
// tables, fields of binary arrays, and the one loop that turns a maker's
// directory into prefixed name/text pairs.
//
// Every parser describes its maker as constant data: a table of
// (tag id, name, value table or renderer) rows sorted by id, and for arrays
// of settings a table of (element, mask, name, value table or renderer)
// rows. Adding a tag is adding a row.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "exif/tags.h"
#include "exif/tiff.h"

namespace kd::exif::makernote {

// One key of a value table and its display text.
struct Value {
  int64_t key;
  const char* text;
};
using ValueTable = std::span<const Value>;

// The table of the many maker-note flags stored as 0 or 1.
inline constexpr Value kOnOff[] = {{0, "Off"}, {1, "On"}};

// A value table keyed by short texts (Sigma, Olympus).
struct TextValue {
  std::string_view key;
  const char* text;
};
using TextValueTable = std::span<const TextValue>;

// The text of `key`, or null when the table has none.
const char* lookup(ValueTable table, int64_t key);
const char* lookup(TextValueTable table, std::string_view key);

// `toString` of the entry with white space trimmed at both ends.
std::string rawText(const IfdEntry& entry);
// The first space-separated token of `raw` as a decimal integer; -1 when it
// does not parse.
int64_t num(std::string_view raw);

// Renders one directory entry; the empty text means "no pair".
using EntryRenderer = std::string (*)(const IfdEntry& entry, const std::string& raw);

// A row of a maker's tag table. Exactly one way of rendering applies:
// `render` when set; else `values` looked up with num(raw) (no pair when the
// key is missing); else `textValues` looked up with raw; else raw itself.
struct TagRule {
  uint16_t id;
  const char* name;
  ValueTable values = {};
  EntryRenderer render = nullptr;
  TextValueTable textValues = {};
};

// Renders one element of a settings array; the empty text means "no pair".
using FieldRenderer = std::string (*)(int64_t value);

// A field of a settings array: element `index` of `width` bytes (1, 2 or 4)
// at byte index * width of the value, in the entry's byte order, masked
// with `mask` (0 = the whole element) and shifted down to bit 0. Signed
// fields are sign-extended from their width. Rendered by `render`, else by
// `values`, else as a decimal number.
struct FieldRule {
  uint16_t index;
  const char* name;
  ValueTable values = {};
  FieldRenderer render = nullptr;
  uint8_t width = 1;
  uint32_t mask = 0;
  bool isSigned = false;
};

// What every maker parser receives: the whole buffer, the MakerNote entry
// (its `data` is the block, `valueOffset` the block's position), the base
// and byte order of the enclosing TIFF block, the model text and the read's
// budget.
struct NoteInput {
  base::ByteView buf;
  const IfdEntry& note;
  int64_t base;
  bool bigEndian;
  const std::string& model;
  ReadBudget& budget;
};

// Reads the maker's directory at `pos` through the bounded reader.
Ifd readNoteDirectory(const NoteInput& in, int64_t pos, int64_t base, bool bigEndian);

// How far an earlier rewrite moved a note whose value offsets are relative
// to the TIFF header, without fixing them (0 when it was not moved), read
// as exiftool reads it: from the note's footer ("II*\0" or "MM\0*" and the
// note's original offset, as Canon writes it), else from the first entry
// whose value lies beyond the buffer (its values then begin right after the
// directory). `dir` is the note's directory read at the unshifted base.
int64_t movedNoteShift(const NoteInput& in, const Ifd& dir);

// Adds "<prefix><name>" pairs for every entry of `dir` that has rows in
// `rules` (sorted by id; several rows may share an id). Each entry's value
// bytes count against the text budget; reading stops when it runs out.
void addTagRules(const Ifd& dir, std::span<const TagRule> rules, std::string_view prefix,
                 ReadBudget& budget, TagMap& out);

// Adds the pairs of the fields of a settings array `entry`. A field whose
// bytes lie beyond the value is absent.
void addFieldRules(const IfdEntry& entry, std::span<const FieldRule> fields,
                   std::string_view prefix, TagMap& out);

// True when the block starts with `header` (which may hold zero bytes).
bool startsWith(base::ByteView block, std::string_view header);

// Display text of an exposure time in seconds: "1/250" below a quarter of
// a second, else the seconds with at most one decimal.
std::string exposureText(double seconds);

// The maker parsers, one per file.
TagMap parseCanonMakerNote(const NoteInput& in);
TagMap parseNikonMakerNote(const NoteInput& in);
TagMap parsePanasonicMakerNote(const NoteInput& in);
TagMap parseFujiMakerNote(const NoteInput& in);
TagMap parsePentaxMakerNote(const NoteInput& in);
TagMap parseOlympusMakerNote(const NoteInput& in);
TagMap parseCasioMakerNote(const NoteInput& in);
TagMap parseMinoltaMakerNote(const NoteInput& in);
TagMap parseSigmaMakerNote(const NoteInput& in);

}  // namespace kd::exif::makernote
