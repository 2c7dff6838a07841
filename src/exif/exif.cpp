#include "exif/exif.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "base/text.h"
#include "exif/endian.h"
#include "exif/iptc.h"
#include "exif/jpeg.h"
#include "exif/json.h"
#include "exif/makernotes.h"
#include "exif/png.h"
#include "exif/tag_ids.h"
#include "exif/png_profiles.h"
#include "exif/webp.h"
#include "exif/xmp.h"

namespace kd::exif {

namespace {

constexpr int64_t kMoovPayloadCap = 5242880;  // 5 MiB

// `prefix` and the id as four upper-case hex digits.
std::string unknownKey(std::string_view prefix, uint16_t id) {
  constexpr char kHexDigits[] = "0123456789ABCDEF";
  std::string key(prefix);
  for (int shift = 12; shift >= 0; shift -= 4) key.push_back(kHexDigits[(id >> shift) & 15]);
  return key;
}

std::string storedText(const TagMap& tags, std::string_view key) {
  auto it = tags.find(key);
  return it == tags.end() ? std::string() : it->second;
}

bool startsWith(base::ByteView buf, int64_t pos, const char* text) {
  size_t n = std::strlen(text);
  return base::fits(buf, pos, static_cast<int64_t>(n)) &&
         std::memcmp(buf.data() + pos, text, n) == 0;
}

bool isoBrandAt4(base::ByteView buf) {
  return buf.size() >= 8 && (startsWith(buf, 4, "ftyp") || startsWith(buf, 4, "moov"));
}

bool isTiffMagic(base::ByteView buf) {
  return buf.size() >= 4 && (startsWith(buf, 0, "II*\0") || std::memcmp(buf.data(), "MM\0*", 4) == 0);
}

void mergePairs(Metadata& md, const TagMap& pairs) {
  for (const auto& [name, text] : pairs) md.tags.insert_or_assign(name, text);
}

void addInterop(Metadata& md, const IfdEntry& pointer, base::ByteView buf, int64_t base,
                ReadBudget& budget) {
  auto offset = readLongTag(pointer);
  if (!offset) return;
  int64_t pos = base + *offset;
  if (!base::fits(buf, pos, 2)) return;
  Ifd dir = readIFD(buf, pos, base, pointer.bigEndian, &budget);
  for (const IfdEntry& e : dir.entries) {
    if (e.tag != 1 && e.tag != 2 && e.tag != 4097 && e.tag != 4098) continue;
    if (!budget.spendText(static_cast<int64_t>(e.data.size()))) return;
    std::string raw = toString(e);
    switch (e.tag) {
      case 1: {
        std::string text(base::trimAscii(raw));
        if (text == "R98") text = "R98 - DCF basic file (sRGB)";
        if (text == "THM") text = "THM - DCF thumbnail file";
        if (text == "R03") text = "R03 - DCF option file (Adobe RGB)";
        md.tags.insert_or_assign("InteropIndex", std::move(text));
        break;
      }
      case 2: {
        std::string text(base::trimAscii(raw));
        if (!text.empty()) md.tags.insert_or_assign("InteropVersion", std::move(text));
        break;
      }
      case 4097: md.tags.insert_or_assign("RelatedImageWidth", std::move(raw)); break;
      default: md.tags.insert_or_assign("RelatedImageHeight", std::move(raw)); break;
    }
  }
}

// Maker-note entry: true when a parser consumed it (the entry itself is then
// not stored).
bool addMakerNote(Metadata& md, const Ifd& dir, const IfdEntry& note, base::ByteView buf,
                  int64_t base, ReadBudget& budget) {
  if (isAppleMakerNote(note.data)) {
    mergePairs(md, parseAppleMakerNote(note.data, budget));
    return true;
  }
  std::string make = storedText(md.tags, "Make");
  std::string model = storedText(md.tags, "Model");
  if (const IfdEntry* e = dir.find(kTagMake)) make = toString(*e);
  if (const IfdEntry* e = dir.find(kTagModel)) model = toString(*e);
  TagMap pairs = parseMakerNote(make, buf, note, base, note.bigEndian, model, budget);
  if (pairs.empty()) return false;
  mergePairs(md, pairs);
  return true;
}

void promote(Metadata& md, std::string_view name, const std::string& raw) {
  if (name == "Make") {
    md.camera = raw;
  } else if (name == "Model") {
    md.camera = md.camera.empty() ? raw : md.camera + " " + raw;
  } else if (name == "Software") {
    md.software = raw;
  } else if (name == "Orientation") {
    if (auto v = parseWholeInt(raw)) md.orientation = *v;
  }
}

void setCaptureDate(Metadata& md, const Ifd& exifDir) {
  const IfdEntry* e = exifDir.find(kTagDateTimeOriginal);
  uint16_t offsetTag = kTagOffsetTimeOriginal;
  if (e == nullptr) {
    e = exifDir.find(kTagCreateDate);
    offsetTag = kTagOffsetTimeDigitized;
  }
  if (e == nullptr) return;
  DateTime d = parseDateTime(toString(*e));
  if (!d.known()) return;
  if (const IfdEntry* o = exifDir.find(offsetTag)) {
    if (auto minutes = parseUtcOffset(base::trimAscii(toString(*o)))) {
      d.hasOffset = true;
      d.offsetMinutes = *minutes;
    }
  }
  md.dateTime = d;
}

// The Exif and GPS directories a directory points at (offsets relative to
// `base`).
void followExifAndGps(Metadata& md, const Ifd& dir, base::ByteView buf, int64_t base, bool be,
                      ReadBudget& budget) {
  if (const IfdEntry* e = dir.find(kTagExifIfd)) {
    if (auto off = readLongTag(*e); off && base::fits(buf, base + *off, 2)) {
      Ifd exifDir = readIFD(buf, base + *off, base, be, &budget);
      addIfdTags(md, exifDir, buf, base, budget);
      setCaptureDate(md, exifDir);
    }
  }
  if (const IfdEntry* e = dir.find(kTagGpsIfd)) {
    if (auto off = readLongTag(*e); off && base::fits(buf, base + *off, 2)) {
      addGpsTags(md, readIFD(buf, base + *off, base, be, &budget), budget);
    }
  }
}

void readJpeg(Metadata& md, base::ByteView buf, ReadBudget& budget) {
  const FoundRange app1 = findExifAPP1(buf);
  if (!app1) return;
  const auto [t, n] = *app1;
  const bool be = buf[static_cast<size_t>(t)] != 'I';
  uint32_t o = readUint32(buf, t + 4, orderOf(be));
  std::unordered_set<uint32_t> visited;
  while (o != 0 && o < n && !visited.count(o) && base::fits(buf, t + o, 2)) {
    visited.insert(o);
    Ifd dir = readIFD(buf, t + o, t, be, &budget);
    addIfdTags(md, dir, buf, t, budget);
    if (!dir.empty()) md.isValid = true;
    followExifAndGps(md, dir, buf, t, be, budget);
    if (budget.exhausted()) return;
    o = dir.nextOffset;
  }
}

// Whole TIFF files: the IFD chain plus SubIFDs, last in first out, so a
// directory's sub-IFDs (last one first) come before its successor.
void readTiff(Metadata& md, base::ByteView buf, ReadBudget& budget) {
  const bool be = buf[0] == 'M';
  const int64_t size = static_cast<int64_t>(buf.size());
  std::vector<uint32_t> work{readUint32(buf, 4, orderOf(be))};
  std::unordered_set<uint32_t> visited;
  while (!work.empty() && !budget.exhausted()) {
    uint32_t o = work.back();
    work.pop_back();
    if (o == 0 || o >= size || !visited.insert(o).second) continue;
    if (!base::fits(buf, o, 2)) continue;
    Ifd dir = readIFD(buf, o, 0, be, &budget);
    addIfdTags(md, dir, buf, 0, budget);
    if (!dir.empty()) md.isValid = true;
    if (dir.nextOffset != 0) work.push_back(dir.nextOffset);
    if (const IfdEntry* sub = dir.find(kTagSubIfds)) {
      uint64_t c = sub->count;
      if (sub->data.size() >= 4 * c && budget.spendWork(static_cast<int64_t>(c))) {
        for (uint64_t i = 0; i < c; ++i) {
          uint32_t v = readUint32(sub->data, static_cast<int64_t>(i * 4), orderOf(sub->bigEndian));
          if (v != 0 && v < size) work.push_back(v);
        }
      }
    }
    followExifAndGps(md, dir, buf, 0, be, budget);
  }
}

void readIsobmff(Metadata& md, base::ByteView buf, ReadBudget& budget) {
  if (const FoundOffset t = findIsobmffExif(buf)) parseTiffAt(md, buf, *t, budget);
  if (md.isValid) return;
  const int64_t size = static_cast<int64_t>(buf.size());
  int64_t pos = 0;
  while (size - pos >= 8) {
    uint64_t box = readUint32(buf, pos, kBigEndian);
    int64_t header = 8;
    if (box == 1) {
      if (!base::fits(buf, pos, 16)) return;
      box = uint64_t{readUint32(buf, pos + 8, kBigEndian)} << 32 |
            readUint32(buf, pos + 12, kBigEndian);
      header = 16;
    } else if (box == 0) {
      box = static_cast<uint64_t>(size - pos);
    }
    if (box < 8) return;
    if (startsWith(buf, pos + 4, "moov")) {
      int64_t start = pos + header;
      int64_t take = std::min<int64_t>(size - start, kMoovPayloadCap);
      if (box - header < static_cast<uint64_t>(take)) take = static_cast<int64_t>(box) - header;
      if (take >= 1) {
        applyVideoMeta(md, parseIsobmff(buf.subspan(static_cast<size_t>(start),
                                                    static_cast<size_t>(take))));
      }
      return;
    }
    if (box > static_cast<uint64_t>(size - pos)) return;
    pos += static_cast<int64_t>(box);
  }
}

// Output charge of one text: itself plus its JSON string and the line
// around it (indent, ": ", ",\n").
int64_t outputCost(std::string_view text) {
  return static_cast<int64_t>(text.size() + jsonStringSize(text) + 8);
}

// Everything a read hands out is charged here, in one place, whatever part
// of the reader produced it, so the text and the JSON document stay within a
// fixed multiple of the input. The camera and software texts come first
// (cleared when they do not fit), then the tags in name order; from the first
// tag that does not fit on, the tags are dropped.
void fitOutputToBudget(Metadata& md, ReadBudget& budget) {
  budget.spendOutput(ReadBudget::kJsonFrame);
  for (std::string* text : {&md.camera, &md.software}) {
    if (!budget.spendOutput(outputCost(*text))) text->clear();
  }
  for (auto it = md.tags.begin(); it != md.tags.end(); ++it) {
    if (!budget.spendOutput(outputCost(it->first) + outputCost(it->second))) {
      md.tags.erase(it, md.tags.end());
      return;
    }
  }
}

void applySignFixups(Metadata& md) {
  if (md.latRef == 'S' && md.latitude > 0) md.latitude = -md.latitude;
  if (md.lonRef == 'W' && md.longitude > 0) md.longitude = -md.longitude;
  auto it = md.tags.find(std::string_view("GPSAltitudeRef"));
  if (it != md.tags.end() &&
      (it->second == "1" || it->second == "01" || it->second == "Below Sea Level") &&
      md.altitude > 0) {
    md.altitude = -md.altitude;
  }
}

Metadata readBytes(base::ByteView buf, ReadBudget& budget) {
  Metadata md;
  if (buf.size() < 2) return md;
  const bool jpeg = buf[0] == 0xFF && buf[1] == 0xD8;
  if (jpeg) {
    readJpeg(md, buf, budget);
  } else if (isTiffMagic(buf)) {
    readTiff(md, buf, budget);
  } else if (isoBrandAt4(buf)) {
    readIsobmff(md, buf, budget);
  } else if (isPng(buf)) {
    readPngMetadata(md, buf, budget);
  } else if (isWebp(buf)) {
    if (const FoundOffset t = findExifInWebp(buf)) parseTiffAt(md, buf, *t, budget);
  }
  if (jpeg) {
    for (auto& [name, value] : parseIptc(buf)) {
      if (!value.empty()) md.tags.insert_or_assign("IPTC:" + name, std::move(value));
    }
  }
  for (auto& [name, value] : readXmpBytes(buf, &budget)) {
    if (!value.empty()) md.tags.insert_or_assign("XMP:" + name, std::move(value));
  }
  applySignFixups(md);
  return md;
}

// Fixed-width decimal field of a date pattern.
bool digitsAt(std::string_view s, size_t pos, size_t n, int64_t& out) {
  if (pos + n > s.size()) return false;
  int64_t v = 0;
  for (size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
  }
  out = v;
  return true;
}

bool isLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int64_t y, int m) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && isLeap(y) ? 29 : kDays[m - 1];
}

