#include "exif/json.h"

#include <array>
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

// Bytes a JSON string takes as they are: printable ASCII other than the quote
// and the backslash. Everything else is an escape or the start of a UTF-8
// sequence to check.
constexpr auto kPlain = [] {
  std::array<bool, 256> plain{};
  for (int c = 32; c < 128; ++c) plain[static_cast<size_t>(c)] = c != '"' && c != '\\';
  return plain;
}();

// Walks `text`, calling copy(run) for runs copied unchanged and
// escape(byte) for bytes written as escapes. Runs of plain bytes, the common
// case, are skipped by the table alone.
template <class Copy, class Escape>
void walkJsonString(std::string_view text, Copy&& copy, Escape&& escape) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t size = text.size();
  size_t i = 0;
  size_t runStart = 0;
  while (i < size) {
    if (kPlain[p[i]]) {
      ++i;
      continue;
    }
    const uint8_t c = p[i];
    if (c >= 0x80) {
      if (const size_t n = utf8SequenceLength(text.substr(i))) {
        i += n;
        continue;
      }
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
  // Plain bytes are copied straight into the buffer; the first byte that is
  // not plain hands the rest to the general walk.
  const size_t at = out.size();
  out.resize(at + text.size() + 2);
  char* d = out.data() + at + 1;
  d[-1] = '"';
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  size_t i = 0;
  while (i < text.size() && kPlain[p[i]]) {
    d[i] = static_cast<char>(p[i]);
    ++i;
  }
  if (i == text.size()) {
    d[i] = '"';
    return;
  }
  out.resize(at + 1 + i);
  walkJsonString(
      text.substr(i), [&](std::string_view run) { out += run; },
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
  // Room for the text as it is plus the frame; escapes, rare in real files,
  // grow the buffer.
  std::string out;
  size_t textSize = m.camera.size() + m.software.size() + 256;
  for (const auto& [name, value] : m.tags) textSize += name.size() + value.size() + 12;
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
