// Overflow-checked size arithmetic. Every size derived from untrusted input
// goes through these before it reaches an allocation or an index.
#pragma once

#include <cstdint>

#include "base/error.h"

namespace kd::base {

// Returns false instead of wrapping.
template <class T>
[[nodiscard]] constexpr bool checkedMul(T a, T b, T& out) {
  return !__builtin_mul_overflow(a, b, &out);
}
template <class T>
[[nodiscard]] constexpr bool checkedAdd(T a, T b, T& out) {
  return !__builtin_add_overflow(a, b, &out);
}

// Throwing forms: fail with `kind` and `message` on overflow.
template <class T>
T mulOrFail(T a, T b, const char* message, ErrorKind kind = ekInvalid) {
  T out;
  if (!checkedMul(a, b, out)) fail(kind, message);
  return out;
}
template <class T>
T addOrFail(T a, T b, const char* message, ErrorKind kind = ekInvalid) {
  T out;
  if (!checkedAdd(a, b, out)) fail(kind, message);
  return out;
}

}  // namespace kd::base
