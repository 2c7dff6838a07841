// A deliberately plain DEFLATE decoder: one bit at a time, bytes fetched only
// when a bit is needed, Huffman codes walked length by length. The library's
// table-driven decoder must agree with it on every input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.h"

namespace kd::test {

struct ReferenceResult {
  bool ok = false;
  std::vector<uint8_t> output;
  size_t consumed = 0;
  std::string message;
  base::ErrorKind kind = base::ekNone;
};

ReferenceResult referenceInflate(const std::vector<uint8_t>& data, size_t start, size_t cap);

}  // namespace kd::test