// One pattern: `dateSep` between year, month and day; `timeSep` (0 for a date
// alone) between the date and the time. The whole text must match.
bool parseDatePattern(std::string_view s, char dateSep, char timeSep, DateTime& out) {
  size_t want = timeSep == 0 ? 10 : 19;
  if (s.size() != want || s[4] != dateSep || s[7] != dateSep) return false;
  int64_t y, mo, d, h = 0, mi = 0, se = 0;
  if (!digitsAt(s, 0, 4, y) || !digitsAt(s, 5, 2, mo) || !digitsAt(s, 8, 2, d)) return false;
  if (timeSep != 0) {
    if (s[10] != timeSep || s[13] != ':' || s[16] != ':') return false;
    if (!digitsAt(s, 11, 2, h) || !digitsAt(s, 14, 2, mi) || !digitsAt(s, 17, 2, se)) {
      return false;
    }
  }
  if (mo < 1 || mo > 12 || d < 1 || d > daysInMonth(y, static_cast<int>(mo))) return false;
  if (h > 23 || mi > 59 || se > 59) return false;
  out = DateTime{y,
                 static_cast<int>(mo),
                 static_cast<int>(d),
                 static_cast<int>(h),
                 static_cast<int>(mi),
                 static_cast<int>(se),
                 false};
  return true;
}

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  if (m <= 2) ++y;
}

