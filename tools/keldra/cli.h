// Shared pieces of the keldra command-line program. The program is built on
// the public header alone; everything here is the program's own.
//
// Failure style: a malformed command line throws UsageError (exit 2); a
// failure of one file throws FileError, which the command reports as
// "FILE: reason" on stderr and turns into exit 1 after the other files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keldra/keldra.h"

namespace cli {

using Args = std::vector<std::string>;
using Bytes = std::vector<uint8_t>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// The read limit of the library's metadata reader: info reads this much of
// a longer file, whose metadata the library then reads by path.
inline constexpr size_t kMetadataHead = size_t{16} << 20;

// The default --max-pixels: 2^28, above any camera's picture.
inline constexpr uint64_t kDefaultMaxPixels = uint64_t{1} << 28;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// `what` names the file (or "FILE: step"); `reason` says why.
class FileError : public std::runtime_error {
 public:
  FileError(std::string what, std::string reason)
      : std::runtime_error(what + ": " + reason), what_(std::move(what)), reason_(std::move(reason)) {}
  const std::string& file() const { return what_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string what_;
  std::string reason_;
};

// The text of an errno value ("No such file or directory"); thread-safe.
std::string errnoText(int err);

// ---- Command lines (options.cpp) -----------------------------------------

struct OptionSpec {
  const char* name;   // "--quality" or "-j"
  bool takesValue;
};

// Options in the order given (a value-less option has an empty value), and
// the operands. "--name=value" and "-jN" forms are accepted; "--" ends the
// options; "-" is an operand. Unknown options throw UsageError.
struct ParsedArgs {
  std::vector<std::pair<std::string, std::string>> options;
  std::vector<std::string> operands;
  bool has(std::string_view name) const;
  // The value of the last occurrence, if any.
  std::optional<std::string> last(std::string_view name) const;
};
ParsedArgs parseArgs(const Args& args, std::span<const OptionSpec> specs);

// Value checks; each throws UsageError naming the option.
long long parseIntegerIn(const std::string& option, const std::string& text, long long lo,
                         long long hi);
int parseQuality(const std::string& text);
uint64_t parseMaxPixels(const std::string& text);

// --resize WxH, Wx, xH (the other side keeps the aspect ratio) or N%.
struct ResizeSpec {
  int width = 0;    // 0: follows the aspect ratio
  int height = 0;   // 0: follows the aspect ratio
  int percent = 0;  // non-zero: both sides scaled by percent / 100
};
ResizeSpec parseResize(const std::string& text);
// The target size for a picture of `width` x `height`; each side at least 1.
std::pair<int, int> resizeTarget(const ResizeSpec& spec, int width, int height);

// --crop X,Y,W,H: X and Y at least 0, W and H at least 1.
std::vector<int> parseCrop(const std::string& text);
// --gps LAT,LON[,ALT]: finite, latitude within +-90, longitude within +-180.
std::vector<double> parseGps(const std::string& text);
// "YYYY:MM:DD HH:MM:SS" with a real month, day, hour, minute and second.
bool isExifDateTime(std::string_view text);
// --ext jpg,heic: lower-case extensions without dots.
std::set<std::string> parseExtensions(const std::string& text);

// ---- Text (text.cpp) -------------------------------------------------------

// `text` as a JSON string, escaped the way the library escapes tag text:
// UTF-8 sequences are kept, control characters and bytes outside UTF-8 are
// escaped (the latter as \u00XX).
void appendJsonString(std::string& out, std::string_view text);
std::string jsonString(std::string_view text);
// `text` safe for a terminal: control characters and bytes outside UTF-8
// as \n, \t, \r or \xNN.
std::string terminalText(std::string_view text);
// A tag value as shown: binary values ("0A 1B ..." as the library renders
// them) longer than 64 bytes become "(binary, N bytes)" unless `binary`.
std::string_view shownValue(std::string_view value, bool binary, std::string& scratch);
// The library's pretty JSON document re-laid: compact (no whitespace
// outside strings) or with `indent` after every line break; string values
// shortened as shownValue does unless `binary`.
std::string relayJson(std::string_view json, bool compact, std::string_view indent, bool binary);

// Members of one JSON object, pretty (two spaces per level below `indent`)
// or compact.
class JsonObject {
 public:
  JsonObject(bool compact, std::string indent) : compact_(compact), indent_(std::move(indent)) {}
  // `json` is a JSON value already.
  JsonObject& raw(std::string_view name, std::string_view json);
  JsonObject& text(std::string_view name, std::string_view value);
  JsonObject& number(std::string_view name, long long value);
  // The indent of a member's value, for nested objects.
  std::string inner() const { return compact_ ? std::string() : indent_ + "  "; }
  std::string finish() const;

