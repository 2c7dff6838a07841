// Start-up of the colour-science registries and derived constants.
#pragma once

namespace kd::prismel {

// Fills and seals the space registry, prepares the conversion matrices and
// fills the metric registries. Each of them also fills itself on first use.
void initColorScience();

}  // namespace kd::prismel
