#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves the gate runner fails a gate on any failing step: stub gates that fail in their first
# step, inside a helper, in a pipeline and on an unset variable must each fail, with the steps
# after the failure never run, while a gate whose steps all pass passes.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/gate-runner.sh
. scripts/gate-runner.sh

helper() { false; echo "helper went on"; }
gate_first() { false; echo "first went on"; }
gate_nested() { helper; echo "nested went on"; }
gate_piped() { false | cat; echo "piped went on"; }
gate_unset() { echo "${no_such_variable_here}"; echo "unset went on"; }
gate_good() { true; echo "good ran"; }

bad=0
for stub in first nested piped unset; do
  set +e
  output=$(run_gates "$stub" good 2>&1)
  status=$?
  set -e
  expected_lines=$(printf 'gate %-8s FAILED' "$stub")
  if [ "$status" -eq 0 ] || grep -q "went on" <<<"$output" ||
      ! grep -q "^$expected_lines" <<<"$output" || ! grep -q "good ran" <<<"$output" ||
      ! grep -q '^gates: 1 passed, 1 failed$' <<<"$output"; then
    echo "gate runner: a failing step in gate '$stub' did not fail it:" >&2
    printf '%s\n' "$output" >&2
    bad=1
  fi
done
[ "$bad" -eq 0 ] && echo "gate runner: every failing step fails its gate"
exit "$bad"