std::optional<uint64_t> parseUnsigned(std::string_view s, uint64_t max) {
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (max - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  return v;
}

// A FILE that closes itself.
struct File {
  std::FILE* f = nullptr;
  explicit File(const std::string& path) : f(std::fopen(path.c_str(), "rb")) {}
  ~File() {
    if (f != nullptr) std::fclose(f);
  }
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Up to n bytes at pos; fewer when the file ends.
  base::Bytes readAt(int64_t pos, int64_t n) {
    base::Bytes out;
    if (n <= 0 || fseeko(f, static_cast<off_t>(pos), SEEK_SET) != 0) return out;
    out.resize(static_cast<size_t>(n));
    out.resize(std::fread(out.data(), 1, out.size(), f));
    bytesRead += static_cast<int64_t>(out.size());
    return out;
  }

  int64_t bytesRead = 0;
};

// Step 3 of a file read: the "moov" box of a movie whose start did not hold
// its metadata.
void readMoovFromFile(Metadata& md, File& file, int64_t fileSize) {
  int64_t pos = 0;
  while (fileSize - pos >= 8) {
    base::Bytes head = file.readAt(pos, 8);
    if (head.size() < 8) return;
    uint64_t box = readUint32(head, 0, kBigEndian);
    int64_t header = 8;
    if (box == 1) {
      base::Bytes large = file.readAt(pos + 8, 8);
      if (large.size() < 8) return;
      box = uint64_t{readUint32(large, 0, kBigEndian)} << 32 | readUint32(large, 4, kBigEndian);
      header = 16;
    }
    if (box < 8 || box > static_cast<uint64_t>(INT64_MAX)) return;
    if (std::memcmp(head.data() + 4, "moov", 4) == 0) {
      int64_t take = std::min<int64_t>(static_cast<int64_t>(box) - header, kMoovPayloadCap);
      take = std::min(take, fileSize - pos - header);
      base::Bytes payload = file.readAt(pos + header, take);
      applyVideoMeta(md, parseIsobmff(payload));
      return;
    }
    if (box > static_cast<uint64_t>(fileSize - pos)) return;
    pos += static_cast<int64_t>(box);
  }
}

// Step 4 of a file read: a HEIF Exif item that lies beyond the bytes read.
void readExifItemFromFile(Metadata& md, File& file, int64_t fileSize, const base::Bytes& head,
                          int64_t maxBytes) {
  ItemRecord item = locateExifItem(head);
  const int64_t got = static_cast<int64_t>(head.size());
  if (!item.located || item.constructionMethod != 0 || item.length <= 4 || item.offset < 0) {
    return;
  }
  if (item.length > fileSize - item.offset || item.offset + item.length <= got) return;
  // The item is bounded by the file; reading more than the metadata limit of
  // it is never needed.
  base::Bytes bytes = file.readAt(item.offset, std::min(item.length, std::max<int64_t>(maxBytes, 16)));
  if (bytes.size() <= 3) return;
  int64_t u = int64_t{readUint32(bytes, 0, kBigEndian)} + 4;
  if (u + 5 < static_cast<int64_t>(bytes.size()) &&
      (bytes[static_cast<size_t>(u)] == 'I' || bytes[static_cast<size_t>(u)] == 'M')) {
    md = readMetadataFromBytes(base::ByteView(bytes).subspan(static_cast<size_t>(u)));
  }
}

}  // namespace

