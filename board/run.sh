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
# can hide or forge it. The kernel and busybox come from Debian's packages, fetched once into
# a cache (HDDPOWER_BOARD_CACHE, default /var/cache/hddpower-board) keyed by their versions,
# and checked whole before the cache counts as ready. Every boot powers the guest off; however
# the script ends, nothing is left running or behind.
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
# shellcheck source=scripts/apt.sh
. scripts/apt.sh
# A path given on the command line is the caller's: relative to where the script was run.
from_caller() {
  case $1 in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$caller/$1" ;; esac
}
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

# Whole files, as a boot needs them: an ARM zImage as long as its header says, a device tree
# as long as its header says, an ARM executable.
# A field of a file as od reads it: field FILE TYPE OFFSET SIZE (TYPE as od's -t takes it).
field() { od -An -v -t"$2" -j "$3" -N "$4" "$1" | tr -d ' '; }
whole_zimage() {
  local start end
  start=$(field "$1" u4 40 4)
  end=$(field "$1" u4 44 4)
  [ "$(field "$1" x4 36 4)" = 016f2818 ] && [ "$(stat -c %s "$1")" -ge $((end - start)) ]
}
whole_dtb() {
  [ "$(field "$1" x1 0 4)" = d00dfeed ] &&
    [ "$(stat -c %s "$1")" -eq "$((16#$(field "$1" x1 4 4)))" ]
}
arm_executable() {
  [ "$(field "$1" x1 0 4)" = 7f454c46 ] && [ "$(field "$1" u2 18 2)" = 40 ]
}

# The kernel package is whatever linux-image-armmp depends on today. A cache folder counts
# only once it holds the three files whole: it is filled under another name and renamed.
# HDDPOWER_BOARD_DOWNLOAD names a command that stands in for apt-get download (for the
# harness's own checks): run in an empty folder with the two package names.
kernel_package() {
  apt-cache depends linux-image-armmp:armhf | sed -n 's/ *Depends: \(linux-image-[^:]*\).*/\1/p' | head -1
}
fetch_board() {
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    echo "board: adding armhf to dpkg's architectures, to fetch the board's kernel and busybox" >&2
    dpkg --add-architecture armhf
    apt_get update -qq
  fi
  local kernel
  kernel=$(kernel_package)
  if [ -z "$kernel" ]; then
    apt_get update -qq
    kernel=$(kernel_package)
  fi
  [ -n "$kernel" ] || { echo "board: linux-image-armmp:armhf is not known to apt" >&2; return 1; }
  local kversion bversion
  kversion=$(apt-cache policy "$kernel:armhf" | sed -n 's/ *Candidate: //p')
  bversion=$(apt-cache policy busybox-static:armhf | sed -n 's/ *Candidate: //p')
  local root=${HDDPOWER_BOARD_CACHE:-/var/cache/hddpower-board}
  local key=$kernel-$kversion-busybox-$bversion
  cache=$root/$key
  [ -f "$cache/ready" ] && return 0
  mkdir -p "$root"
  local work
  work=$(mktemp -d "$root/.fetch.XXXXXX")
  # shellcheck disable=SC2064  # the folder is known now
  trap "rm -rf '$work'" EXIT
  local download=${HDDPOWER_BOARD_DOWNLOAD:-apt-get download -q}
  # shellcheck disable=SC2086  # the command is words
  if ! (cd "$work" && $download "$kernel:armhf" busybox-static:armhf >"$work/download.log" 2>&1); then
    cat "$work/download.log" >&2
    echo "board: cannot download $kernel:armhf and busybox-static:armhf" >&2
    return 1
  fi
  local fill=$work/files
  mkdir -p "$fill"
  dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel"
  dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"
  cp "$work"/kernel/boot/vmlinuz-* "$fill/vmlinuz"
  cp "$work"/kernel/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb "$fill/board.dtb"
  cp "$work/busybox/bin/busybox" "$fill/busybox"
  whole_zimage "$fill/vmlinuz" || { echo "board: the kernel $kernel is not a whole ARM zImage" >&2; return 1; }
  whole_dtb "$fill/board.dtb" || { echo "board: the board's device tree is not whole" >&2; return 1; }
  arm_executable "$fill/busybox" || { echo "board: busybox is not a whole ARM program" >&2; return 1; }
  touch "$fill/ready"
  rm -rf "$cache"
  mv "$fill" "$cache"
}

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

root=$tmp/root
mkdir -p "$root"/{bin,dev,proc,sys,tmp,opt/bin}
cp "$cache/busybox" "$root/bin/busybox"
cp board/init "$root/init"
chmod 755 "$root/init"
cp "$arm_build/hddpower" "$arm_build/mcusend" "${files[@]}" "$root/opt/bin/"
printf '%s\n' "$command" >"$root/opt/command"
python3 board/make_initramfs.py "$tmp/initrd.gz" "$root"

socket=$tmp/uart2.sock
# shellcheck disable=SC2086  # the options are words
"$host_build/mcusim" $sim_options --serve "unix:$socket" >"$tmp/mcusim.log" 2>&1 &
mcusim_pid=$!
for _ in $(seq 100); do
  [ -S "$socket" ] && break
  sleep 0.05
done
[ -S "$socket" ] || { cat "$tmp/mcusim.log" >&2; echo "board: mcusim did not listen" >&2; exit 125; }

timeout --kill-after=5 "$timeout" qemu-system-arm -M vexpress-a9 -smp 2 -m 256M \
  -kernel "$cache/vmlinuz" -dtb "$cache/board.dtb" -initrd "$tmp/initrd.gz" \
  -append "console=ttyAMA0 rdinit=/init quiet loglevel=0 panic=-1" \
  -display none -monitor none -no-reboot -net none \
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
