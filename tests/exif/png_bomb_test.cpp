// A 1 MB PNG made of compressed text chunks, each a deflate bomb: the read
// inflates at most its text allowance (4 x file size + 1 MiB) in all, so its
// time and peak memory are bounded by the file's size, not by what the
// chunks claim. The peak is measured by counting the bytes held through
// operator new (the inflater's and the record's buffers).
#include <gtest/gtest.h>
#include <zlib.h>

#include "exif/exif.h"
#include "support/container_builder.h"
#include "support/heap_counter.h"

namespace kd::exif {
namespace {

using test::ByteVec;

TEST(PngTextBudget, MegabyteOfDeflateBombsReadsInBoundedMemory) {
  std::string plain(4 << 20, 'x');
  uLongf n = compressBound(static_cast<uLong>(plain.size()));
  ByteVec bomb(n);
  compress2(bomb.data(), &n, reinterpret_cast<const Bytef*>(plain.data()),
            static_cast<uLong>(plain.size()), 9);
  bomb.resize(n);
  plain = std::string();
  std::vector<ByteVec> chunks = {test::pngChunk("IHDR", ByteVec(13, 0))};
  size_t size = 8 + 25;
  for (int i = 0; size < (1 << 20); ++i) {
    ByteVec d = {'K', 0, 0};
    if (i % 2 == 1) {  // compressed iTXt: flag 1, method 0, empty language and translation
      d = {'K', 0, 1, 0, 0, 0};
    }
    d.insert(d.end(), bomb.begin(), bomb.end());
    chunks.push_back(test::pngChunk(i % 2 == 1 ? "iTXt" : "zTXt", d));
    size += chunks.back().size();
  }
  ByteVec file = test::pngFile(chunks);
  ASSERT_GE(file.size(), 1000000u);
  ASSERT_GE(chunks.size(), 200u);  // ~800 MiB of text if every chunk inflated

  test::HeapCounter::resetPeak();
  const int64_t before = test::HeapCounter::live();
  Metadata md = readMetadataFromBytes(file);
  const int64_t peak = test::HeapCounter::peak() - before;

  const int64_t allowance = 4 * static_cast<int64_t>(file.size()) + (1 << 20);
  int64_t text = 0;
  for (const auto& [key, value] : md.tags) text += static_cast<int64_t>(value.size());
  EXPECT_LE(text, allowance);
  EXPECT_GE(text, 4 << 20);  // the first chunks still give their text
  // The inflated text held by the record plus one inflate buffer in flight.
  RecordProperty("peak_bytes", std::to_string(peak));
  RecordProperty("file_bytes", std::to_string(file.size()));
  EXPECT_LE(peak, 4 * allowance) << "peak " << peak << " bytes";
}

}  // namespace
}  // namespace kd::exif
