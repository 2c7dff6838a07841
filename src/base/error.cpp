#include "base/error.h"

namespace kd::base {

void fail(ErrorKind kind, const char* message) { throw KeldraException(kind, message); }

void fail(ErrorKind kind, const std::string& message) { throw KeldraException(kind, message); }

}  // namespace kd::base
