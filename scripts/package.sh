#!/usr/bin/env bash
# Builds the packages into one folder (default dist/): a .deb for this machine, a .deb for
# the board (armel, cross-built with cmake/arm-linux-gnueabi.cmake) and a .tar.gz of the
# board's installed tree, for root filesystems.
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
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DHDDPOWER_TESTS=OFF "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" >/dev/null
  (cd "$dir" && cpack -G "$generators" -B "$out" >/dev/null)
}

package build-pkg DEB
package build-pkg-arm "DEB;TGZ" -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabi.cmake
rm -rf "$out/_CPack_Packages"
ls -1 "$out"
