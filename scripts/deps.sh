#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the benchmarks need,
# skipping what is already there.
set -euo pipefail
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  # the library's one run-time dependency (XMP)
  libpugixml-dev
  # peers the tests and benchmarks compare against
  zlib1g-dev libpng-dev libdeflate-dev libspng-dev libstb-dev libqoi-dev libimagequant-dev
  libjpeg62-turbo-dev imagemagick netpbm libimage-exiftool-perl libexif-dev libexiv2-dev
  libtiff-dev libtiff-tools libgif-dev giflib-tools gifsicle webp libwebp-dev
  # the Python package: its tests and benchmarks run on Debian's /usr/bin/python3
  python3 python3-setuptools python3-pip python3-numpy python3-pandas python3-dask
  python3-distributed python3-pytest python3-tqdm
  # peers of the Python benchmarks (exiftool is above)
  python3-pil python3-exifread
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
