#include "prismel/init.h"

#include "prismel/contrast/metrics.h"
#include "prismel/conversion/hub.h"
#include "prismel/spaces/registry.h"

namespace kd::prismel {

void initColorScience() {
  initSpaces();
  initConversions();
  initMetrics();
}

}  // namespace kd::prismel
