// TIFF/IFD structure reader: directories of 12-byte entries in either byte
// order, and the raw text of an entry's value.
//
// All positions are absolute offsets into the caller's buffer; `base` is the
// position of the block's byte-order mark, to which the offsets stored in the
// block are relative. Nothing here fails on malformed input: reads outside
// the buffer give 0, entries that do not fit end the directory, values that
// do not fit are empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "exif/endian.h"

namespace kd::exif {

// TIFF field types. Codes outside 1..12 are read as kUndefined.
enum FieldType : uint8_t {
  kByte = 1,
  kAscii = 2,
  kShort = 3,
  kLong = 4,
  kRational = 5,
  kSByte = 6,
  kUndefined = 7,
  kSShort = 8,
  kSLong = 9,
  kSRational = 10,
  kFloat = 11,
  kDouble = 12,
};

// Element size in bytes of a field type (1 for unknown codes).
int fieldTypeSize(uint8_t fieldType);

// Work and text allowance of one metadata read. A crafted file can make
// entries of many directories point at the same large value, or chain
// thousands of overlapping directories; the allowance is proportional to the
// input size so that such a file costs at most a constant factor of its own
// size in time and memory. Past it the reader stops and keeps what it has.
//   work: directories read + entries read + sub-directory offsets queued,
//         at most size + 65536;
//   text: value bytes rendered to text, at most 4 * size + 1 MiB (a rendered
//         value is at most about four times its bytes long);
//   output: what the read hands out, counted once when it ends: the camera
//         and software texts and every tag's name and value, each as text
//         and as its JSON string with the line around it, plus the JSON
//         frame; at most 8 * size + 2 MiB (escapes are up to six bytes per
//         byte). Real files use a small part of it.
class ReadBudget {
 public:
  static constexpr int64_t kWorkSlack = 65536;
  static constexpr int64_t kTextSlack = 1 << 20;
  static constexpr int64_t kOutputSlack = 2 << 20;
  // The JSON document's members other than the tags (braces, "isValid",
  // "orientation", "gps" with three numbers), at most.
  static constexpr int64_t kJsonFrame = 320;

  // No limit at all: for callers that read trusted or already-bounded data.
  ReadBudget() = default;
  ReadBudget(int64_t work, int64_t text, int64_t output = INT64_MAX)
      : work_(work), text_(text), output_(output) {}
  static ReadBudget forInputSize(size_t size);

  // Each returns false, and marks the budget spent, when the request does not
  // fit into what is left.
  bool spendWork(int64_t units);
  bool spendText(int64_t bytes);
  // False when the request does not fit into the output allowance left; the
  // output allowance is independent of the other two.
  bool spendOutput(int64_t bytes);
  bool exhausted() const { return exhausted_; }
  // Text bytes still allowed (0 once the budget is spent).
  int64_t textLeft() const { return exhausted_ ? 0 : text_; }

  // The output allowance of a read of `size` input bytes.
  static int64_t outputAllowance(size_t size);

 private:
  int64_t work_ = INT64_MAX;
  int64_t text_ = INT64_MAX;
  int64_t output_ = INT64_MAX;
  bool exhausted_ = false;
};

// One directory entry. `data` is a view into the caller's buffer (count x
// element size bytes), empty when the value does not lie inside it; it must
// not outlive that buffer.
struct IfdEntry {
  uint16_t tag = 0;
  uint8_t fieldType = 0;
  uint32_t count = 0;
  int64_t valueOffset = 0;  // absolute position of the value bytes
  ByteView data;
  bool bigEndian = false;
};

// One directory: entries ordered by tag id, one per id (a later entry with
// the same id replaced an earlier one), and the next-directory offset.
struct Ifd {
  std::vector<IfdEntry> entries;
  uint32_t nextOffset = 0;

  bool empty() const { return entries.empty(); }
  const IfdEntry* find(uint16_t tag) const;
};

// One entry at `pos`; all fields zero when its 12 bytes do not fit.
IfdEntry readTag(ByteView buf, int64_t pos, int64_t base, bool bigEndian);

// The directory at `pos`; empty when its 2-byte count does not fit. Each
// directory and each entry costs one unit of `budget` (if given); when the
// budget runs out the entry list is cut short there.
Ifd readIFD(ByteView buf, int64_t pos, int64_t base, bool bigEndian,
            ReadBudget* budget = nullptr);

// The first 32-bit value of an entry, when it holds at least 4 bytes.
std::optional<uint32_t> readLongTag(const IfdEntry& entry);

// Raw text of an entry's value (empty for empty data).
std::string toString(const IfdEntry& entry);

uint32_t gcd(uint32_t a, uint32_t b);

// Shortest round-trip text of a number: fixed notation when the decimal
// point position p (digits + exponent) is in -6..17, with ".0" on integral
// values; otherwise d[.ddd]e+XX / e-X. Non-finite values give "nan", "inf",
// "-inf".
std::string shortestText(double value);
std::string shortestText(float value);

}  // namespace kd::exif
