// TIFF image decoder: the first image of a classic (32-bit offset) TIFF file.
// It has its own compact directory reader, separate from the metadata side's,
// that keeps only integer values and reads them from the file on demand.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "formats/image.h"

namespace kd::formats::tiff {

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

  Ifd(ByteView data, bool littleEndian) : data_(data), little_(littleEndian) {}

  void add(uint16_t tag, const Field& f) { fields_[tag] = f; }
  bool has(uint16_t tag) const { return fields_.count(tag) != 0; }
  // First value, or `fallback` when the tag is absent or has no values.
  uint64_t getU32(uint16_t tag, uint64_t fallback) const;
  // All values; empty when the tag is absent.
  std::vector<uint64_t> getSeq(uint16_t tag) const;

 private:
  uint64_t element(const Field& f, uint32_t i) const;

  ByteView data_;
  bool little_;
  std::map<uint16_t, Field> fields_;
};

// The directory at `offset` ("tiff: IFD offset out of range", "tiff: IFD
// entries truncated", "tiff: field value out of range"). Entries of unknown
// type are skipped; a repeated tag keeps its last entry.
Ifd parseIfd(ByteView data, uint64_t offset, bool littleEndian);

// ceil(width * spp * bits / 8), saturating at SIZE_MAX.
size_t rowBytesFor(uint64_t width, uint32_t spp, uint32_t bits);

// TIFF 6.0 LZW (MSB-first codes, 9 to 12 bits, early change): at most
// `expected` bytes; a stream without EndOfInformation stops where it ends.
Bytes lzwDecode(ByteView in, size_t expected);
// The same into the `expected` bytes at `out` (nothing written past them);
// returns the decoded length.
size_t lzwDecodeTo(ByteView in, uint8_t* out, size_t expected);
// Undoes horizontal differencing in place, row by row.
void applyPredictor(uint8_t* chunk, size_t rows, size_t rowBytes, uint32_t spp, uint32_t bits,
                    bool littleEndian);

// Most bytes `count` input bytes can decode to under `compression`: a bound
// every decoder here honours, used to refuse a picture the strips or tiles
// cannot fill before it is allocated. Saturates at UINT64_MAX.
uint64_t maxDecodedSize(uint32_t compression, uint64_t count);

}  // namespace kd::formats::tiff
