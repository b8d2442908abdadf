#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The emulated board's harness itself (board/run.sh), each check a failure of the gate:
#   - a status travels apart from the guest's output: output without a last line feed keeps
#     it, and a line that looks like the harness's own cannot forge it;
#   - a relative --file is the caller's, and a program's arguments reach it as they were given;
#   - interrupted (Ctrl-C to its process group while the guest runs a command, SIGTERM to the
#     script while the board boots), it ends with 128 + the signal, shows the output so far,
#     and leaves no emulator, no simulator and no temporary folder behind; so does the board
#     suite (board/lab.sh) given SIGTERM during a case;
#   - a download that fails, or a kernel that comes truncated, ends it with 125 and says why,
#     and the cache is not marked ready.
# Needs the board's kernel and busybox in the cache (any board run fetches them).
#   board/check-harness.sh [ARM_BUILD] [HOST_BUILD]        (defaults build-arm, build)
set -euo pipefail
cd "$(dirname "$0")/.."
arm=${1:-build-arm}
host=${2:-build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "harness check: $*" >&2; failures=$((failures + 1)); }
board() { board/run.sh --arm-build "$arm" --host-build "$host" "$@"; }

echo "the status apart from the output"
# The guest's output alone: the harness's own lines (on a new machine, the first fetch of the
# board's kernel says so) go to standard error.
set +e
out=$(board -- 'printf "board: status 0\nabc"; exit 3' 2>"$work/err")
status=$?
set -e
[ "$status" -eq 3 ] || fail "the guest's status 3 came back as $status: $out $(cat "$work/err")"
[[ "$out" == $'board: status 0\nabc\n'* ]] ||
  fail "the guest's output was not kept whole: $out $(cat "$work/err")"

echo "paths from the caller's folder, a program's arguments as they are"
printf '#!/bin/sh\nprintf "[%%s]" "$@"\n' >"$work/args"
chmod +x "$work/args"
set +e
out=$(cd "$work" && "$OLDPWD/board/run.sh" --arm-build "$OLDPWD/$arm" --host-build "$OLDPWD/$host" \
  --file ./args -- args "a b" "it's" '$HOME' 2>&1)
status=$?
set -e
[ "$status" -eq 0 ] && [[ "$out" == '[a b][it'"'"'s][$HOME]'* ]] ||
  fail "a relative --file and a program's arguments: status $status: $out"
out=$(board --file ./nonexistent -- true 2>&1) && fail "a missing --file was taken"
[[ "$out" == "board: --file $PWD/./nonexistent: no such file" ]] || fail "a missing --file: $out"

# Runs a script (by default board/run.sh with a guest command) in a process group of its own
# (SIGINT not ignored, as a terminal's job has it), its temporary folders under $work/tmp; once
# `ready` is true, sends the signal to `target` ("group" or "script"), and checks the ending.
interrupt() {  # interrupt NAME SIGNAL TARGET READY-TEST [COMMAND...]
  local name=$1 signal=$2 target=$3 ready=$4 pid status
  shift 4
  [ $# -gt 0 ] || set -- board/run.sh --arm-build "$arm" --host-build "$host" -- 'echo started; sleep 600'
  rm -rf "$work/tmp" && mkdir -p "$work/tmp"
  TMPDIR=$work/tmp setsid env --default-signal=INT "$@" >"$work/out" 2>&1 &
  pid=$!
  for _ in $(seq 1200); do
    eval "$ready" && break
    sleep 0.1
  done
  if [ "$target" = group ]; then kill "-$signal" -- "-$pid"; else kill "-$signal" "$pid"; fi
  set +e
  wait "$pid"
  status=$?
  set -e
  [ "$status" -eq $((128 + $(kill -l "$signal"))) ] || fail "$name: status $status: $(cat "$work/out")"
  grep -q "^board: interrupted by signal" "$work/out" || fail "$name: no word of the signal"
  if pgrep -f "$work/tmp" >/dev/null; then
    fail "$name: left running: $(pgrep -af "$work/tmp")"
    pkill -9 -f "$work/tmp" || true
  fi
  [ -z "$(ls -A "$work/tmp")" ] || fail "$name: left behind: $(ls -A "$work/tmp")"
}
echo "Ctrl-C while the guest runs a command"
interrupt "Ctrl-C" INT group 'grep -qs "^started" "$work"/tmp/tmp.*/console'
grep -q "^started" "$work/out" || fail "Ctrl-C: the output so far was not shown: $(cat "$work/out")"
echo "SIGTERM while the board boots"
interrupt "SIGTERM" TERM script '[ -n "$(pgrep -f "qemu-system-arm.*$work/tmp")" ]'
echo "SIGTERM to the board suite during a case"
# The soak's mcusim says so once the board's UART is connected to it: the case then runs.
interrupt "the suite's SIGTERM" TERM script 'grep -qs "a peer connected" "$work"/tmp/tmp*/mcusim.log' \
  board/lab.sh --arm-build "$arm" --host-build "$host" -q -k soak

# Stands in for apt-get download: fails, or gives the real packages' files with the kernel cut
# short, as a full disk or a broken download would.
cached=$(find "${HDDPOWER_BOARD_CACHE:-/var/cache/hddpower-board}" -name ready -printf '%h\n' | head -1)
[ -n "$cached" ] || { echo "harness check: no board in the cache; run a board first" >&2; exit 1; }
cat >"$work/download" <<EOF
#!/bin/sh
[ "\$FAKE" = fail ] && { echo "E: the mirror cannot be reached"; exit 100; }
mkdir -p k/DEBIAN k/boot k/usr/lib/linux-image-fake b/DEBIAN b/bin
printf 'Package: linux-image-fake\nVersion: 1\nArchitecture: armhf\nMaintainer: x\nDescription: x\n' >k/DEBIAN/control
printf 'Package: busybox-static\nVersion: 1\nArchitecture: armhf\nMaintainer: x\nDescription: x\n' >b/DEBIAN/control
head -c 300000 "$cached/vmlinuz" >k/boot/vmlinuz-fake
cp "$cached/board.dtb" k/usr/lib/linux-image-fake/vexpress-v2p-ca9.dtb
cp "$cached/busybox" b/bin/busybox
dpkg-deb -Znone -b k linux-image-fake_1_armhf.deb >/dev/null
dpkg-deb -Znone -b b busybox-static_1_armhf.deb >/dev/null
rm -rf k b
EOF
chmod +x "$work/download"
for mode in fail truncated; do
  echo "a fetch that $mode"
  set +e
  out=$(FAKE=$mode HDDPOWER_BOARD_CACHE=$work/cache HDDPOWER_BOARD_DOWNLOAD=$work/download \
    board -- true 2>&1)
  status=$?
  set -e
  [ "$status" -eq 125 ] || fail "a fetch that $mode: status $status: $out"
  case $mode in
    fail) grep -q "^E: the mirror cannot be reached" <<<"$out" || fail "the download's error was hidden: $out" ;;
    truncated) grep -q "is not a whole ARM zImage" <<<"$out" || fail "a truncated kernel was not named: $out" ;;
  esac
  [ -z "$(find "$work/cache" -name ready)" ] || fail "a fetch that $mode marked the cache ready"
done

if [ "$failures" -ne 0 ]; then
  echo "harness check: $failures problem(s)" >&2
  exit 1
fi
echo "harness: all as expected"
