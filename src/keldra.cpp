#include "keldra.h"

#include <mutex>

#include "exif/exif.h"
#include "exif/thumbnail.h"
#include "formats/codecs.h"
#include "formats/formats.h"
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

namespace {

// The EXIF preview's bytes, or the failure saying why there are none.
base::Bytes previewOf(base::ByteView data) {
  const exif::FoundOffset tiffBase = exif::exifTiffBase(data);
  if (!tiffBase) base::fail(base::ekUnsupported, "loadThumbnail: no EXIF segment");
  base::Bytes preview = exif::extractExifThumbnailAt(data, *tiffBase);
  if (preview.empty()) {
    base::fail(base::ekUnsupported, "loadThumbnail: no embedded EXIF thumbnail");
  }
  return preview;
}

}  // namespace

formats::Image loadThumbnail(base::ByteView data) {
  const base::Bytes preview = previewOf(data);
  return formats::decodeJpeg(base::ByteView(preview.data(), preview.size()));
}

formats::Image loadThumbnail(base::ByteView data, const formats::DecodeOptions& opts) {
  const base::Bytes preview = previewOf(data);
  return formats::decodeImage(base::ByteView(preview.data(), preview.size()), opts,
                              formats::ffJpeg);
}

}  // namespace kd
