// The EXIF block writer: lays a session out afresh as one TIFF-structured
// block. IFD0, the Exif IFD, the GPS IFD and the interoperability IFD follow
// each other, then one shared value area for everything longer than four
// bytes, in emission order and at even offsets. Tags are sorted ascending in
// every directory; the directory pointers are always regenerated.
//
// The plain block is little-endian. Two things depart from a fresh layout
// because the data demands it: a maker note is put back at its source offset
// from the TIFF header when the directories end before it (its internal
// offsets are usually relative to that header), and a block carrying a maker
// note from a big-endian source stays big-endian (most notes are read in the
// byte order of the block around them).
#include <algorithm>
#include <cstring>

#include "base/checked.h"
#include "exif/edit.h"
#include "exif/endian.h"
#include "exif/tag_ids.h"

namespace kd::exif {

namespace {

// The low 16 or all 32 bits of v in the block's byte order.
void put16(Bytes& out, uint32_t v, bool be) {
  const auto low = static_cast<uint16_t>(v);
  be ? base::appendBe16(out, low) : base::appendLe16(out, low);
}

void put32(Bytes& out, uint32_t v, bool be) {
  be ? base::appendBe32(out, v) : base::appendLe32(out, v);
}

uint32_t count32(size_t n) {
  if (n > UINT32_MAX) base::fail(base::ekTooLarge, "exif: value count exceeds 32 bits");
  return static_cast<uint32_t>(n);
}

int64_t checkedSigned(int64_t v, int64_t lo, int64_t hi) {
  if (v < lo || v > hi) base::fail(base::ekInvalid, "exif: signed value out of range");
  return v;
}

uint32_t offset32(int64_t v) {
  if (v < 0 || v > UINT32_MAX) base::fail(base::ekTooLarge, "exif: block exceeds 4 GiB");
  return static_cast<uint32_t>(v);
}

void reverseGroups(Bytes& b, size_t group) {
  for (size_t i = 0; i + group <= b.size(); i += group) {
    std::reverse(b.begin() + static_cast<ptrdiff_t>(i),
                 b.begin() + static_cast<ptrdiff_t>(i + group));
  }
}

EncodedValue encodeFor(const EditValue& v, bool sourceBigEndian, bool be) {
  EncodedValue out;
  out.type = v.type;
  switch (v.type) {
    case kAscii:
      out.bytes.assign(v.text.begin(), v.text.end());
      out.bytes.push_back(0);
      out.count = count32(out.bytes.size());
      break;
    case kShort:
      for (int64_t x : v.ints) put16(out.bytes, static_cast<uint32_t>(x & 0xFFFF), be);
      out.count = count32(v.ints.size());
      break;
    case kLong:
      for (int64_t x : v.ints) put32(out.bytes, static_cast<uint32_t>(x), be);
      out.count = count32(v.ints.size());
      break;
    case kRational:
      for (auto [n, d] : v.rationals) {
        put32(out.bytes, static_cast<uint32_t>(n), be);
        put32(out.bytes, static_cast<uint32_t>(d), be);
      }
      out.count = count32(v.rationals.size());
      break;
    case kSShort:
      for (int64_t x : v.ints) {
        put16(out.bytes, static_cast<uint32_t>(checkedSigned(x, -32768, 32767)) & 0xFFFF, be);
      }
      out.count = count32(v.ints.size());
      break;
    case kSLong:
      for (int64_t x : v.ints) {
        put32(out.bytes, static_cast<uint32_t>(checkedSigned(x, INT32_MIN, INT32_MAX)), be);
      }
      out.count = count32(v.ints.size());
      break;
    case kSRational:
      for (auto [n, d] : v.rationals) {
        put32(out.bytes, static_cast<uint32_t>(checkedSigned(n, INT32_MIN, INT32_MAX)), be);
        put32(out.bytes, static_cast<uint32_t>(checkedSigned(d, INT32_MIN, INT32_MAX)), be);
      }
      out.count = count32(v.rationals.size());
      break;
    case kByte:
    case kSByte:
    case kUndefined:
      out.bytes = v.raw;
      out.count = count32(v.raw.size());
      break;
    case kFloat:
    case kDouble: {
      out.bytes = v.raw;
      const size_t group = v.type == kFloat ? 4 : 8;
      if (sourceBigEndian != be && out.bytes.size() >= group) reverseGroups(out.bytes, group);
      out.count = v.count;
      break;
    }
    default:
      out.bytes = v.raw;
      out.count = v.count;
      break;
  }
  return out;
}

// One serialisation: the value area with an optional reserved range where
// the maker note goes.
struct Writer {
  bool be = false;
  bool sourceBigEndian = false;
  int64_t areaStart = 0;
  Bytes area;
  // The maker note's range, relative to the TIFF header; length 0 = none.
  int64_t noteAt = 0;
  int64_t noteLength = 0;
  bool noteInPlace = false;  // already in the file: write the entry only
  const Bytes* noteBytes = nullptr;
  const Bytes* noteTail = nullptr;
  // A note that cannot stay at its offset: placed with the bytes after it
  // that it addresses, its offset fields shifted by the move.
  const EditValue* movingNote = nullptr;
  const MakerNotePlace* movingPlace = nullptr;

