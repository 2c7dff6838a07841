// ISO base media boxes and the HEIF item table ("iinf", "iloc") with the
// Exif item. Every walk is bounded by its container: a child's header and
// extent are checked against the end of its parent before anything inside
// it is read, so a crafted size can end a walk but never move it outside
// the box that holds it. The movie reader is isobmff_movie.cpp.
#include "exif/isobmff.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>

#include "exif/endian.h"
#include "exif/isobmff_box.h"

namespace kd::exif {

namespace {

std::string fourcc(const uint8_t* p) { return std::string(reinterpret_cast<const char*>(p), 4); }

// "iinf": item ID -> type and content type.
// Whether the table may hold an entry for `id`: it already does, or it has
// not reached kMaxItems.
bool roomFor(const ItemRecords& items, int64_t id) {
  return items.size() < kMaxItems || items.count(static_cast<uint32_t>(id)) != 0;
}

void readItemInfo(base::ByteView buf, const Box& iinf, ItemRecords& items) {
  const int64_t c = iinf.start + 8;  // full-box version byte, as a box of 8-byte header
  if (!base::fits(buf, c, 1)) return;
  const int version = buf[static_cast<size_t>(c)];
  const int64_t first = iinf.start + 12 + (version == 0 ? 2 : 4);
  walkBoxes(buf, first, iinf.end(), true, [&](const Box& infe) {
    if (!infe.is("infe")) return true;
    const int64_t end = infe.end();
    const int64_t v = beInt(buf, infe.start + 8, 1);
    const int idSize = v >= 0 && v < 3 ? 2 : 4;
    const int64_t idPos = infe.start + 12;
    if (v < 0 || idPos + idSize > end || end - (idPos + idSize) < 6) return true;
    const int64_t id = beInt(buf, idPos, idSize);
    if (id < 0) return true;
    int64_t p = idPos + idSize + 2;  // item protection index skipped
    if (!roomFor(items, id)) return true;
    ItemRecord& item = items[static_cast<uint32_t>(id)];
    item.itemType = fourcc(buf.data() + p);
    p = readCString(buf, p + 4, end).second;  // item name, dropped
    if (item.itemType == "mime") item.contentType = readCString(buf, p, end).first;
    return true;
  });
}

// "iloc": item ID -> base offset, construction method and first extent,
// with the positions and sizes of that extent's fields.
void readItemLocations(base::ByteView buf, const Box& iloc, ItemRecords& items) {
  const int64_t end = iloc.end();
  auto field = [&](int64_t pos, int size) -> int64_t {
    if (pos < 0 || size < 0 || pos > end - size) return -1;
    return beInt(buf, pos, size);
  };
  const int64_t version = field(iloc.start + 8, 1);
  const int64_t sizes = field(iloc.start + 12, 1);
  const int64_t sizes2 = field(iloc.start + 13, 1);
  if (version < 0 || sizes < 0 || sizes2 < 0) return;
  const int offsetSize = static_cast<int>(sizes >> 4);
  const int lengthSize = static_cast<int>(sizes & 15);
  const int baseSize = static_cast<int>(sizes2 >> 4);
  const int indexSize = version == 1 || version == 2 ? static_cast<int>(sizes2 & 15) : 0;
  const int wide = version == 2 ? 4 : 2;
  int64_t p = iloc.start + 14;
  const int64_t count = field(p, wide);
  if (count < 0) return;
  p += wide;
  for (int64_t i = 0; i < count; ++i) {
    const int64_t id = field(p, wide);
    if (id < 0) return;
    p += wide;
    int method = 0;
    if (version == 1 || version == 2) {
      const int64_t m = field(p, 2);
      if (m < 0) return;
      method = static_cast<int>(m & 15);
      p += 2;
    }
    p += 2;  // data reference index
    const int64_t base = field(p, baseSize);
    if (base < 0) return;
    p += baseSize;
    const int64_t extents = field(p, 2);
    if (extents < 0) return;
    p += 2;
    // Only the first extent is recorded; the others are skipped whole, so
    // an item costs the same whatever its extent count.
    const int64_t extentSize = indexSize + offsetSize + lengthSize;
    ItemRecord rec;
    if (extents > 0) {
      const int64_t offset = field(p + indexSize, offsetSize);
      const int64_t length = field(p + indexSize + offsetSize, lengthSize);
      if (offset < 0 || length < 0 || extentSize * extents > end - p) return;
      rec.located = __builtin_add_overflow(base, offset, &rec.offset) == 0;
      rec.length = length;
      rec.offsetFieldPos = p + indexSize;
      rec.lengthFieldPos = p + indexSize + offsetSize;
      p += extentSize * extents;
    }
    if (!roomFor(items, id)) continue;
    ItemRecord& item = items[static_cast<uint32_t>(id)];
    item.located = rec.located;
    item.offset = rec.offset;
    item.length = rec.length;
    item.offsetFieldPos = rec.offsetFieldPos;
    item.lengthFieldPos = rec.lengthFieldPos;
    item.offsetSize = offsetSize;
    item.lengthSize = lengthSize;
    item.baseOffset = base;
    item.extentCount = extents;
    item.constructionMethod = method;
  }
}

}  // namespace

bool readBox(base::ByteView buf, int64_t pos, int64_t end, bool zeroToEnd, Box& box) {
  if (pos < 0 || end - pos < 8 || !base::fits(buf, pos, 8)) return false;
  box.start = pos;
  box.type = buf.data() + pos + 4;
  box.header = 8;
  uint64_t size = readUint32(buf, pos, kBigEndian);
  if (size == 1) {
    if (end - pos < 16 || !base::fits(buf, pos, 16)) return false;
    size = uint64_t{readUint32(buf, pos + 8, kBigEndian)} << 32 |
           readUint32(buf, pos + 12, kBigEndian);
    box.header = 16;
  } else if (size == 0 && zeroToEnd) {
    size = static_cast<uint64_t>(end - pos);
  }
  if (size < static_cast<uint64_t>(box.header) || size > static_cast<uint64_t>(end - pos)) {
    return false;
  }
  box.size = static_cast<int64_t>(size);
  return true;
}

bool isIsobmff(base::ByteView buf) {
  return buf.size() >= 12 && std::memcmp(buf.data() + 4, "ftyp", 4) == 0;
}

int64_t beInt(base::ByteView buf, int64_t pos, int size) {
  if (size == 0) return 0;
  if (size < 0 || size > 8 || !base::fits(buf, pos, size)) return -1;
  const uint64_t v = base::loadBeN(buf.data() + pos, size);
  return v > static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<int64_t>(v);
}

std::pair<std::string, int64_t> readCString(base::ByteView buf, int64_t start, int64_t limit) {
  limit = std::min<int64_t>(limit, static_cast<int64_t>(buf.size()));
  if (start < 0 || start >= limit) return {std::string(), std::max<int64_t>(start, limit)};
  const uint8_t* p = buf.data() + start;
  const void* nul = std::memchr(p, 0, static_cast<size_t>(limit - start));
  if (nul == nullptr) {
    return {std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(limit - start)),
            limit};
  }
  int64_t at = static_cast<const uint8_t*>(nul) - buf.data();
  return {std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(at - start)), at + 1};
}

