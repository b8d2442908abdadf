// SPDX-License-Identifier: MIT
// Standard streams for programs that open a serial port.
#ifndef COMMON_STDSTREAMS_H
#define COMMON_STDSTREAMS_H

namespace mcucom {

// Makes descriptors 0, 1 and 2 valid before anything else is opened. A program started with
// one of them closed would otherwise be given it back by its first open: the serial port
// would become standard output or standard error, and every line printed would go to the
// MCU. A closed stream is pointed at /dev/null (or, where there is none, at a descriptor that
// refuses writes), so what is printed to it is lost, as it would have been.
// The placeholder is read-only: writes to it fail, as they would on the closed stream.
void EnsureStandardStreams();

// Flushes standard output and tells whether everything written to it got out. When not, says
// so on standard error after "program: ", with the system's reason where it is known, so
// that a program whose output went nowhere (a full disk, a closed stream) ends with a failure.
bool StandardOutputWritten(const char* program);

// Says on standard error that standard output could not be written: "program: cannot write
// standard output", then ": reason" when a reason is given.
void SayOutputFailed(const char* program, const char* reason);

}  // namespace mcucom

#endif  // COMMON_STDSTREAMS_H
