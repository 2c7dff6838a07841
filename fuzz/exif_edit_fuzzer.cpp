// Edit sessions on arbitrary bytes: open a session, apply the setters the
// last input byte selects, write the file and strip it. Every non-empty
// output must read back without error; a written JPEG or TIFF must hold the
// new Artist and the GPS position.
#include <cstdint>
#include <cstdlib>

#include "base/error.h"
#include "exif/edit.h"
#include "exif/exif.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void reread(const kd::base::Bytes& out) {
  if (out.empty()) return;
  (void)kd::exif::readMetadataFromBytes(out);
  (void)kd::exif::parseExifBytes(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[size - 1];
  kd::base::ByteView in(data, size - 1);
  try {
    kd::exif::EditSession s = kd::exif::parseExifBytes(in);
    if (flags & 1) kd::exif::stripAll(s);
    kd::exif::setArtist(s, "fuzz artist");
    if (flags & 2) kd::exif::setGps(s, -33.8688, 151.2093, -5);
    if (flags & 4) kd::exif::setDateTimeOriginal(s, "2020:01:01 00:00:00");
    if (flags & 8) kd::exif::setTagByName(s, "UserComment", "hello");
    if (flags & 16) kd::exif::setTagByName(s, "FNumber", "28/10 1/0");
    kd::base::Bytes out = kd::exif::writeExifBytes(in, s);
    reread(out);
    const bool jpegOrTiff = in.size() >= 2 && ((in[0] == 0xFF && in[1] == 0xD8) ||
                                               (in[0] == 'I' && in[1] == 'I') ||
                                               (in[0] == 'M' && in[1] == 'M'));
    if (!out.empty() && jpegOrTiff) {
      kd::exif::EditSession back = kd::exif::parseExifBytes(out);
      const kd::exif::EditValue* artist = back.ifd0.find(0x013B);
      check(artist != nullptr && artist->text == "fuzz artist");
      if (flags & 2) check(back.gps.find(2) != nullptr && back.gps.find(2)->rationals.size() == 3);
    }
    reread(kd::exif::stripMetadataBytes(in));
  } catch (const kd::base::KeldraException&) {
  }
  return 0;
}
