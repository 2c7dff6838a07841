#include "reference_inflate.h"

namespace kd::test {

namespace {

struct Failure {
  base::ErrorKind kind;
  const char* message;
};

const int kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                             31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const int kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                              2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const int kDistBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,    17,  25,
                           33,   49,   65,   97,   129,  193,   257,   385,   513, 769,
                           1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const int kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
const int kOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

struct Huffman {
  int count[16] = {};
  std::vector<int> symbols;
};

Huffman build(const int* lengths, int n) {
  Huffman h;
  for (int s = 0; s < n; ++s) h.count[lengths[s]]++;
  h.count[0] = 0;
  for (int len = 1; len <= 15; ++len) {
    for (int s = 0; s < n; ++s) {
      if (lengths[s] == len) h.symbols.push_back(s);
    }
  }
  return h;
}

class Decoder {
 public:
  Decoder(const std::vector<uint8_t>& data, size_t start, size_t cap)
      : data_(data), pos_(static_cast<int64_t>(start)), cap_(cap) {}

  void run() {
    int last;
    do {
      last = bits(1);
      int type = bits(2);
      if (type == 0) {
        stored();
      } else if (type == 1) {
        fixed();
      } else if (type == 2) {
        dynamic();
      } else {
        throw Failure{base::ekInvalid, "deflate: reserved BTYPE 3"};
      }
    } while (!last);
  }

  std::vector<uint8_t> out;
  size_t consumed() const { return static_cast<size_t>(pos_); }

 private:
  int bits(int n) {
    while (count_ < n) {
      if (pos_ >= static_cast<int64_t>(data_.size())) {
        throw Failure{base::ekTruncated, "deflate: stream truncated"};
      }
      buf_ |= static_cast<uint32_t>(data_[static_cast<size_t>(pos_++)]) << count_;
      count_ += 8;
    }
    int v = static_cast<int>(buf_ & ((1u << n) - 1));
    buf_ >>= n;
    count_ -= n;
    return v;
  }

  int decodeSym(const Huffman& h) {
    int code = 0, first = 0, index = 0;
    for (int len = 1; len <= 15; ++len) {
      code |= bits(1);
      int n = h.count[len];
      if (code - n < first) return h.symbols[static_cast<size_t>(index + (code - first))];
      index += n;
      first += n;
      first <<= 1;
      code <<= 1;
    }
    throw Failure{base::ekInvalid, "deflate: invalid Huffman code"};
  }

  void put(uint8_t b) {
    if (out.size() + 1 > cap_) throw Failure{base::ekInvalid, "deflate: output exceeds the size cap"};
    out.push_back(b);
  }

  void stored() {
    buf_ = 0;
    count_ = 0;
    if (static_cast<int64_t>(data_.size()) - pos_ < 4) {
      throw Failure{base::ekTruncated, "deflate: stored header truncated"};
    }
    size_t p = static_cast<size_t>(pos_);
    int len = data_[p] | data_[p + 1] << 8;
    int nlen = data_[p + 2] | data_[p + 3] << 8;
    if (nlen != (len ^ 0xFFFF)) throw Failure{base::ekInvalid, "deflate: stored LEN/NLEN mismatch"};
    pos_ += 4;
    if (static_cast<int64_t>(data_.size()) - pos_ < len) {
      throw Failure{base::ekTruncated, "deflate: stored block truncated"};
    }
    if (out.size() + static_cast<size_t>(len) > cap_) {
      throw Failure{base::ekInvalid, "deflate: output exceeds the size cap"};
    }
    for (int i = 0; i < len; ++i) out.push_back(data_[static_cast<size_t>(pos_++)]);
  }

  void fixed() {
    int lengths[288];
    for (int s = 0; s < 288; ++s) lengths[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
    Huffman lit = build(lengths, 288);
    int dl[30];
    for (int& d : dl) d = 5;
    Huffman dist = build(dl, 30);
    codes(lit, dist);
  }

  void dynamic() {
    int nlen = bits(5) + 257;
    int ndist = bits(5) + 1;
    int ncode = bits(4) + 4;
    int cl[19] = {};
    for (int i = 0; i < ncode; ++i) cl[kOrder[i]] = bits(3);
    Huffman clh = build(cl, 19);
    int lengths[320] = {};
    int index = 0;
    while (index < nlen + ndist) {
      int sym = decodeSym(clh);
      if (sym < 16) {
        lengths[index++] = sym;
        continue;
      }
      int len = 0, repeat;
      if (sym == 16) {
        if (index == 0) throw Failure{base::ekInvalid, "deflate: code 16 at start"};
        len = lengths[index - 1];
        repeat = 3 + bits(2);
        if (index + repeat > nlen + ndist) throw Failure{base::ekInvalid, "deflate: code 16 overruns"};
      } else if (sym == 17) {
        repeat = 3 + bits(3);
        if (index + repeat > nlen + ndist) throw Failure{base::ekInvalid, "deflate: code 17 overruns"};
      } else {
        repeat = 11 + bits(7);
        if (index + repeat > nlen + ndist) throw Failure{base::ekInvalid, "deflate: code 18 overruns"};
      }
      while (repeat--) lengths[index++] = len;
    }
    Huffman lit = build(lengths, nlen);
    Huffman dist = build(lengths + nlen, ndist);
    codes(lit, dist);
  }

  void codes(const Huffman& lit, const Huffman& dist) {
    for (;;) {
      int sym = decodeSym(lit);
      if (sym < 256) {
        put(static_cast<uint8_t>(sym));
      } else if (sym == 256) {
        return;
      } else {
        if (sym >= 286) throw Failure{base::ekInvalid, "deflate: bad length code"};
        sym -= 257;
        size_t len = static_cast<size_t>(kLengthBase[sym] + bits(kLengthExtra[sym]));
        int ds = decodeSym(dist);
        if (ds >= 30) throw Failure{base::ekInvalid, "deflate: bad distance code"};
        size_t d = static_cast<size_t>(kDistBase[ds] + bits(kDistExtra[ds]));
        if (d > out.size()) throw Failure{base::ekInvalid, "deflate: distance too far back"};
        if (out.size() + len > cap_) throw Failure{base::ekInvalid, "deflate: output exceeds the size cap"};
        for (size_t i = 0; i < len; ++i) out.push_back(out[out.size() - d]);
      }
    }
  }

  const std::vector<uint8_t>& data_;
  int64_t pos_;
  size_t cap_;
  uint32_t buf_ = 0;
  int count_ = 0;
};

}  // namespace

ReferenceResult referenceInflate(const std::vector<uint8_t>& data, size_t start, size_t cap) {
  ReferenceResult r;
  Decoder d(data, start, cap);
  try {
    d.run();
    r.ok = true;
    r.output = std::move(d.out);
    r.consumed = d.consumed();
  } catch (const Failure& f) {
    r.message = f.message;
    r.kind = f.kind;
  }
  return r;
}

}  // namespace kd::test
