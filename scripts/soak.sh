#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Soaks the MCU link: for each fault mode of the simulated MCU, one mcusend process sends
# command 6 thousands of times in a row, the serial numbers advancing and wrapping, and every
# answer is checked. The simulator numbers its answers (--result seq: the n-th command
# acknowledged gets n modulo 256), so an answer that belongs to another command shows.
#
#   scripts/soak.sh [--short] [BUILD_DIR]     (BUILD_DIR defaults to build)
#
# Prints a table, one row per mode:
#   commands       commands sent
#   acknowledged   commands that got an answer
#   timed out      commands that got none within the time-out
#   wrong answers  answers that were not the command's own
#   longest run    the longest run of consecutive commands without an answer
# The verdict means a fault of the link: the run fails when any answer is wrong (in every
# mode), or when a command goes unanswered in a mode whose faults never cost an answer. Those
# modes wait a whole second for each answer, ten times the slowest round trip seen under
# load, so that a busy machine is not taken for a lost answer; the modes that lose answers on
# purpose wait 100 ms, and their time-outs are counted, not judged. --short sends 200
# commands per mode instead of 2000 (CI runs it).
set -euo pipefail
cd "$(dirname "$0")/.."
count=2000
if [ "${1:-}" = --short ]; then
  count=200
  shift
fi
build=${1:-build}
mcusim=$build/mcusim
mcusend=$build/mcusend
for program in "$mcusim" "$mcusend"; do
  [ -x "$program" ] || { echo "soak: $program is missing; build first" >&2; exit 2; }
done

# mode name, whether every command must be answered, mcusim's options for it
modes=(
  "clean|all|"
  "delay|all|--delay 20"
  "noise|all|--noise 64"
  "false-heads|all|--noise 64 --false-heads"
  "split|all|--split"
  "duplicate|all|--duplicate 1"
  "unasked|all|--unasked 0x0019 --unasked-ms 5"
  "late|some|--late 3 --late-ms 300"
  "drop|some|--drop 0.2"
  "corrupt|some|--corrupt 0.2"
  "everything|some|--noise 32 --false-heads --split --corrupt 0.05 --drop 0.05 --duplicate 0.3 --late 7 --late-ms 250 --unasked 0x0019 --unasked-ms 20"
)

printf '%-12s %9s %13s %10s %14s %12s\n' mode commands acknowledged "timed out" "wrong answers" "longest run"
failed=0
for entry in "${modes[@]}"; do
  IFS='|' read -r name expect options <<<"$entry"
  # mcusend's status says whether every command was answered; the table says it in full.
  timeout=100
  [ "$expect" = all ] && timeout=1000
  # shellcheck disable=SC2086  # the options are words
  tally=$({ "$mcusim" $options --result seq -- \
              "$mcusend" --count "$count" --verbose --timeout "$timeout" 6 00ff00ff0000001f 2>/dev/null ||
            true; } | awk -f scripts/soak-tally.awk)
  read -r sent acked timedout wrong longest _ <<<"$tally"
  printf '%-12s %9d %13d %10d %14d %12d\n' "$name" "$sent" "$acked" "$timedout" "$wrong" "$longest"
  if [ "$sent" -ne "$count" ] || [ "$wrong" -ne 0 ] || { [ "$expect" = all ] && [ "$timedout" -ne 0 ]; }; then
    failed=1
  fi
done
if [ "$failed" -ne 0 ]; then
  echo "soak: the link did not hold (see the table)" >&2
fi
exit "$failed"
