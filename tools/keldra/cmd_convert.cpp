// keldra convert IN OUT [--quality Q] [--filter F] [--resize WxH] [--crop X,Y,W,H]
//                       [--rotate OP] [--orient N]
// The image operations run in the order they are given.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "cli.h"

namespace cli {

namespace {

// Whole-string decimal int; false on anything else (empty, junk, overflow).
bool parseInt(const std::string& text, int& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  out = static_cast<int>(v);
  return true;
}

// `count` ints separated by `sep`, e.g. "640x480" or "0,0,10,10".
bool parseInts(const std::string& text, char sep, size_t count, std::vector<int>& out) {
  out.clear();
  size_t start = 0;
  for (size_t i = 0; i < count; ++i) {
    size_t stop = i + 1 < count ? text.find(sep, start) : text.size();
    if (stop == std::string::npos) return false;
    int v = 0;
    if (!parseInt(text.substr(start, stop - start), v)) return false;
    out.push_back(v);
    start = stop + 1;
  }
  return true;
}

struct Operation {
  std::string option;  // as given, for messages: "--crop 0,0,10,10"
  enum { kResize, kCrop, kRotate, kOrient } kind;
  std::vector<int> values;
};

bool parseOperation(const std::string& name, const std::string& value, Operation& op) {
  op.option = name + " " + value;
  if (name == "--resize") {
    op.kind = Operation::kResize;
    return parseInts(value, 'x', 2, op.values);
  }
  if (name == "--crop") {
    op.kind = Operation::kCrop;
    return parseInts(value, ',', 4, op.values);
  }
  if (name == "--rotate") {
    static const std::map<std::string, int> codes = {
        {"90", KD_ROTATE_90},           {"180", KD_ROTATE_180},
        {"270", KD_ROTATE_270},         {"flip-h", KD_FLIP_HORIZONTAL},
        {"flip-v", KD_FLIP_VERTICAL}};
    op.kind = Operation::kRotate;
    auto it = codes.find(value);
    if (it == codes.end()) return false;
    op.values = {it->second};
    return true;
  }
  op.kind = Operation::kOrient;
  op.values = {0};
  return parseInt(value, op.values[0]);
}

int runOperation(KdImage* img, const Operation& op, int filter, KdImage** out) {
  const std::vector<int>& v = op.values;
  switch (op.kind) {
    case Operation::kResize: return kd_image_resize(img, v[0], v[1], filter, out);
    case Operation::kCrop: return kd_image_crop(img, v[0], v[1], v[2], v[3], out);
    case Operation::kRotate: return kd_image_rotate(img, v[0], out);
    case Operation::kOrient: return kd_image_apply_orientation(img, v[0], out);
  }
  return KD_IMAGE_EARG;
}

}  // namespace

int formatForExtension(const std::string& ext) {
  static const std::map<std::string, int> formats = {
      {"png", KD_FORMAT_PNG}, {"jpg", KD_FORMAT_JPEG}, {"jpeg", KD_FORMAT_JPEG},
      {"bmp", KD_FORMAT_BMP}, {"qoi", KD_FORMAT_QOI},  {"pnm", KD_FORMAT_PNM},
      {"pgm", KD_FORMAT_PNM}, {"ppm", KD_FORMAT_PNM},  {"pam", KD_FORMAT_PNM},
      {"tga", KD_FORMAT_TGA}};
  auto it = formats.find(ext);
  return it == formats.end() ? -1 : it->second;
}

int cmdConvert(const Args& args) {
  std::vector<std::string> files;
  std::vector<Operation> operations;
  int quality = 90;
  int filter = KD_FILTER_BILINEAR;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    bool takesValue = arg == "--quality" || arg == "--filter" || arg == "--resize" ||
                      arg == "--crop" || arg == "--rotate" || arg == "--orient";
    if (!takesValue) {
      files.push_back(arg);
      continue;
    }
    if (i + 1 >= args.size()) return usageError(arg + " needs a value");
    const std::string& value = args[++i];
    if (arg == "--quality") {
      quality = std::atoi(value.c_str());
    } else if (arg == "--filter") {
      static const std::map<std::string, int> filters = {
          {"nearest", KD_FILTER_NEAREST}, {"bilinear", KD_FILTER_BILINEAR}, {"box", KD_FILTER_BOX}};
      auto it = filters.find(value);
      if (it == filters.end()) return usageError("--filter takes nearest, bilinear or box");
      filter = it->second;
    } else {
      Operation op;
      if (!parseOperation(arg, value, op)) return usageError("bad value for " + op.option);
      operations.push_back(op);
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

  for (const Operation& op : operations) {
    KdImage* next = nullptr;
    st = runOperation(img, op, filter, &next);
    kd_image_free(img);
    if (st != 0) return reportImage(in + ": " + op.option, st);
    img = next;
  }

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
