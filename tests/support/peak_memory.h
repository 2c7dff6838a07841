// Peak resident memory of this process over a stretch of a test, from the
// kernel's high-water mark (VmHWM), which the constructor resets. Under the
// sanitizers resident memory also holds shadow memory and freed blocks kept
// in quarantine, so bounds are asserted only in plain builds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kd::test {

class PeakMemory {
 public:
  PeakMemory() {
    if (std::FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
      reset_ = std::fputs("5", f) >= 0;
      reset_ = std::fclose(f) == 0 && reset_;
    }
    start_ = field("VmRSS:");
  }

  // False when the high-water mark could not be reset or the build carries a
  // sanitizer: growth() then means nothing.
  bool measurable() const { return reset_ && start_ > 0 && !kSanitized; }

  // Bytes the peak rose above the resident size at construction.
  int64_t growth() const { return field("VmHWM:") - start_; }

  // True when the growth is at most `bytes`, or cannot be measured.
  bool within(int64_t bytes) const { return !measurable() || growth() <= bytes; }

  // Sanitizer builds reserve shadow memory and hold freed blocks back:
  // their resident sizes say nothing about the code's own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  static constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  static constexpr bool kSanitized = true;
#else
  static constexpr bool kSanitized = false;
#endif
#else
  static constexpr bool kSanitized = false;
#endif

 private:
  // A "Name:   123 kB" line of /proc/self/status, in bytes (0 if absent).
  static int64_t field(const char* name) {
    std::FILE* f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return 0;
    char line[256];
    int64_t kb = 0;
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::strncmp(line, name, std::strlen(name)) == 0) {
        kb = std::strtoll(line + std::strlen(name), nullptr, 10);
      }
    }
    std::fclose(f);
    return kb * 1024;
  }

  bool reset_ = false;
  int64_t start_ = 0;
};

// Peak resident memory, in KiB, of a child process that runs `f` and exits
// (-1 if the child could not be run). Measuring in a child keeps what the
// test process already holds out of the figure; compare against a child
// that runs nothing.
template <class F>
long childPeakKiB(F&& f) {
  const pid_t pid = fork();
  if (pid == 0) {
    try {
      f();
    } catch (...) {
    }
    _exit(0);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return -1;
  return usage.ru_maxrss;
}

}  // namespace kd::test
