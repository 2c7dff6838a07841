// Format sniffing and encoder dispatch.
#pragma once

#include "formats/image.h"

namespace kd::formats {

enum class EncodeFormat : uint8_t { efPng, efJpeg, efBmp, efQoi, efPnm, efTga };
using enum EncodeFormat;

// Picks a decoder from the first bytes; the decoder's own failures pass
// through unchanged. TGA and PAM are never detected.
Image decodeImage(ByteView data);

// quality (1..100, clamped by the caller) is used by JPEG only.
Bytes encodeImage(const Image& img, EncodeFormat format, int quality);

}  // namespace kd::formats
