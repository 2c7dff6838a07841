// Builds PNG chunks, WebP chunks and ISO base media boxes byte by byte for
// tests, independently of the library's own writers (the CRC comes from
// zlib's crc32 in the tests that need it).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kd::test {

using ByteVec = std::vector<uint8_t>;

inline void putBe(ByteVec& out, uint64_t v, int bytes) {
  for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void putLe32(ByteVec& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void append(ByteVec& out, const ByteVec& more) { out.insert(out.end(), more.begin(), more.end()); }
inline void append(ByteVec& out, const std::string& text) { out.insert(out.end(), text.begin(), text.end()); }
inline ByteVec bytesOf(const std::string& text) { return ByteVec(text.begin(), text.end()); }

inline const ByteVec kPngSignature = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

// A PNG chunk with a placeholder CRC of "CRC!" (readers never check it; the
// rebuilders copy it verbatim, which the tests can then see).
inline ByteVec pngChunk(const std::string& type, const ByteVec& data) {
  ByteVec out;
  putBe(out, data.size(), 4);
  append(out, type);
  append(out, data);
  append(out, std::string("CRC!"));
  return out;
}

inline ByteVec pngFile(const std::vector<ByteVec>& chunks) {
  ByteVec out = kPngSignature;
  for (const ByteVec& c : chunks) append(out, c);
  return out;
}

inline ByteVec webpChunkOf(const std::string& fourcc, const ByteVec& payload, uint8_t pad = 0) {
  ByteVec out;
  append(out, fourcc);
  putLe32(out, static_cast<uint32_t>(payload.size()));
  append(out, payload);
  if (payload.size() % 2 == 1) out.push_back(pad);
  return out;
}

inline ByteVec webpFile(const std::vector<ByteVec>& chunks) {
  ByteVec body;
  for (const ByteVec& c : chunks) append(body, c);
  ByteVec out;
  append(out, std::string("RIFF"));
  putLe32(out, static_cast<uint32_t>(4 + body.size()));
  append(out, std::string("WEBP"));
  append(out, body);
  return out;
}

// An ISO base media box with a 32-bit size.
inline ByteVec box(const std::string& type, const ByteVec& content) {
  ByteVec out;
  putBe(out, content.size() + 8, 4);
  append(out, type);
  append(out, content);
  return out;
}

// A full box: version, 24-bit flags, content.
inline ByteVec fullBox(const std::string& type, uint8_t version, const ByteVec& content) {
  ByteVec body = {version, 0, 0, 0};
  append(body, content);
  return box(type, body);
}

inline ByteVec concat(const std::vector<ByteVec>& parts) {
  ByteVec out;
  for (const ByteVec& p : parts) append(out, p);
  return out;
}

}  // namespace kd::test
