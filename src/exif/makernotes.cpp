// Maker-note dispatch: the Make text names the maker, the first keyword it
// contains picks the parser. Each parser lives in makernotes/<maker>.cpp.
#include "exif/makernotes.h"

#include "exif/makernotes/common.h"

namespace kd::exif {

namespace {

using Parser = TagMap (*)(const makernote::NoteInput&);

struct MakerKeyword {
  std::string_view keyword;
  Parser parse;
};

// Order matters: a Make holding two keywords goes to the earlier one.
constexpr MakerKeyword kMakers[] = {
    {"canon", makernote::parseCanonMakerNote},
    {"nikon", makernote::parseNikonMakerNote},
    {"panasonic", makernote::parsePanasonicMakerNote},
    {"fuji", makernote::parseFujiMakerNote},
    {"pentax", makernote::parsePentaxMakerNote},
    {"olympus", makernote::parseOlympusMakerNote},
    {"casio", makernote::parseCasioMakerNote},
    {"minolta", makernote::parseMinoltaMakerNote},
    {"sigma", makernote::parseSigmaMakerNote},
};

std::string asciiLower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

}  // namespace

TagMap parseMakerNote(const std::string& make, base::ByteView buf, const IfdEntry& note,
                      int64_t base, bool bigEndian, const std::string& model,
                      ReadBudget& budget) {
  // A block that does not lie inside the buffer has nothing to read.
  if (make.empty() || note.data.empty()) return {};
  const std::string lower = asciiLower(make);
  for (const MakerKeyword& m : kMakers) {
    if (lower.find(m.keyword) != std::string::npos) {
      return m.parse(makernote::NoteInput{buf, note, base, bigEndian, model, budget});
    }
  }
  return {};
}

}  // namespace kd::exif