void addIfdTags(Metadata& md, const Ifd& dir, base::ByteView buf, int64_t base,
                ReadBudget& budget) {
  for (const IfdEntry& e : dir.entries) {
    if (!budget.spendText(static_cast<int64_t>(e.data.size()))) return;
    if (e.tag == kTagMakerNote && addMakerNote(md, dir, e, buf, base, budget)) continue;
    if (e.tag == kTagInteropIfd) {
      addInterop(md, e, buf, base, budget);
      continue;
    }
    std::string raw = toString(e);
    if (const char* name = exifTagName(e.tag)) {
      promote(md, name, raw);
      // Most tags show their raw text: it moves into the record uncopied.
      md.tags.insert_or_assign(name, formatTagValue(name, std::move(raw), md.tags));
    } else {
      md.tags.insert_or_assign(unknownKey("Unknown:0x", e.tag), std::move(raw));
    }
  }
}

void addGpsTags(Metadata& md, const Ifd& dir, ReadBudget& budget) {
  // The references first, so the coordinates can name their hemisphere.
  for (uint16_t id : {uint16_t{1}, uint16_t{3}, uint16_t{5}}) {
    if (const IfdEntry* e = dir.find(id)) {
      if (!budget.spendText(static_cast<int64_t>(e->data.size()))) return;
      const char* name = gpsTagName(id);
      md.tags.insert_or_assign(name, formatTagValue(name, toString(*e), md.tags));
    }
  }
  for (const IfdEntry& e : dir.entries) {
    if (!budget.spendText(static_cast<int64_t>(e.data.size()))) return;
    std::string raw = toString(e);
    const char* name = gpsTagName(e.tag);
    if (name == nullptr) {
      md.tags.insert_or_assign(unknownKey("GPS:Unknown:0x", e.tag), std::move(raw));
      continue;
    }
    md.tags.insert_or_assign(name, formatTagValue(name, raw, md.tags));
    switch (e.tag) {
      case 1: md.latRef = raw.empty() ? 'N' : raw[0]; break;
      case 2: md.latitude = parseGpsRationals(raw); break;
      case 3: md.lonRef = raw.empty() ? 'E' : raw[0]; break;
      case 4: md.longitude = parseGpsRationals(raw); break;
      case 6: md.altitude = parseGpsRationals(raw); break;
      default: break;
    }
  }
}

