// Putting a new EXIF block into an image, and stripping metadata from one,
// in memory. Every function takes the whole file and returns new bytes;
// an empty result means "cannot be done".
#include <cstring>

#include "base/jpeg_segments.h"
#include "exif/edit.h"
#include "exif/isobmff.h"
#include "exif/png.h"
#include "exif/tag_ids.h"
#include "exif/png_profiles.h"
#include "exif/webp.h"

namespace kd::exif {

using base::ByteView;

namespace {

void append(Pieces& out, ByteView b, size_t from, size_t to) {
  out.addView(b.subspan(from, to - from));
}

// Tags of IFD0 that describe the picture itself. A full TIFF keeps them from
// its own first directory whatever the session holds, so that neither
// stripAll nor a session read from a truncated start can break the image.
constexpr uint16_t kImageStructureTags[] = {
    254, 255, 256, 257, 258, 259, 262, 263, 266, 273, 277, 278, 279, 280, 281, 284, 290, 291,
    292, 293, 301, 317, 318, 319, 320, 321, 322, 323, 324, 325, 330, 332, 338, 339, 340, 341,
    347, 512, 513, 514, 515, 517, 518, 519, 520, 521, 529, 530, 531, 532,
};

bool tiffByteOrder(ByteView buf, bool& be, bool& bigTiff) {
  if (buf.size() < 8) return false;
  if (buf[0] == 'I' && buf[1] == 'I') {
    be = false;
  } else if (buf[0] == 'M' && buf[1] == 'M') {
    be = true;
  } else {
    return false;
  }
  bigTiff = readUint16(buf, 2, orderOf(be)) == 43;
  return true;
}

}  // namespace

bool isFullTiff(ByteView buf) {
  bool be = false, bigTiff = false;
  if (!tiffByteOrder(buf, be, bigTiff)) return false;
  if (bigTiff) return true;
  if (readUint16(buf, 2, orderOf(be)) != 42) return false;
  int64_t pos = readUint32(buf, 4, orderOf(be));
  if (!base::fits(buf, pos, 2)) return false;
  ReadBudget budget = ReadBudget::forInputSize(buf.size());
  Ifd ifd0 = readIFD(buf, pos, 0, be, &budget);
  return ifd0.find(kTagStripOffsets) != nullptr || ifd0.find(kTagTileOffsets) != nullptr;
}

Bytes writeExifTiff(ByteView source, const EditSession& s) {
  bool be = false, bigTiff = false;
  if (!tiffByteOrder(source, be, bigTiff) || bigTiff) return {};
  const int64_t ifd0Pos = readUint32(source, 4, orderOf(be));
  if (!base::fits(source, ifd0Pos, 2)) return {};
  ReadBudget budget = ReadBudget::forInputSize(source.size());
  const Ifd ifd0 = readIFD(source, ifd0Pos, 0, be, &budget);

  EditSession merged = s;
  merged.sourceBigEndian = be;
  for (uint16_t tag : kImageStructureTags) {
    if (const IfdEntry* e = ifd0.find(tag)) merged.ifd0.set(tag, decodeTag(*e));
  }

  BlockLayout layout;
  layout.bigEndian = be;
  layout.origin = static_cast<int64_t>(source.size() + source.size() % 2);
  layout.nextIfd = ifd0.nextOffset;
  // The old maker note is still in the file at its offset: point at it.
  if (const EditValue* note = merged.exif.find(kTagMakerNote);
      note != nullptr && merged.makerNote.offset >= 0 &&
      base::fits(source, merged.makerNote.offset, merged.makerNote.length) &&
      static_cast<int64_t>(note->raw.size()) == merged.makerNote.length &&
      std::memcmp(note->raw.data(), source.data() + merged.makerNote.offset, note->raw.size()) ==
          0) {
    layout.makerNoteInPlace = true;
  }
  Bytes body = serializeBody(merged, layout);

  Bytes out(source.begin(), source.end());
  if (out.size() % 2 != 0) out.push_back(0);
  out.insert(out.end(), body.begin(), body.end());
  const uint32_t at = static_cast<uint32_t>(layout.origin);
  uint8_t field[4] = {static_cast<uint8_t>(at), static_cast<uint8_t>(at >> 8),
                      static_cast<uint8_t>(at >> 16), static_cast<uint8_t>(at >> 24)};
  if (be) std::swap(field[0], field[3]), std::swap(field[1], field[2]);
  std::memcpy(out.data() + 4, field, 4);
  return out;
}

namespace {

// The JPEG with `segment` in place of its first Exif APP1 (or before the
// first SOS); empty pieces on a malformed segment walk.
Pieces embedSegment(ByteView src, Bytes segment) {
  Pieces out;
  append(out, src, 0, 2);
  bool placed = false;
  auto place = [&] {
    if (!placed) out.addOwned(std::move(segment));
    placed = true;
  };
  const size_t size = src.size();
  base::JpegSegmentWalk walk(src);
  base::JpegSegment s;
  while (walk.next(s)) {
    if (s.marker == 0xDA || s.marker == 0xD9) {
      place();
      append(out, src, s.start, size);
      return out;
    }
    if (s.truncated) return {};
    if (s.marker == 0xE1 && size - s.body >= 6 &&
        std::memcmp(src.data() + s.body, "Exif", 4) == 0) {
      place();
    } else {
      append(out, src, s.start, s.end);
    }
  }
  // The data ends at a segment boundary or inside a marker's length field:
  // the segment goes last, the rest is kept as it is.
  const base::JpegWalkStop stop = walk.stop();
  if (stop != base::JpegWalkStop::jwEnd && stop != base::JpegWalkStop::jwLengthCut) return {};
  place();
  append(out, src, walk.pos(), size);
  return out;
}

Bytes exifSegment(ByteView block) {
  const uint8_t header[10] = {0xFF, 0xE1, static_cast<uint8_t>((block.size() + 8) >> 8),
                              static_cast<uint8_t>(block.size() + 8), 'E', 'x', 'i', 'f', 0, 0};
  Bytes segment(10 + block.size());
  std::memcpy(segment.data(), header, 10);
  if (!block.empty()) std::memcpy(segment.data() + 10, block.data(), block.size());
  return segment;
}

Pieces whole(Bytes b) {
  Pieces out;
  out.addOwned(std::move(b));
  return out;
}

}  // namespace

void Pieces::addView(ByteView v) {
  if (v.empty()) return;
  parts_.push_back(v);
  size_ += v.size();
}

void Pieces::addOwned(Bytes b) {
  if (b.empty()) return;
  owned_.push_back(std::make_unique<Bytes>(std::move(b)));
  addView(*owned_.back());
}

void Pieces::copyTo(uint8_t* out) const {
  for (ByteView v : parts_) {
    std::memcpy(out, v.data(), v.size());
    out += v.size();
  }
}

Bytes Pieces::bytes() const {
  Bytes out(size_);
  if (size_ != 0) copyTo(out.data());
  return out;
}

Bytes embedExifInJpeg(ByteView src, ByteView block) {
  if (src.size() < 2 || block.size() + 8 > 65535) return {};
  return embedSegment(src, exifSegment(block)).bytes();
}

namespace {

Pieces stripJpeg(ByteView src) {
  Pieces out;
  append(out, src, 0, 2);
  base::JpegSegmentWalk walk(src);
  base::JpegSegment s;
  while (walk.next(s)) {
    if (s.marker == 0xD9 || s.marker == 0xDA) {
      append(out, src, s.start, src.size());
      return out;
    }
    if (s.truncated) return {};
    if (s.marker != 0xE1 && s.marker != 0xED && s.marker != 0xFE) append(out, src, s.start, s.end);
  }
  if (walk.stop() != base::JpegWalkStop::jwEnd) return {};
  return out;
}

}  // namespace

Pieces stripMetadataPieces(ByteView src) {
  if (src.size() < 2) return {};
  if (base::isJpeg(src)) return stripJpeg(src);
  if (isPng(src)) return whole(stripPng(src));
  if (isWebp(src)) return whole(stripWebp(src));
  if (isIsobmff(src)) return whole(stripIsobmff(src));
  return {};
}

Bytes stripMetadataBytes(ByteView src) { return stripMetadataPieces(src).bytes(); }

Pieces writeExifPieces(ByteView src, const EditSession& s) {
  if (src.size() < 2) return {};
  if (base::isJpeg(src)) {
    Bytes block = serialize(s);
    // The thumbnail is what gives way when the block outgrows one segment.
    if (block.size() > kJpegMaxExifBlock) dropThumbnailIfd(block);
    if (block.size() > kJpegMaxExifBlock &&
        s.makerNote.tail.size() > static_cast<size_t>(kMakerNoteTail)) {
      // Then the data behind the maker note, beyond the bytes always kept.
      EditSession shorter = s;
      shorter.makerNote.tail.resize(static_cast<size_t>(kMakerNoteTail));
      block = serialize(shorter);
      if (block.size() > kJpegMaxExifBlock) dropThumbnailIfd(block);
    }
    if (block.size() > kJpegMaxExifBlock) return {};
    return embedSegment(src, exifSegment(block));
  }
  if ((src[0] == 'I' && src[1] == 'I') || (src[0] == 'M' && src[1] == 'M')) {
    // A picture keeps its image data; a bare block is replaced.
    if (isFullTiff(src)) return whole(writeExifTiff(src, s));
    return whole(serialize(s));
  }
  if (isPng(src)) return whole(replacePngExifAndProfiles(src, serialize(s)));
  if (isWebp(src)) return whole(replaceWebpExif(src, serialize(s)));
  if (isIsobmff(src)) return whole(writeExifIsobmff(src, serialize(s)));
  return {};
}

Bytes writeExifBytes(ByteView src, const EditSession& s) { return writeExifPieces(src, s).bytes(); }

}  // namespace kd::exif
