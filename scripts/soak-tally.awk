# SPDX-License-Identifier: MIT
# The tally of a soak, shared by scripts/soak.sh and the board suite (board/lab/). It reads mcusend --verbose
# ("N serial S result R rtt_us T", R "timeout" when no answer came) and mcusim's report, in any
# order, and prints on one line:
#   commands acknowledged timed-out wrong-answers longest-run requests-lost
# The simulated MCU numbers its answers with --result seq: the n-th answer it sends carries n
# modulo 256. A request that never reached it whole (requests-lost: mcusend's commands less the
# frames mcusim received) gets no answer and no number, so command N's own answer carries N, or
# up to requests-lost less. An answer is wrong when it carries another number, or when mcusim
# sent no answer with that serial number and that result at all. longest-run is the longest run
# of consecutive commands without an answer.
function hex(text,   value, i) {
  value = 0
  text = tolower(substr(text, 3))
  for (i = 1; i <= length(text); i++) value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
  return value
}
$2 == "serial" && $4 == "result" && $6 == "rtt_us" {
  sent++
  if ($5 == "timeout") { timedout++; run++; if (run > longest) longest = run; next }
  run = 0
  acked++
  position[acked] = $1
  taken[acked] = $3 "," $5
  result[acked] = $5
  next
}
/^mcusim: received frame:/ { received++ }
/^mcusim:   acknowledges serial / { serial = $4; sub(/,$/, "", serial); answered[serial "," hex($6)] = 1 }
END {
  lost = sent - received
  if (lost < 0) lost = 0
  for (i = 1; i <= acked; i++) {
    behind = (position[i] - result[i]) % 256
    if (behind < 0) behind += 256
    if (!(taken[i] in answered) || behind > lost) wrong++
  }
  printf "%d %d %d %d %d %d\n", sent, acked, timedout, wrong, longest, lost
}
