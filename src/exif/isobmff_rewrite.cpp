// Rewriting HEIF/AVIF files: a new EXIF block into the Exif item (in place
// or in an appended "mdat"), and blanking the Exif and XMP items in place.
// Both patch the item's "iloc" fields where the item table says they are.
#include <cstring>

#include "exif/edit.h"
#include "exif/isobmff.h"

namespace kd::exif {

using base::ByteView;

namespace {

// A single extent of file data lying wholly inside the buffer.
bool usableExtent(const ItemRecord& item, ByteView buf) {
  return item.located && item.constructionMethod == 0 && item.extentCount == 1 &&
         base::fits(buf, item.offset, item.length);
}

// `value` fits a big-endian field of `size` bytes (a 0-byte field holds nothing).
bool representable(int64_t value, int size) {
  if (value < 0 || size <= 0) return false;
  return size >= 8 || value < (int64_t{1} << (8 * size));
}

bool putField(Bytes& out, int64_t pos, int size, int64_t value) {
  if (!representable(value, size) || !base::fits(out, pos, size)) return false;
  base::storeBeN(out.data() + pos, size, static_cast<uint64_t>(value));
  return true;
}

}  // namespace

// The empty packet written over XMP items: exactly 192 bytes.
const char kEmptyXmpPacket[] =
    "<?xpacket begin=\"\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>"
    "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\">"
    "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"></rdf:RDF>"
    "</x:xmpmeta><?xpacket end=\"w\"?>";
static_assert(sizeof kEmptyXmpPacket - 1 == 192);

Bytes writeExifIsobmff(ByteView src, ByteView block) {
  if (!isIsobmff(src)) return {};
  const ItemRecord item = locateExifItem(src);
  if (!usableExtent(item, src)) return {};
  Bytes payload(4, 0);
  payload.insert(payload.end(), block.begin(), block.end());
  const int64_t n = static_cast<int64_t>(payload.size());

  Bytes out(src.begin(), src.end());
  if (n <= item.length && representable(n, item.lengthSize)) {
    uint8_t* at = out.data() + item.offset;
    std::memcpy(at, payload.data(), payload.size());
    std::memset(at + n, 0, static_cast<size_t>(item.length - n));
    if (!putField(out, item.lengthFieldPos, item.lengthSize, n)) return {};
    return out;
  }
  // Appended: the old extent stays in the file, unreferenced. Fields too
  // small for the new place or size make the write fail rather than leave
  // the file silently unedited.
  const int64_t d = static_cast<int64_t>(src.size()) + 8;
  if (n + 8 > 4294967295LL) return {};
  if (!putField(out, item.offsetFieldPos, item.offsetSize, d - item.baseOffset) ||
      !putField(out, item.lengthFieldPos, item.lengthSize, n)) {
    return {};
  }
  base::appendBe32(out, static_cast<uint32_t>(n + 8));
  out.insert(out.end(), {'m', 'd', 'a', 't'});
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes stripIsobmff(ByteView src) {
  if (!isIsobmff(src)) return {};
  const ItemRecords items = parseItemRecords(src);
  if (items.empty()) return {};
  Bytes out(src.begin(), src.end());
  for (const auto& [id, item] : items) {
    const bool exif = item.itemType == "Exif";
    const bool xmp = item.itemType == "mime" && item.contentType == "application/rdf+xml";
    if (!(exif || xmp) || !usableExtent(item, src) || item.length <= 4) continue;
    uint8_t* at = out.data() + item.offset;
    const size_t len = static_cast<size_t>(item.length);
    if (exif) {
      static const uint8_t kEmptyTiff[14] = {'M', 'M', 0, 0x2A, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0};
      std::memset(at, 0, len);
      std::memcpy(at + 4, kEmptyTiff, std::min<size_t>(14, len - 4));
    } else if (len >= 192) {
      std::memcpy(at, kEmptyXmpPacket, 192);
      std::memset(at + 192, ' ', len - 192);
    } else {
      std::memset(at, 0, len);
    }
  }
  return out;
}

}  // namespace kd::exif
