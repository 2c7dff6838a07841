#include "exif/json.h"

#include <cstdint>

#include "exif/tiff.h"

namespace kd::exif {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// The escape of a byte below 32 or outside UTF-8, or of the two characters
// JSON reserves; nullptr for bytes copied as they are.
const char* shortEscape(uint8_t c) {
  switch (c) {
    case '"': return "\\\"";
    case '\\': return "\\\\";
    case 8: return "\\b";
    case 9: return "\\t";
    case 10: return "\\n";
    case 11: return "\\u000b";
    case 12: return "\\f";
    case 13: return "\\r";
    default: return nullptr;
  }
}

// Walks `text`, calling copy(run) for runs copied unchanged and
// escape(byte) for bytes written as escapes.
template <class Copy, class Escape>
void walkJsonString(std::string_view text, Copy&& copy, Escape&& escape) {
  size_t i = 0;
  size_t runStart = 0;
  while (i < text.size()) {
    const auto c = static_cast<uint8_t>(text[i]);
    size_t n = 1;
    if (c >= 0x80) {
      n = utf8SequenceLength(text.substr(i));
    } else if (c < 32 || c == '"' || c == '\\') {
      n = 0;
    }
    if (n != 0) {
      i += n;
      continue;
    }
    if (i > runStart) copy(text.substr(runStart, i - runStart));
    escape(c);
    runStart = ++i;
  }
  if (i > runStart) copy(text.substr(runStart, i - runStart));
}

size_t escapeSize(uint8_t c) {
  const char* e = shortEscape(c);
  return e != nullptr ? std::char_traits<char>::length(e) : 6;
}

}  // namespace

size_t utf8SequenceLength(std::string_view text) {
  if (text.empty()) return 0;
  const auto b0 = static_cast<uint8_t>(text[0]);
  if (b0 < 0x80) return 1;
  size_t n;
  uint8_t lo = 0x80;
  uint8_t hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() < n) return 0;
  const auto b1 = static_cast<uint8_t>(text[1]);
  if (b1 < lo || b1 > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    const auto b = static_cast<uint8_t>(text[k]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return n;
}

void appendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  walkJsonString(
      text, [&](std::string_view run) { out += run; },
      [&](uint8_t c) {
        if (const char* e = shortEscape(c)) {
          out += e;
          return;
        }
        out += "\\u00";
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
      });
  out.push_back('"');
}

size_t jsonStringSize(std::string_view text) {
  size_t size = 2;
  walkJsonString(
      text, [&](std::string_view run) { size += run.size(); },
      [&](uint8_t c) { size += escapeSize(c); });
  return size;
}

namespace {

// JSON has no text for non-finite numbers; they are written as null.
void appendJsonNumber(std::string& out, double v) {
  std::string t = shortestText(v);
  out += t == "nan" || t == "inf" || t == "-inf" ? std::string("null") : t;
}

}  // namespace

std::string metadataJson(const MetadataSummary& m) {
  std::string out;
  size_t textSize = jsonStringSize(m.camera) + jsonStringSize(m.software) + 256;
  for (const auto& [name, value] : m.tags) {
    textSize += jsonStringSize(name) + jsonStringSize(value) + 8;
  }
  out.reserve(textSize);
  out += "{\n  \"isValid\": ";
  out += m.isValid ? "true" : "false";
  out += ",\n  \"orientation\": ";
  out += std::to_string(m.orientation);
  if (!m.camera.empty()) {
    out += ",\n  \"camera\": ";
    appendJsonString(out, m.camera);
  }
  if (!m.software.empty()) {
    out += ",\n  \"software\": ";
    appendJsonString(out, m.software);
  }
  if (m.hasGps) {
    out += ",\n  \"gps\": {\n    \"latitude\": ";
    appendJsonNumber(out, m.latitude);
    out += ",\n    \"longitude\": ";
    appendJsonNumber(out, m.longitude);
    out += ",\n    \"altitude\": ";
    appendJsonNumber(out, m.altitude);
    out += "\n  }";
  }
  out += ",\n  \"tags\": ";
  if (m.tags.empty()) {
    out += "{}";
  } else {
    out += "{";
    for (size_t i = 0; i < m.tags.size(); ++i) {
      out += i == 0 ? "\n    " : ",\n    ";
      appendJsonString(out, m.tags[i].first);
      out += ": ";
      appendJsonString(out, m.tags[i].second);
    }
    out += "\n  }";
  }
  out += "\n}";
  return out;
}

}  // namespace kd::exif
