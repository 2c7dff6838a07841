// Nikon maker notes, in three layouts:
//   "Nikon\0" then a TIFF header at +10: the notes carry their own byte
//     order, and their offsets are relative to that header;
//   "Nikon\0" without one: a directory at +8, offsets relative to the block,
//     written by the early Coolpix cameras, which number their tags their
//     own way (3 is the quality there, the colour mode in later notes);
//   no header: a directory at the start of the block, like the parent's.
// Texts that are one upper-case word are shown capitalised ("FINE" is
// "Fine"); anything else is kept as the camera wrote it.
#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }

std::string capitalisedWord(const IfdEntry&, const std::string& raw) {
  if (raw.empty()) return {};
  for (char c : raw) {
    if (!isUpper(c)) return raw;
  }
  std::string out = raw;
  for (size_t i = 1; i < out.size(); ++i) out[i] = static_cast<char>(out[i] - 'A' + 'a');
  return out;
}

constexpr TagRule kTags[] = {
    {3, "ColorMode", {}, capitalisedWord},
    {4, "Quality", {}, capitalisedWord},
    {5, "WhiteBalance", {}, capitalisedWord},
    {6, "Sharpness", {}, capitalisedWord},
    {7, "FocusMode", {}, capitalisedWord},
    {15, "ISOSelection", {}, capitalisedWord},
    {128, "ImageAdjustment", {}, capitalisedWord},
    {130, "AuxiliaryLens", {}, capitalisedWord},
    {132, "Lens", {}, capitalisedWord},
};

// The early notes' ids of the same settings.
constexpr TagRule kEarlyTags[] = {
    {3, "Quality", {}, capitalisedWord},
    {4, "ColorMode", {}, capitalisedWord},
    {5, "ImageAdjustment", {}, capitalisedWord},
    {7, "WhiteBalance", {}, capitalisedWord},
};

}  // namespace

TagMap parseNikonMakerNote(const NoteInput& in) {
  const base::ByteView block = in.note.data;
  const int64_t p = in.note.valueOffset;
  Ifd dir;
  std::span<const TagRule> tags = kTags;
  if (startsWith(block, std::string_view("Nikon\0", 6))) {
    if (block.size() > 10 && (block[10] == 'I' || block[10] == 'M')) {
      const bool be = block[10] != 'I';
      if (block.size() < 18) return {};
      const int64_t base = p + 10;
      dir = readNoteDirectory(in, base + readUint32(block, 14, orderOf(be)), base, be);
    } else {
      if (block.size() < 10) return {};
      dir = readNoteDirectory(in, p + 8, p, in.bigEndian);
      tags = kEarlyTags;
    }
  } else {
    dir = readNoteDirectory(in, p, in.base, in.bigEndian);
  }
  TagMap out;
  addTagRules(dir, tags, "Nikon:", in.budget, out);
  return out;
}

}  // namespace kd::exif::makernote
