#include "jpeg_reference.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "formats/jpeg.h"

namespace kd::formats::test {
namespace {

using jpeg::ZigZag;

struct Huff {
  bool defined = false;
  int minCode[17] = {};
  int maxCode[17] = {};
  int valOffset[17] = {};
  std::vector<int> symbols;
};

struct Comp {
  int id, h, v, tq, td = 0, ta = 0;
};

struct State {
  int quant[4][64] = {};
  Huff dc[4], ac[4];
  std::vector<Comp> comps;
  bool frame = false;
  int width = 0, height = 0, restartInterval = 0;
  std::vector<uint8_t> entropy;
  std::vector<size_t> restarts;
  size_t pos = 0;
  int bitsLeft = 0;
  int current = 0;
};

[[noreturn]] void bad(ErrorKind kind, const char* message) { throw KeldraException(kind, message); }

int u16(ByteView d, size_t p) { return d[p] << 8 | d[p + 1]; }

int readBit(State& s) {
  if (s.bitsLeft == 0) {
    if (s.pos >= s.entropy.size()) bad(ekTruncated, "jpeg: entropy stream truncated");
    s.current = s.entropy[s.pos++];
    s.bitsLeft = 8;
  }
  --s.bitsLeft;
  return s.current >> s.bitsLeft & 1;
}

int receive(State& s, int n) {
  int v = 0;
  for (int i = 0; i < n; ++i) v = v * 2 + readBit(s);
  return v;
}

int extend(int v, int n) { return n > 0 && v < (1 << (n - 1)) ? v - (1 << n) + 1 : v; }

int decode(State& s, const Huff& h) {
  int code = 0;
  for (int l = 1; l <= 16; ++l) {
    code = code * 2 + readBit(s);
    if (code <= h.maxCode[l]) return h.symbols[static_cast<size_t>(h.valOffset[l] + code - h.minCode[l])];
  }
  bad(ekInvalid, "jpeg: bad Huffman code");
}

void buildHuff(Huff& h, const uint8_t* counts, const uint8_t* syms) {
  h = Huff{};
  h.defined = true;
  int code = 0, k = 0;
  for (int l = 1; l <= 16; ++l) {
    h.valOffset[l] = k;
    h.minCode[l] = code;
    for (int i = 0; i < counts[l - 1]; ++i) h.symbols.push_back(syms[k++]), ++code;
    h.maxCode[l] = counts[l - 1] ? code - 1 : -1;
    code *= 2;
  }
}

size_t headers(ByteView d, State& s) {
  if (d.size() < 2) bad(ekTruncated, "jpeg: header truncated");
  if (d[0] != 0xFF || d[1] != 0xD8) bad(ekUnsupported, "jpeg: bad SOI");
  size_t p = 2;
  while (true) {
    if (p >= d.size()) bad(ekInvalid, "jpeg: no scan (SOS)");
    if (d[p] != 0xFF) bad(ekInvalid, "jpeg: expected marker");
    while (p < d.size() && d[p] == 0xFF) p++;
    if (p >= d.size()) bad(ekInvalid, "jpeg: no scan (SOS)");
    int m = d[p++];
    if (m == 0xD9) bad(ekInvalid, "jpeg: no scan (SOS)");
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;
    if (p + 2 > d.size()) bad(ekTruncated, "jpeg: marker length truncated");
    size_t len = static_cast<size_t>(u16(d, p));
    if (len < 2 || p + len > d.size()) bad(ekTruncated, "jpeg: segment truncated");
    size_t q = p + 2, end = p + len;
    if (m == 0xDB) {
      do {
        if (q + 1 > end) bad(ekTruncated, "jpeg: DQT truncated");
        int pqtq = d[q++];
        if (pqtq & 0x0C) bad(ekInvalid, "jpeg: bad quant table id");
        int n = (pqtq >> 4) == 0 ? 64 : 128;
        if (q + static_cast<size_t>(n) > end) bad(ekTruncated, "jpeg: quant values truncated");
        for (int i = 0; i < 64; ++i) {
          s.quant[pqtq & 3][i] = n == 64 ? d[q + static_cast<size_t>(i)] : u16(d, q + 2 * static_cast<size_t>(i));
        }
        q += static_cast<size_t>(n);
      } while (q < end);
    } else if (m == 0xC4) {
      do {
        if (q + 17 > end) bad(ekTruncated, "jpeg: DHT truncated");
        int tcth = d[q];
        if ((tcth & 15) > 3) bad(ekInvalid, "jpeg: bad Huffman table id");
        size_t total = 0;
        for (int i = 1; i <= 16; ++i) total += d[q + static_cast<size_t>(i)];
        if (q + 17 + total > end) bad(ekTruncated, "jpeg: Huffman symbols truncated");
        buildHuff((tcth >> 4) == 0 ? s.dc[tcth & 15] : s.ac[tcth & 15], &d[q + 1], &d[q + 17]);
        q += 17 + total;
      } while (q < end);
    } else if (m == 0xC0) {
      if (len < 8) bad(ekTruncated, "jpeg: SOF0 truncated");
      if (d[q] != 8) bad(ekUnsupported, "jpeg: non-8-bit precision");
      int h = u16(d, q + 1), w = u16(d, q + 3), n = d[q + 5];
      if (n != 1 && n != 3) bad(ekUnsupported, "jpeg: unsupported component count");
      if (q + 6 + 3 * static_cast<size_t>(n) > end) bad(ekTruncated, "jpeg: SOF0 components truncated");
      s.comps.clear();
      for (int i = 0; i < n; ++i) {
        size_t c = q + 6 + 3 * static_cast<size_t>(i);
        Comp comp{d[c], d[c + 1] >> 4, d[c + 1] & 15, d[c + 2]};
        if (comp.h < 1 || comp.h > 4 || comp.v < 1 || comp.v > 4) bad(ekInvalid, "jpeg: bad sampling factor");
        if (comp.tq > 3) bad(ekInvalid, "jpeg: bad quant table ref");
        s.comps.push_back(comp);
      }
      if (w == 0 || h == 0) bad(ekInvalid, "jpeg: bad dimensions");
      s.frame = true;
      s.width = w;
      s.height = h;
    } else if (m == 0xC2) {
      bad(ekUnsupported, "jpeg: progressive unsupported");
    } else if (m == 0xC9 || m == 0xCA) {
      bad(ekUnsupported, "jpeg: arithmetic/12-bit unsupported");
    } else if (m == 0xDD) {
      if (len < 4) bad(ekTruncated, "jpeg: DRI truncated");
      s.restartInterval = u16(d, q);
    } else if (m == 0xDA) {
      if (!s.frame) bad(ekInvalid, "jpeg: SOS before SOF0");
      if (len <= 5) bad(ekTruncated, "jpeg: SOS truncated");
      size_t n = d[q++];
      if (n != s.comps.size()) bad(ekInvalid, "jpeg: SOS component mismatch");
      for (size_t i = 0; i < n; ++i) {
        if (q + 2 > end) bad(ekTruncated, "jpeg: SOS selectors truncated");
        int id = d[q], tt = d[q + 1];
        q += 2;
        Comp* found = nullptr;
        for (Comp& c : s.comps) {
          if (c.id == id) {
            found = &c;
            break;
          }
        }
        if (found == nullptr) bad(ekInvalid, "jpeg: SOS unknown component");
        if ((tt >> 4) > 3 || (tt & 15) > 3) bad(ekInvalid, "jpeg: bad Huffman table ref");
        if (!s.dc[tt >> 4].defined || !s.ac[tt & 15].defined) {
          bad(ekInvalid, "jpeg: scan references an undefined Huffman table");
        }
        found->td = tt >> 4;
        found->ta = tt & 15;
      }
      if (s.width == 0 || s.height == 0) bad(ekInvalid, "jpeg: no frame (SOF0)");
      return end;
    }
    p = end;
  }
}

void idct(const float F[64], float out[64]) {
  const jpeg::CosineTables& t = jpeg::cosineTables();
  float tmp[8][8];
  for (int v = 0; v < 8; ++v) {
    for (int x = 0; x < 8; ++x) {
      float sum = 0.0f;
      for (int u = 0; u < 8; ++u) sum += (t.Cu[u] * F[v * 8 + u]) * t.CosT[x][u];
      tmp[v][x] = sum;
    }
  }
  for (int y = 0; y < 8; ++y) {
    for (int x = 0; x < 8; ++x) {
      float sum = 0.0f;
      for (int v = 0; v < 8; ++v) sum += (t.Cu[v] * tmp[v][x]) * t.CosT[y][v];
      out[y * 8 + x] = sum * 0.25f;
    }
  }
}

uint8_t clampSample(float v) {
  if (v < 0) return 0;
  if (v < 256) return static_cast<uint8_t>(std::trunc(v));
  return 255;
}

}  // namespace

Image referenceDecodeJpeg(ByteView d) {
  State s;
  size_t p = headers(d, s);
  if (int64_t{s.width} * s.height > (int64_t{1} << 30)) bad(ekInvalid, "jpeg: too many pixels");
  while (p < d.size()) {
    if (d[p] != 0xFF) {
      s.entropy.push_back(d[p++]);
      continue;
    }
    if (p + 1 >= d.size()) break;
    int m = d[p + 1];
    if (m == 0xFF) {  // a fill byte before a marker
      ++p;
      continue;
    }
    p += 2;
    if (m == 0x00) {
      s.entropy.push_back(0xFF);
    } else if (m >= 0xD0 && m <= 0xD7) {
      s.restarts.push_back(s.entropy.size());
    } else if (m == 0xD9) {
      break;
    } else {
      bad(ekInvalid, "jpeg: bad marker in entropy");
    }
  }
  const size_t nc = s.comps.size();
  if (nc == 1) s.comps[0].h = s.comps[0].v = 1;
  int hmax = 1, vmax = 1;
  for (const Comp& c : s.comps) hmax = std::max(hmax, c.h), vmax = std::max(vmax, c.v);
  const size_t mcusX = static_cast<size_t>((s.width + 8 * hmax - 1) / (8 * hmax));
  const size_t mcusY = static_cast<size_t>((s.height + 8 * vmax - 1) / (8 * vmax));
  std::vector<std::vector<float>> planes(nc);
  std::vector<size_t> planeWidth(nc);
  for (size_t c = 0; c < nc; ++c) planeWidth[c] = mcusX * static_cast<size_t>(s.comps[c].h) * 8;
  std::vector<int64_t> pred(nc, 0);
  size_t nextRestart = 0, mcu = 0;
  for (size_t my = 0; my < mcusY; ++my) {
    // Planes grow one MCU row at a time, so a short file never gets the
    // whole claimed picture.
    for (size_t c = 0; c < nc; ++c) {
      planes[c].resize(planeWidth[c] * (my + 1) * static_cast<size_t>(s.comps[c].v) * 8);
    }
    for (size_t mx = 0; mx < mcusX; ++mx) {
      if (s.restartInterval > 0 && mcu > 0 && mcu % static_cast<size_t>(s.restartInterval) == 0) {
        if (nextRestart < s.restarts.size()) s.pos = s.restarts[nextRestart++];
        s.bitsLeft = 0;
        for (int64_t& v : pred) v = 0;
      }
      for (size_t c = 0; c < nc; ++c) {
        const Comp& comp = s.comps[c];
        for (int v = 0; v < comp.v; ++v) {
          for (int h = 0; h < comp.h; ++h) {
            float F[64] = {};
            int cat = decode(s, s.dc[comp.td]);
            if (cat > 16) bad(ekInvalid, "jpeg: bad Huffman code");
            pred[c] += extend(receive(s, cat), cat);
            F[0] = static_cast<float>(pred[c] * s.quant[comp.tq][0]);
            for (int k = 1; k < 64;) {
              int rs = decode(s, s.ac[comp.ta]);
              int r = rs >> 4, sz = rs & 15;
              if (sz == 0) {
                if (r == 15) {
                  k += 16;
                  continue;
                }
                break;
              }
              k += r;
              if (k > 63) bad(ekInvalid, "jpeg: AC index out of range");
              F[ZigZag[static_cast<size_t>(k)]] =
                  static_cast<float>(int64_t{extend(receive(s, sz), sz)} * s.quant[comp.tq][k]);
              ++k;
            }
            float out[64];
            idct(F, out);
            size_t row0 = (my * static_cast<size_t>(comp.v) + static_cast<size_t>(v)) * 8;
            size_t col0 = (mx * static_cast<size_t>(comp.h) + static_cast<size_t>(h)) * 8;
            for (size_t y = 0; y < 8; ++y) {
              for (size_t x = 0; x < 8; ++x) planes[c][(row0 + y) * planeWidth[c] + col0 + x] = out[y * 8 + x];
            }
          }
        }
      }
      ++mcu;
    }
  }
  Image img = newImage(s.width, s.height, nc == 1 ? csGray : csRgb);
  for (size_t y = 0; y < static_cast<size_t>(s.height); ++y) {
    for (size_t x = 0; x < static_cast<size_t>(s.width); ++x) {
      float val[3];
      for (size_t c = 0; c < nc; ++c) {
        size_t px = x * static_cast<size_t>(s.comps[c].h) / static_cast<size_t>(hmax);
        size_t py = y * static_cast<size_t>(s.comps[c].v) / static_cast<size_t>(vmax);
        val[c] = planes[c][py * planeWidth[c] + px];
      }
      uint8_t* o = img.pixels.data() + (y * static_cast<size_t>(s.width) + x) * nc;
      if (nc == 1) {
        o[0] = clampSample(val[0] + 128.5f);
      } else {
        float Y = val[0], Cb = val[1], Cr = val[2];
        o[0] = clampSample(1.402f * Cr + Y + 128.5f);
        o[1] = clampSample(Y - 0.344136f * Cb - 0.714136f * Cr + 128.5f);
        o[2] = clampSample(1.772f * Cb + Y + 128.5f);
      }
    }
  }
  return img;
}

namespace {

struct BitSink {
  Bytes& out;
  int acc = 0, n = 0;
  void bit(int b) {
    acc = acc * 2 + b;
    if (++n == 8) {
      out.push_back(static_cast<uint8_t>(acc));
      if (acc == 0xFF) out.push_back(0);
      acc = n = 0;
    }
  }
  void bits(uint32_t v, int count) {
    for (int i = count - 1; i >= 0; --i) bit(static_cast<int>(v >> i & 1));
  }
};

struct Code {
  uint32_t code = 0;
  int length = 0;
};

std::vector<Code> codesOf(const uint8_t* counts, const uint8_t* syms) {
  std::vector<Code> out(256);
  uint32_t code = 0;
  int k = 0;
  for (int l = 1; l <= 16; ++l) {
    for (int i = 0; i < counts[l - 1]; ++i) out[syms[k++]] = {code++, l};
    code *= 2;
  }
  return out;
}

void segmentHeader(Bytes& out, uint8_t marker, size_t length) {
  out.insert(out.end(), {0xFF, marker, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
}

}  // namespace

Bytes referenceEncodeJpeg(const Image& img, int quality) {
  if (img.colorspace != csGray && img.colorspace != csRgb) {
    bad(ekUnsupported, "jpeg: encode needs csGray or csRgb");
  }
  if (img.width < 1 || img.width > 65535 || img.height < 1 || img.height > 65535) {
    bad(ekInvalid, "jpeg: bad dimensions");
  }
  const int nc = img.colorspace == csRgb ? 3 : 1;
  int q[2][64];
  for (int t = 0; t < 2; ++t) {
    const auto& base = t == 0 ? jpeg::QlumNat : jpeg::QchrNat;
    const int scale = quality < 2 ? 5000 : quality < 50 ? 5000 / quality : 200 - 2 * quality;
    for (int i = 0; i < 64; ++i) q[t][i] = std::clamp((base[static_cast<size_t>(i)] * scale + 50) / 100, 1, 255);
  }
  Bytes out = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  segmentHeader(out, 0xDB, nc == 3 ? 132 : 67);
  for (int t = 0; t < (nc == 3 ? 2 : 1); ++t) {
    out.push_back(static_cast<uint8_t>(t));
    for (int k = 0; k < 64; ++k) out.push_back(static_cast<uint8_t>(q[t][ZigZag[static_cast<size_t>(k)]]));
  }
  segmentHeader(out, 0xC0, 8 + 3 * static_cast<size_t>(nc));
  out.insert(out.end(), {8, static_cast<uint8_t>(img.height >> 8), static_cast<uint8_t>(img.height),
                         static_cast<uint8_t>(img.width >> 8), static_cast<uint8_t>(img.width),
                         static_cast<uint8_t>(nc)});
  for (int c = 0; c < nc; ++c) out.insert(out.end(), {static_cast<uint8_t>(c + 1), 0x11, static_cast<uint8_t>(c == 0 ? 0 : 1)});
  segmentHeader(out, 0xC4, nc == 3 ? 418 : 210);
  auto table = [&](uint8_t id, const uint8_t* counts, const uint8_t* syms, size_t n) {
    out.push_back(id);
    out.insert(out.end(), counts, counts + 16);
    out.insert(out.end(), syms, syms + n);
  };
  table(0x00, jpeg::Dc0Bits.data(), jpeg::Dc0Syms.data(), 12);
  if (nc == 3) table(0x01, jpeg::Dc1Bits.data(), jpeg::Dc1Syms.data(), 12);
  table(0x10, jpeg::Ac0Bits.data(), jpeg::Ac0Syms.data(), 162);
  if (nc == 3) table(0x11, jpeg::Ac1Bits.data(), jpeg::Ac1Syms.data(), 162);
  segmentHeader(out, 0xDA, 6 + 2 * static_cast<size_t>(nc));
  out.push_back(static_cast<uint8_t>(nc));
  for (int c = 0; c < nc; ++c) out.insert(out.end(), {static_cast<uint8_t>(c + 1), static_cast<uint8_t>(c == 0 ? 0x00 : 0x11)});
  out.insert(out.end(), {0, 63, 0});

  const std::vector<Code> dc[2] = {codesOf(jpeg::Dc0Bits.data(), jpeg::Dc0Syms.data()),
                                   codesOf(jpeg::Dc1Bits.data(), jpeg::Dc1Syms.data())};
  const std::vector<Code> ac[2] = {codesOf(jpeg::Ac0Bits.data(), jpeg::Ac0Syms.data()),
                                   codesOf(jpeg::Ac1Bits.data(), jpeg::Ac1Syms.data())};
  const jpeg::CosineTables& t = jpeg::cosineTables();
  BitSink sink{out};
  int pred[3] = {0, 0, 0};
  auto sample = [&](int64_t x, int64_t y, int c) {
    x = std::min(x, img.width - 1);
    y = std::min(y, img.height - 1);
    const uint8_t* px = img.pixels.data() + (y * img.width + x) * nc;
    if (nc == 1) return static_cast<float>(px[0]) - 128.0f;
    const float R = px[0], G = px[1], B = px[2];
    if (c == 0) return 0.299f * R + 0.587f * G + 0.114f * B - 128.0f;
    if (c == 1) return -0.168736f * R - 0.331264f * G + 0.5f * B;
    return 0.5f * R - 0.418688f * G - 0.081312f * B;
  };
  auto category = [](int v) {
    int n = 0;
    for (int a = std::abs(v); a > 0; a /= 2) ++n;
    return n;
  };
  for (int64_t by = 0; by < (img.height + 7) / 8; ++by) {
    for (int64_t bx = 0; bx < (img.width + 7) / 8; ++bx) {
      for (int c = 0; c < nc; ++c) {
        const int tab = c == 0 ? 0 : 1;
        float f[8][8], tmp[8][8];
        for (int y = 0; y < 8; ++y) {
          for (int x = 0; x < 8; ++x) f[y][x] = sample(bx * 8 + x, by * 8 + y, c);
        }
        for (int y = 0; y < 8; ++y) {
          for (int u = 0; u < 8; ++u) {
            float sum = 0.0f;
            for (int x = 0; x < 8; ++x) sum += f[y][x] * t.CosT[x][u];
            tmp[y][u] = sum;
          }
        }
        int zz[64];
        for (int v = 0; v < 8; ++v) {
          for (int u = 0; u < 8; ++u) {
            float sum = 0.0f;
            for (int y = 0; y < 8; ++y) sum += tmp[y][u] * t.CosT[y][v];
            const float F = ((0.25f * t.Cu[u]) * t.Cu[v]) * sum;
            const float a = F / static_cast<float>(q[tab][v * 8 + u]);
            const int value = static_cast<int>(a >= 0 ? std::trunc(a + 0.5f) : std::trunc(a - 0.5f));
            for (int k = 0; k < 64; ++k) {
              if (ZigZag[static_cast<size_t>(k)] == v * 8 + u) zz[k] = value;
            }
          }
        }
        const int diff = zz[0] - pred[c];
        pred[c] = zz[0];
        int s = category(diff);
        sink.bits(dc[tab][static_cast<size_t>(s)].code, dc[tab][static_cast<size_t>(s)].length);
        sink.bits(static_cast<uint32_t>(diff < 0 ? diff - 1 : diff) & ((1u << s) - 1), s);
        int run = 0;
        for (int k = 1; k < 64; ++k) {
          if (zz[k] == 0) {
            ++run;
            continue;
          }
          while (run > 15) {
            sink.bits(ac[tab][0xF0].code, ac[tab][0xF0].length);
            run -= 16;
          }
          s = category(zz[k]);
          const Code& code = ac[tab][static_cast<size_t>(run * 16 + s)];
          sink.bits(code.code, code.length);
          sink.bits(static_cast<uint32_t>(zz[k] < 0 ? zz[k] - 1 : zz[k]) & ((1u << s) - 1), s);
          run = 0;
        }
        if (run > 0) sink.bits(ac[tab][0].code, ac[tab][0].length);
      }
    }
  }
  while (sink.n != 0) sink.bit(1);
  out.insert(out.end(), {0xFF, 0xD9});
  return out;
}

}  // namespace kd::formats::test