void parseTiffAt(Metadata& md, base::ByteView buf, int64_t pos, ReadBudget& budget) {
  const int64_t size = static_cast<int64_t>(buf.size());
  if (pos <= 0 || pos >= size) return;
  const bool be = buf[static_cast<size_t>(pos)] != 'I';
  int64_t ifd0 = pos + readUint32(buf, pos + 4, orderOf(be));
  if (!base::fits(buf, ifd0, 2)) return;
  Ifd dir = readIFD(buf, ifd0, pos, be, &budget);
  addIfdTags(md, dir, buf, pos, budget);
  if (!dir.empty()) md.isValid = true;
  followExifAndGps(md, dir, buf, pos, be, budget);
}

void parseTiffAt(Metadata& md, base::ByteView buf, int64_t pos) {
  ReadBudget budget = ReadBudget::forInputSize(buf.size());
  parseTiffAt(md, buf, pos, budget);
}

Metadata readMetadataFromBytes(base::ByteView buf) {
  ReadBudget budget = ReadBudget::forInputSize(buf.size());
  Metadata md = readBytes(buf, budget);
  fitOutputToBudget(md, budget);
  return md;
}

FoundOffset exifTiffBase(base::ByteView buf) {
  if (buf.size() >= 2) {
    if (buf[0] == 0xFF && buf[1] == 0xD8) {
      const FoundRange app1 = findExifAPP1(buf);
      return app1 ? FoundOffset(app1->offset) : std::nullopt;
    }
    if (isTiffMagic(buf)) return 0;
    if (isoBrandAt4(buf)) return findIsobmffExif(buf);
  }
  if (isPng(buf)) return findExifInPng(buf);
  if (isWebp(buf)) return findExifInWebp(buf);
  return std::nullopt;
}

