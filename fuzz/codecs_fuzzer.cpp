// Feeds every input to the BMP, QOI, PNM/PAM, TGA and PCX decoders. A
// decoded picture must have the size its record claims and must survive a
// round trip through each encoder that takes its colour space. Only
// KeldraException is expected; anything else, or a mismatch, aborts.
#include <cstdint>
#include <cstdlib>

#include "formats/codecs.h"

namespace {

using kd::formats::Bytes;
using kd::formats::ByteView;
using kd::formats::Image;

void check(bool ok) {
  if (!ok) std::abort();
}

void checkRecord(const Image& img) {
  check(img.width > 0 && img.height > 0);
  check(img.channels == kd::formats::channelsOf(img.colorspace));
  check(img.pixels.size() == static_cast<size_t>(img.width * img.height * img.channels));
}

template <class Encode, class Decode>
void roundTrip(const Image& img, Encode encode, Decode decode) {
  const Bytes file = encode(img);
  const Image back = decode(ByteView(file.data(), file.size()));
  check(back.width == img.width && back.height == img.height);
  check(back.colorspace == img.colorspace && back.pixels == img.pixels);
}

void roundTrips(const Image& img) {
  using namespace kd::formats;
  if (img.pixels.size() > (size_t{1} << 20)) return;  // keep iterations fast
  if (img.colorspace == csRgb || img.colorspace == csRgba) roundTrip(img, encodeQoi, decodeQoi);
  if (img.colorspace == csRgb) roundTrip(img, encodeBmp, decodeBmp);
  roundTrip(img, encodePnm, decodePnm);
  if (img.width <= 65535 && img.height <= 65535) roundTrip(img, encodeTga, decodeTga);
}

template <class Decode>
void tryDecode(Decode decode, ByteView input) {
  Image img;
  try {
    img = decode(input);
  } catch (const kd::base::KeldraException&) {
    return;
  }
  checkRecord(img);
  roundTrips(img);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kd::formats;
  const ByteView input(data, size);
  tryDecode(decodeBmp, input);
  tryDecode(decodeQoi, input);
  tryDecode(decodePnm, input);
  tryDecode(decodePam, input);
  tryDecode(decodeTga, input);
  tryDecode(decodePcx, input);
  return 0;
}
