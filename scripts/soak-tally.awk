# SPDX-License-Identifier: MIT
# The tally of a soak, shared by scripts/soak.sh and the board suite (board/lab/). It reads mcusend --verbose
# ("N serial S result R rtt_us T", R "timeout" when no answer came; the simulated MCU numbers
# its answers with --result seq, so an answer to command N carries N modulo 256) and mcusim's
# report, and prints on one line:
#   commands acknowledged timed-out wrong-answers longest-run damaged-requests
# longest-run is the longest run of consecutive commands without an answer; damaged-requests
# counts the noise mcusim received from the board's side: a request the line damaged, which
# cannot be answered.
$2 == "serial" && $4 == "result" && $6 == "rtt_us" {
  sent++
  if ($5 == "timeout") { timedout++; run++; if (run > longest) longest = run; next }
  run = 0
  acked++
  if ($5 != $1 % 256) wrong++
}
/^mcusim: received .* of noise/ { damaged++ }
END { printf "%d %d %d %d %d %d\n", sent, acked, timedout, wrong, longest, damaged }
