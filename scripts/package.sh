#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the packages into one folder (default dist/): the .debs for this machine, the .debs
# for the board (armel, cross-built against the board's C library, uClibc-ng, with
# cmake/arm-linux-uclibcgnueabi.cmake) and a .tar.gz of the board's installed tree, for root
# filesystems.
#   scripts/package.sh [OUT]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
scripts/install-deps.sh all
jobs=$(nproc)
mkdir -p "$out"
out=$(cd "$out" && pwd)

package() {  # BUILD_DIR GENERATORS [cmake options...]
  local dir=$1 generators=$2
  shift 2
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DHDDPOWER_TESTS=OFF -DHDDPOWER_DEBIAN_FILES=ON \
    "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  (cd "$dir" && cpack -G "$generators" -B "$out" >/dev/null)
}

package build-pkg DEB
# The board's packages are built against its own C library, uClibc, as a board image's build
# would build them: with no way to run the target's programs (an "emulator" that fails).
uclibc_root=$(scripts/uclibc-toolchain.sh)
HDDPOWER_UCLIBC_ROOT=$uclibc_root \
  package build-pkg-arm "DEB;TGZ" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-uclibcgnueabi.cmake \
  -DCMAKE_CROSSCOMPILING_EMULATOR=/bin/false
rm -rf "$out/_CPack_Packages"
ls -1 "$out"
