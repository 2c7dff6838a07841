#include "c_api/registry.h"

namespace kd::c_api {

// The sets live for the whole process (never destroyed at exit, so a host
// thread still running during exit cannot touch a dead set); tear-down only
// empties them.
std::mutex& handleLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

HandleSet<KdExifObj>& metaHandles() {
  static auto* set = new HandleSet<KdExifObj>;
  return *set;
}
HandleSet<KdExifEditObj>& editHandles() {
  static auto* set = new HandleSet<KdExifEditObj>;
  return *set;
}
HandleSet<KdImageObj>& imageHandles() {
  static auto* set = new HandleSet<KdImageObj>;
  return *set;
}
HandleSet<KdPaletteObj>& paletteHandles() {
  static auto* set = new HandleSet<KdPaletteObj>;
  return *set;
}

void clearAllHandles() {
  metaHandles().clear();
  editHandles().clear();
  imageHandles().clear();
  paletteHandles().clear();
}

}  // namespace kd::c_api
