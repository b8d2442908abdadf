#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots the emulated board and runs a command in it: a Cortex-A9 (qemu's vexpress-a9) with
# Debian's armhf kernel, whose PL011 UART driver gives the guest /dev/ttyAMA0 (the console),
# /dev/ttyAMA1 (the harness's own channel) and /dev/ttyAMA2, the MCU line, wired to
# `mcusim --serve` on the host. The guest is a busybox initramfs made here, holding the
# board's static programs.
#
#   board/run.sh [--sim "MCUSIM OPTIONS"] [--arm-build DIR] [--host-build DIR]
#                [--file PATH]... [--timeout SEC] -- COMMAND
#
# COMMAND is a shell command run in the guest (busybox sh) from /opt, with hddpower and
# mcusend (from the ARM build, default build-arm) and every --file on its PATH (/opt/bin).
# Prints the guest's output, then mcusim's report, and exits with COMMAND's status; 124 when
# the board did not finish within --timeout seconds (default 180), 125 when it could not be
# set up, 128 + N when signal N interrupted it (the output so far is shown). The status
# travels on the guest's second UART, apart from the console, so nothing the command prints
# can hide or forge it. The kernel and busybox come from Debian's packages, cached
# (board/image.sh). Every boot powers the guest off; however the script ends, nothing is left
# running or behind.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
# shellcheck source=board/image.sh
. board/image.sh
# One word for the guest's shell, whatever it holds.
shell_word() {
  printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")"
}
sim_options=""
arm_build=build-arm
host_build=build
timeout=180
files=()
while [ $# -gt 0 ]; do
  case $1 in
    --sim) sim_options=$2; shift 2 ;;
    --arm-build) arm_build=$(from_caller "$2"); shift 2 ;;
    --host-build) host_build=$(from_caller "$2"); shift 2 ;;
    --file) files+=("$(from_caller "$2")"); shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "board: unknown option $1" >&2; exit 125 ;;
  esac
done
[ $# -gt 0 ] || { echo "board: no command given" >&2; exit 125; }
# One argument is a shell command; several are a program and its arguments, passed as they are.
if [ $# -eq 1 ]; then
  command=$1
else
  command=""
  for word in "$@"; do command+="${command:+ }$(shell_word "$word")"; done
fi
for file in "${files[@]}"; do
  [ -f "$file" ] || { echo "board: --file $file: no such file" >&2; exit 125; }
done
for program in "$arm_build/hddpower" "$arm_build/mcusend" "$host_build/mcusim"; do
  [ -x "$program" ] || { echo "board: $program is missing; build first" >&2; exit 125; }
done

export QEMU_AUDIO_DRV=none  # the board's sound codec has nowhere to play
command -v qemu-system-arm >/dev/null || {
  echo "board: qemu-system-arm is missing (apt-get install qemu-system-arm)" >&2
  exit 125
}
tmp=""
fetch_pid=""
mcusim_pid=""
qemu_pid=""
# The guest's output so far: what its command printed after the harness's mark.
guest_output() {
  # Output without a last line feed still ends its line, before the report after it.
  [ -n "$tmp" ] && [ -f "$tmp/console" ] && sed -n '/^board: ready/,${/^board: ready/d;p}' "$tmp/console" |
    tr -d '\r' | sed '$a\'
  return 0
}
# qemu runs under timeout, in a process group of timeout's own that a terminal's Ctrl-C does
# not reach: timeout is told to end it (and kills it 5 s later if it must), waited for, and
# whatever of the group is left is killed.
cleanup() {
  if [ -n "$qemu_pid" ]; then
    kill -TERM "$qemu_pid" 2>/dev/null
    wait "$qemu_pid" 2>/dev/null
    kill -9 -- "-$qemu_pid" 2>/dev/null
  fi
  [ -n "$mcusim_pid" ] && kill "$mcusim_pid" 2>/dev/null
  [ -n "$fetch_pid" ] && pkill -TERM -P "$fetch_pid" 2>/dev/null && kill "$fetch_pid" 2>/dev/null
  wait 2>/dev/null
  [ -z "$tmp" ] || rm -rf "$tmp"
}
interrupted() {
  trap - INT TERM HUP
  guest_output
  [ -n "$tmp" ] && [ -f "$tmp/mcusim.log" ] && cat "$tmp/mcusim.log"
  echo "board: interrupted by signal $1" >&2
  cleanup
  exit $((128 + $1))
}
trap cleanup EXIT
trap 'interrupted 2' INT
trap 'interrupted 15' TERM
trap 'interrupted 1' HUP
tmp=$(mktemp -d)

# In a subshell of its own with errexit, not as a condition (where errexit would not hold),
# waited for in the background so that a signal is taken at once.
set +e
(set -e; fetch_board; echo "$cache" >"$tmp/cache") &
fetch_pid=$!
wait "$fetch_pid"
fetched=$?
set -e
fetch_pid=""
[ "$fetched" -eq 0 ] || { echo "board: the board's kernel and busybox are not at hand" >&2; exit 125; }
cache=$(cat "$tmp/cache")

make_image "$tmp/initrd.gz" "$tmp" "$command" "$arm_build/hddpower" "$arm_build/mcusend" "${files[@]}"

socket=$tmp/uart2.sock
# shellcheck disable=SC2086  # the options are words
serve_mcu "$host_build" "$socket" "$tmp/mcusim.log" $sim_options || exit 125
board_qemu "$tmp/initrd.gz"
timeout --kill-after=5 "$timeout" "${qemu_command[@]}" \
  -serial "file:$tmp/console" -serial "file:$tmp/status" -serial "unix:$socket" &
qemu_pid=$!
# wait returns early when a trapped signal comes; the trap then ends the script.
set +e
wait "$qemu_pid"
qemu_status=$?
set -e
qemu_pid=""
# mcusim serves until it is told to stop: its totals come once it is.
kill -TERM "$mcusim_pid" 2>/dev/null || true
wait "$mcusim_pid" 2>/dev/null || true
mcusim_pid=""
guest_output
cat "$tmp/mcusim.log"
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  echo "board: no end within $timeout s" >&2
  exit 124
fi
status=$(tr -dc '0-9' <"$tmp/status" 2>/dev/null || true)
[ -n "$status" ] || { echo "board: the guest ended without a status" >&2; tr -d '\r' <"$tmp/console" >&2; exit 125; }
exit "$status"
