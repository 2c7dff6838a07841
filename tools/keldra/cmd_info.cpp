// keldra info FILE...
#include <cstdio>

#include "cli.h"

namespace cli {

int cmdInfo(const Args& args) {
  if (args.empty()) return usageError("info needs at least one FILE");
  int rc = 0;
  for (const std::string& path : args) {
    KdImage* img = nullptr;
    int st = decodeFile(path, &img);
    if (st < 0) {
      rc = 1;
      continue;
    }
    if (st != 0) {
      rc = reportImage(path, st);
      continue;
    }
    std::printf("%s: %dx%d, %d channels, %s\n", path.c_str(), kd_image_width(img),
                kd_image_height(img), kd_image_channels(img),
                colorSpaceName(kd_image_get_colorspace(img)));
    kd_image_free(img);
  }
  return rc;
}

}  // namespace cli
