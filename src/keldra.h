// Top module: library start-up and tear-down, shared by the C boundary.
#pragma once

namespace kd {

// Runs every module's initialiser in dependency order (each fills and seals
// its registries). Safe to call from several threads and more than once: the
// work runs once. Throws what an initialiser throws.
void initLibrary();

// Releases the registries' contents; nothing may be called afterwards.
void teardownLibrary();

}  // namespace kd
