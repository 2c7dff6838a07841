// The one walk over the marker segments of a JPEG file (ISO/IEC 10918-1
// B.1.1), shared by the decoder and every metadata reader and writer, so
// that they all agree on where segments are:
//   - a marker is 0xFF and a code; any number of 0xFF fill bytes may come
//     before the code (B.1.1.2) and belong to the marker;
//   - TEM (0x01), RST0..7 (0xD0..0xD7) and EOI (0xD9) stand alone; every
//     other marker is followed by a big-endian length that counts itself;
//   - the walk stops at the end of the data, at a byte that is not a
//     marker, at a length field cut off by the end of the data, at a length
//     below 2, and after a segment whose length runs past the end of the
//     data (that segment is still handed out, marked truncated, so that a
//     lenient reader can take what is there and a strict one can refuse).
// What to do at SOS (entropy-coded data follows) or EOI is the caller's
// choice; the walk itself goes on after them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/bytes.h"

namespace kd::base {

struct JpegSegment {
  uint8_t marker = 0;     // the code after 0xFF
  size_t start = 0;       // the first 0xFF of the marker, fill bytes included
  size_t body = 0;        // just after the length field (after the code when standalone)
  size_t length = 0;      // the length field's value; 0 for a standalone marker
  size_t end = 0;         // where the next marker should begin: body + length - 2
  bool truncated = false; // `end` lies past the end of the data

  // The segment's bytes after the length field, cut at the end of the data.
  ByteView payload(ByteView data) const {
    const size_t stop = end < data.size() ? end : data.size();
    return data.subspan(body, stop - body);
  }
};

// Why the walk stopped.
enum class JpegWalkStop : uint8_t {
  jwNone,        // still walking
  jwEnd,         // no byte left at a segment boundary (fill bytes aside)
  jwNotMarker,   // the byte at a boundary is not 0xFF
  jwLengthCut,   // the length field is cut off by the end of the data
  jwBadLength,   // a length below 2
  jwTruncated,   // the last segment handed out runs past the end of the data
};

class JpegSegmentWalk {
 public:
  // Walks `data` from `pos` (2: just after SOI, which the caller checks).
  explicit JpegSegmentWalk(ByteView data, size_t pos = 2) : data_(data), pos_(pos) {}

  // The next segment; false when the walk stops (stop() says why, pos()
  // where: the boundary at which it stopped).
  bool next(JpegSegment& s) {
    if (stop_ != JpegWalkStop::jwNone) return false;
    const size_t n = data_.size();
    if (pos_ >= n) return halt(JpegWalkStop::jwEnd);
    if (data_[pos_] != 0xFF) return halt(JpegWalkStop::jwNotMarker);
    size_t p = pos_;
    while (p < n && data_[p] == 0xFF) ++p;
    if (p >= n) return halt(JpegWalkStop::jwEnd);
    s = JpegSegment{};
    s.start = pos_;
    s.marker = data_[p++];
    if (standalone(s.marker)) {
      s.body = s.end = pos_ = p;
      return true;
    }
    if (n - p < 2) return halt(JpegWalkStop::jwLengthCut);
    s.length = loadBe16(data_.data() + p);
    if (s.length < 2) return halt(JpegWalkStop::jwBadLength);
    s.body = p + 2;
    s.end = p + s.length;
    s.truncated = s.length > n - p;
    if (s.truncated) stop_ = JpegWalkStop::jwTruncated;
    pos_ = s.end;
    return true;
  }

  JpegWalkStop stop() const { return stop_; }
  size_t pos() const { return pos_; }

  static constexpr bool standalone(uint8_t marker) {
    return marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7) || marker == 0xD9;
  }

 private:
  bool halt(JpegWalkStop why) {
    stop_ = why;
    return false;
  }

  ByteView data_;
  size_t pos_;
  JpegWalkStop stop_ = JpegWalkStop::jwNone;
};

// Whether `data` begins with SOI.
inline bool isJpeg(ByteView data) { return data.size() >= 2 && data[0] == 0xFF && data[1] == 0xD8; }

}  // namespace kd::base
