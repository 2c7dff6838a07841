// TIFF image decoder: the first image of a classic (32-bit offset) TIFF file.
// It has its own compact directory reader, separate from the metadata side's,
// that keeps only integer values and reads them from the file on demand.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "base/bytes.h"
#include "formats/codecs.h"
#include "formats/image.h"

namespace kd::formats::tiff {

inline constexpr uint16_t kImageWidth = 256;
inline constexpr uint16_t kImageLength = 257;
inline constexpr uint16_t kBitsPerSample = 258;
inline constexpr uint16_t kCompression = 259;
inline constexpr uint16_t kPhotometric = 262;
inline constexpr uint16_t kStripOffsets = 273;
inline constexpr uint16_t kSamplesPerPixel = 277;
inline constexpr uint16_t kRowsPerStrip = 278;
inline constexpr uint16_t kStripByteCounts = 279;
inline constexpr uint16_t kPlanarConfiguration = 284;
inline constexpr uint16_t kPredictor = 317;
inline constexpr uint16_t kColorMap = 320;
inline constexpr uint16_t kTileWidth = 322;
inline constexpr uint16_t kTileLength = 323;
inline constexpr uint16_t kTileOffsets = 324;
inline constexpr uint16_t kTileByteCounts = 325;
inline constexpr uint16_t kExtraSamples = 338;
inline constexpr uint16_t kSampleFormat = 339;

inline constexpr uint32_t kNone = 1;
inline constexpr uint32_t kLzw = 5;
inline constexpr uint32_t kDeflate = 8;
inline constexpr uint32_t kPackBits = 32773;
inline constexpr uint32_t kAdobeDeflate = 32946;


inline size_t toSize(uint64_t v) { return v > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(v); }

// Element size of field types 1..12 (BYTE .. DOUBLE); 0 for unknown types.
uint32_t typeSize(uint32_t type);

// One directory: tag -> sequence of unsigned integers. Values stay in the
// file (the view the directory was parsed from) until asked for, so a
// directory costs memory per entry, not per value. Elements of 1, 2 or 4
// bytes are unsigned integers in the file's byte order; 8-byte elements
// (RATIONAL, SRATIONAL, DOUBLE) are first word * 2^32 + second word.
class Ifd {
 public:
  struct Field {
    uint16_t type = 0;
    uint32_t count = 0;
    size_t pos = 0;  // file offset of the first element, already bounds-checked
  };

  Ifd(ByteView data, base::ByteOrder order) : data_(data), order_(order) {}

  void add(uint16_t tag, const Field& f) { fields_[tag] = f; }
  bool has(uint16_t tag) const { return fields_.count(tag) != 0; }
  // First value, or `fallback` when the tag is absent or has no values.
  uint64_t getU32(uint16_t tag, uint64_t fallback) const;
  // All values; empty when the tag is absent.
  std::vector<uint64_t> getSeq(uint16_t tag) const;

 private:
  uint64_t element(const Field& f, uint32_t i) const;

