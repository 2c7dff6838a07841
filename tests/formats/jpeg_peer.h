// libjpeg-turbo (Debian libjpeg62-turbo-dev) as the peer of the JPEG tests:
// decoding with its float IDCT and without fancy upsampling (chroma
// replicated, like ours), three-component files forced to YCbCr; and
// encoding with chosen sampling factors, restart intervals, progression,
// SOF1 and CMYK/YCCK, to make fixtures this library's encoder cannot write.
// Also the helpers every JPEG test shares: test pictures, the tolerance
// against the peer, and the list of shared JPEG files.
#pragma once

#include <cstdint>
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
  bool progressive = false;  // libjpeg's standard progression (SOF2)
  bool baseline = true;      // false: 16-bit quant tables at low quality (SOF1)
  bool ycck = false;         // csCmyk input written as YCCK instead of CMYK
};

// Encodes a csGray, csRgb or csCmyk image; empty on failure. CMYK is
// written with an Adobe APP14 marker (transform 0, or 2 with `ycck`).
Bytes peerEncodeJpeg(const Image& img, const PeerEncodeOptions& options);

// RGB of the CMYK samples libjpeg-turbo hands out for an Adobe file:
// R = C * K / 255 and so on, rounded, on the inverted (Adobe) values.
Image rgbOfAdobeCmyk(const Image& cmyk);

// Smooth gradients with some texture: realistic for a DCT codec, and with
// saturated corners that exercise the clamping.
Image photoLike(int64_t width, int64_t height, ColorSpace cs);

// Within the tolerance the baseline decoder meets against libjpeg-turbo's
// float IDCT (see jpeg_peer.cpp).
void expectCloseToPeer(const Image& ours, const Image& peer, const std::string& what);

// Every JPEG of the bundled test files and of the corpus, as relative names.
std::vector<std::string> sharedJpegFiles();

// The first frame marker of a file (0 when none is found).
int firstFrameMarker(const Bytes& f);

}  // namespace kd::formats::test
