// keldra convert IN OUT [--quality Q] [--filter F] [--resize SIZE] [--crop X,Y,W,H]
//                       [--rotate OP] [--orient N] [--format F] [--in-place]
//                       [--max-pixels N]
// The image operations run in the order they are given. Every value is
// checked before IN is read; OUT is written whole or not at all.
#include <unistd.h>

#include <cstdio>
#include <map>

#include "cli.h"

namespace cli {

namespace {

struct Operation {
  std::string option;  // as given, for messages: "--crop 0,0,10,10"
  enum { kResize, kCrop, kRotate, kOrient } kind;
  ResizeSpec resize;
  std::vector<int> values;
};

Operation parseOperation(const std::string& name, const std::string& value) {
  Operation op{name + " " + value, Operation::kOrient, {}, {}};
  if (name == "--resize") {
    op.kind = Operation::kResize;
    op.resize = parseResize(value);
  } else if (name == "--crop") {
    op.kind = Operation::kCrop;
    op.values = parseCrop(value);
  } else if (name == "--rotate") {
    static const std::map<std::string, int> codes = {
        {"90", KD_ROTATE_90},           {"180", KD_ROTATE_180},
        {"270", KD_ROTATE_270},         {"flip-h", KD_FLIP_HORIZONTAL},
        {"flip-v", KD_FLIP_VERTICAL}};
    auto it = codes.find(value);
    if (it == codes.end()) throw UsageError("--rotate takes 90, 180, 270, flip-h or flip-v");
    op.kind = Operation::kRotate;
    op.values = {it->second};
  } else {
    op.values = {static_cast<int>(parseIntegerIn("--orient", value, 1, 8))};
  }
  return op;
}

ImagePtr runOperation(ImagePtr img, const Operation& op, int filter, const std::string& in) {
  const int w = kd_image_width(img.get()), h = kd_image_height(img.get());
  const std::vector<int>& v = op.values;
  KdImage* out = nullptr;
  int st = KD_IMAGE_EARG;
  switch (op.kind) {
    case Operation::kResize: {
      auto [tw, th] = resizeTarget(op.resize, w, h);
      st = kd_image_resize(img.get(), tw, th, filter, &out);
      break;
    }
    case Operation::kCrop:
      if (v[0] >= w || v[1] >= h || v[2] > w - v[0] || v[3] > h - v[1]) {
        throw FileError(in, op.option + " is outside the " + std::to_string(w) + "x" +
                                std::to_string(h) + " picture");
      }
      st = kd_image_crop(img.get(), v[0], v[1], v[2], v[3], &out);
      break;
    case Operation::kRotate: st = kd_image_rotate(img.get(), v[0], &out); break;
    case Operation::kOrient: st = kd_image_apply_orientation(img.get(), v[0], &out); break;
  }
  if (st != KD_IMAGE_OK) throw FileError(in, op.option + ": " + kd_image_strerror(st));
  return ImagePtr(out);
}

}  // namespace

InOut inputAndOutput(const ParsedArgs& parsed, const std::string& command) {
  InOut io;
  io.inPlace = parsed.has("--in-place");
  const auto& ops = parsed.operands;
  if (ops.size() == 2 || (ops.size() == 1 && io.inPlace)) {
    io.in = ops[0];
    io.out = ops.back();
  } else {
    throw UsageError(command + " needs IN and OUT");
  }
  if (io.inPlace && io.in == "-") throw UsageError("--in-place needs a file, not standard input");
  const std::string name = parsed.last("--format").value_or(extensionOf(io.out));
  io.format = encodeFormatFor(name);
  if (io.format < 0) {
    throw UsageError(parsed.has("--format") || io.out == "-"
                         ? "--format takes png, jpg, bmp, qoi, pnm, pgm, ppm, pam or tga"
                         : "cannot tell the output format of " + io.out + " (--format names it)");
  }
  if (!io.inPlace && sameFile(io.in, io.out)) {
    throw FileError(io.out, "is the input file (--in-place replaces it)");
  }
  if (io.out == "-" && ::isatty(STDOUT_FILENO)) {
    throw FileError("-", "standard output is a terminal; redirect it to a file");
  }
  return io;
}

int cmdConvert(const Args& args) {
  static const OptionSpec specs[] = {
      {"--quality", true}, {"--filter", true},  {"--resize", true},   {"--crop", true},
      {"--rotate", true},  {"--orient", true},  {"--format", true},   {"--in-place", false},
      {"--max-pixels", true}};
  const ParsedArgs parsed = parseArgs(args, specs);
  int quality = 90;
  int filter = KD_FILTER_BILINEAR;
  uint64_t maxPixels = kDefaultMaxPixels;
  std::vector<Operation> operations;
  for (const auto& [name, value] : parsed.options) {
    if (name == "--quality") {
      quality = parseQuality(value);
    } else if (name == "--filter") {
      static const std::map<std::string, int> filters = {
          {"nearest", KD_FILTER_NEAREST}, {"bilinear", KD_FILTER_BILINEAR}, {"box", KD_FILTER_BOX}};
      auto it = filters.find(value);
      if (it == filters.end()) throw UsageError("--filter takes nearest, bilinear or box");
      filter = it->second;
    } else if (name == "--max-pixels") {
      maxPixels = parseMaxPixels(value);
    } else if (name != "--format" && name != "--in-place") {
      operations.push_back(parseOperation(name, value));
    }
  }
  const InOut io = inputAndOutput(parsed, "convert");
  const Bytes data = readWhole(io.in);
  ImagePtr img = decodeImage(data, io.in, maxPixels);
  for (const Operation& op : operations) img = runOperation(std::move(img), op, filter, io.in);
  const Bytes encoded = encodeImage(img.get(), io.format, quality, io.out);
  writeOutput(io.out, encoded.data(), encoded.size());
  return kExitOk;
}

}  // namespace cli
