// The help texts: the program's, and one per command (keldra COMMAND --help).
// docs/keldra.1 and the README's program section say the same.
#include <cstring>

#include "cli.h"

namespace cli {

namespace {

constexpr char kBatchHelp[] =
    "  -r                 read the files in directories, and in theirs (links to\n"
    "                     directories are not followed)\n"
    "  --ext LIST         only files found in directories with these extensions\n"
    "                     (jpg,heic,png...)\n"
    "  -@ FILE            also read the files named in FILE, one per line (- for stdin)\n"
    "  --jsonl            one JSON object per file per line, written as each finishes\n"
    "  -j N               N files at once (default: the number of cores)\n"
    "  --unordered        print each file as it finishes instead of in input order\n"
    "  --progress, --no-progress\n"
    "                     show or hide the progress line on stderr (default: shown\n"
    "                     when stderr is a terminal and there are several files)\n"
    "A file that fails gets {\"file\": ..., \"error\": ...} in JSON output and a line\n"
    "FILE: reason on stderr; the others go on. With several files, -r or -@ the\n"
    "run ends with \"N files, M failed\" on stderr. FILE - reads standard input.\n";

struct Help {
  const char* command;
  const char* text;
  bool batch;
};

const Help kHelps[] = {
    {"info",
     "usage: keldra info [OPTIONS] FILE...\n"
     "Describes each file as JSON: \"file\", the capture date as \"dateTime\", \"image\"\n"
     "(format, width, height, channels, colorspace, from the header) when the\n"
     "picture is recognised, and \"metadata\". Several files give an array.\n"
     "  --json             JSON (the default)\n"
     "  --decode           take the size from decoding the picture; a picture that\n"
     "                     does not decode fails the file\n"
     "  --binary           keep binary values over 64 bytes, not \"(binary, N bytes)\"\n"
     "  --max-pixels N     with --decode, refuse pictures over N pixels (default 2^28)\n",
     true},
    {"tags",
     "usage: keldra tags [OPTIONS] FILE...\n"
     "Lists the metadata tags of each file as \"Name: value\" lines, sorted by name,\n"
     "with control characters escaped (\\n, \\t, \\xNN); several files each get a\n"
     "\"======== FILE\" line first.\n"
     "  --json             {\"file\": ..., \"tags\": {\"Name\": \"value\", ...}} per file\n"
     "  --binary           keep binary values over 64 bytes, not \"(binary, N bytes)\"\n",
     true},
    {"convert",
     "usage: keldra convert IN OUT [OPTIONS]\n"
     "Decodes IN and encodes OUT in the format of OUT's extension (png, jpg/jpeg,\n"
     "bmp, qoi, pnm/pgm/ppm/pam, tga). IN - reads standard input; OUT - writes\n"
     "standard output (with --format). OUT is written whole or not at all, and is\n"
     "never IN (the same file, also through links) unless --in-place.\n"
     "  --quality Q        JPEG quality, an integer 1-100 (default 90)\n"
     "  --resize SIZE      WxH, Wx or xH (the other side keeps the aspect ratio), N%\n"
     "  --filter F         nearest, bilinear (default) or box, for every --resize\n"
     "  --crop X,Y,W,H     keep the W x H rectangle at X,Y (inside the picture)\n"
     "  --rotate OP        90 (clockwise), 180, 270, flip-h or flip-v\n"
     "  --orient N         set upright a picture stored with EXIF orientation N (1-8)\n"
     "                     --resize, --crop, --rotate and --orient run in the order given\n"
     "  --format F         the output format, whatever OUT's extension\n"
     "  --in-place         allow OUT to be IN (IN alone: replace IN)\n"
     "  --max-pixels N     refuse pictures over N pixels (default 2^28)\n",
     false},
    {"thumbnail",
     "usage: keldra thumbnail FILE OUT [OPTIONS]\n"
     "Writes the embedded EXIF preview of FILE in the format of OUT's extension,\n"
     "like convert; fails when FILE has none.\n"
     "  --format F         the output format, whatever OUT's extension\n"
     "  --in-place         allow OUT to be FILE\n"
     "  --max-pixels N     refuse previews over N pixels (default 2^28)\n",
     false},
    {"palette",
     "usage: keldra palette FILE [OPTIONS]\n"
     "Extracts a colour palette and prints each colour in the work space and as hex.\n"
     "  -n N               colours (default 8)\n"
     "  --algo NAME        wu (default), kmeans, kmeansPP, medianCut, octree, neuquant\n"
     "  --space TAG        oklab (default), srgb or a space tag number\n"
     "  --seed S           seed of the randomised algorithms\n"
     "  --swatch OUT       also write the colours as 32x32 squares (png unless OUT's\n"
     "                     extension is bmp, qoi, tga, pnm or ppm)\n"
     "  --max-pixels N     refuse pictures over N pixels (default 2^28)\n",
     false},
    {"edit",
     "usage: keldra edit FILE [-o OUT] [OPTIONS]\n"
     "Changes EXIF tags of a JPEG, TIFF, PNG, WebP or HEIF file. Without -o FILE is\n"
     "replaced through a synced temporary file; values are checked first.\n"
     "  --set NAME=VALUE   set a tag (repeatable); an unknown NAME lists the names\n"
     "  --artist T, --software T\n"
     "  --datetime T       DateTimeOriginal, as YYYY:MM:DD HH:MM:SS\n"
     "  --gps LAT,LON[,ALT]  latitude -90..90, longitude -180..180, metres\n"
     "  --strip-exif       clear every EXIF tag first\n",
     false},
    {"strip",
     "usage: keldra strip IN [-o OUT]\n"
     "Removes EXIF, XMP, IPTC and comments from a JPEG, PNG, WebP or HEIF file,\n"
     "keeping the picture. Without -o IN is replaced through a synced temporary file.\n",
     false},
};

const char kProgramHelp[] =
    "usage: keldra COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  info FILE...          describe files as JSON: picture size, date, metadata\n"
    "  tags FILE...          list metadata tags as 'Name: value' lines or JSON\n"
    "  convert IN OUT        decode IN, transform it, encode OUT\n"
    "  thumbnail FILE OUT    write the embedded EXIF preview\n"
    "  palette FILE          extract a colour palette\n"
    "  edit FILE             change EXIF tags\n"
    "  strip IN              remove metadata\n"
    "  version, --version    print the version\n"
    "  help [COMMAND], --help\n"
    "\n"
    "keldra COMMAND --help describes a command. Exit status: 0 when every file\n"
    "succeeded, 1 when any failed, 2 for a usage error. See keldra(1).\n";

}  // namespace

const char* commandHelp(std::string_view command) {
  static std::string texts[std::size(kHelps)];
  for (size_t i = 0; i < std::size(kHelps); ++i) {
    if (command != kHelps[i].command) continue;
    if (texts[i].empty()) {
      texts[i] = std::string(kHelps[i].text) +
                 (kHelps[i].batch ? std::string(kBatchHelp) : std::string()) +
                 "  --help             this text\n";
    }
    return texts[i].c_str();
  }
  return nullptr;
}

const char* programHelp() { return kProgramHelp; }

}  // namespace cli
