// Apple maker notes: "Apple iOS", then at byte 14 a big-endian directory
// whose offsets are relative to the block's start. Tags without a name are
// kept as "Apple:0x...." unless they hold opaque data (UNDEFINED, or nine
// or more bytes).
#include <cstdio>

#include "exif/makernotes.h"
#include "exif/makernotes/common.h"

namespace kd::exif {

namespace {

using makernote::Value;

constexpr Value kNames[] = {
    {1, "MakerNoteVersion"}, {4, "AEStable"},        {5, "AETarget"},
    {6, "AEAverage"},        {7, "AFStable"},        {8, "AccelerationVector"},
    {10, "HDRImageType"},    {12, "FocusDistanceRange"}, {20, "ImageCaptureType"},
    {31, "PhotosAppFeatureFlags"}, {33, "HDRHeadroom"}, {35, "AFPerformance"},
    {39, "SignalToNoiseRatio"}, {43, "PhotoIdentifier"}, {45, "ColorTemperature"},
    {46, "CameraType"},      {47, "FocusPosition"},  {48, "HDRGain"},
    {56, "AFMeasuredDepth"}, {61, "AFConfidence"}};

constexpr Value kCameraType[] = {{0, "Back Wide Angle"}, {1, "Back Normal"}, {6, "Front"}};
constexpr Value kCaptureType[] = {{1, "ProRAW"}, {2, "Portrait"}, {10, "Photo"}, {12, "Scene"}};

constexpr std::string_view kRatioNames[] = {"HDRGain", "HDRHeadroom", "AccelerationVector",
                                            "FocusDistanceRange", "SignalToNoiseRatio"};

// Every rational token as a decimal of at most four places.
std::string ratios(const std::string& raw) {
  std::string out;
  size_t i = 0;
  while (i < raw.size()) {
    size_t j = raw.find(' ', i);
    if (j == std::string::npos) j = raw.size();
    std::string_view token(raw.data() + i, j - i);
    if (!token.empty()) {
      if (!out.empty()) out.push_back(' ');
      if (token.find('/') == std::string_view::npos) {
        out.append(token);
      } else {
        out += fmtNum(4, parseRational(token));
      }
    }
    i = j + 1;
  }
  return out;
}

// The whole raw text as a key of `table`; the raw text itself otherwise.
std::string wordOf(makernote::ValueTable table, const std::string& raw) {
  auto v = parseWholeInt(raw);
  const char* t = v ? makernote::lookup(table, *v) : nullptr;
  return t == nullptr ? raw : t;
}

std::string render(std::string_view name, const std::string& raw) {
  for (std::string_view r : kRatioNames) {
    if (name == r) return ratios(raw);
  }
  if (name == "CameraType") return wordOf(kCameraType, raw);
  if (name == "ImageCaptureType") return wordOf(kCaptureType, raw);
  return raw;
}

}  // namespace

bool isAppleMakerNote(base::ByteView note) {
  return note.size() > 15 && makernote::startsWith(note, "Apple iOS");
}

TagMap parseAppleMakerNote(base::ByteView note, ReadBudget& budget) {
  TagMap out;
  if (note.size() < 16) return out;
  Ifd dir = readIFD(note, 14, 0, true, &budget);
  for (const IfdEntry& e : dir.entries) {
    std::string name;
    if (const char* known = makernote::lookup(kNames, e.tag)) {
      name = known;
    } else {
      if (e.fieldType == kUndefined) continue;
      if ((e.fieldType == kByte || e.fieldType == kSByte) && e.count >= 9) continue;
      char buf[16];
      std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(e.tag));
      name = buf;
    }
    if (!budget.spendText(static_cast<int64_t>(e.data.size()))) break;
    out.insert_or_assign("Apple:" + name, render(name, toString(e)));
  }
  return out;
}

TagMap parseAppleMakerNote(base::ByteView note) {
  ReadBudget budget = ReadBudget::forInputSize(note.size());
  return parseAppleMakerNote(note, budget);
}

}  // namespace kd::exif
