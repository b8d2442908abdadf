#!/bin/sh
# SPDX-License-Identifier: MIT
# The round-trip suite against a line instead of the simulator: a pseudo-terminal that
# mcusim --serve answers on, named to the suite by MCUCOM_TEST_LINE as a real line would be.
#   served_line.sh MCUSIM PYTHON PYTEST-ARGS...
set -eu
mcusim=$1
python=$2
shift 2
report=$(mktemp)
"$mcusim" --serve pty >"$report" &
served=$!
stop() {
  kill "$served" 2>/dev/null || true
  wait "$served" 2>/dev/null || true
  rm -f "$report"
}
trap stop EXIT
for _ in $(seq 300); do
  grep -q 'serving a pseudo-terminal at ' "$report" && break
  sleep 0.1
done
line=$(sed -n 's/^mcusim: serving a pseudo-terminal at //p' "$report")
[ -n "$line" ] || { echo "mcusim served no pseudo-terminal" >&2; exit 1; }
status=0
MCUCOM_TEST_LINE=$line "$python" -m pytest "$@" || status=$?
stop
trap - EXIT
exit "$status"
