#include "cli.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace cli {

bool readFile(const std::string& path, std::vector<uint8_t>& out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "keldra: %s: cannot open file\n", path.c_str());
    return false;
  }
  out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad()) {
    std::fprintf(stderr, "keldra: %s: read error\n", path.c_str());
    return false;
  }
  return true;
}

bool writeFile(const std::string& path, const uint8_t* data, size_t len) {
  // Written beside the target and renamed into place, so a failure never
  // leaves a partial file under the target's name.
  std::string tmp = path + ".keldra-tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(len));
    out.close();
    std::error_code ec;
    if (out && (std::filesystem::rename(tmp, path, ec), !ec)) return true;
  }
  std::error_code ignored;
  std::filesystem::remove(tmp, ignored);
  std::fprintf(stderr, "keldra: %s: cannot write file\n", path.c_str());
  return false;
}

int reportImage(const std::string& what, int status) {
  std::fprintf(stderr, "keldra: %s: %s\n", what.c_str(), kd_image_strerror(status));
  return 1;
}

int reportExif(const std::string& what, int status) {
  std::fprintf(stderr, "keldra: %s: %s\n", what.c_str(), kd_exif_strerror(status));
  return 1;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "keldra: %s (see keldra --help)\n", message.c_str());
  return 2;
}

std::string extensionOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

int decodeFile(const std::string& path, KdImage** out) {
  std::vector<uint8_t> data;
  if (!readFile(path, data)) return -1;
  return decodeBuffer(path, data, out);
}

int decodeBuffer(const std::string& path, const std::vector<uint8_t>& data, KdImage** out) {
  std::string ext = extensionOf(path);
  int format = KD_FORMAT_AUTO;
  if (ext == "tga") format = KD_FORMAT_TGA;
  if (ext == "webp") format = KD_FORMAT_WEBP;
  if (ext == "tif" || ext == "tiff") format = KD_FORMAT_TIFF;
  return kd_image_decode_buffer(data.data(), data.size(), format, out);
}

const char* colorSpaceName(int cs) {
  static const char* const names[] = {"gray", "rgb", "rgba", "cmyk", "other3", "other1"};
  return cs >= 0 && cs < 6 ? names[cs] : "unknown";
}

}  // namespace cli
