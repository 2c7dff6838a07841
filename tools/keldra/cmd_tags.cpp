// keldra tags FILE: one "Name: value" line per metadata tag, in the
// library's order (ascending by name).
#include <cstdio>
#include <fstream>

#include "cli.h"

namespace cli {

int cmdTags(const Args& args) {
  if (args.size() != 1) return usageError("tags needs one FILE");
  const std::string& path = args[0];
  if (!std::ifstream(path, std::ios::binary)) {
    std::fprintf(stderr, "keldra: %s: cannot open file\n", path.c_str());
    return 1;
  }
  KdExif* meta = nullptr;
  int st = kd_exif_read_file(path.c_str(), &meta);
  if (st != KD_EXIF_OK) return reportExif(path, st);
  int64_t n = kd_exif_tag_count(meta);
  for (int64_t i = 0; i < n; ++i) {
    const char* name = nullptr;
    const char* value = nullptr;
    if (kd_exif_tag_at(meta, i, &name, &value) == KD_EXIF_OK) {
      std::printf("%s: %s\n", name, value);
    }
  }
  kd_exif_meta_free(meta);
  return 0;
}

}  // namespace cli
