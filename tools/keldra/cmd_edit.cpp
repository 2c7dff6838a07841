// keldra edit FILE [-o OUT] [--set NAME=VALUE]... [--artist T] [--software T]
//                  [--datetime T] [--gps LAT,LON[,ALT]] [--strip-exif]
// keldra strip IN [-o OUT]
//
// Every value is checked before anything is written. Without -o the input
// is replaced: the new file is written beside it, synced and renamed over
// it, so any failure leaves every file as it was.
#include <algorithm>
#include <functional>

#include "cli.h"

namespace cli {

namespace {

// The names kd_exif_edit_set_tag writes, for the message that lists them.
constexpr const char* kWritableTags[] = {
    "Artist",      "Copyright",   "CreateDate",   "DateTime",     "DateTimeOriginal",
    "ExposureCompensation",       "ExposureProgram", "ExposureTime", "FNumber",
    "Flash",       "FocalLength", "HostComputer", "ISO",          "ImageDescription",
    "LensModel",   "Make",        "MeteringMode", "Model",        "Orientation",
    "Rating",      "Software",    "UserComment"};

bool isDateTag(std::string_view name) {
  return name == "DateTime" || name == "DateTimeOriginal" || name == "CreateDate";
}

// One change of the session; false when the library refuses the value.
using Step = std::function<bool(KdExifEdit*)>;

Step setStep(const std::string& assignment) {
  const size_t eq = assignment.find('=');
  if (eq == std::string::npos || eq == 0) throw UsageError("--set takes NAME=VALUE");
  const std::string name = assignment.substr(0, eq), value = assignment.substr(eq + 1);
  if (std::find(std::begin(kWritableTags), std::end(kWritableTags), name) ==
      std::end(kWritableTags)) {
    std::string names;
    for (const char* n : kWritableTags) names += std::string(names.empty() ? "" : ", ") + n;
    throw UsageError("--set: '" + name + "' is not a writable tag; the writable tags are " +
                     names);
  }
  const std::string refused = "--set " + assignment + ": not a valid " + name + " value";
  if (isDateTag(name) && !isExifDateTime(value)) {
    throw UsageError(refused + " (YYYY:MM:DD HH:MM:SS)");
  }
  if (name == "Orientation") parseIntegerIn("--set Orientation", value, 1, 8);
  return [name, value, refused](KdExifEdit* h) {
    if (kd_exif_edit_set_tag(h, name.c_str(), value.c_str()) == KD_EXIF_OK) return true;
    throw UsageError(refused);
  };
}

Step textStep(void (*setter)(KdExifEdit*, const char*), const std::string& text) {
  return [setter, text](KdExifEdit* h) {
    setter(h, text.c_str());
    return true;
  };
}

// Writes the edit session's result to `target`.
void writeSession(KdExifEdit* h, const std::string& file, const std::string& target) {
  uint8_t* buf = nullptr;
  size_t len = 0;
  int st = kd_exif_edit_write_buffer(h, &buf, &len);
  if (st != KD_EXIF_OK) {
    throw FileError(file, std::string("cannot write its metadata: ") + kd_exif_strerror(st));
  }
  std::unique_ptr<uint8_t, void (*)(void*)> owned(buf, kd_exif_buffer_free);
  writeOutput(target, buf, len);
}

}  // namespace

int cmdEdit(const Args& args) {
  static const OptionSpec specs[] = {{"-o", true},         {"--set", true},
                                     {"--artist", true},   {"--software", true},
                                     {"--datetime", true}, {"--gps", true},
                                     {"--strip-exif", false}};
  const ParsedArgs parsed = parseArgs(args, specs);
  std::vector<Step> steps;
  bool stripExif = false;
  for (const auto& [name, value] : parsed.options) {
    if (name == "--strip-exif") {
      stripExif = true;
    } else if (name == "--set") {
      steps.push_back(setStep(value));
    } else if (name == "--artist") {
      steps.push_back(textStep(kd_exif_set_artist, value));
    } else if (name == "--software") {
      steps.push_back(textStep(kd_exif_set_software, value));
    } else if (name == "--datetime") {
      if (!isExifDateTime(value)) throw UsageError("--datetime takes YYYY:MM:DD HH:MM:SS");
      steps.push_back(textStep(kd_exif_set_datetime, value));
    } else if (name == "--gps") {
      const std::vector<double> g = parseGps(value);
      steps.push_back([g](KdExifEdit* h) {
        kd_exif_set_gps(h, g[0], g[1], g[2]);
        return true;
      });
    }
  }
  const std::string out = parsed.last("-o").value_or("");
  if (parsed.has("-o") && out.empty()) throw UsageError("-o needs a file");
  if (parsed.operands.size() != 1) throw UsageError("edit takes one FILE");
  if (!stripExif && steps.empty()) throw UsageError("edit needs something to change");
  const std::string& file = parsed.operands[0];

  const Bytes data = readWhole(file);
  if (data.empty()) throw FileError(file, "empty file");
  KdExifEdit* h = nullptr;
  int st = kd_exif_edit_open_buffer(data.data(), data.size(), &h);
  if (st != KD_EXIF_OK) throw FileError(file, kd_exif_strerror(st));
  std::unique_ptr<KdExifEdit, void (*)(KdExifEdit*)> session(h, kd_exif_edit_free);
  if (stripExif) kd_exif_strip_all(h);
  for (const Step& step : steps) step(h);
  writeSession(h, file, out.empty() ? file : out);
  return kExitOk;
}

int cmdStrip(const Args& args) {
  static const OptionSpec specs[] = {{"-o", true}};
  const ParsedArgs parsed = parseArgs(args, specs);
  const std::string out = parsed.last("-o").value_or("");
  if (parsed.has("-o") && out.empty()) throw UsageError("-o needs a file");
  if (parsed.operands.size() != 1) throw UsageError("strip takes one IN");
  const std::string& in = parsed.operands[0];
  const Bytes data = readWhole(in);
  if (data.empty()) throw FileError(in, "empty file");
  uint8_t* buf = nullptr;
  size_t len = 0;
  int st = kd_exif_strip_buffer(data.data(), data.size(), &buf, &len);
  if (st != KD_EXIF_OK) {
    throw FileError(in, std::string("cannot strip its metadata: ") + kd_exif_strerror(st));
  }
  std::unique_ptr<uint8_t, void (*)(void*)> owned(buf, kd_exif_buffer_free);
  writeOutput(out.empty() ? in : out, buf, len);
  return kExitOk;
}

}  // namespace cli