  int64_t cursor() const { return areaStart + static_cast<int64_t>(area.size()); }

  void padTo(int64_t pos) {
    if (pos > cursor()) area.resize(static_cast<size_t>(pos - areaStart), 0);
  }

  int64_t place(const Bytes& bytes) {
    const int64_t n = static_cast<int64_t>(bytes.size());
    const int64_t tail = noteTail != nullptr ? static_cast<int64_t>(noteTail->size()) : 0;
    const int64_t reservedEnd = noteAt + noteLength + tail;
    if (noteLength > 0 && !noteInPlace && cursor() < reservedEnd && cursor() + n > noteAt) {
      padTo(reservedEnd);
      if (area.size() % 2 != 0) area.push_back(0);
    }
    int64_t at = cursor();
    area.insert(area.end(), bytes.begin(), bytes.end());
    if (area.size() % 2 != 0) area.push_back(0);
    return at;
  }

  int64_t placeMovedNote(Bytes unit) {
    const MakerNotePlace& from = *movingPlace;
    const size_t carried =
        std::min(static_cast<size_t>(from.reach), from.tail.size());
    unit.insert(unit.end(), from.tail.begin(), from.tail.begin() + static_cast<ptrdiff_t>(carried));
    const int64_t at = place(unit);
    const int64_t shift = at - from.offset;
    uint8_t* p = area.data() + (at - areaStart);
    for (int64_t field : from.offsetFields) {
      if (field < 0 || field > static_cast<int64_t>(unit.size()) - 4) continue;
      const ByteOrder order = orderOf(from.fieldsBigEndian);
      const auto moved = static_cast<uint32_t>(base::loadU32(unit, field, order) + shift);
      from.fieldsBigEndian ? base::storeBe32(p + field, moved) : base::storeLe32(p + field, moved);
    }
    return at;
  }

