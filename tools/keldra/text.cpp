// Text for people and for scripts: JSON strings (escaped as the library
// escapes tag text, so every document the program prints is valid UTF-8),
// terminal-safe tag values, and the re-laying of the library's metadata
// document for JSON Lines.
#include <algorithm>
#include <cstdio>

#include "cli.h"

namespace cli {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// Values longer than this many bytes print as "(binary, N bytes)".
constexpr size_t kBinaryShown = 64;

// Length of the well-formed UTF-8 sequence at the start of `t` (overlong
// forms, surrogates and code points above U+10FFFF are not), or 0.
size_t utf8Length(std::string_view t) {
  const auto b0 = static_cast<uint8_t>(t[0]);
  if (b0 < 0x80) return 1;
  size_t n = 0;
  uint8_t lo = 0x80, hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (t.size() < n) return 0;
  const auto b1 = static_cast<uint8_t>(t[1]);
  if (b1 < lo || b1 > hi) return 0;
  for (size_t k = 2; k < n; ++k) {
    const auto b = static_cast<uint8_t>(t[k]);
    if (b < 0x80 || b > 0xBF) return 0;
  }
  return n;
}

const char* jsonShortEscape(uint8_t c) {
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

// The byte count of a value rendered as upper-case hex pairs separated by
// single spaces ("0A 1B"), or 0 when `v` is not one.
size_t binaryLength(std::string_view v) {
  if (v.size() < 2 || v.size() % 3 != 2) return 0;
  auto hex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
  for (size_t i = 0; i < v.size(); ++i) {
    if (i % 3 == 2 ? v[i] != ' ' : !hex(v[i])) return 0;
  }
  return (v.size() + 1) / 3;
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  out.push_back('"');
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<uint8_t>(text[i]);
    const size_t n = c < 32 || c == '"' || c == '\\' ? 0 : utf8Length(text.substr(i));
    if (n != 0) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    if (const char* e = jsonShortEscape(c)) {
      out += e;
    } else {
      out += "\\u00";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
    ++i;
  }
  out.push_back('"');
}

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

std::string terminalText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<uint8_t>(text[i]);
    size_t n = c < 32 || c == 127 ? 0 : utf8Length(text.substr(i));
    // C1 control characters (U+0080..U+009F) are escaped too.
    if (n == 2 && c == 0xC2 && static_cast<uint8_t>(text[i + 1]) < 0xA0) n = 0;
    if (n != 0) {
      out.append(text.substr(i, n));
      i += n;
      continue;
    }
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
    ++i;
  }
  return out;
}

std::string_view shownValue(std::string_view value, bool binary, std::string& scratch) {
  const size_t n = binary ? 0 : binaryLength(value);
  if (n <= kBinaryShown) return value;
  scratch = "(binary, " + std::to_string(n) + " bytes)";
  return scratch;
}

std::string relayJson(std::string_view json, bool compact, std::string_view indent, bool binary) {
  std::string out;
  out.reserve(json.size());
  std::string scratch;
  bool afterColon = false;  // the next string is a member's value
  size_t i = 0;
  while (i < json.size()) {
    const char c = json[i];
    if (c == '"') {
      // The whole string token; escapes never hide a closing quote.
      size_t end = i + 1;
      while (end < json.size() && json[end] != '"') end += json[end] == '\\' ? 2 : 1;
      end = std::min(end + 1, json.size());
      std::string_view token = json.substr(i, end - i);
      if (afterColon && token.size() >= 2) {
        std::string_view inner = token.substr(1, token.size() - 2);
        std::string_view shown = shownValue(inner, binary, scratch);
        if (shown.data() != inner.data()) {
          appendJsonString(out, shown);
          token = {};
        }
      }
      out.append(token);
      afterColon = false;
      i = end;
      continue;
    }
    if (c == ':') afterColon = true;
    if (c == ',' || c == '{' || c == '[') afterColon = false;
    if (c == ' ' || c == '\n') {
      if (!compact && c == ' ') out.push_back(c);
      if (!compact && c == '\n') {
        out.push_back(c);
        out.append(indent);
      }
    } else {
      out.push_back(c);
    }
    ++i;
  }
  return out;
}

JsonObject& JsonObject::raw(std::string_view name, std::string_view json) {
  body_ += body_.empty() ? (compact_ ? "" : "\n") : (compact_ ? "," : ",\n");
  if (!compact_) body_ += indent_ + "  ";
  appendJsonString(body_, name);
  body_ += compact_ ? ":" : ": ";
  body_.append(json);
  return *this;
}

JsonObject& JsonObject::text(std::string_view name, std::string_view value) {
  return raw(name, jsonString(value));
}

JsonObject& JsonObject::number(std::string_view name, long long value) {
  return raw(name, std::to_string(value));
}

std::string JsonObject::finish() const {
  if (body_.empty()) return "{}";
  return "{" + body_ + (compact_ ? "}" : "\n" + indent_ + "}");
}

}  // namespace cli
