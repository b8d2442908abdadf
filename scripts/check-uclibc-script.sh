#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The uClibc toolchain script's own behaviour, with a stand-in for its ten-minute build (a
# command that counts its runs, takes a while and fills the folder) and caches of its own:
#   - two runs at once: one builds, the other waits for it, both print the same toolchain;
#   - a cache that holds the finished toolchain but cannot be written is used as it is;
#   - interrupted while it builds, it stops the whole build and keeps nothing half made.
set -euo pipefail
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'pkill -f "sleep 277" || true; rm -rf "$work"' EXIT
failures=0
fail() { echo "uclibc script check: $*" >&2; failures=$((failures + 1)); }
cat >"$work/builder" <<'BUILDER'
#!/bin/sh
echo run >>"$COUNT"
sleep "$TAKES"
mkdir -p "$1/bin" && touch "$1/bin/arm-uclibc-gcc"
BUILDER
chmod +x "$work/builder"
# toolchain CACHE SECONDS: the script with the stand-in build, started in the background and
# in place of the subshell that runs it, so that $! is the script's own process.
toolchain() {
  HDDPOWER_UCLIBC_CACHE=$1 COUNT=$1.count TAKES=$2 HDDPOWER_UCLIBC_BUILDER=$work/builder \
    exec scripts/uclibc-toolchain.sh
}

echo "two runs at once"
toolchain "$work/cache" 2 >"$work/first" 2>"$work/first.err" &
first=$!
toolchain "$work/cache" 2 >"$work/second" 2>"$work/second.err" &
second=$!
wait "$first" || fail "the first run failed: $(cat "$work/first.err")"
wait "$second" || fail "the second run failed: $(cat "$work/second.err")"
[ "$(wc -l <"$work/cache.count")" -eq 1 ] || fail "built $(wc -l <"$work/cache.count") times"
[ -s "$work/first" ] && cmp -s "$work/first" "$work/second" || fail "two toolchains: $(cat "$work/first" "$work/second")"
[ -f "$(cat "$work/first")/ready" ] || fail "the toolchain printed is not ready"

echo "a cache that cannot be written"
rm -f "$work/cache/current"
out=$(HDDPOWER_UCLIBC_CACHE=$work/cache unshare --mount sh -c \
  'mount --bind -o ro "$HDDPOWER_UCLIBC_CACHE" "$HDDPOWER_UCLIBC_CACHE" && scripts/uclibc-toolchain.sh' 2>&1) ||
  fail "a read-only cache with the toolchain failed: $out"
[ "$out" = "$(cat "$work/first")" ] || fail "a read-only cache printed: $out"

echo "interrupted while it builds"
toolchain "$work/cache2" 277 >/dev/null 2>"$work/stopped.err" &
pid=$!
for _ in $(seq 300); do
  [ -s "$work/cache2.count" ] && break
  sleep 0.1
done
kill -TERM "$pid"
set +e
wait "$pid"
status=$?
set -e
[ "$status" -eq 143 ] || fail "interrupted, it ended with $status: $(cat "$work/stopped.err")"
sleep 0.2
! pgrep -f "sleep 277" >/dev/null || fail "the build went on after the interrupt"
[ -z "$(find "$work/cache2" -mindepth 1 -maxdepth 1 -name '.build.*')" ] || fail "a half-made build was kept"

if [ "$failures" -ne 0 ]; then
  echo "uclibc script check: $failures problem(s)" >&2
  exit 1
fi
echo "uclibc script: all as expected"