  Bytes emitIfd(const TagList& list, const std::vector<std::pair<uint16_t, uint32_t>>& pointers,
                bool isExif, uint32_t next) {
    struct Item {
      uint16_t tag;
      const EditValue* value;
      uint32_t pointer;
    };
    std::vector<Item> items;
    items.reserve(list.size() + pointers.size());
    for (const auto& [tag, value] : list.items()) items.push_back({tag, &value, 0});
    for (auto [tag, target] : pointers) items.push_back({tag, nullptr, target});
    std::sort(items.begin(), items.end(),
              [](const Item& a, const Item& b) { return a.tag < b.tag; });

    Bytes out;
    out.reserve(static_cast<size_t>(ifdSize(static_cast<int64_t>(items.size()))));
    put16(out, static_cast<uint32_t>(items.size()), be);
    for (const Item& item : items) {
      put16(out, item.tag, be);
      if (item.value == nullptr) {
        put16(out, kLong, be);
        put32(out, 1, be);
        put32(out, item.pointer, be);
        continue;
      }
      EncodedValue enc = encodeFor(*item.value, sourceBigEndian, be);
      put16(out, enc.type, be);
      put32(out, enc.count, be);
      if (enc.bytes.size() <= 4) {
        enc.bytes.resize(4, 0);
        out.insert(out.end(), enc.bytes.begin(), enc.bytes.end());
      } else if (isExif && item.tag == kTagMakerNote && noteLength > 0 &&
                 item.value->raw.data() == noteBytes->data()) {
        put32(out, offset32(noteAt), be);
      } else if (isExif && item.tag == kTagMakerNote && item.value == movingNote) {
        put32(out, offset32(placeMovedNote(enc.bytes)), be);
      } else {
        put32(out, offset32(place(enc.bytes)), be);
      }
    }
    put32(out, next, be);
    return out;
  }
};

}  // namespace

int64_t ifdSize(int64_t entries) {
  int64_t n = base::mulOrFail<int64_t>(entries, 12, "exif: directory too large", base::ekTooLarge);
  return base::addOrFail<int64_t>(n, 6, "exif: directory too large", base::ekTooLarge);
}

EncodedValue encode(const EditValue& v, bool sourceBigEndian) {
  return encodeFor(v, sourceBigEndian, false);
}

EncodedValue encodeInOrder(const EditValue& v, bool sourceBigEndian, bool bigEndian) {
  return encodeFor(v, sourceBigEndian, bigEndian);
}

Bytes serializeBody(const EditSession& s, const BlockLayout& layout) {
  TagList ifd0 = s.ifd0;
  ifd0.erase(kTagExifIfd);
  ifd0.erase(kTagGpsIfd);
  TagList exif = s.exif;
  exif.erase(kTagInteropIfd);
  const bool withInterop = !exif.empty() && !s.interop.empty();

  const int64_t nE = static_cast<int64_t>(exif.size()) + (withInterop ? 1 : 0);
  const int64_t nG = static_cast<int64_t>(s.gps.size());
  const int64_t nI = static_cast<int64_t>(ifd0.size()) + (nE > 0) + (nG > 0);
  const int64_t nO = withInterop ? static_cast<int64_t>(s.interop.size()) : 0;

  const int64_t exifAt = layout.origin + ifdSize(nI);
  const int64_t gpsAt = nE > 0 ? exifAt + ifdSize(nE) : exifAt;
  const int64_t interopAt = nG > 0 ? gpsAt + ifdSize(nG) : gpsAt;

  Writer w;
  w.be = layout.bigEndian;
  w.sourceBigEndian = s.sourceBigEndian;
  w.areaStart = interopAt + (withInterop ? ifdSize(nO) : 0);

  const EditValue* note = exif.find(kTagMakerNote);
  if (layout.keepMakerNote && note != nullptr && s.makerNote.offset >= 0 &&
      static_cast<int64_t>(note->raw.size()) == s.makerNote.length && note->raw.size() > 4 &&
      (layout.makerNoteInPlace || s.makerNote.offset >= w.areaStart)) {
    w.noteAt = s.makerNote.offset;
    w.noteLength = s.makerNote.length;
    w.noteInPlace = layout.makerNoteInPlace;
    w.noteBytes = &note->raw;
    w.noteTail = &s.makerNote.tail;
  } else if (note != nullptr && s.makerNote.offset >= 0 &&
             static_cast<int64_t>(note->raw.size()) == s.makerNote.length) {
    w.movingNote = note;
    w.movingPlace = &s.makerNote;
  }

  std::vector<std::pair<uint16_t, uint32_t>> ifd0Pointers;
  if (nE > 0) ifd0Pointers.emplace_back(kTagExifIfd, offset32(exifAt));
  if (nG > 0) ifd0Pointers.emplace_back(kTagGpsIfd, offset32(gpsAt));
  std::vector<std::pair<uint16_t, uint32_t>> exifPointers;
  if (withInterop) exifPointers.emplace_back(kTagInteropIfd, offset32(interopAt));

  Bytes out = w.emitIfd(ifd0, ifd0Pointers, false, layout.nextIfd);
  if (nE > 0) {
    Bytes d = w.emitIfd(exif, exifPointers, true, 0);
    out.insert(out.end(), d.begin(), d.end());
  }
  if (nG > 0) {
    Bytes d = w.emitIfd(s.gps, {}, false, 0);
    out.insert(out.end(), d.begin(), d.end());
  }
  if (withInterop) {
    Bytes d = w.emitIfd(s.interop, {}, false, 0);
    out.insert(out.end(), d.begin(), d.end());
  }
  if (w.noteLength > 0 && !w.noteInPlace) {
    const int64_t tail = static_cast<int64_t>(w.noteTail->size());
    w.padTo(w.noteAt + w.noteLength + tail);
    uint8_t* at = w.area.data() + (w.noteAt - w.areaStart);
    std::memcpy(at, w.noteBytes->data(), w.noteBytes->size());
    if (tail > 0) std::memcpy(at + w.noteLength, w.noteTail->data(), w.noteTail->size());
  }
  out.insert(out.end(), w.area.begin(), w.area.end());
  return out;
}

Bytes serialize(const EditSession& s) {
  BlockLayout layout;
  layout.origin = 8;
  layout.bigEndian = s.sourceBigEndian && s.exif.find(kTagMakerNote) != nullptr;
  Bytes out;
  if (layout.bigEndian) {
    out = {'M', 'M', 0, 42, 0, 0, 0, 8};
  } else {
    out = {'I', 'I', 42, 0, 8, 0, 0, 0};
  }
  Bytes body = serializeBody(s, layout);
  out.insert(out.end(), body.begin(), body.end());
  appendThumbnailIfd(out, s);
  return out;
}

}  // namespace kd::exif
