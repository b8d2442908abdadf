# SPDX-License-Identifier: MIT
# Runs gates, sourced by test.sh and by its self-check. A gate is a shell function gate_NAME;
# run_gates NAME... runs each in a subshell of its own with errexit, nounset and pipefail, not
# as the condition of an if or an || (where bash ignores errexit), so any step that fails, in
# any position, ends its gate and fails it. It prints one line per gate and a total, and
# returns 1 when any gate failed.

run_gates() {  # run_gates NAME...
  local gate status start passed=0 failed=0 summary=()
  for gate in "$@"; do
    printf '\n==== %s ====\n' "$gate"
    start=$SECONDS
    # Neither the subshell nor anything around it may be a condition: errexit must hold inside.
    set +e
    (
      set -euo pipefail
      "gate_$gate"
    )
    status=$?
    set -e
    if [ "$status" -eq 0 ]; then
      passed=$((passed + 1))
      summary+=("$(printf 'gate %-8s passed  %4d s' "$gate" $((SECONDS - start)))")
    else
      failed=$((failed + 1))
      summary+=("$(printf 'gate %-8s FAILED  %4d s  (status %d)' "$gate" $((SECONDS - start)) "$status")")
      echo "gate $gate FAILED" >&2
    fi
  done
  echo
  printf '%s\n' "${summary[@]}"
  echo "gates: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