  ByteView data_;
  base::ByteOrder order_;
  std::map<uint16_t, Field> fields_;
};

// The directory at `offset` ("tiff: IFD offset out of range", "tiff: IFD
// entries truncated", "tiff: field value out of range"). Entries of unknown
// type are skipped; a repeated tag keeps its last entry.
Ifd parseIfd(ByteView data, uint64_t offset, base::ByteOrder order);

// ceil(width * spp * bits / 8), saturating at SIZE_MAX.
size_t rowBytesFor(uint64_t width, uint32_t spp, uint32_t bits);

// TIFF 6.0 LZW (MSB-first codes, 9 to 12 bits, early change): at most
// `expected` bytes; a stream without EndOfInformation stops where it ends.
Bytes lzwDecode(ByteView in, size_t expected);
// The same into the `expected` bytes at `out` (nothing written past them);
// returns the decoded length. With `keepExcess` a stream that decodes to
// more keeps the first `expected` bytes instead of failing.
size_t lzwDecodeTo(ByteView in, uint8_t* out, size_t expected, bool keepExcess = false);
// Undoes horizontal differencing in place, row by row.
void applyPredictor(uint8_t* chunk, size_t rows, size_t rowBytes, uint32_t spp, uint32_t bits,
                    bool littleEndian);

// Most bytes `count` input bytes can decode to under `compression`: a bound
// every decoder here honours, used to refuse a picture the strips or tiles
// cannot fill before it is allocated. Saturates at UINT64_MAX.
uint64_t maxDecodedSize(uint32_t compression, uint64_t count);

// The decoded bytes of one strip or tile (compression 1, 5, 8, 32773 or
// 32946): a view of the file for uncompressed data, otherwise of `scratch`,
// which is reused from chunk to chunk and starts no larger than the input
// can fill. At most `expected` bytes; with `keepLzwExcess` an LZW stream
// that decodes to more keeps its first `expected` bytes instead of failing.
ByteView decodeChunkInto(ByteView data, uint64_t offset, uint64_t count, size_t expected,
                         uint32_t compression, Bytes& scratch, bool keepLzwExcess);

// Where the strips or tiles lie and what each decodes to. `count` chunks of
// one plane; the offset and byte-count tables hold at least that many.
struct Layout {
  bool tiled = false;
  uint64_t chunkWidth = 0;  // columns a chunk decodes to
  uint64_t chunkRows = 0;   // rows of a full chunk
  uint64_t across = 1;      // chunks per band of rows
  uint64_t count = 0;
  std::vector<uint64_t> offsets;
  std::vector<uint64_t> byteCounts;
};
Layout readLayout(const Ifd& ifd, uint64_t width, uint64_t height);
// Rows a chunk decodes to: full tiles, and strips but the last.
uint64_t decodedRows(const Layout& l, uint64_t index, uint64_t height);

// CCITT bilevel fax (tiff_ccitt.cpp): compression 2 (modified Huffman rows,
// each starting on a byte), 3 (T.4, one- or two-dimensional, with EOL codes
// and fill bits) and 4 (T.6).
inline constexpr uint32_t kCcittRle = 2;
inline constexpr uint32_t kCcittT4 = 3;
inline constexpr uint32_t kCcittT6 = 4;
struct FaxOptions {
  uint32_t compression = kCcittT6;
  bool twoDimensional = false;  // T.4 lines may be coded against the line above
  bool lsbFirst = false;        // FillOrder 2: bits of each byte in reverse order
};
// Decodes `rows` rows of `width` pixels from the untrusted `in` into `out`:
// rows of (width + 7) / 8 bytes, bits most significant first, 1 for black.
// Throws ekTruncated when the data ends early, ekInvalid on a bad code.
void ccittDecodeInto(ByteView in, size_t width, size_t rows, const FaxOptions& opts, Bytes& out);

// JPEG strips and tiles (compression 7, tiff_jpeg.cpp), each a JPEG stream
// of its own whose tables may sit in the JPEGTables field.
inline constexpr uint32_t kJpeg = 7;
// Most bytes one input byte of a JPEG stream can give: a block costs at
// least two bits (a DC and an end-of-block code) and, with 4:2:0 or larger
// luma sampling, stands for at most 3 x 64 output bytes.
inline constexpr uint64_t kJpegMaxExpansion = 4 * 3 * 64;
// Decodes one chunk `in` (with `tables`, the JPEGTables field, possibly
// empty) of `chunkWidth` x `chunkRows` pixels and copies its top-left
// `cols` x `rows` pixels to (x0, y0) of `img`, or only checks it when `img`
// is null. The stream's size and colour must fit its place.
void decodeJpegChunk(ByteView tables, ByteView in, uint64_t chunkWidth, uint64_t chunkRows, size_t x0,
                     size_t y0, size_t cols, size_t rows, Image* img);

// The picture of a directory the plain decoder refuses: the variants the
// wide option adds (tiff_wide.cpp). `width` and `height` are checked.
Image decodeWide(ByteView data, const Ifd& ifd, base::ByteOrder order, uint64_t width,
                 uint64_t height);

}  // namespace kd::formats::tiff
