#!/usr/bin/env bash
# Boots the emulated board and runs a command in it: a Cortex-A9 (qemu's vexpress-a9) with
# Debian's armhf kernel, whose PL011 UART driver gives the guest /dev/ttyAMA0 (the console),
# /dev/ttyAMA1 (spare) and /dev/ttyAMA2, the MCU line, wired to `mcusim --serve` on the host.
# The guest is a busybox initramfs made here, holding the board's static programs.
#
#   board/run.sh [--sim "MCUSIM OPTIONS"] [--arm-build DIR] [--host-build DIR]
#                [--file PATH]... [--timeout SEC] -- COMMAND
#
# COMMAND is a shell command run in the guest (busybox sh) from /opt, with hddpower and
# mcusend (from the ARM build, default build-arm) and every --file on its PATH (/opt/bin).
# Prints the guest's output, then mcusim's report, and exits with COMMAND's status; 124 when
# the board did not finish within --timeout seconds (default 180), 125 when it could not be
# set up. The kernel and busybox come from Debian's packages, fetched once into a cache
# (HDDPOWER_BOARD_CACHE, default /var/cache/hddpower-board) keyed by their versions. Every boot
# powers the guest off; nothing is left running or behind.
set -euo pipefail
cd "$(dirname "$0")/.."
sim_options=""
arm_build=build-arm
host_build=build
timeout=180
files=()
while [ $# -gt 0 ]; do
  case $1 in
    --sim) sim_options=$2; shift 2 ;;
    --arm-build) arm_build=$2; shift 2 ;;
    --host-build) host_build=$2; shift 2 ;;
    --file) files+=("$2"); shift 2 ;;
    --timeout) timeout=$2; shift 2 ;;
    --) shift; break ;;
    *) echo "board: unknown option $1" >&2; exit 125 ;;
  esac
done
[ $# -gt 0 ] || { echo "board: no command given" >&2; exit 125; }
command=$*
for program in "$arm_build/hddpower" "$arm_build/mcusend" "$host_build/mcusim"; do
  [ -x "$program" ] || { echo "board: $program is missing; build first" >&2; exit 125; }
done

# The kernel package is whatever linux-image-armmp depends on today.
fetch_board() {
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    dpkg --add-architecture armhf
    apt-get update -qq
  fi
  local kernel busybox
  kernel=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/ *Depends: \(linux-image-[^:]*\).*/\1/p' | head -1)
  if [ -z "$kernel" ]; then
    apt-get update -qq
    kernel=$(apt-cache depends linux-image-armmp:armhf | sed -n 's/ *Depends: \(linux-image-[^:]*\).*/\1/p' | head -1)
  fi
  [ -n "$kernel" ] || { echo "board: linux-image-armmp:armhf is not known to apt" >&2; return 1; }
  local kversion bversion
  kversion=$(apt-cache policy "$kernel:armhf" | sed -n 's/ *Candidate: //p')
  bversion=$(apt-cache policy busybox-static:armhf | sed -n 's/ *Candidate: //p')
  cache=${HDDPOWER_BOARD_CACHE:-/var/cache/hddpower-board}/$kernel-$kversion-busybox-$bversion
  [ -f "$cache/ready" ] && return 0
  local work
  work=$(mktemp -d)
  (cd "$work" && apt-get download -q "$kernel:armhf" busybox-static:armhf >/dev/null 2>&1)
  dpkg-deb -x "$work"/linux-image-*.deb "$work/kernel"
  dpkg-deb -x "$work"/busybox-static_*.deb "$work/busybox"
  mkdir -p "$cache"
  cp "$work"/kernel/boot/vmlinuz-* "$cache/vmlinuz"
  cp "$work"/kernel/usr/lib/linux-image-*/vexpress-v2p-ca9.dtb "$cache/board.dtb"
  cp "$work/busybox/bin/busybox" "$cache/busybox"
  rm -rf "$work"
  touch "$cache/ready"
}

export QEMU_AUDIO_DRV=none  # the board's sound codec has nowhere to play
command -v qemu-system-arm >/dev/null || {
  echo "board: qemu-system-arm is missing (apt-get install qemu-system-arm)" >&2
  exit 125
}
fetch_board || exit 125

tmp=$(mktemp -d)
mcusim_pid=""
qemu_pid=""
cleanup() {
  [ -n "$qemu_pid" ] && kill -9 "$qemu_pid" 2>/dev/null || true
  [ -n "$mcusim_pid" ] && kill "$mcusim_pid" 2>/dev/null || true
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

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
  -serial "file:$tmp/console" -serial null -serial "unix:$socket" &
qemu_pid=$!
set +e
wait "$qemu_pid"
qemu_status=$?
set -e
qemu_pid=""
wait "$mcusim_pid" 2>/dev/null || true
mcusim_pid=""
# The guest's output: what its command printed, between the two marks.
sed -n '/^board: ready/,/^board: status/{/^board: /d;p}' "$tmp/console" | tr -d '\r'
cat "$tmp/mcusim.log"
if [ "$qemu_status" -eq 124 ] || [ "$qemu_status" -eq 137 ]; then
  echo "board: no end within $timeout s" >&2
  exit 124
fi
status=$(sed -n 's/^board: status \([0-9]*\).*/\1/p' "$tmp/console" | tr -d '\r')
[ -n "$status" ] || { echo "board: the guest ended without a status" >&2; tr -d '\r' <"$tmp/console" >&2; exit 125; }
exit "$status"
