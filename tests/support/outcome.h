// What a call that reports failure by throwing KeldraException gave: its
// value, or the failure's message and kind. Tests compare outcomes of two
// paths (fast and careful, whole and split) or check one failure exactly.
#pragma once

#include <string>
#include <type_traits>

#include "base/error.h"

namespace kd::test {

template <class T>
struct Outcome {
  bool ok = false;
  T value{};
  std::string message;
  base::ErrorKind kind = base::ekNone;
};

template <class F>
auto outcomeOf(F&& call) -> Outcome<std::decay_t<decltype(call())>> {
  Outcome<std::decay_t<decltype(call())>> o;
  try {
    o.value = call();
    o.ok = true;
  } catch (const base::KeldraException& e) {
    o.message = e.what();
    o.kind = e.kind();
  }
  return o;
}

}  // namespace kd::test
