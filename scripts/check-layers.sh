#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails when a file of the module includes a header of a layer above its own. The layers, from
# the bottom: common/ (locks, the frame and its rules, the command table, IPC, the FIFO
# client), serial/ (the port), ack/ (ring, packet and wait lists, receiver), tool/ (the command
# module and the link), capi/ (the C interface). Everything else (programs/, sim/, bringup/,
# tests/, fuzz/, bench/, examples/) sits on top and may include any of them.
set -euo pipefail
cd "$(dirname "$0")/.."
rank() {
  case "$1" in
    common) echo 0 ;;
    serial) echo 1 ;;
    ack) echo 2 ;;
    tool) echo 3 ;;
    capi) echo 4 ;;
    *) echo 9 ;;
  esac
}
bad=0
while IFS= read -r file; do
  layer=${file%%/*}
  own=$(rank "$layer")
  while IFS= read -r included; do
    target=${included%%/*}
    if [ "$(rank "$target")" -gt "$own" ] && [ "$(rank "$target")" -ne 9 ]; then
      echo "$file includes $included: $layer/ must not depend on $target/" >&2
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files 'common/*' 'serial/*' 'ack/*' 'tool/*' 'capi/*' | grep -E '\.(h|cpp)$')
[ "$bad" -eq 0 ] && echo "layers: no include points upward"
exit "$bad"
