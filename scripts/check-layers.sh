#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fails when a file of the module includes a header of a layer above its own, or of another
# layer at its own height. The layers, from the bottom: common/ (protocol facts, locks, threads,
# IPC, the FIFO client), serial/ (the port), ack/ (the ring, the packet lists, the wait list:
# where acknowledgements are kept and waited for), receiver/ (the stream scanner, the receiver
# thread, the commands finished lately), link/ (the link: send path, port settings, serial
# numbers, the fixed interface's globals), then side by side tool/ (hddpower: its power
# requests and its program) and capi/ (the C interface). Everything else (programs/, sim/,
# bringup/, tests/, fuzz/, bench/, examples/) sits on top and may include any of them.
set -euo pipefail
cd "$(dirname "$0")/.."
rank() {
  case "$1" in
    common) echo 0 ;;
    serial) echo 1 ;;
    ack) echo 2 ;;
    receiver) echo 3 ;;
    link) echo 4 ;;
    tool | capi) echo 5 ;;
    *) echo 9 ;;
  esac
}
bad=0
while IFS= read -r file; do
  layer=${file%%/*}
  own=$(rank "$layer")
  while IFS= read -r included; do
    target=${included%%/*}
    theirs=$(rank "$target")
    if [ "$theirs" -ne 9 ] && { [ "$theirs" -gt "$own" ] ||
      { [ "$theirs" -eq "$own" ] && [ "$target" != "$layer" ]; }; }; then
      echo "$file includes $included: $layer/ must not depend on $target/" >&2
      bad=1
    fi
  done < <(sed -n 's/^#include "\([^"]*\)".*/\1/p' "$file")
done < <(git ls-files 'common/*' 'serial/*' 'ack/*' 'receiver/*' 'link/*' 'tool/*' 'capi/*' |
  grep -E '\.(h|cpp)$')
[ "$bad" -eq 0 ] && echo "layers: no include points upward"
exit "$bad"
