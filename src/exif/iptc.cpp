// IPTC-IIM via Photoshop resources. The APP13 payload is "Photoshop 3.0\0"
// and a sequence of "8BIM" resources (id, even-padded Pascal name, 32-bit
// size, data padded to even length); resource 0x0404 holds the IIM datasets:
// 0x1C, record, dataset, 16-bit size, value. Values are taken as bytes; the
// coded character set of record 1 is not consulted.
#include "exif/iptc.h"

#include <cstring>
#include <string>
#include <unordered_map>

#include "base/jpeg_segments.h"
#include "exif/endian.h"

namespace kd::exif {

namespace {

struct IptcName {
  uint8_t dataset;
  const char* name;
};

constexpr IptcName kIptcNames[] = {
    {0, "ApplicationRecordVersion"},
    {5, "ObjectName"},
    {7, "EditStatus"},
    {10, "Urgency"},
    {12, "SubjectReference"},
    {15, "Category"},
    {20, "SupplementalCategories"},
    {22, "FixtureIdentifier"},
    {25, "Keywords"},
    {26, "ContentLocationCode"},
    {27, "ContentLocationName"},
    {30, "ReleaseDate"},
    {35, "ReleaseTime"},
    {37, "ExpirationDate"},
    {38, "ExpirationTime"},
    {40, "SpecialInstructions"},
    {42, "ActionAdvised"},
    {45, "ReferenceService"},
    {47, "ReferenceDate"},
    {50, "ReferenceNumber"},
    {55, "DateCreated"},
    {60, "TimeCreated"},
    {62, "DigitalCreationDate"},
    {63, "DigitalCreationTime"},
    {65, "OriginatingProgram"},
    {70, "ProgramVersion"},
    {75, "ObjectCycle"},
    {80, "By-line"},
    {85, "By-lineTitle"},
    {90, "City"},
    {92, "Sub-location"},
    {95, "Province-State"},
    {100, "Country-PrimaryLocationCode"},
    {101, "Country-PrimaryLocationName"},
    {103, "OriginalTransmissionReference"},
    {105, "Headline"},
    {110, "Credit"},
    {115, "Source"},
    {116, "CopyrightNotice"},
    {118, "Contact"},
    {120, "Caption-Abstract"},
    {122, "Writer-Editor"},
    {130, "ImageType"},
    {131, "ImageOrientation"},
    {135, "LanguageIdentifier"},
};
static_assert(std::size(kIptcNames) == 45);

constexpr char kPhotoshopHeader[] = "Photoshop 3.0";  // 13 bytes, then NUL
constexpr uint16_t kIptcResource = 0x0404;

// The IPTC-NAA resource inside one APP13 payload [start, end), if any.
FoundRange findResource(base::ByteView buf, int64_t start, int64_t end) {
  if (end - start < 14 + 12 || std::memcmp(buf.data() + start, kPhotoshopHeader, 14) != 0) {
    return std::nullopt;
  }
  int64_t p = start + 14;
  while (end - p >= 12) {
    if (std::memcmp(buf.data() + p, "8BIM", 4) != 0) break;
    const uint16_t id = readUint16(buf, p + 4, kBigEndian);
    const int64_t nameLength = buf[static_cast<size_t>(p + 6)];
    const int64_t sizePos = p + 6 + 1 + nameLength + (nameLength % 2 == 0 ? 1 : 0);
    if (end - sizePos < 4) break;
    const int64_t size = readUint32(buf, sizePos, kBigEndian);
    const int64_t data = sizePos + 4;
    if (size > end - data) break;
    if (id == kIptcResource) return ByteRange{data, size};
    p = data + size + (size & 1);
  }
  return std::nullopt;
}

}  // namespace

const char* iptcDatasetName(uint8_t dataset) {
  for (const IptcName& n : kIptcNames) {
    if (n.dataset == dataset) return n.name;
  }
  return nullptr;
}

FoundRange findApp13Iptc(base::ByteView jpeg) {
  if (jpeg.size() < 6 || !base::isJpeg(jpeg)) return std::nullopt;
  base::JpegSegmentWalk walk(jpeg);
  base::JpegSegment s;
  while (walk.next(s) && s.marker != 0xDA && s.marker != 0xD9) {
    if (s.marker == 0xED && !s.truncated) {
      auto found = findResource(jpeg, static_cast<int64_t>(s.body), static_cast<int64_t>(s.end));
      if (found) return found;
    }
  }
  return std::nullopt;
}

TextPairs parseIptc(base::ByteView jpeg) {
  const FoundRange found = findApp13Iptc(jpeg);
  if (!found) return {};
  return parseIptcDatasets(
      jpeg.subspan(static_cast<size_t>(found->offset), static_cast<size_t>(found->length)));
}

TextPairs parsePhotoshopIptc(base::ByteView resources) {
  base::Bytes block(kPhotoshopHeader, kPhotoshopHeader + sizeof kPhotoshopHeader);
  block.insert(block.end(), resources.begin(), resources.end());
  const FoundRange found = findResource(block, 0, static_cast<int64_t>(block.size()));
  if (!found) return {};
  return parseIptcDatasets(base::ByteView(block).subspan(static_cast<size_t>(found->offset),
                                                         static_cast<size_t>(found->length)));
}

TextPairs parseIptcDatasets(base::ByteView iim) {
  TextPairs out;
  std::unordered_map<std::string, size_t> index;
  const int64_t end = static_cast<int64_t>(iim.size());
  int64_t b = 0;
  while (end - b >= 5) {
    if (iim[static_cast<size_t>(b)] != 0x1C) {
      ++b;
      continue;
    }
    const uint8_t record = iim[static_cast<size_t>(b + 1)];
    const uint8_t dataset = iim[static_cast<size_t>(b + 2)];
    const int64_t size = readUint16(iim, b + 3, kBigEndian);
    // An extended dataset length (top bit set) is not read.
    if ((size & 0x8000) != 0 || size > end - b - 5) break;
    const char* name = record == 2 ? iptcDatasetName(dataset) : nullptr;
    if (name != nullptr) {
      const char* bytes = reinterpret_cast<const char*>(iim.data() + b + 5);
      std::string value = dataset == 0 && size == 2
                              ? std::to_string(readUint16(iim, b + 5, kBigEndian))
                              : std::string(bytes, static_cast<size_t>(size));
      auto [it, added] = index.try_emplace(name, out.size());
      if (added) {
        out.emplace_back(name, std::move(value));
      } else {
        out[it->second].second += ", " + value;
      }
    }
    b += 5 + size;
  }
  return out;
}

}  // namespace kd::exif
