// PNG metadata chunks: locating the eXIf block, the text chunks and the XMP
// packet, and rebuilding a PNG with a new EXIF block or without metadata.
//
// All positions are byte offsets into the caller's buffer. Readers never fail
// on malformed input and never verify CRCs; rebuilders copy every chunk they
// keep byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "exif/found.h"

namespace kd::exif {

class ReadBudget;

using TextPairs = std::vector<std::pair<std::string, std::string>>;

// At least 8 bytes and the PNG signature.
bool isPng(base::ByteView buf);
// Offset of the data of the first "eXIf" chunk, wherever it stands before
// IEND; empty when there is none.
FoundOffset findExifInPng(base::ByteView buf);
// (keyword, text) of the "tEXt", "zTXt" and "iTXt" chunks, in file order.
// Inflated text is charged to `budget` (when given); once it is spent,
// compressed chunks give no entry.
TextPairs pngTextChunks(base::ByteView buf, ReadBudget* budget = nullptr);
// The same entries with the place of their chunks: [start, end) from the
// length field to the end of the CRC.
struct PngText {
  std::string keyword;
  std::string text;
  int64_t start = 0;
  int64_t end = 0;
};
std::vector<PngText> pngTextChunksPlaced(base::ByteView buf, ReadBudget* budget = nullptr);
// Text of the first iTXt chunk keyed "XML:com.adobe.xmp", or empty.
std::string findXmpInPng(base::ByteView buf, ReadBudget* budget = nullptr);

// The PNG without "eXIf", "tEXt", "iTXt" and "zTXt" chunks; empty when `buf`
// is not a PNG.
base::Bytes stripPng(base::ByteView buf);
// The PNG whose only "eXIf" chunk holds `block` (a bare TIFF structure),
// placed right after IHDR; old "eXIf" chunks are dropped. An empty block
// returns the file unchanged. Empty when `buf` is not a PNG.
base::Bytes replacePngExif(base::ByteView buf, base::ByteView block);

// Length, type, data and CRC-32 of type + data as one chunk.
base::Bytes makeChunk(std::string_view type, base::ByteView data);
// 4 bytes, big-endian.
base::Bytes be32(uint32_t v);
// The 4 bytes at `pos` as a string (empty when they do not fit).
std::string chunkType(base::ByteView buf, int64_t pos);

}  // namespace kd::exif
