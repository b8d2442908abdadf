// SPDX-License-Identifier: MIT
// The ASCII form of the hard-disk power request: a 16-byte line, "#x0000001CDEB8" CR LF for
// on and "#x0000005CDEBC" CR LF for off.
#ifndef TOOL_POWERLINE_H
#define TOOL_POWERLINE_H

// Writes the line for on (non-zero) or off; -1 when the write failed, else 0.
int HddPowerOptASCII(int on);
// The sum of the first n bytes, each 0 to 255; not reduced to 8 bits.
int CaculateCrcValue(char* buf, int n);

#endif  // TOOL_POWERLINE_H
