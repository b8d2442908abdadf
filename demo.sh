#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds what is missing, then runs `hddpower on` and an `mcusend` round trip against the
# simulated MCU.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh base
if [ ! -f build/CMakeCache.txt ]; then
  cmake -S . -B build >/dev/null
fi
cmake --build build --target hddpower mcusim mcusend -- -j"$(nproc)" >/dev/null

echo "== hddpower on, against the simulated MCU of scenarios/power.yaml =="
echo "The tool sends the ASCII line, then the command 6 frame. The MCU of the scenario records"
echo "the disks' power bits and answers with them, then reports them in a frame of its own;"
echo "the tool runs no receiver: it waits its 100 ms and reports the time-out (-4)."
echo
# On a terminal the tool's lines interleave with the simulator's in time order; into a pipe or
# a file the tool's standard output is buffered and comes out when it exits.
start=$(date +%s%N)
build/mcusim --scenario scenarios/power.yaml build/hddpower on
end=$(date +%s%N)
echo
echo "hddpower on took $(( (end - start) / 1000000 )) ms in all, 100 ms of it waiting for the acknowledgement."
echo "== mcusend: the same command 6 with a receiver running =="
echo
build/mcusim --scenario scenarios/power.yaml build/mcusend 6 00ff00ff0000001f
