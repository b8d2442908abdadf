// SPDX-License-Identifier: MIT
// The stop signals of the programs built on the module (mcusend, mcusim's decoder and server):
// SIGINT, SIGTERM and SIGHUP end a run at its next step, after the program has put back what
// it changed, and then end the program as the signal would have.
#ifndef PROGRAMS_STOPSIGNALS_H
#define PROGRAMS_STOPSIGNALS_H

// Installs the handlers, without SA_RESTART, so that a wait or read in progress returns and
// the program's loop sees the signal.
void CatchStopSignals();

// Installs `handler` for each stop signal, as CatchStopSignals does: for a program that does
// something else with them (mcusim passes them on to its command).
void HandleStopSignals(void (*handler)(int));

// Blocks the stop signals in the calling thread (and the threads it starts next), or unblocks
// them.
void BlockStopSignals(bool blocked);

// The stop signal caught, or 0.
int StopSignalCaught();

// When a stop signal was caught, ends the program by it, with its default action.
void EndBySignalIfStopped();

#endif  // PROGRAMS_STOPSIGNALS_H
