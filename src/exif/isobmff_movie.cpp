// The movie reader of ISO base media files: "moov" metadata (the movie and
// track headers, the "ilst" items and their "keys"), with a scan of the
// first MiB for "data" boxes when the box walk gave nothing. Recursion into
// movie boxes stops at depth 32.
#include <algorithm>
#include <cstring>
#include <string>

#include "exif/endian.h"
#include "exif/isobmff.h"
#include "exif/isobmff_box.h"

namespace kd::exif {

namespace {

constexpr int kMaxMovieDepth = 32;
constexpr int64_t kFallbackScanLimit = 1048576;

bool isCopyrightType(const Box& b, const char* rest) {
  return b.type[0] == 0xA9 && std::memcmp(b.type + 1, rest, 3) == 0;
}

void setCreationString(VideoMeta& vm, const std::string& value) {
  if (vm.creationDate.empty()) vm.creationDate = "String:" + value;
}

// "ilst": one child per item, keyed by a "©xxx" type or by a 1-based index
// into the "keys" list.
void readItemList(base::ByteView buf, const Box& ilst, VideoMeta& vm) {
  walkBoxes(buf, ilst.contentStart(), ilst.end(), false, [&](const Box& item) {
    std::string value =
        readStringData(buf.subspan(static_cast<size_t>(item.contentStart()),
                                   static_cast<size_t>(item.size - item.header)));
    if (isCopyrightType(item, "mak")) {
      vm.make = value;
    } else if (isCopyrightType(item, "mod")) {
      vm.model = value;
    } else if (isCopyrightType(item, "swr")) {
      vm.software = value;
    } else if (isCopyrightType(item, "day")) {
      setCreationString(vm, value);
    } else {
      uint32_t index = readUint32(buf, item.start + 4, kBigEndian);
      if (index >= 1 && index <= vm.keys.size()) {
        const std::string& key = vm.keys[index - 1];
        if (key == "com.apple.quicktime.make") vm.make = value;
        if (key == "com.apple.quicktime.model") vm.model = value;
        if (key == "com.apple.quicktime.software") vm.software = value;
        if (key == "com.apple.quicktime.creationdate") setCreationString(vm, value);
      }
    }
    return true;
  });
}

// "keys": a count, then entries of a 32-bit size, a namespace and the name.
void readKeys(base::ByteView buf, const Box& keys, VideoMeta& vm) {
  const int64_t content = keys.contentStart();
  const int64_t end = keys.end();
  uint32_t count = readUint32(buf, content + 4, kBigEndian);
  int64_t p = content + 8;
  for (uint32_t i = 0; i < count; ++i) {
    if (end - p < 8) return;
    int64_t size = readUint32(buf, p, kBigEndian);
    if (size < 8 || size > end - p) return;
    vm.keys.emplace_back(reinterpret_cast<const char*>(buf.data() + p + 8),
                         static_cast<size_t>(size - 8));
    p += size;
  }
}

void readMovieHeader(base::ByteView buf, const Box& mvhd, VideoMeta& vm) {
  const int64_t c = mvhd.contentStart();
  if (mvhd.size - mvhd.header < 20 || !vm.creationDate.empty()) return;
  if (buf[static_cast<size_t>(c)] == 0) {
    vm.creationDate = "MP4-Time-V0:" + std::to_string(readUint32(buf, c + 4, kBigEndian));
  } else {
    uint64_t t =
        uint64_t{readUint32(buf, c + 4, kBigEndian)} << 32 | readUint32(buf, c + 8, kBigEndian);
    vm.creationDate = "MP4-Time-V1:" + std::to_string(t);
  }
}

void readTrackHeader(base::ByteView buf, const Box& tkhd, VideoMeta& vm) {
  const int64_t c = tkhd.contentStart();
  const int64_t n = tkhd.size - tkhd.header;
  if (n < 1) return;
  int64_t at;
  if (buf[static_cast<size_t>(c)] == 0) {
    if (n < 84) return;
    at = c + 76;
  } else {
    if (n < 96) return;
    at = c + 88;
  }
  // 16.16 fixed point; the integer part counts.
  vm.maxTrackWidth = std::max<int64_t>(vm.maxTrackWidth, readUint32(buf, at, kBigEndian) >> 16);
  vm.maxTrackHeight =
      std::max<int64_t>(vm.maxTrackHeight, readUint32(buf, at + 4, kBigEndian) >> 16);
}

void walkMovie(base::ByteView buf, int64_t pos, int64_t end, int depth, VideoMeta& vm) {
  walkBoxes(buf, pos, end, false, [&](const Box& b) {
    const int64_t content = b.size - b.header;
    const bool enter = depth < kMaxMovieDepth;
    if (b.is("moov") || b.is("trak") || b.is("mdia") || b.is("udta")) {
      if (enter) walkMovie(buf, b.contentStart(), b.end(), depth + 1, vm);
    } else if (b.is("meta")) {
      // An ISO "meta" is a full box (4 version/flags bytes first); the
      // QuickTime "meta" of movies with keys and ilst is a plain box whose
      // first child is "hdlr". Skipping 4 bytes there would lose every item.
      const bool plain = content >= 8 && std::memcmp(buf.data() + b.contentStart() + 4, "hdlr", 4) == 0;
      const int64_t skip = plain ? 0 : 4;
      if (enter && content >= 4) walkMovie(buf, b.contentStart() + skip, b.end(), depth + 1, vm);
    } else if (b.is("mvhd")) {
      readMovieHeader(buf, b, vm);
    } else if (b.is("tkhd")) {
      readTrackHeader(buf, b, vm);
    } else if (b.is("keys")) {
      if (content > 7) readKeys(buf, b, vm);
    } else if (b.is("ilst")) {
      if (content > 7) readItemList(buf, b, vm);
    }
    return true;
  });
}


// When the boxes did not give make, model and software: look for UTF-8 "data"
// boxes anywhere in the first MiB and guess their field from the parent type.
void fallbackScan(base::ByteView buf, VideoMeta& vm) {
  const int64_t n = static_cast<int64_t>(buf.size());
  if ((!vm.make.empty() && !vm.model.empty() && !vm.software.empty()) || n <= 30) return;
  const int64_t limit = std::min<int64_t>(n - 30, kFallbackScanLimit);
  scanFor(buf, "data", 0, limit + 3, [&](int64_t i) {
    if (i >= limit || i + 16 >= limit) return false;
    if ((readUint32(buf, i + 4, kBigEndian) & 0xFFFFFF) != 1) return true;
    const int64_t parentPos = std::max<int64_t>(0, i - 8);
    const int64_t size = readUint32(buf, i - 4, kBigEndian);
    if (size <= 16 || size >= 144 || i + size - 4 > n) return true;
    std::string value(reinterpret_cast<const char*>(buf.data() + i + 12),
                      static_cast<size_t>(size - 16));
    const uint8_t* parent = buf.data() + parentPos;
    auto parentIs = [&](const char* rest) {
      return parent[0] == 0xA9 && std::memcmp(parent + 1, rest, 3) == 0;
    };
    if (parentIs("mak")) {
      if (vm.make.empty()) vm.make = value;
    } else if (parentIs("mod")) {
      if (vm.model.empty()) vm.model = value;
    } else if (parentIs("swr")) {
      if (vm.software.empty()) vm.software = value;
    } else if (parentIs("day")) {
      setCreationString(vm, value);
    } else if (value == "Apple") {
      if (vm.make.empty()) vm.make = value;
    } else if (value.starts_with("iPhone")) {
      if (vm.model.empty()) vm.model = value;
    }
    return true;
  });
}

}  // namespace

std::string readStringData(base::ByteView item) {
  std::string value;
  const int64_t n = static_cast<int64_t>(item.size());
  walkBoxes(item, 0, n, false, [&](const Box& b) {
    if (!b.is("data") || b.size < 16) return true;
    if ((readUint32(item, b.start + 8, kBigEndian) & 0xFFFFFF) != 1) return true;
    value.assign(reinterpret_cast<const char*>(item.data() + b.start + 16),
                 static_cast<size_t>(b.size - 16));
    return false;
  });
  return value;
}

VideoMeta parseIsobmff(base::ByteView moovPayload) {
  VideoMeta vm;
  walkMovie(moovPayload, 0, static_cast<int64_t>(moovPayload.size()), 0, vm);
  fallbackScan(moovPayload, vm);
  return vm;
}

}  // namespace kd::exif
