// Length-limited prefix code lengths for the deflate encoder's dynamic blocks.
#include <algorithm>
#include <vector>

#include "compress/huffman.h"

namespace kd::compress {

namespace {

// In place: `a` holds n >= 2 frequencies in ascending order and receives
// their Huffman code lengths (non-increasing).
void minimumRedundancy(uint32_t* a, size_t n) {
  a[0] += a[1];
  size_t root = 0;
  size_t leaf = 2;
  for (size_t next = 1; next < n - 1; ++next) {
    if (leaf >= n || a[root] < a[leaf]) {
      a[next] = a[root];
      a[root++] = static_cast<uint32_t>(next);
    } else {
      a[next] = a[leaf++];
    }
    if (leaf >= n || (root < next && a[root] < a[leaf])) {
      a[next] += a[root];
      a[root++] = static_cast<uint32_t>(next);
    } else {
      a[next] += a[leaf++];
    }
  }
  a[n - 2] = 0;
  for (size_t next = n - 2; next-- > 0;) a[next] = a[a[next]] + 1;
  int64_t avail = 1;
  int64_t used = 0;
  uint32_t depth = 0;
  int64_t r = static_cast<int64_t>(n) - 2;
  int64_t next = static_cast<int64_t>(n) - 1;
  while (avail > 0) {
    while (r >= 0 && a[r] == depth) {
      ++used;
      --r;
    }
    while (avail > used) {
      a[next--] = depth;
      --avail;
    }
    avail = 2 * used;
    ++depth;
    used = 0;
  }
}

}  // namespace

void buildLimitedLengths(const uint32_t* freq, size_t n, unsigned maxLength, uint8_t* lengths) {
  std::vector<uint64_t> order;  // frequency << 16 | symbol, ascending
  order.reserve(n);
  for (size_t s = 0; s < n; ++s) {
    lengths[s] = 0;
    if (freq[s] != 0) order.push_back(uint64_t{freq[s]} << 16 | s);
  }
  if (order.empty()) return;
  if (order.size() == 1) {
    lengths[order[0] & 0xFFFF] = 1;
    return;
  }
  std::sort(order.begin(), order.end());
  const size_t used = order.size();
  std::vector<uint32_t> a(used);
  for (size_t i = 0; i < used; ++i) a[i] = static_cast<uint32_t>(order[i] >> 16);
  minimumRedundancy(a.data(), used);

  // Words per length; those deeper than the limit go to the limit, then
  // words move down from shorter lengths until the Kraft sum is exact.
  std::vector<uint32_t> count(std::max<size_t>(maxLength + 1, 64), 0);
  for (uint32_t len : a) ++count[std::min<uint32_t>(len, 63)];
  for (size_t len = maxLength + 1; len < count.size(); ++len) {
    count[maxLength] += count[len];
    count[len] = 0;
  }
  uint64_t kraft = 0;
  for (unsigned len = 1; len <= maxLength; ++len) kraft += uint64_t{count[len]} << (maxLength - len);
  const uint64_t full = uint64_t{1} << maxLength;
  while (kraft > full) {
    --count[maxLength];
    for (unsigned len = maxLength - 1; len > 0; --len) {
      if (count[len] != 0) {
        --count[len];
        count[len + 1] += 2;
        break;
      }
    }
    --kraft;
  }
  // The most frequent symbols (the end of `order`) take the shortest words.
  size_t i = used;
  for (unsigned len = 1; len <= maxLength; ++len) {
    for (uint32_t k = 0; k < count[len]; ++k) lengths[order[--i] & 0xFFFF] = static_cast<uint8_t>(len);
  }
}

}  // namespace kd::compress
