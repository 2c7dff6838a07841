// keldra info FILE...: one JSON object per file: "file", the capture date
// as "dateTime", "image" (format, size, channels and colour space from the
// header, or from decoding the picture with --decode) when the picture is
// recognised, and "metadata", the library's metadata document.
#include <climits>
#include <cstdint>

#include "cli.h"

namespace cli {

namespace {

struct InfoSettings {
  bool compact = false;
  bool decode = false;
  bool binary = false;
  uint64_t maxPixels = kDefaultMaxPixels;
  std::string indent;  // of each object: "  " inside an array
};

std::string imageObject(const InfoSettings& s, const Bytes& data, const std::string& path,
                        const std::string& indent) {
  KdImageInfo info;
  std::string error;
  const bool probed = probeImage(data, path, info, error);
  if (s.decode) {
    ImagePtr img = decodeImage(data, path, s.maxPixels);
    info.width = kd_image_width(img.get());
    info.height = kd_image_height(img.get());
    info.channels = kd_image_channels(img.get());
    info.colorspace = kd_image_get_colorspace(img.get());
  } else if (!probed) {
    return "";
  }
  JsonObject o(s.compact, indent);
  o.text("format", formatName(probed ? info.format : KD_FORMAT_AUTO))
      .number("width", info.width)
      .number("height", info.height)
      .number("channels", info.channels)
      .text("colorspace", colorSpaceName(info.colorspace));
  return o.finish();
}

std::string describe(const InfoSettings& s, const std::string& path) {
  bool complete = true;
  const Bytes data = s.decode ? readWhole(path) : readInput(path, kMetadataHead, &complete);
  if (data.empty()) throw FileError(path, "empty file");
  ExifPtr meta = readMetadata(data, complete, path);
  JsonObject o(s.compact, s.indent);
  o.text("file", path);
  const std::string date = captureDate(meta.get());
  if (!date.empty()) o.text("dateTime", date);
  const std::string image = imageObject(s, data, path, o.inner());
  if (!image.empty()) o.raw("image", image);
  const char* json = kd_exif_to_json(meta.get());
  o.raw("metadata", json != nullptr ? relayJson(json, s.compact, o.inner(), s.binary) : "null");
  return o.finish();
}

}  // namespace

int cmdInfo(const Args& args) {
  std::vector<OptionSpec> specs(kBatchOptions, kBatchOptions + kBatchOptionCount);
  specs.insert(specs.end(), {{"--json", false},
                             {"--decode", false},
                             {"--binary", false},
                             {"--max-pixels", true}});
  const ParsedArgs parsed = parseArgs(args, specs);
  InfoSettings s;
  s.compact = parsed.has("--jsonl");
  s.decode = parsed.has("--decode");
  s.binary = parsed.has("--binary");
  if (auto v = parsed.last("--max-pixels")) s.maxPixels = parseMaxPixels(*v);
  const BatchSetup setup = setUpBatch(parsed, true);
  const bool array = setup.batch.open.size() > 1;
  if (array) s.indent = "  ";
  BatchWork work;
  work.run = [&s](const std::string& path) { return describe(s, path); };
  if (setup.batch.summary || s.compact) {
    work.failed = [&s](const std::string& path, const std::string& reason) {
      return JsonObject(s.compact, s.indent).text("file", path).text("error", reason).finish();
    };
  }
  return runBatch(setup.entries, setup.batch, work);
}

}  // namespace cli
