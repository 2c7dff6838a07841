// keldra thumbnail FILE OUT: the EXIF preview of FILE, written in the format
// of OUT's extension.
#include <cstdio>

#include "cli.h"

namespace cli {

int cmdThumbnail(const Args& args) {
  if (args.size() != 2) return usageError("thumbnail needs FILE and OUT");
  const std::string& in = args[0];
  const std::string& outPath = args[1];
  const int format = formatForExtension(extensionOf(outPath));
  if (format < 0) return usageError("cannot tell the output format of " + outPath);
  std::vector<uint8_t> data;
  if (!readFile(in, data)) return 1;
  KdImage* img = nullptr;
  const int st = data.empty() ? KD_IMAGE_EARG : kd_image_thumbnail(data.data(), data.size(), &img);
  if (st == KD_IMAGE_EUNSUPPORTED) {
    std::fprintf(stderr,
                 "keldra: %s: no embedded EXIF thumbnail (or one that is not a baseline JPEG)\n",
                 in.c_str());
    return 1;
  }
  if (st != 0) return reportImage(in + ": thumbnail", st);
  uint8_t* buf = nullptr;
  size_t len = 0;
  const int encoded = kd_image_encode(img, format, 90, &buf, &len);
  kd_image_free(img);
  if (encoded != 0) return reportImage(outPath, encoded);
  const bool ok = writeFile(outPath, buf, len);
  kd_image_buffer_free(buf);
  return ok ? 0 : 1;
}

}  // namespace cli
