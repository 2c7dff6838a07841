#include "exif/png_profiles.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "base/text.h"
#include "exif/exif.h"
#include "exif/iptc.h"
#include "exif/png.h"
#include "exif/xmp.h"

namespace kd::exif {

namespace {

constexpr std::string_view kProfilePrefix = "Raw profile type ";
constexpr std::string_view kExifHeader{"Exif\0\0", 6};
constexpr std::string_view kXmpHeader{"http://ns.adobe.com/xap/1.0/\0", 29};

bool startsWith(base::ByteView bytes, std::string_view prefix) {
  return bytes.size() >= prefix.size() && std::memcmp(bytes.data(), prefix.data(), prefix.size()) == 0;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}


// The profile's EXIF as "Exif\0\0" + TIFF structure (so the TIFF header is
// at 6), or empty when the profile holds none.
base::Bytes exifWithHeader(RawProfile kind, base::Bytes bytes) {
  const bool headed = startsWith(bytes, kExifHeader);
  if (kind == RawProfile::app1 && !headed) return {};
  if (kind != RawProfile::exif && kind != RawProfile::app1) return {};
  if (!headed) bytes.insert(bytes.begin(), kExifHeader.begin(), kExifHeader.end());
  base::ByteView tiff = base::ByteView(bytes).subspan(kExifHeader.size());
  const bool tiffMagic = startsWith(tiff, std::string_view("II*\0", 4)) ||
                         startsWith(tiff, std::string_view("MM\0*", 4));
  return tiffMagic ? bytes : base::Bytes{};
}

void addPrefixed(Metadata& md, const char* prefix, TextPairs pairs) {
  for (auto& [name, value] : pairs) {
    if (!value.empty()) md.tags.insert_or_assign(prefix + name, std::move(value));
  }
}

// Decodes one raw profile into the record; false when it is malformed or of
// a kind that holds nothing this reader takes (then it stays listed as
// text).
bool addProfile(Metadata& md, RawProfile kind, std::string_view text, bool& exifTaken,
                ReadBudget& budget) {
  base::Bytes bytes = decodeRawProfile(text);
  if (bytes.empty()) return false;
  base::Bytes exif = exifWithHeader(kind, bytes);
  if (!exif.empty()) {
    if (!exifTaken) parseTiffAt(md, exif, static_cast<int64_t>(kExifHeader.size()), budget);
    exifTaken = true;
    return true;
  }
  if (kind == RawProfile::iptc) {
    addPrefixed(md, "IPTC:", parseIptcDatasets(bytes));
    return true;
  }
  if (kind == RawProfile::photoshop) {
    addPrefixed(md, "IPTC:", parsePhotoshopIptc(bytes));
    return false;
  }
  base::ByteView packet = bytes;
  if (kind == RawProfile::app1) {
    if (!startsWith(packet, kXmpHeader)) return false;
    packet = packet.subspan(kXmpHeader.size());
  }
  if (kind != RawProfile::xmp && kind != RawProfile::app1) return false;
  addPrefixed(md, "XMP:",
              parseXmp(std::string_view(reinterpret_cast<const char*>(packet.data()), packet.size()),
                       &budget));
  return true;
}

}  // namespace

RawProfile rawProfileOf(std::string_view keyword) {
  if (!keyword.starts_with(kProfilePrefix)) return RawProfile::none;
  keyword.remove_prefix(kProfilePrefix.size());
  if (keyword == "exif") return RawProfile::exif;
  if (keyword == "xmp") return RawProfile::xmp;
  if (keyword == "iptc") return RawProfile::iptc;
  if (keyword == "APP1") return RawProfile::app1;
  if (keyword == "8bim") return RawProfile::photoshop;
  return RawProfile::none;
}

base::Bytes decodeRawProfile(std::string_view text) {
  // "\nNAME\n   COUNT\n" then hex digits.
  if (text.empty() || text[0] != '\n') return {};
  size_t pos = text.find('\n', 1);
  if (pos == std::string_view::npos) return {};
  ++pos;
  while (pos < text.size() && text[pos] == ' ') ++pos;
  uint64_t count = 0;
  size_t digits = 0;
  for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digits) {
    count = count * 10 + static_cast<uint64_t>(text[pos] - '0');
    if (count > text.size()) return {};  // more bytes than the text can hold
  }
  if (digits == 0 || count == 0) return {};
  base::Bytes out;
  out.reserve(static_cast<size_t>(count));
  int high = -1;
  for (; pos < text.size() && out.size() < count; ++pos) {
    const char c = text[pos];
    if (base::isAsciiSpace(c)) continue;
    const int v = hexValue(c);
    if (v < 0) return {};
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (out.size() < count) return {};
  return out;
}

base::Bytes rawExifProfile(base::ByteView png, ReadBudget* budget) {
  for (PngText& t : pngTextChunksPlaced(png, budget)) {
    RawProfile kind = rawProfileOf(t.keyword);
    if (kind != RawProfile::exif && kind != RawProfile::app1) continue;
    base::Bytes exif = exifWithHeader(kind, decodeRawProfile(t.text));
    if (!exif.empty()) {
      exif.erase(exif.begin(), exif.begin() + static_cast<int64_t>(kExifHeader.size()));
      return exif;
    }
  }
  return {};
}

void readPngMetadata(Metadata& md, base::ByteView png, ReadBudget& budget) {
  const FoundOffset exifPos = findExifInPng(png);
  if (exifPos) parseTiffAt(md, png, *exifPos, budget);
  bool exifTaken = exifPos.has_value();
  for (PngText& t : pngTextChunksPlaced(png, &budget)) {
    const RawProfile kind = rawProfileOf(t.keyword);
    md.isValid = true;
    if (kind != RawProfile::none && addProfile(md, kind, t.text, exifTaken, budget)) continue;
    md.tags.insert_or_assign(std::move(t.keyword), std::move(t.text));
  }
}

base::Bytes replacePngExifAndProfiles(base::ByteView png, base::ByteView block) {
  std::vector<std::pair<int64_t, int64_t>> drop;
  for (PngText& t : pngTextChunksPlaced(png)) {
    RawProfile kind = rawProfileOf(t.keyword);
    if ((kind == RawProfile::exif || kind == RawProfile::app1) &&
        !exifWithHeader(kind, decodeRawProfile(t.text)).empty()) {
      drop.emplace_back(t.start, t.end);
    }
  }
  if (drop.empty() || block.empty()) return replacePngExif(png, block);
  base::Bytes kept;
  kept.reserve(png.size());
  int64_t from = 0;
  for (auto [start, end] : drop) {
    kept.insert(kept.end(), png.begin() + from, png.begin() + start);
    from = end;
  }
  kept.insert(kept.end(), png.begin() + from, png.end());
  return replacePngExif(kept, block);
}

}  // namespace kd::exif
