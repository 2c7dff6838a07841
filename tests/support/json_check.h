// A strict JSON checker (RFC 8259) that also requires the text to be valid
// UTF-8 (RFC 3629), written apart from the library's own JSON writer. Header
// only, without GoogleTest, so the fuzz targets use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kd::test {

class StrictJson {
 public:
  // True when `text` is exactly one JSON value (with optional white space
  // around it) in valid UTF-8.
  static bool valid(std::string_view text) {
    StrictJson p(text);
    p.space();
    if (!p.value(0)) return false;
    p.space();
    return p.i_ == p.s_.size();
  }

 private:
  explicit StrictJson(std::string_view s) : s_(s) {}

  int peek() const { return i_ < s_.size() ? static_cast<uint8_t>(s_[i_]) : -1; }
  bool eat(char c) {
    if (peek() != static_cast<uint8_t>(c)) return false;
    ++i_;
    return true;
  }
  void space() {
    while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++i_;
  }
  bool word(std::string_view w) {
    if (s_.substr(i_, w.size()) != w) return false;
    i_ += w.size();
    return true;
  }

  bool value(int depth) {
    if (depth > 64) return false;
    switch (peek()) {
      case '{': return object(depth);
      case '[': return array(depth);
      case '"': return string();
      case 't': return word("true");
      case 'f': return word("false");
      case 'n': return word("null");
      default: return number();
    }
  }

  bool object(int depth) {
    ++i_;
    space();
    if (eat('}')) return true;
    for (;;) {
      space();
      if (peek() != '"' || !string()) return false;
      space();
      if (!eat(':')) return false;
      space();
      if (!value(depth + 1)) return false;
      space();
      if (eat('}')) return true;
      if (!eat(',')) return false;
    }
  }

  bool array(int depth) {
    ++i_;
    space();
    if (eat(']')) return true;
    for (;;) {
      space();
      if (!value(depth + 1)) return false;
      space();
      if (eat(']')) return true;
      if (!eat(',')) return false;
    }
  }

  static bool hex(int c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
  }

  bool string() {
    ++i_;
    for (;;) {
      const int c = peek();
      if (c < 0 || c < 0x20) return false;
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c == '\\') {
        ++i_;
        const int e = peek();
        ++i_;
        if (e == 'u') {
          for (int k = 0; k < 4; ++k, ++i_) {
            if (!hex(peek())) return false;
          }
        } else if (e < 0 || std::string_view("\"\\/bfnrt").find(static_cast<char>(e)) ==
                                std::string_view::npos) {
          return false;
        }
        continue;
      }
      if (c < 0x80) {
        ++i_;
        continue;
      }
      if (!utf8()) return false;
    }
  }

  // One multi-byte UTF-8 sequence at i_.
  bool utf8() {
    const int b0 = peek();
    int n = 0;
    int lo = 0x80, hi = 0xBF;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      n = 1;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      n = 2;
      lo = b0 == 0xE0 ? 0xA0 : 0x80;
      hi = b0 == 0xED ? 0x9F : 0xBF;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      n = 3;
      lo = b0 == 0xF0 ? 0x90 : 0x80;
      hi = b0 == 0xF4 ? 0x8F : 0xBF;
    } else {
      return false;
    }
    ++i_;
    for (int k = 0; k < n; ++k, ++i_) {
      const int b = peek();
      if (b < (k == 0 ? lo : 0x80) || b > (k == 0 ? hi : 0xBF)) return false;
    }
    return true;
  }

  bool digits() {
    size_t start = i_;
    while (peek() >= '0' && peek() <= '9') ++i_;
    return i_ > start;
  }

  bool number() {
    eat('-');
    if (eat('0')) {
      if (peek() >= '0' && peek() <= '9') return false;
    } else if (!digits()) {
      return false;
    }
    if (eat('.') && !digits()) return false;
    if (peek() == 'e' || peek() == 'E') {
      ++i_;
      if (!eat('+')) eat('-');
      if (!digits()) return false;
    }
    return true;
  }

  std::string_view s_;
  size_t i_ = 0;
};

}  // namespace kd::test
