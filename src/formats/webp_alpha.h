// The ALPH chunk of extended WebP files: the alpha plane of a lossy frame.
#pragma once

#include "formats/image.h"

namespace kd::formats::webp {

// The width x height alpha plane of an ALPH chunk payload (untrusted):
// one header byte (compression, filtering method, pre-processing flag,
// reserved bits), then the samples raw or as a VP8L image stream whose
// green channel carries them, then undone filtering. The pre-processing
// flag only says the encoder quantised the levels and asks for nothing.
Bytes decodeAlphaPlane(ByteView chunk, int64_t width, int64_t height);

}  // namespace kd::formats::webp
