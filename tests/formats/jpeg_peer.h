// libjpeg-turbo (Debian libjpeg62-turbo-dev) as the peer of the JPEG tests:
// decoding with its float IDCT and without fancy upsampling (chroma
// replicated, like ours), three-component files forced to YCbCr; and
// encoding with chosen sampling factors and restart intervals, to make
// fixtures this library's encoder cannot write.
#pragma once

#include <string>
#include <vector>

#include "formats/image.h"

namespace kd::formats::test {

struct PeerDecode {
  bool ok = false;      // decoded without error
  bool warned = false;  // libjpeg reported corrupt data along the way
  std::string error;
  Image image;
};

PeerDecode peerDecodeJpeg(ByteView data);

struct PeerEncodeOptions {
  int quality = 90;
  // Sampling factors per component (h, v); one pair for grey.
  std::vector<std::pair<int, int>> sampling = {{1, 1}, {1, 1}, {1, 1}};
  int restartInterval = 0;  // in MCUs
  bool floatDct = true;
};

// Encodes a csGray or csRgb image; empty on failure.
Bytes peerEncodeJpeg(const Image& img, const PeerEncodeOptions& options);

}  // namespace kd::formats::test
