// SPDX-License-Identifier: MIT
// The command send path: the one way to send a command of the table to the MCU.
//
// sendCmdData frames a request (code, serial number, payload) and writes it. For a command
// whose flag has the ackBit it goes through WriteData, which registers the command in
// m_waitCmdList, writes it, waits up to the time-out (milliseconds) for the acknowledgement,
// collects it from m_ackList into the caller's reply, and unregisters the command; frames of
// codes 8 and 33 are also printed after sending. Results in link/ModuleResults.h.
#ifndef LINK_SENDPATH_H
#define LINK_SENDPATH_H

#include "common/CmdTable.h"
#include "common/ComFrame.h"

// A caller's command request.
struct __UserCmdData {
    __UserCmdData();

    COM_CMD_3520D_TYPE cmd;
    unsigned char serialNum;  // 0 asks for the next serial number; holds the one used on return
    unsigned short dataLen;
    unsigned char* data;  // payload in wire byte order
};

namespace mcucom {

const int SEND_FRAME_BUF_SIZE = 2048;
const int SEND_MAX_PAYLOAD = SEND_FRAME_BUF_SIZE - FRAME_MIN_SIZE;  // 2037
const unsigned int SEND_DEFAULT_TIMEO_MS = 100;

}  // namespace mcucom

int sendCmdData(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo);
int WriteData(char* frame, unsigned short size, __ComFrameData* reply, unsigned int timeo);

#endif  // LINK_SENDPATH_H
