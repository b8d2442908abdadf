// SPDX-License-Identifier: MIT
// Decoding a byte stream captured from the MCU line, as it arrives.
#ifndef SIM_CAPTUREDECODE_H
#define SIM_CAPTUREDECODE_H

#include <stddef.h>

#include <string>

#include "sim/ScenarioPlayer.h"
#include "sim/ScenarioRecorder.h"

struct DecodeOptions {
    DecodeOptions() : path(NULL), share(false), live(false), recorder(NULL), player(NULL) {}
    const char* path;  // a capture file, "-" for standard input, or a serial device
    bool share;        // a device: use it even when another program holds it
    bool live;         // a pipe: its bytes come from a live line
    // When given, told of each frame decoded, at its time from the first byte: a recording of
    // the capture as a scenario, and the requests a scenario's expectations judge.
    ScenarioRecorder* recorder;
    ScenarioPlayer* player;
};

// Decodes options.path. A serial device is taken for this program alone (unless shared), set
// to 115200 8N1 raw, and put back as it was when decoding ends, by its end, an error or
// SIGINT, SIGTERM or SIGHUP (after which the signal ends the program). Standard input that is
// a terminal is read as it is set. Each item goes to print as soon as it is decoded, after the
// time its first byte arrived ("12.345 ms: "), counted from the first byte; standard output is
// flushed after every read. On a live line (a terminal, or a pipe said to be live) what waits
// for more bytes is decided once the line has been quiet as long as the module's receiver
// would wait; in a recording only its end decides. Returns the exit status: 0; 1 after saying
// on standard error why the input could not be read or the output not written; 3 when
// another program holds the device.
int DecodeCapture(const DecodeOptions& options, void (*print)(const std::string& text));

#endif  // SIM_CAPTUREDECODE_H
