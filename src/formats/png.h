// PNG helpers shared by the decoder and encoder (and reachable from tests).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/heap_bytes.h"
#include "formats/image.h"

namespace kd::formats {

// Sample `index` of an unfiltered row at `depth` bits per sample. Depths 1, 2
// and 4 are packed most-significant bits first; depth 8 is the byte itself.
// The caller guarantees the sample lies inside the row.
inline unsigned sampleBits(const uint8_t* row, size_t index, unsigned depth) {
  switch (depth) {
    case 1: return (row[index / 8] >> (7 - index % 8)) & 1;
    case 2: return (row[index / 4] >> (6 - 2 * (index % 4))) & 3;
    case 4: return (row[index / 2] >> (index % 2 == 0 ? 4 : 0)) & 15;
    default: return row[index];
  }
}

// Appends one chunk: big-endian length, type, data, CRC-32 of type and data.
void writeChunk(Bytes& out, const char type[4], ByteView data);

// encodePngTo with the zlib stream split over IDAT chunks of at most
// `maxChunkData` bytes (encodePngTo: 2^31 - 1, the format's limit, so that
// all but enormous pictures get a single IDAT).
void encodePngWithChunkLimit(const Image& img, base::HeapBytes& out, size_t maxChunkData);

// The file at compression `level`: 0 is exactly encodePngTo; 1 (fastest)
// to 9 (smallest) choose a filter per row by the smallest sum of absolute
// differences and compress with compress::compressLevel at that level.
void encodePngLevelTo(const Image& img, int level, base::HeapBytes& out);

}  // namespace kd::formats
