// Top module: library start-up and tear-down, shared by the C boundary.
#pragma once

#include "base/bytes.h"
#include "formats/codecs.h"
#include "formats/image.h"

namespace kd {

// Runs every module's initialiser in dependency order (each fills and seals
// its registries). Safe to call from several threads and more than once: the
// work runs once. Throws what an initialiser throws.
void initLibrary();

// Releases the registries' contents; nothing may be called afterwards.
void teardownLibrary();

// The EXIF preview of a file in any container the metadata reader knows,
// decoded as a baseline JPEG (no orientation applied). Fails with
// ekUnsupported when there is no EXIF block or no preview in it; the JPEG
// decoder's failures pass through.
formats::Image loadThumbnail(base::ByteView data);

// The same preview decoded with `opts` (the wide flag, the pixel limit);
// default options give exactly loadThumbnail's result.
formats::Image loadThumbnail(base::ByteView data, const formats::DecodeOptions& opts);

}  // namespace kd
