// The table-driven inflater against the one-bit-at-a-time reference: same
// bytes and consumed count, or the same message and kind, on thousands of
// valid, mutated, truncated and random streams. The zlib stream split into
// pieces and decoded through a window, and the decoder into a reused
// buffer, against the whole-buffer zlib decoder.
#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "compress/deflate.h"
#include "compress/inflate.h"
#include "compress/zlib.h"
#include "reference_inflate.h"
#include "support/outcome.h"

namespace kd::compress {
namespace {

using Rng = std::mt19937;

// Raw DEFLATE made by zlib with the given level and strategy.
Bytes zlibRaw(const Bytes& input, int level, int strategy) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
  Bytes out(deflateBound(&z, input.size()) + 16);
  z.next_in = const_cast<Bytef*>(input.data());
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Inputs that make zlib use every block type and many match shapes.
Bytes sampleInput(Rng& rng) {
  const size_t n = rng() % 3000;
  Bytes b(n);
  switch (rng() % 4) {
    case 0:  // random bytes: stored or literal-heavy blocks
      for (auto& x : b) x = static_cast<uint8_t>(rng());
      break;
    case 1: {  // small alphabet: short codes, long matches
      const unsigned alphabet = 1 + rng() % 4;
      for (auto& x : b) x = static_cast<uint8_t>('a' + rng() % alphabet);
      break;
    }
    case 2: {  // words: typical text
      static const char* words[] = {"the ", "quick ", "brown ", "fox ", "jumps ", "over ", "lazy ",
                                    "dog ", "\n", "keldra ", "inflate "};
      b.clear();
      while (b.size() < n) {
        const char* w = words[rng() % 11];
        b.insert(b.end(), w, w + std::char_traits<char>::length(w));
      }
      break;
    }
    default: {  // runs: distance-1 and short-period copies
      size_t i = 0;
      while (i < n) {
        uint8_t v = static_cast<uint8_t>(rng());
        size_t run = 1 + rng() % 300;
        for (size_t k = 0; k < run && i < n; ++k) b[i++] = v;
      }
    }
  }
  return b;
}

struct Counts {
  int ok = 0;
  int failed = 0;
};

void compareOne(const Bytes& stream, size_t start, size_t cap, Counts& counts,
                const std::string& what) {
  test::ReferenceResult ref = test::referenceInflate(stream, start, cap);
  bool ok = false;
  std::string message;
  base::ErrorKind kind = base::ekNone;
  InflateResult fast;
  try {
    fast = inflateWithConsumed(stream, start, cap);
    ok = true;
  } catch (const base::KeldraException& e) {
    message = e.what();
    kind = e.kind();
  }
  ASSERT_EQ(ok, ref.ok) << what << ": fast " << (ok ? "ok" : message) << ", reference "
                        << (ref.ok ? "ok" : ref.message);
  // Sizing the buffer to the whole cap up front changes nothing else.
  std::string sizedMessage = "ok";
  try {
    InflateResult sized = inflateWithConsumed(stream, start, cap, true);
    ASSERT_TRUE(ok) << what;
    ASSERT_EQ(sized.output, fast.output) << what;
    ASSERT_EQ(sized.consumed, fast.consumed) << what;
  } catch (const base::KeldraException& e) {
    sizedMessage = e.what();
  }
  ASSERT_EQ(sizedMessage, ok ? "ok" : message) << what;
  if (ok) {
    ++counts.ok;
    ASSERT_EQ(fast.output, ref.output) << what;
    ASSERT_EQ(fast.consumed, ref.consumed) << what;
  } else {
    ++counts.failed;
    ASSERT_EQ(message, ref.message) << what;
    ASSERT_EQ(kind, ref.kind) << what;
  }
}

TEST(InflateDifferential, ZlibStreamsIntactTruncatedAndMutated) {
  Rng rng(20261207);
  const int levels[] = {0, 1, 6, 9};
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FIXED, Z_HUFFMAN_ONLY, Z_RLE, Z_FILTERED};
  Counts counts;
  for (int round = 0; round < 300; ++round) {
    Bytes input = sampleInput(rng);
    Bytes stream = zlibRaw(input, levels[rng() % 4], strategies[rng() % 5]);
    std::string what = "round " + std::to_string(round);
    compareOne(stream, 0, input.size() + 10, counts, what + " intact");
    if (HasFatalFailure()) return;
    compareOne(stream, 0, input.size(), counts, what + " exact cap");
    compareOne(stream, 0, input.size() / 2, counts, what + " half cap");
    for (int t = 0; t < 4; ++t) {
      Bytes cut(stream.begin(), stream.begin() + static_cast<long>(rng() % (stream.size() + 1)));
      compareOne(cut, 0, 1 << 16, counts, what + " truncated");
    }
    for (int m = 0; m < 8; ++m) {
      Bytes bent = stream;
      const int edits = 1 + static_cast<int>(rng() % 3);
      for (int e = 0; e < edits && !bent.empty(); ++e) {
        size_t at = rng() % bent.size();
        if (rng() % 2) {
          bent[at] ^= static_cast<uint8_t>(1u << (rng() % 8));
        } else {
          bent[at] = static_cast<uint8_t>(rng());
        }
      }
      compareOne(bent, 0, 1 << 16, counts, what + " mutated");
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(counts.ok, 600);
  EXPECT_GT(counts.failed, 1500);
}

TEST(InflateDifferential, RandomBytesAndRandomDynamicHeaders) {
  Rng rng(7);
  Counts counts;
  for (int round = 0; round < 4000; ++round) {
    Bytes stream(1 + rng() % 200);
    for (auto& b : stream) b = static_cast<uint8_t>(rng());
    // Most rounds force BTYPE 2 so the header reader and odd codes
    // (over-subscribed, incomplete, empty) get exercised.
    if (round % 4 != 0) stream[0] = static_cast<uint8_t>((stream[0] & ~7) | 0x04 | (rng() & 1));
    size_t start = round % 7 == 0 ? rng() % 3 : 0;
    compareOne(stream, start, 1 + rng() % 4096, counts, "random " + std::to_string(round));
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(counts.failed, 3000);
}

TEST(InflateDifferential, EveryPrefixOfAMultiBlockStream) {
  Rng rng(99);
  Bytes input;
  for (int part = 0; part < 3; ++part) {
    Bytes more = sampleInput(rng);
    input.insert(input.end(), more.begin(), more.end());
  }
  // Small memLevel forces several blocks.
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 1, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes stream(deflateBound(&z, input.size()) + 64);
  z.next_in = input.data();
  z.avail_in = static_cast<uInt>(input.size());
  z.next_out = stream.data();
  z.avail_out = static_cast<uInt>(stream.size());
  ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  stream.resize(z.total_out);
  deflateEnd(&z);
  Counts counts;
  for (size_t n = 0; n <= stream.size(); ++n) {
    Bytes prefix(stream.begin(), stream.begin() + static_cast<long>(n));
    compareOne(prefix, 0, input.size(), counts, "prefix " + std::to_string(n));
    if (HasFatalFailure()) return;
  }
  EXPECT_EQ(counts.ok, 1);
}

// ---- Pieces, windows and reused buffers -------------------------------------

using Outcome = test::Outcome<Bytes>;
using test::outcomeOf;

// Keeps what it takes; takes a random share each time, leaving at most
// maxHold bytes. The bytes left at the last offer are kept apart.
class CollectSink : public InflateSink {
 public:
  CollectSink(Rng& rng, size_t maxHold) : rng_(rng), maxHold_(maxHold) {}
  size_t take(const uint8_t* data, size_t n) override {
    const size_t least = n > maxHold_ ? n - maxHold_ : 0;
    const size_t t = least + rng_() % (n - least + 1);
    taken.insert(taken.end(), data, data + t);
    left.assign(data + t, data + n);
    return t;
  }
  Bytes taken;
  Bytes left;

 private:
  Rng& rng_;
  size_t maxHold_;
};

void compareZlibForms(const Bytes& stream, size_t cap, Rng& rng, Bytes& reused,
                      const std::string& what, Counts& counts) {
  const Outcome whole = outcomeOf([&] { return zlibInflate(stream, cap); });
  const Outcome into = outcomeOf([&] {
    const size_t n = zlibInflateInto(stream, cap, reused);
    return Bytes(reused.begin(), reused.begin() + static_cast<long>(n));
  });
  // A fixed output of exactly the cap, with guard bytes after it that must
  // stay as they were.
  const Outcome fixed = outcomeOf([&] {
    Bytes buffer(cap + 64, 0xA5);
    const size_t n = zlibInflateTo(stream, buffer.data(), cap);
    EXPECT_EQ(Bytes(buffer.begin() + static_cast<long>(cap), buffer.end()), Bytes(64, 0xA5)) << what;
    return Bytes(buffer.begin(), buffer.begin() + static_cast<long>(n));
  });
  // Random cuts, empty pieces included.
  std::vector<ByteView> pieces;
  size_t at = 0;
  while (at < stream.size()) {
    const size_t n = rng() % 3 == 0 ? 0 : 1 + rng() % (rng() % 2 ? 8 : 20000);
    pieces.push_back(ByteView(stream).subspan(at, std::min(n, stream.size() - at)));
    at += pieces.back().size();
  }
  const size_t maxHold = rng() % 3 == 0 ? 0 : rng() % 70000;
  CollectSink sink(rng, maxHold);
  const Outcome split = outcomeOf([&] {
    const uint64_t total = zlibInflatePieces(pieces, cap, maxHold, sink);
    Bytes out = sink.taken;
    out.insert(out.end(), sink.left.begin(), sink.left.end());
    EXPECT_EQ(total, out.size()) << what;
    return out;
  });
  for (const Outcome* o : {&into, &fixed, &split}) {
    ASSERT_EQ(o->ok, whole.ok) << what << ": " << (o->ok ? "ok" : o->message) << " vs "
                               << (whole.ok ? "ok" : whole.message);
    ASSERT_EQ(o->message, whole.message) << what;
    ASSERT_EQ(o->kind, whole.kind) << what;
    ASSERT_EQ(o->value, whole.value) << what;
  }
  ++(whole.ok ? counts.ok : counts.failed);
}

Bytes zlibWrapped(const Bytes& input, int level) {
  uLongf len = compressBound(input.size());
  Bytes out(len);
  EXPECT_EQ(compress2(out.data(), &len, input.data(), input.size(), level), Z_OK);
  out.resize(len);
  return out;
}

// Long inputs whose matches reach far back, so the window slides many
// times while matches still use the history.
Bytes longInput(Rng& rng) {
  Bytes block = sampleInput(rng);
  while (block.size() < 30000) {
    Bytes more = sampleInput(rng);
    block.insert(block.end(), more.begin(), more.end());
  }
  Bytes b;
  const size_t n = 100000 + rng() % 300000;
  while (b.size() < n) {
    b.insert(b.end(), block.begin(), block.end());
    for (int k = 0; k < 20; ++k) block[rng() % block.size()] = static_cast<uint8_t>(rng());
  }
  return b;
}

TEST(InflateForms, PiecesWindowReusedAndFixedBuffersAgreeWithTheWholeDecoder) {
  Rng rng(1207);
  Bytes reused;
  Counts counts;
  const int levels[] = {0, 1, 6, 9};
  for (int round = 0; round < 60; ++round) {
    const Bytes input = round % 6 == 0 ? longInput(rng) : sampleInput(rng);
    const Bytes stream = zlibWrapped(input, levels[rng() % 4]);
    const std::string what = "round " + std::to_string(round);
    compareZlibForms(stream, input.size(), rng, reused, what + " intact", counts);
    if (HasFatalFailure()) return;
    compareZlibForms(stream, input.size() - std::min<size_t>(input.size(), 1 + rng() % 40), rng,
                     reused, what + " short cap", counts);
    Bytes cut(stream.begin(), stream.begin() + static_cast<long>(rng() % (stream.size() + 1)));
    compareZlibForms(cut, input.size(), rng, reused, what + " truncated", counts);
    for (int m = 0; m < 4; ++m) {
      Bytes bent = stream;
      bent[rng() % bent.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      compareZlibForms(bent, input.size() + 100, rng, reused, what + " mutated", counts);
      if (HasFatalFailure()) return;
    }
  }
  EXPECT_GT(counts.ok, 60);
  EXPECT_GT(counts.failed, 150);
}

}  // namespace
}  // namespace kd::compress