DateTime parseDateTime(std::string_view text) {
  DateTime d;
  if (parseDatePattern(text, ':', ' ', d) && d.known()) return d;
  if (parseDatePattern(text, '-', ' ', d) && d.known()) return d;
  if (parseDatePattern(text, '-', 'T', d) && d.known()) return d;
  if (parseDatePattern(text, ':', 0, d) && d.known()) return d;
  if (parseDatePattern(text, '-', 0, d) && d.known()) return d;
  return DateTime{};
}

DateTime parseMP4Time(uint64_t seconds) {
  // 1904-01-01 is 24107 days before 1970-01-01.
  constexpr int64_t kEpochDays1904 = -24107;
  DateTime d;
  int64_t days = static_cast<int64_t>(seconds / 86400) + kEpochDays1904;
  int64_t rest = static_cast<int64_t>(seconds % 86400);
  civilFromDays(days, d.year, d.month, d.day);
  d.hour = static_cast<int>(rest / 3600);
  d.minute = static_cast<int>(rest / 60 % 60);
  d.second = static_cast<int>(rest % 60);
  d.utc = true;
  return d;
}

void applyVideoMeta(Metadata& md, const VideoMeta& video) {
  if (!video.make.empty()) md.tags.insert_or_assign("Make", video.make);
  if (!video.model.empty()) md.tags.insert_or_assign("Model", video.model);
  if (!video.software.empty()) md.tags.insert_or_assign("Software", video.software);
  if (video.maxTrackWidth > 0) {
    md.tags.insert_or_assign("ImageWidth", std::to_string(video.maxTrackWidth));
  }
  if (video.maxTrackHeight > 0) {
    md.tags.insert_or_assign("ImageHeight", std::to_string(video.maxTrackHeight));
  }
  std::string_view c = video.creationDate;
  bool dated = false;
  if (c.starts_with("MP4-Time-V0:") || c.starts_with("MP4-Time-V1:")) {
    uint64_t max = c[10] == '0' ? UINT32_MAX : UINT64_MAX;
    if (auto secs = parseUnsigned(c.substr(12), max); secs && *secs != 0) {
      md.dateTime = parseMP4Time(*secs);
      dated = true;
    }
  } else if (c.starts_with("String:")) {
    md.dateTime = parseDateTime(c.substr(7));
    dated = true;
  }
  if (dated && md.dateTime.year > 1899) md.isValid = true;
}

Metadata readMetadata(const std::string& path, int64_t maxBytes) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || st.st_size <= 0) return Metadata{};
  const int64_t fileSize = static_cast<int64_t>(st.st_size);
  File file(path);
  if (file.f == nullptr) return Metadata{};
  base::Bytes head = file.readAt(0, std::min(std::max<int64_t>(maxBytes, 16), fileSize));
  Metadata md = readMetadataFromBytes(head);
  const int64_t got = static_cast<int64_t>(head.size());
  if (got <= 7 || got >= fileSize) return md;
  try {
    if (!md.isValid && (startsWith(head, 4, "ftyp") || startsWith(head, 4, "moov"))) {
      readMoovFromFile(md, file, fileSize);
    }
    if (!md.isValid && startsWith(head, 4, "ftyp")) {
      readExifItemFromFile(md, file, fileSize, head, maxBytes);
    }
  } catch (const base::KeldraException&) {
    // A failed targeted read keeps what the first pass found.
  }
  // The targeted reads add tags of their own; the output allowance grows
  // with the bytes they read.
  ReadBudget budget = ReadBudget::forInputSize(static_cast<size_t>(file.bytesRead));
  fitOutputToBudget(md, budget);
  return md;
}

}  // namespace kd::exif
