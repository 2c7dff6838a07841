// JPEG strips and tiles of a TIFF (compression 7): each chunk is a JPEG
// stream of its own, decoded by the library's JPEG decoder. Writers store
// the quantisation and Huffman tables once, in the JPEGTables field (an
// abbreviated stream: SOI, tables, EOI); a chunk's stream is then those
// tables followed by the chunk after its own SOI.
#include <cstring>

#include "formats/probe.h"
#include "formats/tiff.h"

namespace kd::formats::tiff {

namespace {

bool startsWithSoi(ByteView b) { return b.size() >= 2 && b[0] == 0xFF && b[1] == 0xD8; }

Bytes joinTables(ByteView tables, ByteView in) {
  if (!startsWithSoi(tables) || !startsWithSoi(in)) return Bytes(in.begin(), in.end());
  size_t keep = tables.size();
  if (keep >= 4 && tables[keep - 2] == 0xFF && tables[keep - 1] == 0xD9) keep -= 2;
  Bytes stream(tables.begin(), tables.begin() + static_cast<ptrdiff_t>(keep));
  stream.insert(stream.end(), in.begin() + 2, in.end());
  return stream;
}

}  // namespace

void decodeJpegChunk(ByteView tables, ByteView in, uint64_t chunkWidth, uint64_t chunkRows, size_t x0,
                     size_t y0, size_t cols, size_t rows, Image* img) {
  const Bytes stream = joinTables(tables, in);
  const ByteView view(stream.data(), stream.size());
  // The stream's own size, read before it is decoded, must fit the chunk:
  // a tile is coded whole, a strip may stop at the picture's last row.
  const ImageInfo info = probeImage(view, ffJpeg);
  const auto fitsPlace = [&](int64_t w, int64_t h) {
    return static_cast<uint64_t>(w) >= cols && static_cast<uint64_t>(w) <= chunkWidth &&
           static_cast<uint64_t>(h) >= rows && static_cast<uint64_t>(h) <= chunkRows;
  };
  if (!fitsPlace(info.width, info.height)) fail(ekInvalid, "tiff: JPEG strip/tile size differs from its place");
  const Image chunk = decodeJpeg(view, DecodeOptions{true, 0});
  if (img == nullptr) return;
  if (chunk.colorspace != img->colorspace || !fitsPlace(chunk.width, chunk.height)) {
    fail(ekInvalid, "tiff: JPEG strip/tile colour differs from the photometric");
  }
  const size_t channels = static_cast<size_t>(img->channels);
  const size_t width = static_cast<size_t>(img->width);
  for (size_t r = 0; r < rows; ++r) {
    std::memcpy(img->pixels.data() + ((y0 + r) * width + x0) * channels,
                chunk.pixels.data() + r * static_cast<size_t>(chunk.width) * channels, cols * channels);
  }
}

}  // namespace kd::formats::tiff
