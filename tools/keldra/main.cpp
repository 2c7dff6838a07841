// keldra: command-line front end of the library.
#include <cstdio>
#include <cstring>

#include "cli.h"

namespace {

const char kHelp[] =
    "usage: keldra COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  version                        print the library version\n"
    "  info FILE...                   describe files as JSON: image size and metadata\n"
    "                                 (an array when several files are given)\n"
    "  tags FILE                      list metadata tags as 'Name: value' lines\n"
    "  convert IN OUT [--quality Q]   decode IN and encode OUT; the format follows OUT's\n"
    "                                 extension (png, jpg, bmp, qoi, pnm/pgm/ppm/pam, tga)\n"
    "      --resize WxH               resample to W x H pixels\n"
    "      --filter F                 nearest, bilinear (default) or box, for every --resize\n"
    "      --crop X,Y,W,H             keep the W x H rectangle at X,Y\n"
    "      --rotate OP                90 (clockwise), 180, 270, flip-h or flip-v\n"
    "      --orient N                 set upright an image stored with EXIF orientation N (1-8)\n"
    "                                 --resize, --crop, --rotate and --orient apply in the\n"
    "                                 order given\n"
    "  thumbnail FILE OUT             write the embedded EXIF preview of FILE; the format\n"
    "                                 follows OUT's extension, like convert\n"
    "  palette FILE [-n N] [--algo NAME] [--space TAG] [--seed S] [--swatch OUT.png]\n"
    "                                 extract N colours (default 8) with wu, kmeans,\n"
    "                                 kmeansPP, medianCut, octree or neuquant; prints each\n"
    "                                 colour in the work space (default OKLab) and as hex\n"
    "  edit FILE [-o OUT] [--set NAME=VALUE]... [--artist T] [--software T]\n"
    "       [--datetime T] [--gps LAT,LON[,ALT]] [--strip-exif]\n"
    "                                 change EXIF tags (--strip-exif first clears them);\n"
    "                                 without -o FILE is replaced in place\n"
    "  strip IN [-o OUT]              remove EXIF, XMP, IPTC and comments (JPEG, PNG,\n"
    "                                 WebP, HEIF); without -o IN is replaced in place\n"
    "  --help                         this text\n";

struct Command {
  const char* name;
  int (*run)(const cli::Args&);
};

const Command kCommands[] = {
    {"convert", cli::cmdConvert},
    {"info", cli::cmdInfo},
    {"tags", cli::cmdTags},
    {"palette", cli::cmdPalette},
    {"edit", cli::cmdEdit},
    {"strip", cli::cmdStrip},
    {"thumbnail", cli::cmdThumbnail},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0 ||
      std::strcmp(argv[1], "help") == 0) {
    std::fputs(kHelp, argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  kd_exif_init();
  if (std::strcmp(argv[1], "version") == 0) {
    std::printf("keldra %s (abi %d)\n", kd_version(), kd_image_abi_version());
    return 0;
  }
  cli::Args args(argv + 2, argv + argc);
  for (const Command& c : kCommands) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(args);
  }
  return cli::usageError(std::string("unknown command '") + argv[1] + "'");
}
