// Builds TIFF-structured EXIF blocks byte by byte for tests: directories of
// entries in either byte order, values laid out after each directory,
// pointers between directories resolved after layout.
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

namespace kd::test {

struct TiffEntry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  std::vector<uint8_t> value;  // encoded in the block's byte order
  int pointsTo = -1;           // >= 0: a LONG holding that directory's offset
  std::vector<int> pointsToList;  // LONGs holding these directories' offsets
  bool forceOffset = false;    // store `rawOffset` in the value field
  uint32_t rawOffset = 0;
};

struct TiffDir {
  std::vector<TiffEntry> entries;
  int next = -1;               // index of the next directory, -1 for none
  bool rawNext = false;        // use `nextOffset` verbatim
  uint32_t nextOffset = 0;
};

class TiffBuilder {
 public:
  explicit TiffBuilder(bool bigEndian) : be_(bigEndian) {}

  bool bigEndian() const { return be_; }

  static TiffEntry entry(uint16_t tag, uint16_t type, uint32_t count, std::vector<uint8_t> value) {
    TiffEntry e;
    e.tag = tag;
    e.type = type;
    e.count = count;
    e.value = std::move(value);
    return e;
  }

  void put16(std::vector<uint8_t>& out, uint32_t v) const {
    uint8_t b[2] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)};
    if (be_) std::swap(b[0], b[1]);
    out.insert(out.end(), b, b + 2);
  }
  void put32(std::vector<uint8_t>& out, uint32_t v) const {
    uint8_t b[4] = {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                    static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    if (be_) {
      std::swap(b[0], b[3]);
      std::swap(b[1], b[2]);
    }
    out.insert(out.end(), b, b + 4);
  }

  TiffEntry ascii(uint16_t tag, const std::string& text, bool nul = true) const {
    TiffEntry e = entry(tag, 2, 0, {text.begin(), text.end()});
    if (nul) e.value.push_back(0);
    e.count = static_cast<uint32_t>(e.value.size());
    return e;
  }
  TiffEntry bytes(uint16_t tag, uint16_t type, std::vector<uint8_t> data) const {
    TiffEntry e = entry(tag, type, static_cast<uint32_t>(data.size()), data);
    return e;
  }
  TiffEntry shorts(uint16_t tag, std::initializer_list<uint32_t> v, uint16_t type = 3) const {
    TiffEntry e = entry(tag, type, static_cast<uint32_t>(v.size()), {});
    for (uint32_t x : v) put16(e.value, x);
    return e;
  }
  TiffEntry longs(uint16_t tag, std::initializer_list<uint32_t> v, uint16_t type = 4) const {
    TiffEntry e = entry(tag, type, static_cast<uint32_t>(v.size()), {});
    for (uint32_t x : v) put32(e.value, x);
    return e;
  }
  TiffEntry rationals(uint16_t tag, std::initializer_list<std::pair<uint32_t, uint32_t>> v,
                      uint16_t type = 5) const {
    TiffEntry e = entry(tag, type, static_cast<uint32_t>(v.size()), {});
    for (auto [n, d] : v) {
      put32(e.value, n);
      put32(e.value, d);
    }
    return e;
  }
  TiffEntry srationals(uint16_t tag, std::initializer_list<std::pair<int32_t, int32_t>> v) const {
    TiffEntry e = entry(tag, 10, static_cast<uint32_t>(v.size()), {});
    for (auto [n, d] : v) {
      put32(e.value, static_cast<uint32_t>(n));
      put32(e.value, static_cast<uint32_t>(d));
    }
    return e;
  }
  TiffEntry floats(uint16_t tag, std::initializer_list<float> v) const {
    TiffEntry e = entry(tag, 11, static_cast<uint32_t>(v.size()), {});
    for (float f : v) {
      uint32_t bits;
      std::memcpy(&bits, &f, 4);
      put32(e.value, bits);
    }
    return e;
  }
  TiffEntry doubles(uint16_t tag, std::initializer_list<double> v) const {
    TiffEntry e = entry(tag, 12, static_cast<uint32_t>(v.size()), {});
    for (double d : v) {
      uint64_t bits;
      std::memcpy(&bits, &d, 8);
      uint32_t lo = static_cast<uint32_t>(bits), hi = static_cast<uint32_t>(bits >> 32);
      put32(e.value, be_ ? hi : lo);
      put32(e.value, be_ ? lo : hi);
    }
    return e;
  }
  // A LONG pointer to directory `dir` (resolved at build time).
  TiffEntry pointer(uint16_t tag, int dir) const {
    TiffEntry e = entry(tag, 4, 1, {});
    e.pointsTo = dir;
    return e;
  }

  // LONGs pointing at directories `dirs` (SubIFDs).
  TiffEntry pointers(uint16_t tag, std::initializer_list<int> dirs) const {
    TiffEntry e = entry(tag, 4, static_cast<uint32_t>(dirs.size()), {});
    e.pointsToList = dirs;
    e.value.resize(4 * dirs.size());
    return e;
  }

  // "II*\0" / "MM\0*", IFD0 offset 8, then each directory followed by its
  // out-of-line values. Directory 0 is IFD0.
  std::vector<uint8_t> build(const std::vector<TiffDir>& dirs) const {
    std::vector<uint32_t> offsets;
    uint32_t pos = 8;
    for (const TiffDir& d : dirs) {
      offsets.push_back(pos);
      pos += 2 + 12 * static_cast<uint32_t>(d.entries.size()) + 4;
      for (const TiffEntry& e : d.entries) {
        if (e.value.size() > 4 && !e.forceOffset) pos += static_cast<uint32_t>(e.value.size());
      }
    }
    std::vector<uint8_t> out;
    if (be_) {
      out = {'M', 'M', 0, 42};
    } else {
      out = {'I', 'I', 42, 0};
    }
    put32(out, dirs.empty() ? 0 : 8);
    for (size_t i = 0; i < dirs.size(); ++i) {
      const TiffDir& d = dirs[i];
      put16(out, static_cast<uint32_t>(d.entries.size()));
      uint32_t valuePos = offsets[i] + 2 + 12 * static_cast<uint32_t>(d.entries.size()) + 4;
      std::vector<uint8_t> values;
      for (TiffEntry e : d.entries) {
        if (!e.pointsToList.empty()) {
          e.value.clear();
          for (int k : e.pointsToList) put32(e.value, offsets[static_cast<size_t>(k)]);
        }
        put16(out, e.tag);
        put16(out, e.type);
        put32(out, e.count);
        if (e.pointsTo >= 0) {
          put32(out, offsets[static_cast<size_t>(e.pointsTo)]);
        } else if (e.forceOffset) {
          put32(out, e.rawOffset);
        } else if (e.value.size() > 4) {
          put32(out, valuePos + static_cast<uint32_t>(values.size()));
          values.insert(values.end(), e.value.begin(), e.value.end());
        } else {
          std::vector<uint8_t> field = e.value;
          field.resize(4, 0);
          out.insert(out.end(), field.begin(), field.end());
        }
      }
      put32(out, d.rawNext ? d.nextOffset
                           : (d.next >= 0 ? offsets[static_cast<size_t>(d.next)] : 0));
      out.insert(out.end(), values.begin(), values.end());
    }
    return out;
  }

 private:
  bool be_;
};

// A JPEG stream holding `tiff` in an "Exif" APP1 segment after an APP0
// segment, followed by a start of scan.
inline std::vector<uint8_t> jpegWithExif(const std::vector<uint8_t>& tiff) {
  std::vector<uint8_t> out = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0,
                              1,    1,    0,    0,    1,    0,    1,   0,   0};
  size_t len = tiff.size() + 8;
  out.insert(out.end(), {0xFF, 0xE1, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len),
                         'E', 'x', 'i', 'f', 0, 0});
  out.insert(out.end(), tiff.begin(), tiff.end());
  out.insert(out.end(), {0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xD9});
  return out;
}

}  // namespace kd::test
