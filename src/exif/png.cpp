// PNG chunks as metadata containers. A chunk is a 4-byte big-endian data
// length, a 4-byte type, the data and a CRC-32 over type and data; the walk
// starts after the 8-byte signature. Lengths are untrusted: each reader
// checks what it uses against the buffer, and positions are kept in 64 bits
// where offset + 12 + length cannot overflow.
#include "exif/png.h"

#include <algorithm>
#include <cstring>

#include "compress/crc32.h"
#include "exif/endian.h"
#include "exif/zlibutil.h"

namespace kd::exif {

namespace {

constexpr uint8_t kSignature[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
constexpr std::string_view kXmpKeyword = "XML:com.adobe.xmp";

struct Chunk {
  int64_t start;   // position of the length field
  int64_t length;  // data length as stored
  const uint8_t* type;

  int64_t dataStart() const { return start + 8; }
  int64_t dataEnd() const { return start + 8 + length; }
  int64_t end() const { return start + 12 + length; }
  bool is(const char* t) const { return std::memcmp(type, t, 4) == 0; }
};

// Calls `visit(chunk)` for each chunk header that fits, from offset 8, until
// it returns false. Returns the offset where the walk stopped.
template <class Visit>
int64_t walkChunks(base::ByteView buf, Visit visit) {
  const int64_t size = static_cast<int64_t>(buf.size());
  int64_t pos = 8;
  while (size - pos >= 8) {
    Chunk c{pos, readUint32(buf, pos, kBigEndian), buf.data() + pos + 4};
    if (!visit(c)) return pos;
    pos = c.end();
  }
  return pos;
}

bool isMetadataChunk(const Chunk& c) {
  return c.is("eXIf") || c.is("tEXt") || c.is("iTXt") || c.is("zTXt");
}

// Position of the first NUL in [from, to), or -1.
int64_t findNul(base::ByteView buf, int64_t from, int64_t to) {
  const void* hit = std::memchr(buf.data() + from, 0, static_cast<size_t>(to - from));
  return hit == nullptr ? -1 : static_cast<const uint8_t*>(hit) - buf.data();
}

std::string textOf(base::ByteView buf, int64_t from, int64_t to) {
  return std::string(reinterpret_cast<const char*>(buf.data() + from),
                     static_cast<size_t>(to - from));
}

struct TextChunk {
  std::string keyword;
  std::string text;
  bool ok = false;
};

// tEXt: keyword NUL text. No NUL, no entry; an empty keyword is kept.
TextChunk parseText(base::ByteView buf, const Chunk& c) {
  TextChunk out;
  if (c.length == 0) return out;
  int64_t nul = findNul(buf, c.dataStart(), c.dataEnd());
  if (nul < 0) return out;
  out.keyword = textOf(buf, c.dataStart(), nul);
  out.text = textOf(buf, nul + 1, c.dataEnd());
  out.ok = true;
  return out;
}

// zTXt: keyword NUL method zlib-stream. The method byte is not examined.
TextChunk parseCompressedText(base::ByteView buf, const Chunk& c, ReadBudget* budget) {
  TextChunk out;
  int64_t nul = findNul(buf, c.dataStart(), c.dataEnd());
  if (nul < 0 || c.dataEnd() - nul < 2) return out;
  out.keyword = textOf(buf, c.dataStart(), nul);
  base::Bytes text = inflateText(buf.subspan(static_cast<size_t>(nul + 2),
                                             static_cast<size_t>(c.dataEnd() - nul - 2)),
                                 budget);
  if (text.empty()) return out;
  out.text.assign(text.begin(), text.end());
  out.ok = true;
  return out;
}

// iTXt: keyword NUL flag method language NUL translated-keyword NUL text.
// Language and translated keyword are dropped; a non-zero flag means the
// text is a zlib stream.
TextChunk parseInternationalText(base::ByteView buf, const Chunk& c, ReadBudget* budget) {
  TextChunk out;
  const int64_t end = c.dataEnd();
  int64_t nul = findNul(buf, c.dataStart(), end);
  if (nul < 0 || end - nul < 3) return out;
  const uint8_t flag = buf[static_cast<size_t>(nul + 1)];
  int64_t language = findNul(buf, nul + 3, end);
  if (language < 0) return out;
  int64_t translated = findNul(buf, language + 1, end);
  if (translated < 0) return out;
  out.keyword = textOf(buf, c.dataStart(), nul);
  const int64_t from = translated + 1;
  if (flag == 0) {
    out.text = textOf(buf, from, end);
  } else {
    base::Bytes text = inflateText(
        buf.subspan(static_cast<size_t>(from), static_cast<size_t>(end - from)), budget);
    if (text.empty()) return out;
    out.text.assign(text.begin(), text.end());
  }
  out.ok = true;
  return out;
}

// One routine behind stripPng and replacePngExif.
base::Bytes rebuildPng(base::ByteView buf, base::ByteView block, bool strip) {
  // A PNG chunk holds at most 2^31 - 1 bytes.
  if (!isPng(buf) || block.size() > 0x7FFFFFFF) return {};
  base::Bytes out(buf.begin(), buf.begin() + 8);
  out.reserve(buf.size() + block.size() + 12);
  const int64_t size = static_cast<int64_t>(buf.size());
  bool placed = false;
  bool truncated = false;
  int64_t stop = walkChunks(buf, [&](const Chunk& c) {
    if (c.end() > size) {
      // The last chunk runs past the buffer: keep its bytes as they are,
      // unless it is metadata being stripped.
      if (!(strip && isMetadataChunk(c))) {
        out.insert(out.end(), buf.begin() + c.start, buf.end());
      }
      truncated = true;
      return false;
    }
    bool drop = (c.is("eXIf") && (strip || !block.empty())) || (strip && isMetadataChunk(c));
    if (!drop) out.insert(out.end(), buf.begin() + c.start, buf.begin() + c.end());
    if (!placed && !block.empty() && c.is("IHDR")) {
      base::Bytes exif = makeChunk("eXIf", block);
      out.insert(out.end(), exif.begin(), exif.end());
      placed = true;
    }
    return true;
  });
  if (!truncated) out.insert(out.end(), buf.begin() + stop, buf.end());
  return out;
}

}  // namespace

bool isPng(base::ByteView buf) {
  return buf.size() >= 8 && std::memcmp(buf.data(), kSignature, 8) == 0;
}

FoundOffset findExifInPng(base::ByteView buf) {
  if (!isPng(buf)) return std::nullopt;
  const int64_t size = static_cast<int64_t>(buf.size());
  FoundOffset found;
  walkChunks(buf, [&](const Chunk& c) {
    if (c.is("IEND")) return false;
    if (c.is("eXIf") && c.dataStart() < size) {
      found = c.dataStart();
      return false;
    }
    return true;
  });
  return found;
}

TextPairs pngTextChunks(base::ByteView buf, ReadBudget* budget) {
  TextPairs out;
  for (PngText& t : pngTextChunksPlaced(buf, budget)) {
    out.emplace_back(std::move(t.keyword), std::move(t.text));
  }
  return out;
}

std::vector<PngText> pngTextChunksPlaced(base::ByteView buf, ReadBudget* budget) {
  std::vector<PngText> out;
  if (!isPng(buf)) return out;
  const int64_t size = static_cast<int64_t>(buf.size());
  walkChunks(buf, [&](const Chunk& c) {
    if (c.is("IEND") || c.dataEnd() > size) return false;
    auto keep = [&](TextChunk& t) {
      out.push_back(
          PngText{std::move(t.keyword), std::move(t.text), c.start, std::min(c.end(), size)});
    };
    if (c.is("tEXt")) {
      TextChunk t = parseText(buf, c);
      if (t.ok) keep(t);
    } else if (c.is("zTXt") || c.is("iTXt")) {
      TextChunk t = c.is("zTXt") ? parseCompressedText(buf, c, budget)
                                 : parseInternationalText(buf, c, budget);
      if (t.ok && !t.keyword.empty()) keep(t);
    }
    return true;
  });
  return out;
}

std::string findXmpInPng(base::ByteView buf, ReadBudget* budget) {
  std::string found;
  if (!isPng(buf)) return found;
  const int64_t size = static_cast<int64_t>(buf.size());
  walkChunks(buf, [&](const Chunk& c) {
    if (c.is("IEND") || c.dataEnd() > size) return false;
    if (!c.is("iTXt")) return true;
    // Only chunks keyed exactly "XML:com.adobe.xmp" are inflated.
    if (c.length < static_cast<int64_t>(kXmpKeyword.size()) + 1 ||
        std::memcmp(buf.data() + c.dataStart(), kXmpKeyword.data(), kXmpKeyword.size()) != 0 ||
        buf[static_cast<size_t>(c.dataStart()) + kXmpKeyword.size()] != 0) {
      return true;
    }
    TextChunk t = parseInternationalText(buf, c, budget);
    if (!t.ok) return true;
    found = std::move(t.text);
    return false;
  });
  return found;
}

base::Bytes stripPng(base::ByteView buf) { return rebuildPng(buf, {}, true); }

base::Bytes replacePngExif(base::ByteView buf, base::ByteView block) {
  return rebuildPng(buf, block, false);
}

base::Bytes makeChunk(std::string_view type, base::ByteView data) {
  base::Bytes out = be32(static_cast<uint32_t>(data.size()));
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  base::ByteView typed(out.data() + 4, out.size() - 4);
  base::Bytes crc = be32(compress::crc32(typed));
  out.insert(out.end(), crc.begin(), crc.end());
  return out;
}

base::Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
          static_cast<uint8_t>(v)};
}

std::string chunkType(base::ByteView buf, int64_t pos) {
  if (!base::fits(buf, pos, 4)) return {};
  return textOf(buf, pos, pos + 4);
}

}  // namespace kd::exif
