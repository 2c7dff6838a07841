#include "keldra.h"

#include <mutex>

#include "prismel/image/quantizer.h"
#include "prismel/init.h"
#include "prismel/palette/kmeans.h"

namespace kd {

namespace {

// Module initialisers in dependency order. Each registry also fills itself
// on first use, so these only move that work to start-up.
void runInitialisers() {
  prismel::initColorScience();
  prismel::initQuantizers();
  prismel::initKmeans();
}

}  // namespace

void initLibrary() {
  static std::once_flag once;
  std::call_once(once, runInitialisers);
}

void teardownLibrary() {}

}  // namespace kd
