// PNG metadata chunks: the eXIf block and the text chunks.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"

namespace kd::exif {

using TextPairs = std::vector<std::pair<std::string, std::string>>;

// At least 8 bytes and the PNG signature.
bool isPng(base::ByteView buf);
// Offset of the data of the first "eXIf" chunk, or 0 for none.
int64_t findExifInPng(base::ByteView buf);
// (keyword, text) of the "tEXt", "zTXt" and "iTXt" chunks, in file order.
TextPairs pngTextChunks(base::ByteView buf);

}  // namespace kd::exif
