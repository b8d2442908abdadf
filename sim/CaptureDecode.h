// Decoding a byte stream captured from the MCU line, as it arrives.
#ifndef SIM_CAPTUREDECODE_H
#define SIM_CAPTUREDECODE_H

#include <string>

// Decodes path: a capture file, "-" for standard input, or a serial device, which is set to
// 115200 8N1 raw first. Each item goes to print as soon as it is decoded, after the time its
// first byte arrived ("12.345 ms: "), counted from the first byte; standard output is flushed
// after every read. What waits for more bytes is decided once the input has been quiet as long
// as the module's receiver would wait. Returns the exit status: 0, or 1 after saying on
// standard error why the input could not be read.
int DecodeCapture(const char* path, void (*print)(const std::string& text));

#endif  // SIM_CAPTUREDECODE_H
