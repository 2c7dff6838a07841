// FujiFilm maker notes: "FUJIFILM", then the little-endian offset of the
// directory from the block's start. Always little-endian, and every offset
// is relative to the block, whatever the enclosing file's order.
#include "exif/makernotes/common.h"

namespace kd::exif::makernote {

namespace {

constexpr Value kWhiteBalance[] = {{0, "Auto"},
                                   {256, "Daylight"},
                                   {512, "Cloudy"},
                                   {768, "Daylight Fluorescent"},
                                   {769, "Day White Fluorescent"},
                                   {770, "White Fluorescent"},
                                   {1024, "Incandescent"},
                                   {3840, "Custom"}};
constexpr Value kFlashMode[] = {
    {0, "Auto"}, {1, "On"}, {2, "Off"}, {3, "Red-eye reduction"}, {4, "External"}};
constexpr Value kFocus[] = {{0, "Auto"}, {1, "Manual"}};
constexpr Value kPictureMode[] = {{0, "Auto"},
                                  {1, "Portrait"},
                                  {2, "Landscape"},
                                  {4, "Sports"},
                                  {5, "Night"},
                                  {6, "Program AE"},
                                  {256, "Aperture-priority AE"},
                                  {512, "Shutter speed priority AE"},
                                  {768, "Manual"}};
constexpr Value kAutoBracketing[] = {{0, "Off"}, {1, "On"}, {2, "No flash & flash"}};
constexpr Value kBlurWarning[] = {{0, "None"}, {1, "Blur Warning"}};
constexpr Value kFocusWarning[] = {{0, "Good"}, {1, "Out of focus"}};
constexpr Value kExposureWarning[] = {{0, "Good"}, {1, "Bad exposure"}};

constexpr TagRule kTags[] = {
    {0, "Version"},
    {4096, "Quality"},
    {4098, "WhiteBalance", kWhiteBalance},
    {4112, "FujiFlashMode", kFlashMode},
    {4128, "Macro", kOnOff},
    {4129, "FocusMode", kFocus},
    {4144, "SlowSync", kOnOff},
    {4145, "PictureMode", kPictureMode},
    {4352, "AutoBracketing", kAutoBracketing},
    {4864, "BlurWarning", kBlurWarning},
    {4865, "FocusWarning", kFocusWarning},
    {4866, "ExposureWarning", kExposureWarning},
};

}  // namespace

TagMap parseFujiMakerNote(const NoteInput& in) {
  const base::ByteView block = in.note.data;
  if (block.size() < 12 || !startsWith(block, "FUJIFILM")) return {};
  const int64_t p = in.note.valueOffset;
  TagMap out;
  Ifd dir = readNoteDirectory(in, p + readUint32(block, 8, kLittleEndian), p, false);
  addTagRules(dir, kTags, "FujiFilm:", in.budget, out);
  return out;
}

}  // namespace kd::exif::makernote
