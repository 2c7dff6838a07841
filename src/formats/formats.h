// Format sniffing and encoder dispatch.
#pragma once

#include "base/heap_bytes.h"
#include "formats/codecs.h"
#include "formats/image.h"
#include "formats/probe.h"

namespace kd::formats {

enum class EncodeFormat : uint8_t { efPng, efJpeg, efBmp, efQoi, efPnm, efTga };
using enum EncodeFormat;

// Picks a decoder from the first bytes; the decoder's own failures pass
// through unchanged. TGA and PAM are never detected.
Image decodeImage(ByteView data);

// Decodes `data` as `format` (ffAuto: detected as above; with opts.wide PAM
// too). A pixel limit in `opts` refuses, with ekTooLarge, what the headers
// declare above it before anything is allocated for the picture. Default
// options give exactly what the one-argument decoders give.
Image decodeImage(ByteView data, const DecodeOptions& opts, FileFormat format = ffAuto);

// quality (1..100, clamped by the caller) is used by JPEG only. The file is
// one block of the C heap, ready to be handed to the host.
base::HeapBytes encodeImage(const Image& img, EncodeFormat format, int quality);
// The same with a PNG compression level (0: exactly the call above; 1..9,
// see encodePngLevelTo).
base::HeapBytes encodeImage(const Image& img, EncodeFormat format, int quality, int pngLevel);

}  // namespace kd::formats
