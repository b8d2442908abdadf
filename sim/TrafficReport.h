// SPDX-License-Identifier: MIT
// Human-readable descriptions of what crosses the MCU line, for mcusim's log.
#ifndef SIM_TRAFFICREPORT_H
#define SIM_TRAFFICREPORT_H

#include <string>
#include <vector>

#include "sim/StreamDecoder.h"

struct termios;

// One or more lines (without trailing newline, joined by '\n') describing an item.
std::string DescribeItem(const DecodedItem& item);

// The name a command code goes by in reports.
std::string CommandName(unsigned int code);

// Bytes as lower-case hex pairs separated by blanks.
std::string HexBytes(const unsigned char* data, size_t count);

// Speed, character format, parity, stop bits and raw-ness of a terminal.
std::string DescribeLineSettings(const struct termios& tio);
// The end of a run: whether the command left the line as it found it, and how it left it.
std::string SayLineLeft(const struct termios& found, const struct termios& left);

#endif  // SIM_TRAFFICREPORT_H
