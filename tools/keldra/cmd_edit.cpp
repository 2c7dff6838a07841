// keldra edit FILE [-o OUT] [--set NAME=VALUE]... [--artist T] [--software T]
//                  [--datetime T] [--gps LAT,LON[,ALT]] [--strip-exif]
// keldra strip IN [-o OUT]
//
// Without -o the input is replaced in place, through the library's synced
// temporary file; any failure leaves every file as it was.
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "cli.h"

namespace cli {

namespace {

bool parseGps(const std::string& text, double v[3]) {
  v[2] = 0;
  const char* p = text.c_str();
  for (int i = 0; i < 3; ++i) {
    char* end = nullptr;
    v[i] = std::strtod(p, &end);
    if (end == p) return false;
    p = end;
    if (*p == '\0') return i >= 1;
    if (*p != ',') return false;
    ++p;
  }
  return false;
}

}  // namespace

int cmdEdit(const Args& args) {
  std::string file, out;
  bool stripExif = false;
  std::vector<std::function<int(KdExifEdit*)>> steps;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) return false;
      into = args[++i];
      return true;
    };
    std::string v;
    if (a == "--strip-exif") {
      stripExif = true;
    } else if (a == "-o") {
      if (!value(out) || out.empty()) return usageError("-o needs a file");
    } else if (a == "--set") {
      if (!value(v) || v.find('=') == std::string::npos || v.front() == '=') {
        return usageError("--set needs NAME=VALUE");
      }
      std::string name = v.substr(0, v.find('=')), text = v.substr(v.find('=') + 1);
      steps.push_back([name, text](KdExifEdit* h) {
        int st = kd_exif_edit_set_tag(h, name.c_str(), text.c_str());
        if (st != KD_EXIF_OK) reportExif("--set " + name, st);
        return st;
      });
    } else if (a == "--artist" || a == "--software" || a == "--datetime") {
      if (!value(v)) return usageError(a + " needs a text");
      auto setter = a == "--artist"     ? kd_exif_set_artist
                    : a == "--software" ? kd_exif_set_software
                                        : kd_exif_set_datetime;
      steps.push_back([setter, v](KdExifEdit* h) {
        setter(h, v.c_str());
        return KD_EXIF_OK;
      });
    } else if (a == "--gps") {
      double g[3];
      if (!value(v) || !parseGps(v, g)) return usageError("--gps needs LAT,LON[,ALT]");
      steps.push_back([g0 = g[0], g1 = g[1], g2 = g[2]](KdExifEdit* h) {
        kd_exif_set_gps(h, g0, g1, g2);
        return KD_EXIF_OK;
      });
    } else if (!a.empty() && a[0] == '-') {
      return usageError("unknown option '" + a + "'");
    } else if (file.empty()) {
      file = a;
    } else {
      return usageError("edit takes one FILE");
    }
  }
  if (file.empty()) return usageError("edit needs a FILE");
  if (!stripExif && steps.empty()) return usageError("edit needs something to change");

  KdExifEdit* h = nullptr;
  int st = kd_exif_edit_open(file.c_str(), &h);
  if (st != KD_EXIF_OK) return reportExif(file, st);
  if (stripExif) kd_exif_strip_all(h);
  for (auto& step : steps) {
    if (step(h) != KD_EXIF_OK) {
      kd_exif_edit_free(h);
      return 1;
    }
  }
  st = kd_exif_edit_write(h, out.c_str());
  kd_exif_edit_free(h);
  if (st != KD_EXIF_OK) return reportExif(out.empty() ? file : out, st);
  return 0;
}

int cmdStrip(const Args& args) {
  std::string in, out;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "-o") {
      if (i + 1 >= args.size() || args[i + 1].empty()) return usageError("-o needs a file");
      out = args[++i];
    } else if (!args[i].empty() && args[i][0] == '-') {
      return usageError("unknown option '" + args[i] + "'");
    } else if (in.empty()) {
      in = args[i];
    } else {
      return usageError("strip takes one IN");
    }
  }
  if (in.empty()) return usageError("strip needs IN");
  int st = kd_exif_strip_file(in.c_str(), out.empty() ? in.c_str() : out.c_str());
  if (st != KD_EXIF_OK) return reportExif(in, st);
  return 0;
}

}  // namespace cli
