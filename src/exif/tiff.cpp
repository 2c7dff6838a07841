#include "exif/tiff.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "base/text.h"

namespace kd::exif {

namespace {

constexpr int kTypeSizes[13] = {1, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

// Type 13 (IFD, from the TIFF technical notes) is an offset to a directory;
// some writers give the Exif and GPS pointers that type, so it reads as LONG.
uint8_t normaliseType(uint16_t code) {
  if (code == 13) return kLong;
  return code >= 1 && code <= 12 ? static_cast<uint8_t>(code) : uint8_t{kUndefined};
}

void appendUnsigned(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void appendSigned(std::string& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

// Lays out the scientific form "[-]d[.ddd]e±XX" that to_chars produced.
std::string layoutShortest(const char* first, const char* last) {
  std::string sci(first, last);
  if (sci == "nan" || sci == "-nan") return "nan";
  if (sci == "inf" || sci == "-inf") return sci;
  std::string out;
  size_t i = 0;
  if (sci[0] == '-') {
    out.push_back('-');
    i = 1;
  }
  size_t e = sci.find('e', i);
  std::string digits;
  for (size_t k = i; k < e; ++k) {
    if (sci[k] != '.') digits.push_back(sci[k]);
  }
  int exp10 = std::atoi(sci.c_str() + e + 1);
  int n = static_cast<int>(digits.size());
  int p = exp10 + 1;  // position of the decimal point relative to the first digit
  if (p >= -6 && p <= 17) {
    if (p <= 0) {
      out += "0.";
      out.append(static_cast<size_t>(-p), '0');
      out += digits;
    } else if (p >= n) {
      out += digits;
      out.append(static_cast<size_t>(p - n), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<size_t>(p));
      out.push_back('.');
      out.append(digits, static_cast<size_t>(p), std::string::npos);
    }
    return out;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits, 1, std::string::npos);
  }
  int x = p - 1;
  char buf[16];
  if (x >= 0) {
    std::snprintf(buf, sizeof buf, "e+%02d", x);
  } else {
    std::snprintf(buf, sizeof buf, "e-%d", -x);
  }
  out += buf;
  return out;
}

}  // namespace

int fieldTypeSize(uint8_t fieldType) { return fieldType <= 12 ? kTypeSizes[fieldType] : 1; }

ReadBudget ReadBudget::forInputSize(size_t size) {
  int64_t s = static_cast<int64_t>(std::min<size_t>(size, size_t{1} << 40));
  return ReadBudget(s + kWorkSlack, 4 * s + kTextSlack, outputAllowance(size));
}

int64_t ReadBudget::outputAllowance(size_t size) {
  return 8 * static_cast<int64_t>(std::min<size_t>(size, size_t{1} << 40)) + kOutputSlack;
}

bool ReadBudget::spendOutput(int64_t bytes) {
  if (bytes > output_) return false;
  output_ -= bytes;
  return true;
}

bool ReadBudget::spendWork(int64_t units) {
  if (exhausted_ || units > work_) {
    exhausted_ = true;
    return false;
  }
  work_ -= units;
  return true;
}

bool ReadBudget::spendText(int64_t bytes) {
  if (exhausted_ || bytes > text_) {
    exhausted_ = true;
    return false;
  }
  text_ -= bytes;
  return true;
}

const IfdEntry* Ifd::find(uint16_t tag) const {
  auto it = std::lower_bound(entries.begin(), entries.end(), tag,
                             [](const IfdEntry& e, uint16_t t) { return e.tag < t; });
  return it != entries.end() && it->tag == tag ? &*it : nullptr;
}

IfdEntry readTag(ByteView buf, int64_t pos, int64_t base, bool bigEndian) {
  IfdEntry e;
  if (!base::fits(buf, pos, 12)) return e;
  e.tag = readUint16(buf, pos, orderOf(bigEndian));
  e.fieldType = normaliseType(readUint16(buf, pos + 2, orderOf(bigEndian)));
  e.count = readUint32(buf, pos + 4, orderOf(bigEndian));
  e.bigEndian = bigEndian;
  int64_t len = int64_t{e.count} * fieldTypeSize(e.fieldType);  // < 2^35
  if (len > 4) {
    e.valueOffset = base + readUint32(buf, pos + 8, orderOf(bigEndian));
  } else {
    e.valueOffset = pos + 8;
  }
  if (base::fits(buf, e.valueOffset, len)) {
    e.data = buf.subspan(static_cast<size_t>(e.valueOffset), static_cast<size_t>(len));
  }
  return e;
}

Ifd readIFD(ByteView buf, int64_t pos, int64_t base, bool bigEndian, ReadBudget* budget) {
  Ifd dir;
  if (!base::fits(buf, pos, 2)) return dir;
  if (budget != nullptr && !budget->spendWork(1)) return dir;
  uint16_t n = readUint16(buf, pos, orderOf(bigEndian));
  int64_t q = pos + 2;
  dir.entries.reserve(std::min<size_t>(n, (buf.size() - static_cast<size_t>(q)) / 12));
  bool sorted = true;
  bool outOfBudget = false;
  for (uint32_t i = 0; i < n; ++i) {
    if (!base::fits(buf, q, 12)) break;
    if (budget != nullptr && !budget->spendWork(1)) {
      outOfBudget = true;
      break;
    }
    IfdEntry e = readTag(buf, q, base, bigEndian);
    if (!dir.entries.empty() && e.tag <= dir.entries.back().tag) sorted = false;
    dir.entries.push_back(e);
    q += 12;
  }
  if (!sorted) {
    // One entry per tag id; the later of two equal ids wins.
    std::stable_sort(dir.entries.begin(), dir.entries.end(),
                     [](const IfdEntry& a, const IfdEntry& b) { return a.tag < b.tag; });
    std::vector<IfdEntry> unique;
    unique.reserve(dir.entries.size());
    for (const IfdEntry& e : dir.entries) {
      if (!unique.empty() && unique.back().tag == e.tag) {
        unique.back() = e;
      } else {
        unique.push_back(e);
      }
    }
    dir.entries.swap(unique);
  }
  if (!outOfBudget && base::fits(buf, q, 4))
    dir.nextOffset = readUint32(buf, q, orderOf(bigEndian));
  return dir;
}

std::optional<uint32_t> readLongTag(const IfdEntry& entry) {
  if (entry.data.size() < 4) return std::nullopt;
  return readUint32(entry.data, 0, orderOf(entry.bigEndian));
}

uint32_t gcd(uint32_t a, uint32_t b) {
  while (b != 0) {
    uint32_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

std::string shortestText(double value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  return layoutShortest(buf, r.ptr);
}

std::string shortestText(float value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  return layoutShortest(buf, r.ptr);
}

std::string toString(const IfdEntry& entry) {
  ByteView d = entry.data;
  if (d.empty()) return {};
  const bool be = entry.bigEndian;
  std::string out;
  const size_t size = static_cast<size_t>(fieldTypeSize(entry.fieldType));
  const size_t n = d.size() / size;
  auto sep = [&](size_t i) {
    if (i != 0) out.push_back(' ');
  };
  switch (entry.fieldType) {
    case kAscii: {
      const auto* p = d.data();
      const void* nul = std::memchr(p, 0, d.size());
      size_t len = nul == nullptr ? d.size() : static_cast<size_t>(static_cast<const uint8_t*>(nul) - p);
      while (len > 0 && base::isAsciiSpace(static_cast<char>(p[len - 1]))) --len;
      out.assign(reinterpret_cast<const char*>(p), len);
      return out;
    }
    case kShort:
      out.reserve(n * 6);
      for (size_t i = 0; i < n; ++i) {
        sep(i);
        appendUnsigned(out, readUint16(d, static_cast<int64_t>(i * 2), orderOf(be)));
      }
      return out;
    case kLong:
      out.reserve(n * 11);
      for (size_t i = 0; i < n; ++i) {
        sep(i);
        appendUnsigned(out, readUint32(d, static_cast<int64_t>(i * 4), orderOf(be)));
      }
      return out;
    case kSShort:
      for (size_t i = 0; i < n; ++i) {
        sep(i);
        appendSigned(out,
                     static_cast<int16_t>(readUint16(d, static_cast<int64_t>(i * 2), orderOf(be))));
      }
      return out;
    case kSLong:
      for (size_t i = 0; i < n; ++i) {
        sep(i);
        appendSigned(out,
                     static_cast<int32_t>(readUint32(d, static_cast<int64_t>(i * 4), orderOf(be))));
      }
      return out;
    case kRational:
      for (size_t i = 0; i < n; ++i) {
        sep(i);
        uint32_t num = readUint32(d, static_cast<int64_t>(i * 8), orderOf(be));
        uint32_t den = readUint32(d, static_cast<int64_t>(i * 8 + 4), orderOf(be));
        if (den == 0) {
          appendUnsigned(out, num);
          out += "/0";
          continue;
        }
        uint32_t g = gcd(num, den);
        appendUnsigned(out, num / g);
        if (den / g != 1) {
          out.push_back('/');
          appendUnsigned(out, den / g);
        }
      }
      return out;
    case kSRational:
      for (size_t i = 0; i < n; ++i) {
        sep(i);
        int32_t num = static_cast<int32_t>(readUint32(d, static_cast<int64_t>(i * 8), orderOf(be)));
        int32_t den =
            static_cast<int32_t>(readUint32(d, static_cast<int64_t>(i * 8 + 4), orderOf(be)));
        if (den == 0) {
          appendSigned(out, num);
          out += "/0";
          continue;
        }
        // |INT32_MIN| = 2^31 still fits an unsigned 32-bit value.
        uint32_t an = num < 0 ? 0u - static_cast<uint32_t>(num) : static_cast<uint32_t>(num);
        uint32_t ad = den < 0 ? 0u - static_cast<uint32_t>(den) : static_cast<uint32_t>(den);
        uint32_t g = gcd(an, ad);
        if ((num < 0) != (den < 0)) out.push_back('-');
        appendUnsigned(out, an / g);
        if (ad / g != 1) {
          out.push_back('/');
          appendUnsigned(out, ad / g);
        }
      }
      return out;
    case kFloat:
      for (size_t i = 0; i < n; ++i) {
        sep(i);
        out += shortestText(
            std::bit_cast<float>(readUint32(d, static_cast<int64_t>(i * 4), orderOf(be))));
      }
      return out;
    case kDouble:
      for (size_t i = 0; i < n; ++i) {
        sep(i);
        uint64_t hi = readUint32(d, static_cast<int64_t>(i * 8), orderOf(be));
        uint64_t lo = readUint32(d, static_cast<int64_t>(i * 8 + 4), orderOf(be));
        uint64_t bits = be ? (hi << 32 | lo) : (lo << 32 | hi);
        out += shortestText(std::bit_cast<double>(bits));
      }
      return out;
    default: {
      // BYTE, SBYTE, UNDEFINED: printable text when every byte is zero or
      // printable ASCII, else upper-case hexadecimal.
      bool printable = std::all_of(d.begin(), d.end(),
                                   [](uint8_t c) { return c == 0 || (c >= 32 && c <= 126); });
      if (printable) {
        out.reserve(d.size());
        for (uint8_t c : d) {
          if (c != 0) out.push_back(static_cast<char>(c));
        }
        return out;
      }
      static const char kHex[] = "0123456789ABCDEF";
      out.resize(d.size() * 3 - 1);
      for (size_t i = 0; i < d.size(); ++i) {
        out[i * 3] = kHex[d[i] >> 4];
        out[i * 3 + 1] = kHex[d[i] & 15];
        if (i + 1 < d.size()) out[i * 3 + 2] = ' ';
      }
      return out;
    }
  }
}

}  // namespace kd::exif
