// keldra info FILE...
//
// Per file one JSON object: {"file", "image" (only when the image decodes),
// "metadata" (the library's metadata document)}; an array when several
// files are given. A file that cannot be read is reported on stderr and
// makes the exit status non-zero; the other files still print.
#include <cstdio>
#include <fstream>

#include "cli.h"

namespace cli {

namespace {

std::string jsonString(const std::string& s) {
  std::string out = "\"";
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(ch);
    } else if (c < 32) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", c);
      out += buf;
    } else {
      out.push_back(ch);
    }
  }
  return out + "\"";
}

// Every line after the first moved right by `indent`.
std::string indentLines(const std::string& text, const std::string& indent) {
  std::string out;
  for (char c : text) {
    out.push_back(c);
    if (c == '\n') out += indent;
  }
  return out;
}

bool describeFile(const std::string& path, std::string& out) {
  std::vector<uint8_t> data;
  if (!readFile(path, data)) return false;
  KdExif* meta = nullptr;
  int st = kd_exif_read_file(path.c_str(), &meta);
  if (st != KD_EXIF_OK) {
    reportExif(path, st);
    return false;
  }
  out = "{\n  \"file\": " + jsonString(path);
  KdImage* img = nullptr;
  if (!data.empty() && decodeBuffer(path, data, &img) == KD_IMAGE_OK) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  ",\n  \"image\": {\n    \"width\": %d,\n    \"height\": %d,\n"
                  "    \"channels\": %d,\n    \"colorspace\": \"%s\"\n  }",
                  kd_image_width(img), kd_image_height(img), kd_image_channels(img),
                  colorSpaceName(kd_image_get_colorspace(img)));
    out += buf;
    kd_image_free(img);
  }
  const char* json = kd_exif_to_json(meta);
  out += ",\n  \"metadata\": ";
  out += indentLines(json != nullptr ? json : "null", "  ");
  out += "\n}";
  kd_exif_meta_free(meta);
  return true;
}

}  // namespace

int cmdInfo(const Args& args) {
  if (args.empty()) return usageError("info needs at least one FILE");
  int rc = 0;
  std::vector<std::string> objects;
  for (const std::string& path : args) {
    std::string obj;
    if (describeFile(path, obj)) {
      objects.push_back(std::move(obj));
    } else {
      rc = 1;
    }
  }
  if (args.size() == 1) {
    if (!objects.empty()) std::printf("%s\n", objects[0].c_str());
    return rc;
  }
  std::string out = "[";
  for (size_t i = 0; i < objects.size(); ++i) {
    out += i == 0 ? "\n  " : ",\n  ";
    out += indentLines(objects[i], "  ");
  }
  out += objects.empty() ? "]" : "\n]";
  std::printf("%s\n", out.c_str());
  return rc;
}

}  // namespace cli
