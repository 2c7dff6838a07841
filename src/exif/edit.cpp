// Edit sessions: opening one from a file or buffer, the value model and the
// tag setters.
#include "exif/edit.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/heap_bytes.h"
#include "base/text.h"
#include "exif/file_ops.h"
#include "exif/isobmff.h"
#include "exif/jpeg.h"
#include "exif/makernotes.h"
#include "exif/png.h"
#include "exif/tag_ids.h"
#include "exif/png_profiles.h"
#include "exif/webp.h"

namespace kd::exif {

using base::ByteView;

namespace {

// Decoded values cost memory in proportion to their bytes (a 2-byte SHORT
// becomes an 8-byte integer). A crafted file can point many entries at one
// large value; past this allowance further entries are left out.
class DecodeAllowance {
 public:
  explicit DecodeAllowance(size_t inputSize)
      : left_(static_cast<int64_t>(inputSize) * 8 + (int64_t{1} << 20)) {}
  bool take(const IfdEntry& e) {
    int64_t cost = static_cast<int64_t>(e.data.size()) * 4 + 64;
    if (cost > left_) return false;
    left_ -= cost;
    return true;
  }

 private:
  int64_t left_;
};

bool isTiffHeader(ByteView buf) {
  if (buf.size() < 4) return false;
  if (buf[0] == 'I' && buf[1] == 'I') return buf[2] == 42 && buf[3] == 0;
  if (buf[0] == 'M' && buf[1] == 'M') return buf[2] == 0 && buf[3] == 42;
  return false;
}

// The reader ignores an "eXIf" chunk that follows the image data, but the
// rebuilder replaces every "eXIf" chunk: a session must carry that one's tags
// too, or writing would silently drop them.
FoundOffset exifChunkAfterImageData(ByteView buf) {
  int64_t pos = 8;
  while (base::fits(buf, pos, 8)) {
    const int64_t len = readUint32(buf, pos, kBigEndian);
    const std::string type = chunkType(buf, pos + 4);
    if (type == "eXIf") return base::fits(buf, pos + 8, 1) ? FoundOffset(pos + 8) : std::nullopt;
    if (type == "IEND") break;
    pos += 12 + len;
  }
  return 0;
}

// TIFF header offset of the buffer's EXIF block, if it has one.
FoundOffset locateTiffHeader(ByteView buf) {
  const int64_t size = static_cast<int64_t>(buf.size());
  FoundOffset b;
  if (buf[0] == 0xFF && buf[1] == 0xD8) {
    if (const FoundRange app1 = findExifAPP1(buf)) b = app1->offset;
  } else if (isTiffHeader(buf)) {
    return 0;
  } else if (isPng(buf)) {
    b = findExifInPng(buf);
    if (!b) b = exifChunkAfterImageData(buf);
  } else if (isWebp(buf)) {
    b = findExifInWebp(buf);
  } else if (isIsobmff(buf)) {
    b = findIsobmffExif(buf);
  }
  if (b && *b >= size) return std::nullopt;
  return b;
}

void readDirectory(TagList& into, const Ifd& dir, DecodeAllowance& allowance,
                   std::initializer_list<uint16_t> skip) {
  for (const IfdEntry& e : dir.entries) {
    if (std::find(skip.begin(), skip.end(), e.tag) != skip.end()) continue;
    if (!allowance.take(e)) return;
    into.set(e.tag, decodeTag(e));
  }
}

// The directory an entry points at (offset relative to `base`), when the
// entry holds a LONG and 2 bytes fit there.
bool subDirectory(ByteView buf, const Ifd& parent, uint16_t tag, int64_t base, bool be,
                  ReadBudget& budget, Ifd& out) {
  const IfdEntry* e = parent.find(tag);
  if (e == nullptr) return false;
  auto off = readLongTag(*e);
  if (!off) return false;
  int64_t pos = base + *off;
  if (!base::fits(buf, pos, 2)) return false;
  out = readIFD(buf, pos, base, be, &budget);
  return true;
}

// IFD1 and the JPEG preview it points at (when that lies inside the
// buffer). A strip thumbnail's directory and directory pointers are not
// carried.
void readThumbnail(EditSession& s, ByteView buf, const Ifd& ifd0, int64_t b, bool be,
                   ReadBudget& budget, DecodeAllowance& allowance) {
  constexpr uint16_t kPreviewStart = 0x0201, kPreviewLength = 0x0202, kStripOffsets = 0x0111;
  if (ifd0.nextOffset == 0 || !base::fits(buf, b + ifd0.nextOffset, 2)) return;
  const Ifd ifd1 = readIFD(buf, b + ifd0.nextOffset, b, be, &budget);
  if (ifd1.find(kStripOffsets) != nullptr) return;
  readDirectory(s.ifd1, ifd1, allowance,
                {kPreviewStart, kPreviewLength, kTagExifIfd, kTagGpsIfd, kTagInteropIfd, 0x014A});
  const IfdEntry* start = ifd1.find(kPreviewStart);
  const IfdEntry* length = ifd1.find(kPreviewLength);
  if (start == nullptr || length == nullptr) return;
  const std::optional<uint32_t> at = readLongTag(*start);
  const std::optional<uint32_t> n = readLongTag(*length);
  if (!at || !n || !base::fits(buf, b + *at, *n)) return;
  const auto* p = buf.data() + b + *at;
  s.thumbnail.assign(p, p + *n);
  s.hasThumbnail = true;
}

// End of the EXIF block whose TIFF header is at `b`, when the container
// says (a JPEG APP1 segment, a PNG eXIf chunk).
FoundOffset exifBlockEnd(ByteView buf, int64_t b) {
  if (buf.size() >= 2 && buf[0] == 0xFF && buf[1] == 0xD8) {
    const FoundRange app1 = findExifAPP1(buf);
    return app1 && app1->offset == b ? FoundOffset(app1->offset + app1->length) : std::nullopt;
  }
  if (isPng(buf) && chunkType(buf, b - 4) == "eXIf") {
    return std::min<int64_t>(b + readUint32(buf, b - 8, kBigEndian), static_cast<int64_t>(buf.size()));
  }
  return std::nullopt;
}

// The data a maker note points at outside itself (previews, sub-directories)
// follows it in camera files, before the next structure of the block. When
// the block's end is known, the note's tail runs from its end to the first
// directory or value of the main directories behind it (or the block's end),
// so a note kept in place keeps that data at the same offsets.
void keepMakerNoteData(EditSession& s, ByteView buf, int64_t b, bool be, const Ifd& ifd0) {
  if (s.makerNote.offset < 0) return;
  const FoundOffset blockEnd = exifBlockEnd(buf, b);
  const int64_t noteEnd = b + s.makerNote.offset + s.makerNote.length;
  if (!blockEnd || *blockEnd <= noteEnd) return;
  int64_t tailEnd = *blockEnd;
  auto bound = [&](int64_t pos) {
    if (pos >= noteEnd && pos < tailEnd) tailEnd = pos;
  };
  std::vector<Ifd> dirs = {ifd0};
  ReadBudget budget = ReadBudget::forInputSize(buf.size());
  for (size_t i = 0; i < dirs.size(); ++i) {
    for (const IfdEntry& e : dirs[i].entries) {
      if (e.data.size() > 4) bound(e.valueOffset);
      const bool pointer = e.tag == kTagExifIfd || e.tag == kTagGpsIfd || e.tag == kTagInteropIfd;
      if (auto off = readLongTag(e); off && (pointer || e.tag == 0x0201)) {
        bound(b + *off);
        if (pointer && dirs.size() < 8 && base::fits(buf, b + *off, 2)) {
          dirs.push_back(readIFD(buf, b + *off, b, be, &budget));
        }
      }
    }
    if (i == 0 && dirs[0].nextOffset != 0) {
      bound(b + dirs[0].nextOffset);
      if (base::fits(buf, b + dirs[0].nextOffset, 2)) {
        dirs.push_back(readIFD(buf, b + dirs[0].nextOffset, b, be, &budget));
      }
    }
  }
  if (tailEnd - noteEnd > static_cast<int64_t>(s.makerNote.tail.size())) {
    s.makerNote.tail.assign(buf.begin() + noteEnd, buf.begin() + tailEnd);
  }
}

// What the note's own entries address beyond its end, walked by its
// maker's layout, is kept with it even where the bytes behind it run on.
void walkMakerNote(EditSession& s, ByteView buf, int64_t b, bool be, const Ifd& ifd0) {
  if (s.makerNote.offset < 0) return;
  const IfdEntry* make = ifd0.find(kTagMake);
  const std::string makeText = make != nullptr ? toString(*make) : std::string();
  MakerNoteReach reach =
      makerNoteReach(makeText, buf, b, be, b + s.makerNote.offset, s.makerNote.length);
  const FoundOffset blockEnd = exifBlockEnd(buf, b);
  const int64_t limit = blockEnd ? *blockEnd : static_cast<int64_t>(buf.size());
  const int64_t noteEnd = b + s.makerNote.offset + s.makerNote.length;
  const int64_t end = std::min(b + s.makerNote.offset + reach.end, limit);
  s.makerNote.offsetFields = std::move(reach.offsetFields);
  s.makerNote.fieldsBigEndian = reach.bigEndian;
  if (end <= noteEnd) return;
  if (end - noteEnd > static_cast<int64_t>(s.makerNote.tail.size())) {
    s.makerNote.tail.assign(buf.begin() + noteEnd, buf.begin() + end);
  }
  s.makerNote.reach = end - noteEnd;
}

int64_t signExtend(uint64_t v, int bits) {
  uint64_t sign = uint64_t{1} << (bits - 1);
  return static_cast<int64_t>((v ^ sign) - sign);
}

// A SHORT (size 2) or LONG (size 4) value in the entry's byte order.
uint64_t loadUnsigned(ByteView d, size_t pos, int size, bool be) {
  const base::ByteOrder order = be ? base::ByteOrder::kBig : base::ByteOrder::kLittle;
  const auto at = static_cast<int64_t>(pos);
  return size == 2 ? base::loadU16(d, at, order) : base::loadU32(d, at, order);
}

[[noreturn]] void notANumber() { base::fail(base::ekInvalid, "EXIF value not a number"); }

// A decimal integer with an optional sign; false when the piece is not one.
// `overflow` is set for whole integers beyond 64 bits.
bool parseInteger(std::string_view piece, int64_t& out, bool& overflow) {
  overflow = false;
  if (piece.empty()) return false;
  bool negative = piece[0] == '-';
  if (piece[0] == '+' || piece[0] == '-') piece.remove_prefix(1);
  if (piece.empty()) return false;
  for (char c : piece) {
    if (c < '0' || c > '9') return false;
  }
  uint64_t magnitude = 0;
  auto r = std::from_chars(piece.data(), piece.data() + piece.size(), magnitude);
  if (r.ec == std::errc::result_out_of_range || magnitude > uint64_t{1} << 63 ||
      (!negative && magnitude == uint64_t{1} << 63)) {
    overflow = true;
    return true;
  }
  out = negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

int64_t integerIn(std::string_view piece, int64_t lo, int64_t hi, const char* rangeMessage) {
  int64_t v = 0;
  bool overflow = false;
  if (!parseInteger(piece, v, overflow)) notANumber();
  if (overflow || v < lo || v > hi) base::fail(base::ekInvalid, rangeMessage);
  return v;
}

}  // namespace

const WritableTag WritableTags[22] = {
    {"ImageDescription", IfdSelector::ifd0, 0x010E, kAscii},
    {"Make", IfdSelector::ifd0, 0x010F, kAscii},
    {"Model", IfdSelector::ifd0, 0x0110, kAscii},
    {"Orientation", IfdSelector::ifd0, 0x0112, kShort},
    {"Software", IfdSelector::ifd0, 0x0131, kAscii},
    {"DateTime", IfdSelector::ifd0, 0x0132, kAscii},
    {"Artist", IfdSelector::ifd0, 0x013B, kAscii},
    {"HostComputer", IfdSelector::ifd0, 0x013C, kAscii},
    {"Rating", IfdSelector::ifd0, 0x4746, kShort},
    {"Copyright", IfdSelector::ifd0, 0x8298, kAscii},
    {"ExposureTime", IfdSelector::exif, 0x829A, kRational},
    {"FNumber", IfdSelector::exif, 0x829D, kRational},
    {"ExposureProgram", IfdSelector::exif, 0x8822, kShort},
    {"ISO", IfdSelector::exif, 0x8827, kShort},
    {"DateTimeOriginal", IfdSelector::exif, 0x9003, kAscii},
    {"CreateDate", IfdSelector::exif, 0x9004, kAscii},
    {"ExposureCompensation", IfdSelector::exif, 0x9204, kSRational},
    {"MeteringMode", IfdSelector::exif, 0x9207, kShort},
    {"Flash", IfdSelector::exif, 0x9209, kShort},
    {"FocalLength", IfdSelector::exif, 0x920A, kRational},
    {"UserComment", IfdSelector::exif, 0x9286, kUndefined},
    {"LensModel", IfdSelector::exif, 0xA434, kAscii},
};

void TagList::set(uint16_t tag, EditValue value) {
  for (auto& item : items_) {
    if (item.first == tag) {
      item.second = std::move(value);
      return;
    }
  }
  items_.emplace_back(tag, std::move(value));
}

bool TagList::erase(uint16_t tag) {
  auto it = std::find_if(items_.begin(), items_.end(),
                         [tag](const auto& item) { return item.first == tag; });
  if (it == items_.end()) return false;
  items_.erase(it);
  return true;
}

const EditValue* TagList::find(uint16_t tag) const {
  for (const auto& item : items_) {
    if (item.first == tag) return &item.second;
  }
  return nullptr;
}

EditValue decodeTag(const IfdEntry& e) {
  EditValue v;
  v.type = e.fieldType;
  v.count = e.count;
  ByteView d = e.data;
  switch (e.fieldType) {
    case kAscii: {
      auto nul = std::find(d.begin(), d.end(), uint8_t{0});
      v.text.assign(d.begin(), nul);
      break;
    }
    case kShort:
    case kSShort:
    case kLong:
    case kSLong: {
      int size = e.fieldType == kShort || e.fieldType == kSShort ? 2 : 4;
      bool isSigned = e.fieldType == kSShort || e.fieldType == kSLong;
      size_t n = std::min<size_t>(e.count, d.size() / static_cast<size_t>(size));
      v.ints.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        uint64_t raw = loadUnsigned(d, i * static_cast<size_t>(size), size, e.bigEndian);
        v.ints.push_back(isSigned ? signExtend(raw, size * 8) : static_cast<int64_t>(raw));
      }
      break;
    }
    case kRational:
    case kSRational: {
      bool isSigned = e.fieldType == kSRational;
      size_t n = std::min<size_t>(e.count, d.size() / 8);
      v.rationals.reserve(n);
      for (size_t i = 0; i < n; ++i) {
        uint64_t num = loadUnsigned(d, i * 8, 4, e.bigEndian);
        uint64_t den = loadUnsigned(d, i * 8 + 4, 4, e.bigEndian);
        if (isSigned) {
          v.rationals.emplace_back(signExtend(num, 32), signExtend(den, 32));
        } else {
          v.rationals.emplace_back(static_cast<int64_t>(num), static_cast<int64_t>(den));
        }
      }
      break;
    }
    default:
      v.raw.assign(d.begin(), d.end());
      break;
  }
  return v;
}

EditSession parseExifBytes(ByteView buf) {
  EditSession s;
  if (buf.size() < 4) return s;
  const FoundOffset found = locateTiffHeader(buf);
  if (!found && isPng(buf)) {
    // ImageMagick's raw EXIF profile stands in for a missing eXIf chunk; the
    // writer replaces it with one.
    Bytes profile = rawExifProfile(buf);
    if (!profile.empty()) return parseExifBytes(profile);
  }
  if (!found || !base::fits(buf, *found, 8)) return s;
  const int64_t b = *found;
  const bool be = buf[static_cast<size_t>(b)] != 'I';
  s.sourceBigEndian = be;
  const int64_t ifd0Pos = b + readUint32(buf, b + 4, orderOf(be));
  if (!base::fits(buf, ifd0Pos, 2)) return s;

  ReadBudget budget = ReadBudget::forInputSize(buf.size());
  DecodeAllowance allowance(buf.size());
  const Ifd ifd0 = readIFD(buf, ifd0Pos, b, be, &budget);
  readDirectory(s.ifd0, ifd0, allowance, {kTagExifIfd, kTagGpsIfd});

  Ifd dir;
  if (subDirectory(buf, ifd0, kTagExifIfd, b, be, budget, dir)) {
    readDirectory(s.exif, dir, allowance, {kTagInteropIfd});
    // The interoperability directory is carried as its own list; a pointer
    // that leads nowhere readable is dropped rather than written stale.
    Ifd interop;
    if (subDirectory(buf, dir, kTagInteropIfd, b, be, budget, interop)) {
      readDirectory(s.interop, interop, allowance, {});
    }
    if (const IfdEntry* note = dir.find(kTagMakerNote); note != nullptr && note->data.size() > 4) {
      s.makerNote.offset = note->valueOffset - b;
      s.makerNote.length = static_cast<int64_t>(note->data.size());
      const int64_t end = note->valueOffset + s.makerNote.length;
      const int64_t blockEnd = static_cast<int64_t>(buf.size());
      const int64_t tail =
          std::max<int64_t>(0, std::min<int64_t>(kMakerNoteTail, blockEnd - end));
      s.makerNote.tail.assign(buf.begin() + end, buf.begin() + end + tail);
    }
  }
  if (subDirectory(buf, ifd0, kTagGpsIfd, b, be, budget, dir)) {
    readDirectory(s.gps, dir, allowance, {});
  }
  readThumbnail(s, buf, ifd0, b, be, budget, allowance);
  keepMakerNoteData(s, buf, b, be, ifd0);
  walkMakerNote(s, buf, b, be, ifd0);
  return s;
}

EditSession parseExif(const std::string& path) {
  // Any failure to open or read gives an empty session, never an error.
  const base::HeapBytes data = readFileHead(path, static_cast<size_t>(kEditReadLimit));
  return parseExifBytes(data.view());
}

void setTag(EditSession& s, IfdSelector ifd, uint16_t tag, EditValue value) {
  switch (ifd) {
    case IfdSelector::ifd0: s.ifd0.set(tag, std::move(value)); break;
    case IfdSelector::exif: s.exif.set(tag, std::move(value)); break;
    case IfdSelector::gps: s.gps.set(tag, std::move(value)); break;
  }
}

EditValue asciiVal(std::string_view text) {
  EditValue v;
  v.type = kAscii;
  v.text.assign(text);
  v.count = static_cast<uint32_t>(std::min<size_t>(text.size() + 1, UINT32_MAX));
  return v;
}

EditValue byteVal(Bytes bytes) {
  EditValue v;
  v.type = kByte;
  v.count = static_cast<uint32_t>(std::min<size_t>(bytes.size(), UINT32_MAX));
  v.raw = std::move(bytes);
  return v;
}

EditValue longVal(std::vector<int64_t> values) {
  EditValue v;
  v.type = kLong;
  v.count = static_cast<uint32_t>(std::min<size_t>(values.size(), UINT32_MAX));
  v.ints = std::move(values);
  return v;
}

EditValue rationalSeq(std::vector<std::pair<int64_t, int64_t>> values) {
  EditValue v;
  v.type = kRational;
  v.count = static_cast<uint32_t>(std::min<size_t>(values.size(), UINT32_MAX));
  v.rationals = std::move(values);
  return v;
}

void setArtist(EditSession& s, std::string_view text) { s.ifd0.set(0x013B, asciiVal(text)); }

void setSoftware(EditSession& s, std::string_view text) { s.ifd0.set(0x0131, asciiVal(text)); }

void setDateTimeOriginal(EditSession& s, std::string_view text) {
  s.exif.set(0x9003, asciiVal(text));
  s.exif.set(0x9004, asciiVal(text));
  s.ifd0.set(0x0132, asciiVal(text));
}

// Non-finite inputs count as 0 and magnitudes beyond what a 32-bit rational
// holds are limited to it, so no value reaches an undefined conversion.
std::vector<std::pair<int64_t, int64_t>> dms(double x) {
  double a = std::isfinite(x) ? std::fabs(x) : 0.0;
  a = std::min(a, 4294967295.0);
  double degrees = std::trunc(a);
  double r = (a - degrees) * 60;
  double minutes = std::trunc(r);
  double seconds = std::round((r - minutes) * 60 * 10000);
  seconds = std::min(seconds, 599999.0);
  return {{static_cast<int64_t>(degrees), 1},
          {static_cast<int64_t>(minutes), 1},
          {static_cast<int64_t>(seconds), 10000}};
}

void setGps(EditSession& s, double latitude, double longitude, double altitude) {
  s.gps.set(1, asciiVal(latitude >= 0 ? "N" : "S"));
  s.gps.set(2, rationalSeq(dms(latitude)));
  s.gps.set(3, asciiVal(longitude >= 0 ? "E" : "W"));
  s.gps.set(4, rationalSeq(dms(longitude)));
  s.gps.set(5, byteVal({static_cast<uint8_t>(altitude < 0 ? 1 : 0)}));
  double a = std::isfinite(altitude) ? std::round(std::fabs(altitude) * 100) : 0.0;
  a = std::min(a, 4294967295.0);
  s.gps.set(6, rationalSeq({{static_cast<int64_t>(a), 100}}));
}

EditValue parseTyped(uint8_t type, std::string_view text) {
  EditValue v;
  v.type = type;
  const auto parts = base::splitNonEmpty(text, " ,");
  switch (type) {
    case kShort:
    case kLong:
    case kSShort:
    case kSLong: {
      int64_t lo = 0, hi = 65535;
      if (type == kLong) hi = 4294967295;
      if (type == kSShort) lo = -32768, hi = 32767;
      if (type == kSLong) lo = -2147483648LL, hi = 2147483647;
      for (std::string_view p : parts) {
        v.ints.push_back(integerIn(p, lo, hi, "EXIF integer out of range"));
      }
      v.count = static_cast<uint32_t>(v.ints.size());
      break;
    }
    case kRational:
    case kSRational: {
      const bool isSigned = type == kSRational;
      const int64_t lo = isSigned ? -2147483648LL : 0;
      const int64_t hi = isSigned ? 2147483647 : 4294967295;
      for (std::string_view p : parts) {
        size_t slash = p.find('/');
        int64_t num, den = 1;
        if (slash != std::string_view::npos && slash >= 1) {
          num = integerIn(p.substr(0, slash), lo, hi, "EXIF rational out of range");
          den = integerIn(p.substr(slash + 1), lo, hi, "EXIF rational out of range");
        } else {
          num = integerIn(p, lo, hi, "EXIF rational out of range");
        }
        v.rationals.emplace_back(num, den);
      }
      v.count = static_cast<uint32_t>(v.rationals.size());
      break;
    }
    case kByte:
    case kSByte:
    case kUndefined: {
      bool ok = !parts.empty() || text.empty();
      for (std::string_view p : parts) {
        int64_t n = 0;
        bool overflow = false;
        if (!parseInteger(p, n, overflow) || overflow) {
          ok = false;
          break;
        }
        v.raw.push_back(static_cast<uint8_t>(n));
      }
      if (!ok) v.raw.assign(text.begin(), text.end());
      v.count = static_cast<uint32_t>(std::min<size_t>(v.raw.size(), UINT32_MAX));
      break;
    }
    default:
      v.text.assign(text);
      v.count = static_cast<uint32_t>(std::min<size_t>(text.size() + 1, UINT32_MAX));
      break;
  }
  return v;
}

bool setTagByName(EditSession& s, std::string_view name, std::string_view text) {
  const WritableTag* entry = nullptr;
  for (const WritableTag& w : WritableTags) {
    if (name == w.name) entry = &w;
  }
  if (entry == nullptr) return false;
  EditValue v;
  if (entry->tag == 0x9286) {
    v.type = kUndefined;
    v.raw.resize(8 + text.size());
    std::memcpy(v.raw.data(), "ASCII\0\0\0", 8);
    if (!text.empty()) std::memcpy(v.raw.data() + 8, text.data(), text.size());
    v.count = static_cast<uint32_t>(std::min<size_t>(v.raw.size(), UINT32_MAX));
  } else {
    try {
      v = parseTyped(entry->type, text);
    } catch (const base::KeldraException& e) {
      // The parse error of a malformed or out-of-range value: nothing stored.
      if (e.kind() == base::ekInvalid) return false;
      throw;
    }
  }
  setTag(s, entry->ifd, entry->tag, std::move(v));
  return true;
}

void stripAll(EditSession& s) {
  s.ifd0.clear();
  s.exif.clear();
  s.gps.clear();
  s.interop.clear();
  s.makerNote = {};
  s.ifd1.clear();
  s.hasThumbnail = false;
  s.thumbnail.clear();
}

}  // namespace kd::exif
