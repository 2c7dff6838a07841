// Ok-or-error values of the colour side. The error type is supplied by the
// user of the template (the colour code uses ColorError).
#pragma once

#include <string>
#include <utility>
#include <variant>

#include "base/error.h"

namespace kd::base {

enum class ResultKind : uint8_t { rkOk, rkErr };
using enum ResultKind;

template <class T, class E>
class [[nodiscard]] BasicResult {
 public:
  BasicResult(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT
  BasicResult(E error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  ResultKind kind() const { return v_.index() == 0 ? rkOk : rkErr; }
  bool ok() const { return v_.index() == 0; }

  // Reading the value of an error result is a programming error.
  const T& value() const& {
    if (!ok()) failValue();
    return std::get<0>(v_);
  }
  T& value() & {
    if (!ok()) failValue();
    return std::get<0>(v_);
  }
  T&& value() && {
    if (!ok()) failValue();
    return std::get<0>(std::move(v_));
  }
  const E& error() const { return std::get<1>(v_); }

 private:
  [[noreturn]] static void failValue() {
    fail(ekInvalid,
         std::string("field 'value' is not accessible for type 'Result' using 'kind = rkErr'"));
  }
  std::variant<T, E> v_;
};

}  // namespace kd::base
