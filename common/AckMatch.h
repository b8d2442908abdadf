// SPDX-License-Identifier: MIT
// The acknowledgement matching rule, in one place for the wait list and the packet list.
//
// An acknowledgement answers a command when the two cmd fields are equal and the
// acknowledgement's first payload byte equals the command's serial number. For command 4 the
// cmd fields alone decide: its answer matches any waiting command 4, whatever its serial
// number. Codes are compared raw, in network byte order, as frames carry them.
#ifndef COMMON_ACKMATCH_H
#define COMMON_ACKMATCH_H

#include <arpa/inet.h>

#include "common/CmdTable.h"

namespace mcucom {

inline bool MatchesOnCmdAlone(unsigned short cmdNetworkOrder) {
    return cmdNetworkOrder == htons(CMD_0004);
}

// Whether a frame with cmd and serial-number byte answerSerial answers the command (cmd,
// serial).
inline bool AnswerMatches(unsigned short answerCmd, unsigned char answerSerial, unsigned short cmd,
                          unsigned char serial) {
    return answerCmd == cmd && (MatchesOnCmdAlone(cmd) || answerSerial == serial);
}

}  // namespace mcucom

#endif  // COMMON_ACKMATCH_H
