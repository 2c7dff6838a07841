// Handle registry: four sets of live handles under one lock.
//
// A handle is the address of its object. Each set maps that address to the
// owning shared_ptr (the registry's reference). Looking a handle up copies
// the shared_ptr while the lock is held, so the caller's temporary reference
// keeps the object alive even if another thread frees the handle meanwhile.
#pragma once

#include <memory>
#include <mutex>
#include <unordered_map>

struct KdExifObj;
struct KdExifEditObj;
struct KdImageObj;
struct KdPaletteObj;

namespace kd::c_api {

std::mutex& handleLock();

template <class T>
class HandleSet {
 public:
  // Registers the object and returns its handle.
  T* add(std::shared_ptr<T> object) {
    T* handle = object.get();
    std::lock_guard<std::mutex> lock(handleLock());
    map_.emplace(handle, std::move(object));
    return handle;
  }

  // The object behind a live handle (a temporary reference), or null.
  std::shared_ptr<T> find(const void* handle) const {
    if (handle == nullptr) return nullptr;
    std::lock_guard<std::mutex> lock(handleLock());
    auto it = map_.find(handle);
    return it == map_.end() ? nullptr : it->second;
  }

  bool contains(const void* handle) const { return find(handle) != nullptr; }

  // Drops the registry's reference; false when the handle was not live. The
  // object itself is destroyed outside the lock.
  bool remove(const void* handle) {
    if (handle == nullptr) return false;
    std::shared_ptr<T> last;
    {
      std::lock_guard<std::mutex> lock(handleLock());
      auto it = map_.find(handle);
      if (it == map_.end()) return false;
      last = std::move(it->second);
      map_.erase(it);
    }
    return true;
  }

  void clear() {
    std::unordered_map<const void*, std::shared_ptr<T>> gone;
    {
      std::lock_guard<std::mutex> lock(handleLock());
      gone.swap(map_);
    }
  }

  size_t size() const {
    std::lock_guard<std::mutex> lock(handleLock());
    return map_.size();
  }

 private:
  std::unordered_map<const void*, std::shared_ptr<T>> map_;
};

HandleSet<KdExifObj>& metaHandles();
HandleSet<KdExifEditObj>& editHandles();
HandleSet<KdImageObj>& imageHandles();
HandleSet<KdPaletteObj>& paletteHandles();

void clearAllHandles();

}  // namespace kd::c_api
