// SPDX-License-Identifier: MIT
// The acknowledgement matching rule, in one place for every reader that pairs a frame with a
// command: the wait list, the packet list, the classifier of unclaimed frames and the
// simulator's recorder.
//
// An acknowledgement answers a command when the two cmd fields are equal and the
// acknowledgement's first payload byte equals the command's serial number. For command 4 the
// cmd fields alone decide: its answer matches any waiting command 4, whatever its serial
// number. A frame without a payload carries no serial byte (its byte 8 is the checksum), so it
// answers nothing, command 4 included: it is one of the MCU's own frames. Codes are compared
// raw, in network byte order, as frames carry them.
#ifndef COMMON_ACKMATCH_H
#define COMMON_ACKMATCH_H

#include <arpa/inet.h>

#include "common/CmdTable.h"
#include "common/ComFrame.h"

namespace mcucom {

inline bool MatchesOnCmdAlone(unsigned short cmdNetworkOrder) {
    return cmdNetworkOrder == htons(CMD_0004);
}

// Whether a frame carries the serial-number byte an acknowledgement starts its payload with;
// its len field says (the frame has been judged valid, so len is its own).
inline bool FrameHasAnswerSerial(const __ComFrameData* frame) {
    return FrameLenField(FrameBytes(frame)) > FRAME_MIN_LEN_FIELD;
}

// Whether a received frame answers the command (cmd as frames carry it, serial).
inline bool FrameAnswers(const __ComFrameData* frame, unsigned short cmd, unsigned char serial) {
    return frame->cmd == cmd && FrameHasAnswerSerial(frame) &&
           (MatchesOnCmdAlone(cmd) || FramePayload(frame)[ANSWER_SERIAL_AT] == serial);
}

// Whether a frame the program sent is the command (cmd, serial): its own serial number at
// byte 4 decides, or, for command 4, its cmd alone.
inline bool SentFrameIs(const __ComFrameData* frame, unsigned short cmd, unsigned char serial) {
    return frame->cmd == cmd && (MatchesOnCmdAlone(cmd) || frame->serialNum == serial);
}

}  // namespace mcucom

#endif  // COMMON_ACKMATCH_H
