// Text forms of the capture date: the EXIF offset field and the ISO 8601
// text the C interface hands out.
#include <cstdio>

#include "exif/exif.h"

namespace kd::exif {

std::optional<int> parseUtcOffset(std::string_view text) {
  auto digit = [&](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
  if (text.size() != 6 || (text[0] != '+' && text[0] != '-') || text[3] != ':') {
    return std::nullopt;
  }
  for (size_t i : {1, 2, 4, 5}) {
    if (!digit(i)) return std::nullopt;
  }
  int hours = (text[1] - '0') * 10 + (text[2] - '0');
  int minutes = (text[4] - '0') * 10 + (text[5] - '0');
  if (hours > 14 || minutes > 59) return std::nullopt;
  int total = hours * 60 + minutes;
  return text[0] == '-' ? -total : total;
}

std::string isoDateText(const DateTime& d) {
  if (!d.known()) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02d-%02dT%02d:%02d:%02d",
                static_cast<long long>(d.year), d.month, d.day, d.hour, d.minute, d.second);
  std::string out = buf;
  if (d.utc) {
    out += 'Z';
  } else if (d.hasOffset) {
    int m = d.offsetMinutes < 0 ? -d.offsetMinutes : d.offsetMinutes;
    std::snprintf(buf, sizeof buf, "%c%02d:%02d", d.offsetMinutes < 0 ? '-' : '+', m / 60, m % 60);
    out += buf;
  }
  return out;
}

}  // namespace kd::exif
