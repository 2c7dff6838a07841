// keldra thumbnail FILE OUT [--format F] [--in-place] [--max-pixels N]: the
// EXIF preview of FILE, written in the format of OUT's extension.
#include "cli.h"

namespace cli {

int cmdThumbnail(const Args& args) {
  static const OptionSpec specs[] = {
      {"--format", true}, {"--in-place", false}, {"--max-pixels", true}};
  const ParsedArgs parsed = parseArgs(args, specs);
  uint64_t maxPixels = kDefaultMaxPixels;
  if (auto v = parsed.last("--max-pixels")) maxPixels = parseMaxPixels(*v);
  const InOut io = inputAndOutput(parsed, "thumbnail");
  const Bytes data = readWhole(io.in);
  ImagePtr img = decodeThumbnail(data, io.in, maxPixels);
  const Bytes encoded = encodeImage(img.get(), io.format, 90, io.out);
  writeOutput(io.out, encoded.data(), encoded.size());
  return kExitOk;
}

}  // namespace cli
