// The thumbnail directory of a written EXIF block: a copy of the source's
// IFD1 and its JPEG preview, appended after everything serialize lays out,
// in the block's byte order. IFD1 is one directory, then its value area,
// then the preview bytes; IFD0's next-directory offset points at it.
#include <algorithm>

#include "exif/edit.h"
#include "exif/endian.h"

namespace kd::exif {

namespace {

constexpr uint16_t kPreviewStart = 0x0201;
constexpr uint16_t kPreviewLength = 0x0202;

void put16(Bytes& out, uint16_t v, bool be) {
  if (be) {
    base::appendBe16(out, v);
  } else {
    base::appendLe16(out, v);
  }
}

void put32(Bytes& out, uint32_t v, bool be) {
  if (be) {
    base::appendBe32(out, v);
  } else {
    base::appendLe32(out, v);
  }
}

uint32_t offset32(size_t v) {
  if (v > UINT32_MAX) base::fail(base::ekTooLarge, "exif: block exceeds 4 GiB");
  return static_cast<uint32_t>(v);
}

// Position of IFD0's next-directory offset in a block, or 0.
size_t nextOffsetField(const Bytes& block, bool be) {
  const uint32_t ifd0 = readUint32(block, 4, orderOf(be));
  const uint64_t field = uint64_t{ifd0} + 2 + 12 * uint64_t{readUint16(block, ifd0, orderOf(be))};
  return base::fits(block, static_cast<int64_t>(field), 4) ? static_cast<size_t>(field) : 0;
}

void store32(Bytes& block, size_t pos, uint32_t v, bool be) {
  if (be) {
    base::storeBe32(block.data() + pos, v);
  } else {
    base::storeLe32(block.data() + pos, v);
  }
}

}  // namespace

void appendThumbnailIfd(Bytes& block, const EditSession& s) {
  if ((s.ifd1.empty() && !s.hasThumbnail) || block.size() < 8) return;
  const bool be = block[0] == 'M';
  const size_t field = nextOffsetField(block, be);
  if (field == 0) return;
  if (block.size() % 2 != 0) block.push_back(0);
  const size_t ifdAt = block.size();

  struct Item {
    uint16_t tag;
    EncodedValue value;
  };
  std::vector<Item> items;
  for (const auto& [tag, value] : s.ifd1.items()) {
    items.push_back({tag, encodeInOrder(value, s.sourceBigEndian, be)});
  }
  if (s.hasThumbnail) {
    EncodedValue start{kLong, 1, Bytes(4, 0)};
    EncodedValue length{kLong, 1, {}};
    put32(length.bytes, offset32(s.thumbnail.size()), be);
    items.push_back({kPreviewStart, start});
    items.push_back({kPreviewLength, length});
  }
  std::sort(items.begin(), items.end(), [](const Item& a, const Item& b) { return a.tag < b.tag; });

  // Values longer than four bytes follow the directory at even offsets; the
  // preview comes last.
  const size_t areaAt = ifdAt + static_cast<size_t>(ifdSize(static_cast<int64_t>(items.size())));
  Bytes area;
  Bytes ifd;
  put16(ifd, static_cast<uint16_t>(items.size()), be);
  size_t previewField = 0;
  for (Item& item : items) {
    put16(ifd, item.tag, be);
    put16(ifd, item.value.type, be);
    put32(ifd, item.value.count, be);
    if (item.tag == kPreviewStart) previewField = ifd.size();
    if (item.value.bytes.size() <= 4) {
      item.value.bytes.resize(4, 0);
      ifd.insert(ifd.end(), item.value.bytes.begin(), item.value.bytes.end());
    } else {
      put32(ifd, offset32(areaAt + area.size()), be);
      area.insert(area.end(), item.value.bytes.begin(), item.value.bytes.end());
      if (area.size() % 2 != 0) area.push_back(0);
    }
  }
  put32(ifd, 0, be);
  if (s.hasThumbnail) store32(ifd, previewField, offset32(areaAt + area.size()), be);
  store32(block, field, offset32(ifdAt), be);
  block.insert(block.end(), ifd.begin(), ifd.end());
  block.insert(block.end(), area.begin(), area.end());
  block.insert(block.end(), s.thumbnail.begin(), s.thumbnail.end());
}

void dropThumbnailIfd(Bytes& block) {
  if (block.size() < 8) return;
  const bool be = block[0] == 'M';
  const size_t field = nextOffsetField(block, be);
  if (field == 0) return;
  const uint32_t at = readUint32(block, static_cast<int64_t>(field), orderOf(be));
  if (at == 0 || at > block.size()) return;
  block.resize(at);
  store32(block, field, 0, be);
}

}  // namespace kd::exif
