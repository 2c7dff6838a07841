// Format sniffing and encoder dispatch.
#pragma once

#include "base/heap_bytes.h"
#include "formats/image.h"

namespace kd::formats {

enum class EncodeFormat : uint8_t { efPng, efJpeg, efBmp, efQoi, efPnm, efTga };
using enum EncodeFormat;

// Picks a decoder from the first bytes; the decoder's own failures pass
// through unchanged. TGA and PAM are never detected.
Image decodeImage(ByteView data);

// quality (1..100, clamped by the caller) is used by JPEG only. The file is
// one block of the C heap, ready to be handed to the host.
base::HeapBytes encodeImage(const Image& img, EncodeFormat format, int quality);

}  // namespace kd::formats
