#!/usr/bin/env bash
# Builds what is missing and runs `hddpower on` against the simulated MCU.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
if [ ! -x build/hddpower ] || [ ! -x build/mcusim ]; then
  cmake -S . -B build >/dev/null
fi
cmake --build build --target hddpower mcusim -- -j"$(nproc)" >/dev/null
echo "\$ mcusim build/hddpower on"
build/mcusim build/hddpower on
