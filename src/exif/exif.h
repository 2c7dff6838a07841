// The metadata record and container dispatch: turns a byte buffer (or the
// start of a file) into one Metadata record.
//
// Reading is lenient: damaged structures are skipped, never repaired, and
// nothing here reports a parse error; `isValid` says whether real metadata
// was found.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "base/bytes.h"
#include "exif/isobmff.h"
#include "exif/tags.h"
#include "exif/tiff.h"

namespace kd::exif {

// A calendar date and time. `utc` false means local time. The default,
// 1899-01-01 00:00:00 local, means "unknown"; any year from 1900 on is real.
struct DateTime {
  int64_t year = 1899;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool utc = false;
  // The offset from UTC the source stated beside a local time (EXIF's
  // OffsetTimeOriginal, "+02:00" is 120), when `hasOffset`.
  bool hasOffset = false;
  int offsetMinutes = 0;

  bool known() const { return year >= 1900; }
  bool operator==(const DateTime&) const = default;
};

struct Metadata {
  DateTime dateTime;
  std::string camera;    // Make and Model texts
  std::string software;  // raw Software text
  bool isValid = false;
  int64_t orientation = 0;
  double latitude = 0;   // degrees, negative south after the fix-ups
  double longitude = 0;  // degrees, negative west after the fix-ups
  char latRef = 0;       // 'N' or 'S' when known
  char lonRef = 0;       // 'E' or 'W' when known
  double altitude = 0;   // metres, negative below sea level after the fix-ups
  TagMap tags;

  bool hasGps() const {
    return (latRef == 'N' || latRef == 'S') && (lonRef == 'E' || lonRef == 'W');
  }
};

// Default byte limit of file reads: 16 MiB.
inline constexpr int64_t kMetadataReadLimit = 16777216;

Metadata readMetadataFromBytes(base::ByteView buf);
// Reads at most `maxBytes` bytes of the file's start (plus targeted reads of
// a movie box or Exif item beyond them). A missing, empty or unreadable file
// gives the default record.
Metadata readMetadata(const std::string& path, int64_t maxBytes);

// Parses the TIFF block at `pos` (IFD0, its Exif and GPS directories); does
// nothing unless 0 < pos < buffer length.
void parseTiffAt(Metadata& md, base::ByteView buf, int64_t pos);
void parseTiffAt(Metadata& md, base::ByteView buf, int64_t pos, ReadBudget& budget);

// Position of the TIFF header of the buffer's EXIF block; empty when none.
FoundOffset exifTiffBase(base::ByteView buf);

// Merge one directory into the record.
void addIfdTags(Metadata& md, const Ifd& dir, base::ByteView buf, int64_t base,
                ReadBudget& budget);
void addGpsTags(Metadata& md, const Ifd& dir, ReadBudget& budget);

DateTime parseDateTime(std::string_view text);
// An EXIF offset text "+HH:MM" or "-HH:MM" (hours 0..14) in minutes, or none.
std::optional<int> parseUtcOffset(std::string_view text);
// ISO 8601 text of a known date: "2020-05-01T10:20:30", then "+02:00" when it
// has an offset or "Z" when it is in UTC. Empty for an unknown date.
std::string isoDateText(const DateTime& d);
// 1904-01-01 00:00:00 UTC plus `seconds`.
DateTime parseMP4Time(uint64_t seconds);
void applyVideoMeta(Metadata& md, const VideoMeta& video);

}  // namespace kd::exif
