// WebP files as metadata containers: "RIFF", a little-endian size, "WEBP",
// then chunks of a FourCC, a little-endian payload size and the payload,
// padded to an even length. Sizes are untrusted; positions are 64-bit, where
// start + 8 + size + 1 cannot overflow.
#include "exif/webp.h"

#include <cstring>

#include "exif/endian.h"

namespace kd::exif {

namespace {

constexpr uint8_t kVp8xExif = 0x08;
constexpr size_t kMaxRiffPayload = 0xFFFFFFF0;
constexpr uint8_t kVp8xMetadata = 0x0C;  // EXIF and XMP

struct Chunk {
  int64_t start;  // position of the FourCC
  int64_t size;   // payload size as stored (pad byte not counted)
  const uint8_t* fourcc;

  int64_t dataStart() const { return start + 8; }
  int64_t dataEnd() const { return start + 8 + size; }
  int64_t next() const { return start + 8 + size + (size & 1); }
  bool is(const char* t) const { return std::memcmp(fourcc, t, 4) == 0; }
};

// Calls `visit(chunk)` for each chunk whose 8-byte header fits, from offset
// 12, until it returns false.
template <class Visit>
void walkChunks(base::ByteView buf, Visit visit) {
  const int64_t size = static_cast<int64_t>(buf.size());
  if (size < 20) return;
  int64_t pos = 12;
  while (size - pos >= 8) {
    Chunk c{pos, readUint32(buf, pos + 4, kLittleEndian), buf.data() + pos};
    if (!visit(c)) return;
    pos = c.next();
  }
}

// The chunks whose payload lies wholly inside the buffer, up to the first
// that does not.
std::vector<Chunk> completeChunks(base::ByteView buf) {
  std::vector<Chunk> out;
  const int64_t size = static_cast<int64_t>(buf.size());
  walkChunks(buf, [&](const Chunk& c) {
    if (c.dataEnd() > size) return false;
    out.push_back(c);
    return true;
  });
  return out;
}

base::ByteView payloadOf(base::ByteView buf, const Chunk& c) {
  return buf.subspan(static_cast<size_t>(c.dataStart()), static_cast<size_t>(c.size));
}

// One routine behind stripWebp and replaceWebpExif.
base::Bytes rebuildWebp(base::ByteView buf, base::ByteView block, bool strip) {
  // The RIFF size field counts the whole file but its first 8 bytes.
  if (!isWebp(buf) || block.size() + buf.size() > kMaxRiffPayload) return {};
  std::vector<Chunk> chunks = completeChunks(buf);
  bool hasVp8x = false;
  for (const Chunk& c : chunks) hasVp8x = hasVp8x || c.is("VP8X");
  if (!block.empty() && !hasVp8x) return {};
  std::vector<base::Bytes> kept;
  for (const Chunk& c : chunks) {
    if (c.is("EXIF") || (strip && c.is("XMP "))) continue;
    base::ByteView payload = payloadOf(buf, c);
    if (c.is("VP8X") && !payload.empty()) {
      base::Bytes flags(payload.begin(), payload.end());
      if (strip) flags[0] &= static_cast<uint8_t>(~kVp8xMetadata);
      if (block.empty()) {
        flags[0] &= static_cast<uint8_t>(~kVp8xExif);
      } else {
        flags[0] |= kVp8xExif;
      }
      kept.push_back(webpChunk("VP8X", flags));
      continue;
    }
    kept.push_back(webpChunk(std::string_view(reinterpret_cast<const char*>(c.fourcc), 4), payload));
  }
  if (!block.empty()) kept.push_back(webpChunk("EXIF", block));
  return assembleWebp(kept);
}

}  // namespace

bool isWebp(base::ByteView buf) {
  return buf.size() >= 12 && std::memcmp(buf.data(), "RIFF", 4) == 0 &&
         std::memcmp(buf.data() + 8, "WEBP", 4) == 0;
}

FoundOffset findExifInWebp(base::ByteView buf) {
  if (!isWebp(buf)) return std::nullopt;
  const int64_t size = static_cast<int64_t>(buf.size());
  FoundOffset found;
  walkChunks(buf, [&](const Chunk& c) {
    if (!c.is("EXIF") || c.dataStart() >= size) return true;
    // Some writers put the JPEG APP1 header "Exif\0\0" before the TIFF block.
    const bool prefixed = base::fits(buf, c.dataStart(), 6) &&
                          std::memcmp(buf.data() + c.dataStart(), "Exif", 4) == 0;
    found = prefixed ? c.dataStart() + 6 : c.dataStart();
    return false;
  });
  return found;
}

std::string findXmpInWebp(base::ByteView buf) {
  std::string found;
  if (!isWebp(buf)) return found;
  const int64_t size = static_cast<int64_t>(buf.size());
  walkChunks(buf, [&](const Chunk& c) {
    if (c.dataEnd() > size) return false;
    if (!c.is("XMP ")) return true;
    base::ByteView p = payloadOf(buf, c);
    found.assign(reinterpret_cast<const char*>(p.data()), p.size());
    return false;
  });
  return found;
}

base::Bytes stripWebp(base::ByteView buf) { return rebuildWebp(buf, {}, true); }

base::Bytes replaceWebpExif(base::ByteView buf, base::ByteView block) {
  return rebuildWebp(buf, block, false);
}

base::Bytes webpChunk(std::string_view fourcc, base::ByteView payload) {
  base::Bytes out(fourcc.begin(), fourcc.end());
  base::Bytes size = le32w(static_cast<uint32_t>(payload.size()));
  out.insert(out.end(), size.begin(), size.end());
  out.insert(out.end(), payload.begin(), payload.end());
  if (payload.size() & 1) out.push_back(0);
  return out;
}

base::Bytes assembleWebp(const std::vector<base::Bytes>& chunks) {
  size_t total = 0;
  for (const base::Bytes& c : chunks) total += c.size();
  if (total > kMaxRiffPayload) return {};
  base::Bytes out = {'R', 'I', 'F', 'F'};
  out.reserve(12 + total);
  base::Bytes size = le32w(static_cast<uint32_t>(4 + total));
  out.insert(out.end(), size.begin(), size.end());
  out.insert(out.end(), {'W', 'E', 'B', 'P'});
  for (const base::Bytes& c : chunks) out.insert(out.end(), c.begin(), c.end());
  return out;
}

base::Bytes le32w(uint32_t v) {
  return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 24)};
}

}  // namespace kd::exif
