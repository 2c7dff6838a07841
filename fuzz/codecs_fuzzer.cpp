// Feeds every input to the BMP, QOI, PNM/PAM, TGA and PCX decoders, and to
// the BMP, PNM/PAM and PNG decoders under the wide option. A decoded picture
// must have the size its record claims and must survive a round trip
// through each encoder that takes its colour space; a wide decode must
// agree with the header probe. Only KeldraException is expected; anything
// else, or a mismatch, aborts.
#include <cstdint>
#include <cstdlib>

#include "formats/codecs.h"
#include "formats/formats.h"
#include "formats/probe.h"

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
  if (img.colorspace == csRgb) roundTrip(img, encodeBmp, [](ByteView d) { return decodeBmp(d); });
  roundTrip(img, encodePnm, [](ByteView d) { return decodePnm(d); });
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

void tryWide(kd::formats::FileFormat format, ByteView input) {
  using namespace kd::formats;
  Image img;
  try {
    img = decodeImage(input, DecodeOptions{true, 0}, format);
  } catch (const kd::base::KeldraException&) {
    return;
  }
  checkRecord(img);
  const ImageInfo info = probeImage(input, format);
  check(info.width == img.width && info.height == img.height && info.colorspace == img.colorspace);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kd::formats;
  const ByteView input(data, size);
  tryDecode([](ByteView d) { return decodeBmp(d); }, input);
  tryDecode(decodeQoi, input);
  tryDecode([](ByteView d) { return decodePnm(d); }, input);
  tryDecode(decodePam, input);
  tryDecode(decodeTga, input);
  tryDecode(decodePcx, input);
  for (FileFormat format : {ffBmp, ffPnm, ffPng}) tryWide(format, input);
  return 0;
}
