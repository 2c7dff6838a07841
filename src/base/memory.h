// Memory hints for large buffers.
#pragma once

#include <cstddef>

namespace kd::base {

// Offers the whole 2 MiB pages inside [data, data + len) to the kernel as
// transparent huge-page candidates, when len is at least 8 MiB. Call it
// before the buffer is first touched: faulting in a multi-megabyte picture
// 4 KiB at a time can cost more than the work that fills it. A hint only:
// where huge pages are unavailable nothing changes but speed.
void adviseHugePages(const void* data, size_t len);

}  // namespace kd::base
