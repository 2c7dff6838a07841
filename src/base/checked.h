// Overflow-checked size arithmetic. Every size derived from untrusted input
// goes through these before it reaches an allocation or an index.
#pragma once

#include <cstdint>
#include <limits>

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

// Saturating forms: the largest value of T instead of wrapping, for bounds
// that only need to be "at least this large".
template <class T>
[[nodiscard]] constexpr T saturatingMul(T a, T b) {
  T out;
  return checkedMul(a, b, out) ? out : std::numeric_limits<T>::max();
}
template <class T>
[[nodiscard]] constexpr T saturatingAdd(T a, T b) {
  T out;
  return checkedAdd(a, b, out) ? out : std::numeric_limits<T>::max();
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
