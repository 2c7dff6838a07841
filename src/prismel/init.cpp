#include "prismel/init.h"

#include "prismel/conversion/hub.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

void initColorScience() {
  initSpaces();
  initConversions();
}

}  // namespace kd::prismel