ItemRecords parseItemRecords(base::ByteView buf) {
  ItemRecords items;
  if (!isIsobmff(buf)) return items;
  const int64_t size = static_cast<int64_t>(buf.size());
  Box meta;
  bool found = false;
  walkBoxes(buf, 0, size, true, [&](const Box& b) {
    if (!b.is("meta")) return true;
    meta = b;
    found = true;
    return false;
  });
  if (!found) return items;
  walkBoxes(buf, meta.start + 12, meta.end(), true, [&](const Box& child) {
    if (child.is("iinf")) readItemInfo(buf, child, items);
    if (child.is("iloc")) readItemLocations(buf, child, items);
    return true;
  });
  return items;
}

ItemRecord locateExifItem(base::ByteView buf) {
  for (auto& [id, item] : parseItemRecords(buf)) {
    if (item.itemType == "Exif") return item;
  }
  return {};
}

FoundOffset findExifTiffInIsobmff(base::ByteView buf) {
  ItemRecord item = locateExifItem(buf);
  const int64_t size = static_cast<int64_t>(buf.size());
  if (!item.located || item.constructionMethod != 0 || item.extentCount != 1 ||
      item.length <= 4 || item.offset < 0 || item.offset > size - item.length) {
    return std::nullopt;
  }
  // The item starts with the offset of the TIFF header after these 4 bytes.
  const int64_t header = readUint32(buf, item.offset, kBigEndian);
  const int64_t end = item.offset + item.length;
  const int64_t t = item.offset + 4 + header;
  if (t > end - 4) return std::nullopt;
  const uint8_t* p = buf.data() + t;
  if (std::memcmp(p, "II*\0", 4) == 0 || std::memcmp(p, "MM\0*", 4) == 0) return t;
  return std::nullopt;
}

FoundOffset findExifInHEIC(base::ByteView buf) {
  const int64_t n = static_cast<int64_t>(buf.size());
  FoundOffset result;
  // "Exif" at positions 0 .. n - 11.
  scanFor(buf, "Exif", 0, std::min(n, n - 11 + 4), [&](int64_t i) {
    const int64_t stop = std::min(i + 68, n - 4);
    for (int64_t k = i + 4; k < stop; ++k) {
      const uint8_t* p = buf.data() + k;
      if ((p[0] == 'I' && p[1] == 'I' && p[2] == 0x2A) || (p[0] == 'M' && p[1] == 'M' && p[2] == 0)) {
        result = k;
        return false;
      }
    }
    return true;
  });
  return result;
}

FoundOffset findIsobmffExif(base::ByteView buf) {
  const FoundOffset item = findExifTiffInIsobmff(buf);
  return item ? item : findExifInHEIC(buf);
}

}  // namespace kd::exif
