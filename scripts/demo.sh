#!/usr/bin/env bash
# Builds the keldra program and runs it on the bundled samples: metadata as
# JSON, a conversion with a transform, and a palette.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --target keldra_cli
keldra=build/tools/keldra/keldra
out=build/demo
mkdir -p "$out"
set -x
$keldra version
$keldra info samples/canon_s330.jpg
$keldra tags samples/canon_s330.jpg | head -n 12
$keldra info samples/sunset.png
$keldra convert samples/sunset.png "$out/sunset-small.qoi" --resize 48x32 --filter box --rotate 90
$keldra info "$out/sunset-small.qoi"
$keldra palette samples/sunset.png -n 6 --swatch "$out/sunset-palette.png"
