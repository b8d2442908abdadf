// SPDX-License-Identifier: MIT
// The simulated MCU on a line that already exists, instead of around a command: a serial
// device or a pseudo-terminal (a USB serial adapter on a real board's MCU line, say), or a unix
// socket that an emulator's UART connects to.
#ifndef SIM_SERVELINE_H
#define SIM_SERVELINE_H

#include "sim/McuSimulator.h"
#include "sim/VcdRecorder.h"

struct ServeSetup {
    SimOptions options;
    McuSimulator::LogSink log;  // the report; must never block for long
    VcdRecorder* vcd;           // records the traffic when not null
    bool share;                 // a device held by another program is used all the same
    bool quiet;                 // the simulator's line-by-line report left out
};

// Serves LINE until SIGINT, SIGTERM or SIGHUP. "unix:PATH" listens on a unix socket made at
// PATH (one left by a server that ended is replaced; removed at the end) and serves one peer
// after another, each until it closes, as an emulator that restarts connects again; a peer
// that comes while another is served waits its turn. "pty" makes a new pseudo-terminal, says
// its path first ("serving a pseudo-terminal at PATH") and serves it for one program after
// another until a stop signal. Anything else is a device, taken as
// LineOrFifo does, and served until it hangs up. Logs its totals and sets *ended to when serving
// ended. Returns 0, or, after saying why, 1 (the line cannot be used) or 3 (another program
// holds it); *ended is left as it was when nothing was served.
int ServeLine(const char* line, const ServeSetup& setup, double* ended);

#endif  // SIM_SERVELINE_H
