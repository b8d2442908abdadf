#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The board gate: the programs on the emulated board's own kernel, its PL011 UART driver at
# /dev/ttyAMA2, with mcusim as the MCU on the line's far end. Each check fails the gate:
#   - hddpower on and off put exactly their bytes on the line, and leave the line as the
#     module sets it (read inside the guest); mcusend is acknowledged without waiting for the
#     kernel's random pool;
#   - a line without CLOCAL: both tools end, and their requests still reach the line;
#     a session leader does not make the line its controlling terminal;
#   - waits last their time while the clock is set an hour back or forward, and answers that
#     come meanwhile are taken;
#   - a soak of 1000 commands under mcusim's fault modes, every answer the command's own, and
#     the example daemon in C (the C interface) on the same line;
#   - the module's tests, run inside the guest.
#   board/check.sh [ARM_BUILD] [HOST_BUILD]        (defaults build-arm, build)
set -euo pipefail
cd "$(dirname "$0")/.."
arm=${1:-build-arm}
host=${2:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() { echo "board check: $*" >&2; failures=$((failures + 1)); }
board() { board/run.sh --arm-build "$arm" --host-build "$host" "$@"; }
# The bytes a dump shows on the board's side of the line, as hex pairs on one line.
host_bytes() {
  sigrok-cli -i "$1" -P uart:baudrate=115200:rx=host_tx -B uart=rx | od -An -v -tx1 | tr -s ' \n' ' ' |
    sed 's/^ //; s/ $//'
}
on="23 78 30 30 30 30 30 30 31 43 44 45 42 38 0d 0a 75 aa 00 0c 01 41 00 06 00 ff 00 ff 00 00 00 1f 55 75 aa"
off="23 78 30 30 30 30 30 30 35 43 44 45 42 43 0d 0a 75 aa 00 0c 01 41 00 06 00 ff 00 ff 00 00 00 5f 15 75 aa"

echo "requests, line settings, a first start"
# The kernel says "crng init done" once its random pool is ready: mcusend must not wait for it.
out=$(board --sim "--vcd $tmp/plain.vcd" -- \
  'dmesg | grep -q "crng init done" && echo "pool ready first"
   mcusend -t 1000 6; dmesg | grep -q "crng init done" && echo "pool ready after mcusend"
   hddpower on; stty -F /dev/ttyAMA2 -a 2>/dev/null; hddpower off' \
  2>&1) ||
  fail "the plain run failed: $out"
grep -q '^mcusend: acknowledged: command 0006' <<<"$out" || fail "mcusend was not acknowledged: $out"
if ! grep -q '^pool ready first' <<<"$out" && grep -q '^pool ready after mcusend' <<<"$out"; then
  fail "mcusend waited for the kernel's random pool: $out"
fi
for setting in "speed 115200 baud" "min = 1; time = 0" "-parenb" "cs8" "-cstopb" "inpck" \
    "-opost" "-isig" "-icanon" "-echo "; do
  grep -q -e "$setting" <<<"$out" || fail "the line is not left with '$setting'"
done
bytes=$(host_bytes "$tmp/plain.vcd")
[ "${bytes: -${#on}-1-${#off}}" = "$on $off" ] || fail "hddpower on and off put other bytes: $bytes"
# Before them, mcusend's request alone: a frame with no payload, 11 bytes.
words() { wc -w <<<"$1"; }
[ "$(words "$bytes")" -eq $((11 + $(words "$on") + $(words "$off"))) ] ||
  fail "more than the requests on the line: $bytes"

echo "a line without CLOCAL, a session leader, answers 50 ms late while the clock is set"
out=$(board --sim "--delay 50 --vcd $tmp/noclocal.vcd" -- \
  'stty -F /dev/ttyAMA2 -clocal; timeout 10 hddpower on >/dev/null 2>&1; echo hddpower $?
   timeout 10 mcusend -t 1000 6; echo mcusend $?
   stty -F /dev/ttyAMA2 clocal
   setsid mcusend --count 100000 -t 1000 6 >/dev/null 2>&1 & sleep 1
   echo terminal $(cut -d" " -f7 /proc/$!/stat); kill $!; wait
   (while :; do date -s @$(( $(date +%s) + 3600 )) >/dev/null; done) & stepper=$!
   mcusend --count 20 -t 2000 6 >/dev/null; echo stepped $?; kill $stepper' 2>&1) ||
  fail "the run without CLOCAL failed: $out"
grep -q '^stepped 0$' <<<"$out" || fail "answers were lost while the clock was set forward: $out"
grep -q '^hddpower 0$' <<<"$out" || fail "hddpower did not end with 0 on a line without CLOCAL: $out"
grep -q '^mcusend 0$' <<<"$out" || fail "mcusend was not answered on a line without CLOCAL: $out"
grep -q '^terminal 0$' <<<"$out" || fail "a session leader took the line as its terminal: $out"
[[ "$(host_bytes "$tmp/noclocal.vcd")" == "$on "* ]] || fail "hddpower's request did not reach the line"

echo "waits while the clock is set an hour back and an hour forward"
# Each wait is measured on the kernel's uptime, which setting the clock does not move.
out=$(board --sim "--no-answer" -- \
  'up() { cut -d" " -f1 /proc/uptime; }
   for shift in -3600 3600; do
     (sleep 0.5; date -s @$(( $(date +%s) + shift )) >/dev/null) &
     a=$(up); timeout 60 mcusend -t 2000 6 >/dev/null 2>&1; s=$?; b=$(up); wait
     echo "wait $shift: status $s, $(echo "$a $b" | awk "{ print \$2 - \$1 }") s"
   done
   (while :; do date -s @$(( $(date +%s) + 3600 )) >/dev/null; done) & stepper=$!
   a=$(up); hddpower on >/dev/null 2>&1; b=$(up); kill $stepper
   echo "hddpower: $(echo "$a $b" | awk "{ print \$2 - \$1 }") s"' 2>&1) ||
  fail "the run with the clock set failed: $out"
for shift in -3600 3600; do
  took=$(sed -n "s/^wait $shift: status 1, \([0-9.]*\) s$/\1/p" <<<"$out")
  awk -v s="${took:-0}" 'BEGIN { exit !(s >= 1.95 && s < 50) }' ||
    fail "a 2 s wait with the clock set by $shift s did not last 2 s: $out"
done
took=$(sed -n 's/^hddpower: \([0-9.]*\) s$/\1/p' <<<"$out")
awk -v s="${took:-0}" 'BEGIN { exit !(s >= 0.1) }' ||
  fail "hddpower on did not wait its 100 ms while the clock was set forward: $out"

echo "soak, 1000 commands under faults"
out=$(board --file "$arm/mcudaemon" \
  --sim "--result seq --noise 32 --false-heads --split --duplicate 0.3 --unasked 0x0019 --unasked-ms 20" \
  -- 'mcusend --count 1000 --verbose -t 5000 6 00ff00ff0000001f 2>/dev/null
      mcudaemon --commands 20 | tail -1' 2>&1) || true
# The example daemon in C on the same faults: answers, and the MCU's frames as events.
grep -q '^mcudaemon: 20 commands, [0-9]* answered, .* events: [1-9][0-9]* unasked, [0-9]* late answers, [0-9]* copies, 0 dropped$' <<<"$out" ||
  fail "the example daemon did not run as it should: $(grep mcudaemon <<<"$out")"
# A request that the emulated UART damaged on its way (mcusim received noise from the board's
# side) cannot be answered; any other time-out, and any wrong answer, is a fault. Each answer is
# waited for 5 s: an emulated board on a busy machine may stall for a second, and a time-out
# here must mean a lost answer, not a slow machine.
read -r n _ late wrong _ damaged <<<"$(awk -f scripts/soak-tally.awk <<<"$out")"
verdict="$n commands, $wrong wrong answers, $late timed out of which $((late > damaged ? late - damaged : 0)) unexplained"
[[ "$verdict" == "1000 commands, 0 wrong answers, "*" 0 unexplained" ]] || fail "soak: $verdict"

echo "the module's tests in the guest"
out=$(board --timeout 600 --file "$arm/tests/module_test" -- 'module_test --gtest_brief=1' 2>&1) ||
  fail "the module's tests failed on the board: $(tail -30 <<<"$out")"

if [ "$failures" -ne 0 ]; then
  echo "board check: $failures problem(s)" >&2
  exit 1
fi
echo "board: all as expected"