 private:
  bool compact_;
  std::string indent_;
  std::string body_;
};

// ---- Files (files.cpp) ------------------------------------------------------

// Reads `path` ("-": stdin) whole, or its first `limit` bytes when it is
// longer (`complete` then false). Throws FileError with the errno text.
Bytes readInput(const std::string& path, size_t limit, bool* complete = nullptr);
// The whole of `path`, refused (FileError) beyond kMaxInput bytes, so an
// endless stream cannot exhaust memory.
inline constexpr size_t kMaxInput = size_t{1} << 30;
Bytes readWhole(const std::string& path);
// Writes `data` to `path` ("-": stdout). A file is written to a temporary
// file in the target's directory, synced, given the permission bits of the
// file it replaces, and renamed over the target only when complete; a link
// as target is followed. Throws FileError.
void writeOutput(const std::string& path, const uint8_t* data, size_t len);
// True when both name the same existing file (device and inode, through links).
bool sameFile(const std::string& a, const std::string& b);
// Removes a temporary output on SIGINT, SIGTERM and SIGHUP; ignores SIGPIPE.
void installSignalHandlers();
// Lower-case extension without the dot ("png" for "a/b.PNG"), or "".
std::string extensionOf(const std::string& path);

// Files to work on: each operand, files under directories with -r (sorted
// by name, links to directories not followed), names from -@ FILE. An
// entry with an error was found but cannot be worked on.
struct Entry {
  std::string path;
  std::string error;
};
struct GatherOptions {
  bool recursive = false;
  std::set<std::string> extensions;  // empty: every file found in directories
  std::string listFile;              // -@: "" none, "-" stdin
};
std::vector<Entry> gatherFiles(const std::vector<std::string>& operands, const GatherOptions& opts);

// ---- Images (decode.cpp) ----------------------------------------------------

struct ImageDeleter {
  void operator()(KdImage* img) const { kd_image_free(img); }
};
using ImagePtr = std::unique_ptr<KdImage, ImageDeleter>;
struct ExifDeleter {
  void operator()(KdExif* meta) const { kd_exif_meta_free(meta); }
};
using ExifPtr = std::unique_ptr<KdExif, ExifDeleter>;

// Wide decoding (every variant the library reads) under a pixel limit;
// throws FileError(name, the decoder's message).
ImagePtr decodeImage(const Bytes& data, const std::string& name, uint64_t maxPixels);
ImagePtr decodeThumbnail(const Bytes& data, const std::string& name, uint64_t maxPixels);
// Format and size from the header; false with the reason when unreadable.
bool probeImage(const Bytes& data, const std::string& name, KdImageInfo& info,
                std::string& error);
// The capture date as ISO 8601 text, or "".
std::string captureDate(const KdExif* meta);
// The metadata of `data` (or of the file when `data` holds only its head).
ExifPtr readMetadata(const Bytes& data, bool complete, const std::string& path);

const char* colorSpaceName(int cs);
const char* formatName(int format);
// KD_FORMAT_* an output name ("png", "jpg", ...) encodes to, or -1.
int encodeFormatFor(const std::string& name);
// The encoded bytes of `img`; throws FileError(name, status text).
Bytes encodeImage(KdImage* img, int format, int quality, const std::string& name);

// ---- Batches (batch.cpp) ----------------------------------------------------

struct BatchOptions {
  int jobs = 1;
  bool unordered = false;
  int progress = -1;     // -1: when stderr is a terminal, 0 never, 1 always
  bool summary = false;  // "N files, M failed" on stderr at the end
  std::string open;      // printed before the first record ("[\n")
  std::string separator; // between records (",\n")
  std::string close;     // after the last record ("\n]\n")
  std::string recordEnd; // after each record ("\n" for JSON Lines)
};
struct BatchWork {
  // The record of one file; throws FileError on failure.
  std::function<std::string(const std::string& path)> run;
  // The record printed for a failed file ("" for none).
  std::function<std::string(const std::string& path, const std::string& error)> failed;
};
// Runs `work` over `entries` on `jobs` threads, prints the records as they
// finish (in input order unless unordered), "FILE: reason" on stderr for
// each failure. kExitOk when every file succeeded, else kExitFailed.
int runBatch(const std::vector<Entry>& entries, const BatchOptions& opts, const BatchWork& work);

// Options shared by info and tags, and their reading.
inline constexpr size_t kBatchOptionCount = 8;
extern const OptionSpec kBatchOptions[kBatchOptionCount];
struct BatchSetup {
  std::vector<Entry> entries;
  BatchOptions batch;
};
// `json`: records are JSON objects (an array for a batch without --jsonl);
// else text records that carry their own line ends.
BatchSetup setUpBatch(const ParsedArgs& parsed, bool json);

// Writes `text` to stdout and flushes; false once stdout has failed.
bool writeStdout(std::string_view text);

// IN and OUT of convert and thumbnail ("IN --in-place" replaces IN), the
// output format (--format, else OUT's extension), and the guard that OUT
// is not IN (by device and inode) unless --in-place.
struct InOut {
  std::string in;
  std::string out;
  int format = -1;
  bool inPlace = false;
};
InOut inputAndOutput(const ParsedArgs& parsed, const std::string& command);

// ---- Commands and help ------------------------------------------------------

// The help text of a command (nullptr for an unknown one) and of the program.
const char* commandHelp(std::string_view command);
const char* programHelp();

int cmdConvert(const Args& args);
int cmdInfo(const Args& args);
int cmdTags(const Args& args);
int cmdPalette(const Args& args);
int cmdEdit(const Args& args);
int cmdStrip(const Args& args);
int cmdThumbnail(const Args& args);

}  // namespace cli
