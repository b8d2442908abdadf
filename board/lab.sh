#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the board suite (board/lab/, pytest on labgrid) on the emulated board. The board's
# initramfs is made here in shell mode with the programs of an ARM build (hddpower, mcusend,
# the example daemon, the module's tests). The board boots once for the whole suite.
#   board/lab.sh [--arm-build DIR] [--host-build DIR] [--standin serial|ser2net]
#                [PYTEST ARGUMENTS...]
# (defaults build-arm and build). The exit status is pytest's.
#
# Without --standin, labgrid boots the board (board/lab/emulated.yaml, which takes its files
# from the LG_ variables set here) and mcusim serves its MCU line anew for each case.
# With --standin, the board stands in for a real one: it is booted here, outside labgrid, its
# console a pseudo-terminal linked at a path as a serial adapter's device is, with a tap of its
# MCU line ("serial"), or that console exported by ser2net as a raw TCP port, without a tap
# ("ser2net"); its MCU line is answered by one mcusim that the suite does not see. The suite
# then runs with the real board's environment file (board/lab/real-serial.yaml or
# real-ser2net.yaml), edited for the stand-in as a team edits it, and takes the board as
# already at its shell (--lg-initial-state shell).
set -euo pipefail
caller=$PWD
cd "$(dirname "$0")/.."
# shellcheck source=board/image.sh
. board/image.sh
arm_build=$PWD/build-arm
host_build=$PWD/build
standin=""
while [ $# -gt 0 ]; do
  case $1 in
    --arm-build) arm_build=$(from_caller "$2"); shift 2 ;;
    --host-build) host_build=$(from_caller "$2"); shift 2 ;;
    --standin) standin=$2; shift 2 ;;
    *) break ;;
  esac
done
case $standin in
  "" | serial | ser2net) ;;
  *) echo "board lab: --standin takes serial or ser2net, not '$standin'" >&2; exit 2 ;;
esac
programs=("$arm_build/hddpower" "$arm_build/mcusend" "$arm_build/mcudaemon" "$arm_build/tests/module_test")
for program in "${programs[@]}" "$host_build/mcusim" "$host_build/libmcucom.so.1"; do
  [ -x "$program" ] || { echo "board lab: $program is missing; build first" >&2; exit 125; }
done

tmp=$(mktemp -d)
pids=()
mcusim_pid=""
cleanup() {
  local pid
  for pid in "${pids[@]}" $mcusim_pid; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# fetch_board sets a trap of its own: it runs in a subshell.
cache=$( (set -e; fetch_board >&2; echo "$cache") ) ||
  { echo "board lab: the board's kernel and busybox are not at hand" >&2; exit 125; }
make_image "$tmp/initrd.gz" "$tmp" "" "${programs[@]}"
export QEMU_AUDIO_DRV=none

# The stand-in board: booted in the background, its console's pseudo-terminal linked at
# $tmp/console once qemu names it. With an argument "tap", its MCU line passes a tap whose
# device is linked at $tmp/tap (board/lab/tap_relay.py).
boot_standin() {
  local line=$tmp/mcu.sock
  serve_mcu "$host_build" "$tmp/mcu.sock" "$tmp/mcusim.log"
  if [ "${1:-}" = tap ]; then
    line=$tmp/tapped.sock
    python3 board/lab/tap_relay.py "$line" "$tmp/mcu.sock" "$tmp/tap" &
    pids+=($!)
    wait_for_socket "$line" || { echo "board lab: the tap relay did not listen" >&2; return 1; }
  fi
  board_qemu "$tmp/initrd.gz"
  "${qemu_command[@]}" -serial pty -serial null -serial "unix:$line" >"$tmp/qemu.log" 2>&1 &
  pids+=($!)
  local pty=""
  for _ in $(seq 200); do
    pty=$(sed -n 's/^char device redirected to \(\/dev\/pts\/[0-9]*\) (label serial0).*/\1/p' "$tmp/qemu.log")
    [ -n "$pty" ] && break
    sleep 0.05
  done
  [ -n "$pty" ] || { cat "$tmp/qemu.log" >&2; echo "board lab: the stand-in has no console" >&2; return 1; }
  ln -s "$pty" "$tmp/console"
}

# ser2net exporting the stand-in's console as a raw TCP port on this machine, at console_port.
export_console() {
  local port
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  printf 'connection: &console\n  accepter: tcp,127.0.0.1,%s\n  connector: serialdev,%s,115200n81,local\n' \
    "$port" "$tmp/console" >"$tmp/ser2net.yaml"
  ser2net -n -u -c "$tmp/ser2net.yaml" -P "$tmp/ser2net.pid" >"$tmp/ser2net.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      console_port=$port
      return 0
    fi
    sleep 0.05
  done
  cat "$tmp/ser2net.log" >&2
  echo "board lab: ser2net did not listen" >&2
  return 1
}

# edit FILE 'FROM' 'TO'...: a copy of an environment file with its lines FROM changed to TO,
# each of which must be there.
edit() {
  local file=$1 copy
  copy=$tmp/$(basename "$1")
  shift
  cp "$file" "$copy"
  while [ $# -gt 0 ]; do
    grep -qF -- "$1" "$copy" || { echo "board lab: $file has no line '$1'" >&2; return 1; }
    sed -i "s|$1|$2|" "$copy"
    shift 2
  done
  echo "$copy"
}

case $standin in
  "")
    export LG_BOARD_KERNEL=$cache/vmlinuz LG_BOARD_DTB=$cache/board.dtb LG_BOARD_INITRD=$tmp/initrd.gz
    export LG_MCU_SOCKET=$tmp/mcu.sock LG_MCUSIM=$host_build/mcusim
    environment=(--lg-env board/lab/emulated.yaml)
    ;;
  serial)
    boot_standin tap
    PATH=$host_build:$PATH  # the tap's bytes are shown as mcusim --decode reads them
    environment=(--lg-env "$(edit board/lab/real-serial.yaml "port: /dev/ttyUSB0" "port: $tmp/console" \
      "# mcu_tap: /dev/serial/by-id/usb-FTDI_..._if00-port0" "mcu_tap: $tmp/tap")" --lg-initial-state shell)
    ;;
  ser2net)
    boot_standin
    export_console
    environment=(--lg-env "$(edit board/lab/real-ser2net.yaml "host: board-console.local" "host: 127.0.0.1" \
      "port: 3001" "port: $console_port")" --lg-initial-state shell)
    ;;
esac
# labgrid is Debian's, installed for Debian's own interpreter. A signal to this script reaches
# pytest as Ctrl-C, with which labgrid powers the emulated board off before the stand-in's
# processes and the files here are cleaned up; SIGINT is given back its default, which a
# background job's is not.
# The suite takes the MCU line's rate from the module, through the project's Python package on
# the host build's library.
export PYTHONPATH=$PWD/python${PYTHONPATH:+:$PYTHONPATH} MCUCOM_LIBRARY=$host_build/libmcucom.so.1
env --default-signal=INT /usr/bin/python3 -m pytest -p no:cacheprovider "${environment[@]}" board/lab "$@" &
pytest_pid=$!
signalled=""
forward() { signalled=$1; kill -INT "$pytest_pid" 2>/dev/null; }
trap 'forward 2' INT
trap 'forward 15' TERM
trap 'forward 1' HUP
set +e
while kill -0 "$pytest_pid" 2>/dev/null; do wait "$pytest_pid"; done
wait "$pytest_pid"
status=$?
set -e
if [ -n "$signalled" ]; then
  echo "board: interrupted by signal $signalled" >&2
  exit $((128 + signalled))
fi
exit "$status"
