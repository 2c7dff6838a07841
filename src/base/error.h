// Typed errors of the image, codec and compression code.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kd::base {

enum class ErrorKind : uint8_t { ekNone, ekUnsupported, ekTruncated, ekInvalid, ekTooLarge };
using enum ErrorKind;

// Carries a fixed English message that begins with the lower-case name of the
// format or operation and a colon ("png: bad signature").
class KeldraException : public std::runtime_error {
 public:
  KeldraException(ErrorKind kind, const std::string& message)
      : std::runtime_error(message), kind_(kind) {}
  ErrorKind kind() const noexcept { return kind_; }

 private:
  ErrorKind kind_;
};

[[noreturn]] void fail(ErrorKind kind, const char* message);
[[noreturn]] void fail(ErrorKind kind, const std::string& message);

}  // namespace kd::base
