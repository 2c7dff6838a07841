#!/usr/bin/env bash
# Builds the library with warnings as errors and runs every test.
#   scripts/test.sh [BUILD_DIR] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=${1:-build}
shift || true
cmake -S . -B "$build" -G Ninja -DKELDRA_WERROR=ON -DKELDRA_TESTS=ON "$@"
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --no-tests=error -j "$(nproc)"
