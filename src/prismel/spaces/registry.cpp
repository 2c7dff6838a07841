#include "prismel/spaces/registry.h"

namespace kd::prismel {

bool SpaceRegistry::add(const SpaceDescriptor& d) {
  if (sealed_ || d.name.empty()) return false;
  if (byName_.count(d.name) != 0 || byTag_.count(d.tag) != 0) return false;
  order_.push_back(std::make_unique<SpaceDescriptor>(d));
  const SpaceDescriptor* p = order_.back().get();
  byName_.emplace(p->name, p);
  byTag_.emplace(p->tag, p);
  if (p->tag >= 0 && p->tag < kDirect) direct_[static_cast<size_t>(p->tag)] = p;
  return true;
}

const SpaceDescriptor* SpaceRegistry::byTag(SpaceTag tag) const {
  if (tag >= 0 && tag < kDirect) return direct_[static_cast<size_t>(tag)];
  auto it = byTag_.find(tag);
  return it == byTag_.end() ? nullptr : it->second;
}

const SpaceDescriptor* SpaceRegistry::byName(std::string_view name) const {
  auto it = byName_.find(std::string(name));
  return it == byName_.end() ? nullptr : it->second;
}

namespace {

SpaceRegistry& mutableRegistry() {
  static SpaceRegistry registry = [] {
    SpaceRegistry r;
    addRgbSpaces(r);
    addCieSpaces(r);
    addOkSpaces(r);
    addCylindricalSpaces(r);
    addDeviceSpaces(r);
    addHdrSpaces(r);
    addAppearanceSpaces(r);
    r.seal();
    return r;
  }();
  return registry;
}

}  // namespace

const SpaceRegistry& spaceRegistry() { return mutableRegistry(); }

void initSpaces() { (void)mutableRegistry(); }

bool registerSpace(const SpaceDescriptor& d) { return mutableRegistry().add(d); }

void sealSpaces() { mutableRegistry().seal(); }

const SpaceDescriptor* spaceByTag(SpaceTag tag) { return spaceRegistry().byTag(tag); }

const SpaceDescriptor* spaceByName(std::string_view name) { return spaceRegistry().byName(name); }

}  // namespace kd::prismel
