// Command-line parsing and the checks of option values. Every check runs
// before a file is read or written, and names the option it refuses.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "cli.h"

namespace cli {

namespace {

const OptionSpec* findSpec(std::span<const OptionSpec> specs, std::string_view name) {
  for (const OptionSpec& s : specs) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

// Splits `text` at every `sep`.
std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t stop = text.find(sep, start);
    parts.push_back(text.substr(start, stop == std::string::npos ? stop : stop - start));
    if (stop == std::string::npos) return parts;
    start = stop + 1;
  }
}

// Whole-string decimal integer (an optional sign, then digits only).
bool parseWhole(const std::string& text, long long& out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0') return false;
  out = v;
  return true;
}

bool parseFinite(const std::string& text, double& out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  out = v;
  return true;
}

}  // namespace

bool ParsedArgs::has(std::string_view name) const {
  return std::any_of(options.begin(), options.end(), [&](const auto& o) { return o.first == name; });
}

std::optional<std::string> ParsedArgs::last(std::string_view name) const {
  std::optional<std::string> value;
  for (const auto& o : options) {
    if (o.first == name) value = o.second;
  }
  return value;
}

ParsedArgs parseArgs(const Args& args, std::span<const OptionSpec> specs) {
  ParsedArgs parsed;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (optionsEnded || a.size() < 2 || a[0] != '-') {
      parsed.operands.push_back(a);
      continue;
    }
    if (a == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = a;
    std::optional<std::string> inlineValue;
    if (a.compare(0, 2, "--") == 0) {
      size_t eq = a.find('=');
      if (eq != std::string::npos) {
        name = a.substr(0, eq);
        inlineValue = a.substr(eq + 1);
      }
    } else if (a.size() > 2) {  // "-j4"
      name = a.substr(0, 2);
      inlineValue = a.substr(2);
    }
    const OptionSpec* spec = findSpec(specs, name);
    if (spec == nullptr) throw UsageError("unknown option '" + a + "'");
    if (!spec->takesValue) {
      if (inlineValue) throw UsageError(name + " takes no value");
      parsed.options.emplace_back(name, "");
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      inlineValue = args[++i];
    }
    parsed.options.emplace_back(name, *inlineValue);
  }
  return parsed;
}

long long parseIntegerIn(const std::string& option, const std::string& text, long long lo,
                         long long hi) {
  long long v = 0;
  if (!parseWhole(text, v) || v < lo || v > hi) {
    throw UsageError(option + " takes an integer from " + std::to_string(lo) + " to " +
                     std::to_string(hi) + ", not '" + text + "'");
  }
  return v;
}

int parseQuality(const std::string& text) {
  return static_cast<int>(parseIntegerIn("--quality", text, 1, 100));
}

uint64_t parseMaxPixels(const std::string& text) {
  return static_cast<uint64_t>(parseIntegerIn("--max-pixels", text, 1, LLONG_MAX));
}

ResizeSpec parseResize(const std::string& text) {
  const std::string shape = "--resize takes WxH, Wx, xH or N% with positive numbers, not '" +
                            text + "'";
  ResizeSpec spec;
  long long v = 0;
  if (!text.empty() && text.back() == '%') {
    if (!parseWhole(text.substr(0, text.size() - 1), v) || v < 1 || v > 100000) {
      throw UsageError(shape);
    }
    spec.percent = static_cast<int>(v);
    return spec;
  }
  const std::vector<std::string> sides = split(text, 'x');
  if (sides.size() != 2 || (sides[0].empty() && sides[1].empty())) throw UsageError(shape);
  int* targets[2] = {&spec.width, &spec.height};
  for (int k = 0; k < 2; ++k) {
    if (sides[k].empty()) continue;
    if (!std::isdigit(static_cast<unsigned char>(sides[k][0])) || !parseWhole(sides[k], v) ||
        v < 1 || v > INT_MAX) {
      throw UsageError(shape);
    }
    *targets[k] = static_cast<int>(v);
  }
  return spec;
}

std::pair<int, int> resizeTarget(const ResizeSpec& spec, int width, int height) {
  auto scaled = [](double v) {
    double r = std::floor(v + 0.5);
    return r < 1 ? 1 : r > INT_MAX ? INT_MAX : static_cast<int>(r);
  };
  if (spec.percent != 0) {
    return {scaled(width * (spec.percent / 100.0)), scaled(height * (spec.percent / 100.0))};
  }
  if (spec.width != 0 && spec.height != 0) return {spec.width, spec.height};
  if (spec.width != 0) return {spec.width, scaled(static_cast<double>(height) * spec.width / width)};
  return {scaled(static_cast<double>(width) * spec.height / height), spec.height};
}

std::vector<int> parseCrop(const std::string& text) {
  const std::vector<std::string> parts = split(text, ',');
  std::vector<int> v;
  for (size_t i = 0; i < parts.size() && parts.size() == 4; ++i) {
    long long n = 0;
    if (!parseWhole(parts[i], n) || n < (i < 2 ? 0 : 1) || n > INT_MAX) break;
    v.push_back(static_cast<int>(n));
  }
  if (v.size() != 4) {
    throw UsageError("--crop takes X,Y,W,H (X and Y from 0, W and H from 1), not '" + text + "'");
  }
  return v;
}

std::vector<double> parseGps(const std::string& text) {
  const std::vector<std::string> parts = split(text, ',');
  std::vector<double> v;
  for (const std::string& p : parts) {
    double d = 0;
    if (parts.size() > 3 || !parseFinite(p, d)) break;
    v.push_back(d);
  }
  if (v.size() != parts.size() || v.size() < 2) {
    throw UsageError("--gps takes LAT,LON[,ALT] in decimal degrees (and metres), not '" + text +
                     "'");
  }
  if (std::fabs(v[0]) > 90) throw UsageError("--gps latitude must be within -90..90");
  if (std::fabs(v[1]) > 180) throw UsageError("--gps longitude must be within -180..180");
  if (v.size() == 2) v.push_back(0);
  return v;
}

bool isExifDateTime(std::string_view t) {
  static constexpr char kShape[] = "dddd:dd:dd dd:dd:dd";
  if (t.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    bool digit = std::isdigit(static_cast<unsigned char>(t[i])) != 0;
    if (kShape[i] == 'd' ? !digit : t[i] != kShape[i]) return false;
  }
  auto num = [&](size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n; ++i) v = v * 10 + (t[i] - '0');
    return v;
  };
  const int year = num(0, 4), month = num(5, 2), day = num(8, 2);
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (month == 2 && day == 29 && !leap) return false;
  return num(11, 2) <= 23 && num(14, 2) <= 59 && num(17, 2) <= 59;
}

std::set<std::string> parseExtensions(const std::string& text) {
  std::set<std::string> out;
  for (std::string e : split(text, ',')) {
    if (!e.empty() && e[0] == '.') e.erase(0, 1);
    if (e.empty()) throw UsageError("--ext takes a list like jpg,heic,png, not '" + text + "'");
    std::transform(e.begin(), e.end(), e.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    out.insert(e);
  }
  return out;
}

}  // namespace cli
