// keldra convert IN OUT [--quality Q]
#include <cstdio>
#include <cstdlib>
#include <map>

#include "cli.h"

namespace cli {

namespace {

int formatForExtension(const std::string& ext) {
  static const std::map<std::string, int> formats = {
      {"png", KD_FORMAT_PNG}, {"jpg", KD_FORMAT_JPEG}, {"jpeg", KD_FORMAT_JPEG},
      {"bmp", KD_FORMAT_BMP}, {"qoi", KD_FORMAT_QOI},  {"pnm", KD_FORMAT_PNM},
      {"pgm", KD_FORMAT_PNM}, {"ppm", KD_FORMAT_PNM},  {"pam", KD_FORMAT_PNM},
      {"tga", KD_FORMAT_TGA}};
  auto it = formats.find(ext);
  return it == formats.end() ? -1 : it->second;
}

}  // namespace

int cmdConvert(const Args& args) {
  std::vector<std::string> files;
  int quality = 90;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--quality") {
      if (i + 1 >= args.size()) return usageError("--quality needs a value");
      quality = std::atoi(args[++i].c_str());
    } else {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 2) return usageError("convert needs IN and OUT");
  const std::string& in = files[0];
  const std::string& outPath = files[1];
  int format = formatForExtension(extensionOf(outPath));
  if (format < 0) return usageError("cannot tell the output format of " + outPath);

  KdImage* img = nullptr;
  int st = decodeFile(in, &img);
  if (st < 0) return 1;
  if (st != 0) return reportImage(in, st);

  uint8_t* buf = nullptr;
  size_t len = 0;
  st = kd_image_encode(img, format, quality, &buf, &len);
  kd_image_free(img);
  if (st != 0) return reportImage(outPath, st);
  bool ok = writeFile(outPath, buf, len);
  kd_image_buffer_free(buf);
  return ok ? 0 : 1;
}

}  // namespace cli
