// Octree reduction: an 8-level tree over the components quantized to 8 bits,
// whose deepest inner nodes with the fewest pixels are folded into leaves
// until at most n leaves remain.
#include <algorithm>
#include <cmath>
#include <vector>

#include "prismel/image/common.h"

namespace kd::prismel {

namespace {

constexpr int kDepth = 8;

struct Node {
  std::array<int32_t, 8> child{-1, -1, -1, -1, -1, -1, -1, -1};
  int64_t count = 0;
  std::array<double, 3> sum{0.0, 0.0, 0.0};
  bool leaf = false;
};

uint32_t quantize(double v, double lo, double hi) {
  const double t = (v - lo) / (hi - lo);
  if (t <= 0) return 0;
  if (t >= 1) return 255;
  const double q = std::floor(t * 255.0);
  return static_cast<uint32_t>(std::clamp(q, 0.0, 255.0));
}

class Octree {
 public:
  explicit Octree(const std::vector<Color>& px) {
    std::array<double, 3> lo{}, hi{};
    for (int c = 0; c < 3; ++c) lo[c] = hi[c] = px.front().c[c];
    for (const Color& p : px) {
      for (int c = 0; c < 3; ++c) {
        lo[c] = std::min<double>(lo[c], p.c[c]);
        hi[c] = std::max<double>(hi[c], p.c[c]);
      }
    }
    for (int c = 0; c < 3; ++c) {
      if (lo[c] >= hi[c]) hi[c] = lo[c] + 1.0;
    }
    nodes_.emplace_back();
    for (const Color& p : px) {
      const uint32_t q0 = quantize(p.c[0], lo[0], hi[0]);
      const uint32_t q1 = quantize(p.c[1], lo[1], hi[1]);
      const uint32_t q2 = quantize(p.c[2], lo[2], hi[2]);
      int32_t at = 0;
      for (int depth = 0; depth < kDepth; ++depth) {
        const int bit = kDepth - 1 - depth;
        const int slot = static_cast<int>(((q0 >> bit) & 1) * 4 + ((q1 >> bit) & 1) * 2 +
                                          ((q2 >> bit) & 1));
        int32_t next = nodes_[at].child[slot];
        if (next < 0) {
          next = static_cast<int32_t>(nodes_.size());
          nodes_[at].child[slot] = next;
          nodes_.emplace_back();
        }
        at = next;
      }
      Node& leaf = nodes_[at];
      if (!leaf.leaf) {
        leaf.leaf = true;
        ++leaves_;
      }
      leaf.count += 1;
      for (int c = 0; c < 3; ++c) leaf.sum[c] += p.c[c];
    }
  }

  void reduce(int64_t n) {
    if (leaves_ <= n) return;
    std::array<std::vector<int32_t>, kDepth> byDepth;
    subtree_.assign(nodes_.size(), 0);
    collect(0, 0, byDepth);
    for (int depth = kDepth - 1; depth >= 0; --depth) {
      std::vector<int32_t>& list = byDepth[depth];
      std::stable_sort(list.begin(), list.end(),
                       [&](int32_t a, int32_t b) { return subtree_[a] < subtree_[b]; });
      for (int32_t node : list) {
        if (leaves_ <= n) return;
        fold(node);
      }
    }
  }

  // Leaves with pixels, depth first, children in slot order.
  template <class F>
  void forEachLeaf(F&& visit) const {
    std::vector<int32_t> stack{0};
    while (!stack.empty()) {
      const Node& node = nodes_[stack.back()];
      stack.pop_back();
      if (node.leaf) {
        if (node.count >= 1) visit(node);
        continue;
      }
      for (int slot = 7; slot >= 0; --slot) {
        if (node.child[slot] >= 0) stack.push_back(node.child[slot]);
      }
    }
  }

 private:
  // Inner nodes per depth in depth-first order; returns the subtree's pixels.
  int64_t collect(int32_t at, int depth, std::array<std::vector<int32_t>, kDepth>& byDepth) {
    if (nodes_[at].leaf) return subtree_[at] = nodes_[at].count;
    byDepth[depth].push_back(at);
    int64_t total = 0;
    for (int slot = 0; slot < 8; ++slot) {
      const int32_t c = nodes_[at].child[slot];
      if (c >= 0) total += collect(c, depth + 1, byDepth);
    }
    return subtree_[at] = total;
  }

  // Every child is a leaf by now: deeper inner nodes were folded first.
  void fold(int32_t at) {
    Node& node = nodes_[at];
    int64_t folded = 0;
    for (int slot = 0; slot < 8; ++slot) {
      const int32_t c = node.child[slot];
      if (c < 0) continue;
      node.count += nodes_[c].count;
      for (int k = 0; k < 3; ++k) node.sum[k] += nodes_[c].sum[k];
      node.child[slot] = -1;
      ++folded;
    }
    node.leaf = true;
    leaves_ = leaves_ - folded + 1;
  }

  std::vector<Node> nodes_;
  std::vector<int64_t> subtree_;
  int64_t leaves_ = 0;
};

}  // namespace

Result<Palette> octree(const ColorImage& img, int64_t n, const QuantizeOpts& opts) {
  if (auto bad = checkQuantizeInput(img, n, "octree")) return *bad;
  Octree tree(img.pixels);
  tree.reduce(n);
  std::vector<Color> colors;
  std::optional<ColorError> failure;
  tree.forEachLeaf([&](const Node& leaf) {
    if (failure) return;
    Result<Color> c = centroidColor(img, leaf.sum, static_cast<double>(leaf.count));
    if (!c.ok()) {
      failure = c.error();
      return;
    }
    colors.push_back(c.value());
  });
  if (failure) return *failure;
  if (colors.empty()) return colorError(ceInvalidArgument, "octree: produced no colors", "octree");
  return palette(kQuantizedPaletteTag, std::move(colors), 0, opts.seed);
}

}  // namespace kd::prismel
