#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes docs/decoded-trace.svg, the README's picture of a decoded trace: hddpower on under the
# simulated MCU, whose answer comes after noise with frame heads in it, and an unasked frame
# after it.
#   sigrok/make_picture.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/mcusim" --noise 12 --false-heads --seed 2 --unasked 0x0019 --unasked-ms 5 \
  --vcd "$tmp/on.vcd" "$build/hddpower" on >/dev/null 2>&1
python3 sigrok/draw_trace.py "$tmp/on.vcd" docs/decoded-trace.svg
echo "docs/decoded-trace.svg"
