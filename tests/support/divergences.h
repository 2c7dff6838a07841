// The known divergences of a differential test: inputs on which this
// library and the peer knowingly disagree, listed with the failure this
// library gives and the reason. An input that diverges without a row, or
// has a row and no longer diverges (or fails differently), fails the test,
// so the list stays exact.
#pragma once

#include <gtest/gtest.h>

#include <span>
#include <string>

namespace kd::test {

struct Divergence {
  const char* input;    // a test data path, or one with a tool's options appended
  const char* failure;  // what this library gives
  const char* reason;
};

inline const Divergence* findDivergence(std::span<const Divergence> table, const std::string& input) {
  for (const Divergence& d : table) {
    if (input == d.input) return &d;
  }
  return nullptr;
}

}  // namespace kd::test
