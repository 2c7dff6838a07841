#include "keldra.h"

#include <mutex>

#include "exif/exif.h"
#include "exif/thumbnail.h"
#include "formats/codecs.h"
#include "formats/jpeg.h"
#include "prismel/image/quantizer.h"
#include "prismel/init.h"
#include "prismel/palette/kmeans.h"

namespace kd {

namespace {

// Module initialisers in dependency order. Each registry also fills itself
// on first use, so these only move that work to start-up.
void runInitialisers() {
  prismel::initColorScience();
  prismel::initQuantizers();
  prismel::initKmeans();
  formats::jpeg::cosineTables();
}

}  // namespace

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, runInitialisers);
}

void teardownLibrary() {}

formats::Image loadThumbnail(base::ByteView data) {
  const int64_t tiffBase = exif::exifTiffBase(data);
  if (tiffBase < 0) base::fail(base::ekUnsupported, "loadThumbnail: no EXIF segment");
  const base::Bytes preview = exif::extractExifThumbnailAt(data, tiffBase);
  if (preview.empty()) {
    base::fail(base::ekUnsupported, "loadThumbnail: no embedded EXIF thumbnail");
  }
  return formats::decodeJpeg(base::ByteView(preview.data(), preview.size()));
}

}  // namespace kd
