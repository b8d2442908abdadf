// The simulated MCU on a line that already exists, instead of around a command: a serial
// device or a pseudo-terminal (a USB serial adapter on a real board's MCU line, say), or a unix
// socket that an emulator's UART connects to.
#ifndef SIM_SERVELINE_H
#define SIM_SERVELINE_H

#include "sim/McuSimulator.h"
#include "sim/VcdRecorder.h"

// Serves LINE: "unix:PATH" listens on a new unix socket at PATH (removed at the end) and
// serves the first peer that connects; anything else is a device, taken as TakenLine does.
// Records the traffic into vcd when one is given. Ends on SIGINT, SIGTERM or SIGHUP, when the
// line hangs up or the peer closes the socket; then logs its totals and sets *ended to when
// it ended. Returns the exit status: 0, or, after saying why, 1 (the line cannot be used) or
// 3 (another program holds it).
int ServeLine(const char* line, const SimOptions& options, const McuSimulator::LogSink& log,
              VcdRecorder* vcd, bool share, double* ended);

#endif  // SIM_SERVELINE_H
