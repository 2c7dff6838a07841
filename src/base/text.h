// Tokenising and trimming of text read from files (EXIF ASCII values, XMP,
// PNG text chunks) and given by callers (tag values to write). One meaning of
// "space" for the whole library: the ASCII space and \t \n \v \f \r, never a
// locale's idea of it.
#pragma once

#include <string_view>
#include <vector>

namespace kd::base {

constexpr bool isAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// `s` without leading and trailing ASCII space.
constexpr std::string_view trimAscii(std::string_view s) {
  while (!s.empty() && isAsciiSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && isAsciiSpace(s.back())) s.remove_suffix(1);
  return s;
}

// The non-empty runs of `s` between any of the `separators`, in order.
inline std::vector<std::string_view> splitNonEmpty(std::string_view s,
                                                   std::string_view separators) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < s.size()) {
    size_t j = s.find_first_of(separators, i);
    if (j == std::string_view::npos) j = s.size();
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

// Every field of `s` between single `separator`s, empty ones included: "a  b"
// split at ' ' is {"a", "", "b"}, and "" is {""}.
inline std::vector<std::string_view> splitFields(std::string_view s, char separator) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (true) {
    const size_t j = s.find(separator, i);
    if (j == std::string_view::npos) {
      out.push_back(s.substr(i));
      return out;
    }
    out.push_back(s.substr(i, j - i));
    i = j + 1;
  }
}

}  // namespace kd::base
