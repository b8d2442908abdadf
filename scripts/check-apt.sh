#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# apt_get's own behaviour (scripts/apt.sh), with a stand-in for apt-get that counts its runs:
#   - a lock held by another install is waited for, and the install then goes on;
#   - any other failure is final at once, with its output and status;
#   - a lock held longer than the patience given fails with apt-get's own words.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/apt.sh
. scripts/apt.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "apt check: $*" >&2; failures=$((failures + 1)); }
# The stand-in: fails with the lock's words until its FREE_AFTER-th run, or with OTHER.
cat >"$work/apt-get" <<'STANDIN'
#!/bin/sh
echo run >>"$COUNT"
runs=$(wc -l <"$COUNT")
if [ -n "${OTHER:-}" ]; then echo "$OTHER"; exit 100; fi
if [ "$runs" -lt "$FREE_AFTER" ]; then
  echo "E: Could not get lock /var/lib/apt/lists/lock. It is held by process 4242 (apt-get)"
  exit 100
fi
echo "installed: $*"
STANDIN
chmod +x "$work/apt-get"
export HDDPOWER_APT_GET=$work/apt-get HDDPOWER_APT_RETRY=0.1 COUNT=$work/count

echo "a lock held for a while"
: >"$COUNT"
FREE_AFTER=3 apt_get install -y pkg 2>"$work/err" || fail "failed: $(cat "$work/err")"
[ "$(wc -l <"$COUNT")" -eq 3 ] || fail "ran $(wc -l <"$COUNT") times, not 3"
grep -qx "apt-get: another install holds the package manager; waiting" "$work/err" ||
  fail "did not say it waits: $(cat "$work/err")"

echo "another failure"
: >"$COUNT"
status=0
OTHER="E: Unable to locate package pkg" FREE_AFTER=1 apt_get install -y pkg 2>"$work/err" ||
  status=$?
[ "$status" -eq 100 ] || fail "status $status, not apt-get's 100"
[ "$(wc -l <"$COUNT")" -eq 1 ] || fail "ran $(wc -l <"$COUNT") times, not once"
grep -qx "E: Unable to locate package pkg" "$work/err" || fail "apt-get's words lost"

echo "a lock held past the patience"
: >"$COUNT"
status=0
HDDPOWER_APT_WAIT=0.3 FREE_AFTER=1000 apt_get update 2>"$work/err" || status=$?
[ "$status" -eq 100 ] || fail "status $status, not apt-get's 100"
grep -q "Could not get lock" "$work/err" || fail "the lock's words lost: $(cat "$work/err")"

[ "$failures" -eq 0 ] || exit 1
echo "apt check: all passed"
