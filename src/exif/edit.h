// Metadata editing: edit sessions and their setters, the EXIF block writer,
// and rewriting or stripping containers in memory and on disk.
//
// A session holds the entries of IFD0, the Exif IFD, the GPS IFD and the
// interoperability IFD of one image as plain values. The writer lays them out
// afresh as one TIFF-structured block; the container functions put that
// block back into the image. Every byte-level function reports "cannot be
// done" by an empty result, every file-level one by false.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "exif/tiff.h"

namespace kd::exif {

using base::Bytes;

// One decoded entry. Which payload field is used depends on `type`.
struct EditValue {
  uint8_t type = kUndefined;
  uint32_t count = 0;  // the source entry's count (used for FLOAT, DOUBLE, unknown types)
  std::string text;    // ASCII, without terminator
  std::vector<int64_t> ints;                             // SHORT, LONG, SSHORT, SLONG
  std::vector<std::pair<int64_t, int64_t>> rationals;    // RATIONAL, SRATIONAL
  Bytes raw;  // BYTE, SBYTE, UNDEFINED, FLOAT, DOUBLE, unknown types: as stored

  bool operator==(const EditValue&) const = default;
};

// Tag id to value; a new tag is appended, an existing one keeps its place.
class TagList {
 public:
  void set(uint16_t tag, EditValue value);
  bool erase(uint16_t tag);
  const EditValue* find(uint16_t tag) const;
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  void clear() { items_.clear(); }
  const std::vector<std::pair<uint16_t, EditValue>>& items() const { return items_; }

 private:
  std::vector<std::pair<uint16_t, EditValue>> items_;
};

// Where the source's maker note lay: offset of its value from the TIFF header
// and its length. The writer keeps the note there when it can, since most
// makers' notes hold offsets relative to that header.
struct MakerNotePlace {
  int64_t offset = -1;
  int64_t length = 0;
  // The bytes that followed the note in the source (at most 256): some notes
  // point a little past their declared length, at bytes of the source block.
  Bytes tail;
  // How many bytes after the note its entries address (previews,
  // sub-directories; within `tail`), carried with it when it has to move,
  // and the fields of offsets from the TIFF header that then shift with it
  // (positions from the note's first byte, in the fields' byte order).
  int64_t reach = 0;
  std::vector<int64_t> offsetFields;
  bool fieldsBigEndian = false;
};

struct EditSession {
  TagList ifd0;     // without the Exif and GPS pointers
  TagList exif;     // without the interoperability pointer
  TagList gps;
  TagList interop;  // written behind a fresh 0xA005 pointer of the Exif IFD
  bool sourceBigEndian = false;
  MakerNotePlace makerNote;
  // The source's thumbnail directory (IFD1) without its JPEG offset and
  // length entries, and (when `hasThumbnail`) the JPEG preview they pointed
  // at, which may be empty. Written after the other directories.
  TagList ifd1;
  bool hasThumbnail = false;
  Bytes thumbnail;
};

enum class IfdSelector : uint8_t { ifd0 = 0, exif = 1, gps = 2 };

// The 22 names setTagByName accepts (matched exactly).
struct WritableTag {
  const char* name;
  IfdSelector ifd;
  uint16_t tag;
  uint8_t type;
};
extern const WritableTag WritableTags[22];

inline constexpr int64_t kEditReadLimit = 16777216;
inline constexpr int64_t kMakerNoteTail = 256;

// A session from the first 16 MiB of a file; empty when it cannot be read.
EditSession parseExif(const std::string& path);
// A session from JPEG, bare TIFF, PNG, WebP or ISO base media bytes; empty
// when they hold no EXIF.
EditSession parseExifBytes(base::ByteView buf);
EditValue decodeTag(const IfdEntry& entry);

void setArtist(EditSession& s, std::string_view text);
void setSoftware(EditSession& s, std::string_view text);
void setDateTimeOriginal(EditSession& s, std::string_view text);
void setGps(EditSession& s, double latitude, double longitude, double altitude);
bool setTagByName(EditSession& s, std::string_view name, std::string_view text);
void setTag(EditSession& s, IfdSelector ifd, uint16_t tag, EditValue value);
void stripAll(EditSession& s);

// Raises KeldraException(ekInvalid) with "EXIF integer out of range",
// "EXIF rational out of range" or "EXIF value not a number".
EditValue parseTyped(uint8_t type, std::string_view text);
std::vector<std::pair<int64_t, int64_t>> dms(double x);

EditValue asciiVal(std::string_view text);
EditValue byteVal(Bytes bytes);
EditValue longVal(std::vector<int64_t> values);
EditValue rationalSeq(std::vector<std::pair<int64_t, int64_t>> values);

// ---- block writer ----

struct EncodedValue {
  uint8_t type = 0;
  uint32_t count = 0;
  Bytes bytes;
};

// The complete little-endian block ("II", 42, IFD0 at 8).
Bytes serialize(const EditSession& s);
EncodedValue encode(const EditValue& v, bool sourceBigEndian);
// The same in either byte order.
EncodedValue encodeInOrder(const EditValue& v, bool sourceBigEndian, bool bigEndian);
int64_t ifdSize(int64_t entries);

// Layout choices beyond the plain block, for the callers that need them.
struct BlockLayout {
  bool bigEndian = false;       // byte order of everything written
  int64_t origin = 0;           // offset of the block's IFD0 from the TIFF header
  uint32_t nextIfd = 0;         // next-IFD offset of IFD0
  bool keepMakerNote = true;    // try to keep the maker note at its source offset
  bool makerNoteInPlace = false;  // the note already lies at its offset (full TIFF)
};
// The directories and value area only (no header), placed at `origin`.
Bytes serializeBody(const EditSession& s, const BlockLayout& layout);

// ---- containers ----

// New file content as a sequence of pieces: views into the source (which
// must outlive them) and bytes of its own. Writers copy the pieces straight
// into their destination, so a multi-megabyte picture is copied once.
class Pieces {
 public:
  void addView(base::ByteView v);
  void addOwned(Bytes b);
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const std::vector<base::ByteView>& parts() const { return parts_; }
  void copyTo(uint8_t* out) const;
  Bytes bytes() const;

