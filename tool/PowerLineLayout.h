// SPDX-License-Identifier: MIT
// Where each part of the ASCII power line stands: the tool lays the line out by it, and the
// simulator's decoder and report read lines by it. "#x", six '0', the power digit, "CDE", the
// low byte of the sum of those 12 bytes as two upper-case hex digits, CR LF.
#ifndef TOOL_POWERLINELAYOUT_H
#define TOOL_POWERLINELAYOUT_H

namespace mcucom {
namespace power_line {

const int kSize = 16;
const char kLead = '#';        // the line's first byte, then kLeadSecond
const char kLeadSecond = 'x';  // then hex digits up to the checksum
const int kDigitAt = 8;        // the power digit
const char kOnDigit = '1';
const char kOffDigit = '5';
const int kSummedBytes = 12;  // the bytes the checksum adds up: all before it
const int kChecksumAt = 12;   // two upper-case hex digits
const int kCrAt = 14;         // CR, then LF

}  // namespace power_line
}  // namespace mcucom

#endif  // TOOL_POWERLINELAYOUT_H
