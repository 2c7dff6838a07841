#!/usr/bin/env bash
# Builds the keldra program and runs it on the bundled samples.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DKELDRA_TESTS=OFF >/dev/null
cmake --build build --target keldra_cli
keldra=build/tools/keldra/keldra
out=build/demo
mkdir -p "$out"
set -x
$keldra version
$keldra info samples/sunset.png
$keldra info samples/nikon_gps.jpg
$keldra tags samples/nikon_gps.jpg