 private:
  std::vector<base::ByteView> parts_;
  std::vector<std::unique_ptr<Bytes>> owned_;
  size_t size_ = 0;
};

Bytes writeExifBytes(base::ByteView source, const EditSession& s);
Pieces writeExifPieces(base::ByteView source, const EditSession& s);
Bytes embedExifInJpeg(base::ByteView jpeg, base::ByteView block);
// Appends the session's thumbnail directory and preview to a block made by
// serialize (at the next even offset) and points IFD0's next-directory
// offset at it; nothing when the session has no thumbnail directory.
void appendThumbnailIfd(Bytes& block, const EditSession& s);
// Takes the thumbnail directory appendThumbnailIfd added off again.
void dropThumbnailIfd(Bytes& block);
Bytes stripMetadataBytes(base::ByteView source);
Pieces stripMetadataPieces(base::ByteView source);
// A full TIFF image with the session's tags: the source bytes stay where they
// were, the new directories are appended and the header points at them.
Bytes writeExifTiff(base::ByteView source, const EditSession& s);
// True when a TIFF-headed buffer is a picture (IFD0 has strips or tiles).
bool isFullTiff(base::ByteView buf);

// HEIF/AVIF: the block into the file-stored, single-extent Exif item, in
// place when it fits, else in an appended "mdat" box; empty when there is no
// such item or its "iloc" fields cannot express the new place.
Bytes writeExifIsobmff(base::ByteView source, base::ByteView block);
// HEIF/AVIF with every Exif item blanked to an empty TIFF structure and every
// XMP item to an empty packet, in place; empty when there are no items.
Bytes stripIsobmff(base::ByteView source);
extern const char kEmptyXmpPacket[];

inline constexpr size_t kJpegMaxExifBlock = 65527;

}  // namespace kd::exif
