#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The manual pages made from the programs, once, on the build machine, and kept in man/, so that
# a cross build (a board image's, which runs no program of the target) installs them as they
# are: mcusend(1) and mcusim(1) from their --help by help2man, and the command table,
# mcucom-commands(7), from mcusend --list, which docs/api.md shows too.
#   scripts/man-pages.sh BUILD_DIR           writes them anew
#   scripts/man-pages.sh --check BUILD_DIR   fails when one differs from what the programs say
#                                            now (the date help2man puts in is not compared)
set -euo pipefail
cd "$(dirname "$0")/.."
check=no
if [ "${1:-}" = --check ]; then
  check=yes
  shift
fi
build=$1
page() {  # PROGRAM DESCRIPTION: the page on standard output
  printf '%s\n' '.\" SPDX-License-Identifier: MIT'
  help2man --no-info --section=1 --name="$2" "$build/$1"
}
# The command table as a manual page of section 7.
commands_page() {
  cat <<'HEAD'
.\" SPDX-License-Identifier: MIT
.\" Made by scripts/man-pages.sh from mcusend --list: edit the table in common/CmdTable.cpp.
.TH MCUCOM-COMMANDS 7 2026-12-08 "mcucom" "MCU link library"
.SH NAME
mcucom-commands \- the MCU's command table
.SH DESCRIPTION
The codes the module sends, each with its flag byte. A command whose flag has bit 6 (0x40, the
ackBit) set waits for the MCU's answer: its payload byte 0 the command's serial number, byte 1
the MCU's result. The others are written and not answered. A code that is not here is refused
(\fBmcucom_command\fP(3) returns \-ENOMSG).
.PP
.nf
HEAD
  "$build/mcusend" --list
  cat <<'TAIL'
.fi
.SH SEE ALSO
.BR mcusend (1),
.BR mcucom_command_flag (3),
.BR mcucom (3)
TAIL
}
# The same table in the guide, between its two markers.
guide_with_table() {
  awk -v table="$("$build/mcusend" --list | sed 's/^/    /')" '
    /^<!-- the command table/ { print; print ""; print table; print ""; skip = 1; next }
    /^<!-- end of the command table/ { skip = 0 }
    !skip { print }' docs/api.md
}
stale=0
if [ "$check" = no ]; then
  mkdir -p man/man7
  commands_page >man/man7/mcucom-commands.7
  guide_with_table >docs/api.md.new && mv docs/api.md.new docs/api.md
else
  for made in "man/man7/mcucom-commands.7|commands_page" "docs/api.md|guide_with_table"; do
    if ! diff <("${made#*|}") "${made%%|*}" >&2; then
      echo "${made%%|*} does not hold the command table mcusend --list prints: run scripts/man-pages.sh $build" >&2
      stale=1
    fi
  done
fi
while IFS='|' read -r program description; do
  if [ "$check" = no ]; then
    page "$program" "$description" >"man/$program.1"
  elif ! diff <(page "$program" "$description" | grep -v '^\.TH ') \
              <(grep -v '^\.TH ' "man/$program.1") >&2; then
    echo "man/$program.1 is not what $program --help says now: run scripts/man-pages.sh $build" >&2
    stale=1
  fi
done <<'PAGES'
mcusend|send a command to the MCU and report its acknowledgement
mcusim|run a command against a simulated MCU, or decode the MCU line
PAGES
exit "$stale"
