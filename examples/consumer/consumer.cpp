// SPDX-License-Identifier: MIT
// consumer: a program of its own, built against the installed MCU module. It opens the MCU
// port, runs the module's receiver, sends command 0303 of the table with a two-byte payload
// through sendCmdData and prints the acknowledgement.
//   consumer [DEVICE]        (default /dev/ttyAMA2)
// Exit status: 0 acknowledged, 1 no acknowledgement, 3 the device could not be opened.
#include <stdio.h>
#include <string.h>

#include "tool/HddPower.h"

int main(int argc, char* argv[]) {
    const char* device = argc > 1 ? argv[1] : "/dev/ttyAMA2";
    TerminalInfo info = mcucom::McuPortSettings(device);
    if (g_McuCom.OpenCom(&info) != 0) {
        fprintf(stderr, "consumer: cannot open %s\n", device);
        return 3;
    }
    mcucom::ModuleReceiver receiver;  // feeds m_ackList and wakes the waiting command
    receiver.Start();

    unsigned char payload[2] = {0x01, 0x02};
    __UserCmdData request;  // serialNum 0: the next serial number is taken
    request.cmd = CMD_0303;
    request.dataLen = sizeof payload;
    request.data = payload;
    unsigned char reply[mcucom::FRAME_MAX_SIZE];
    memset(reply, 0, sizeof reply);
    const int result = sendCmdData(&request, reinterpret_cast<__ComFrameData*>(reply), 1000);

    receiver.Stop();
    g_McuCom.CloseCom();
    if (result > 0) {
        printf("consumer: command 0303, serial %u, acknowledged with result 0x%02x\n",
               request.serialNum, mcucom::FrameAnswerResult(reply));
        return 0;
    }
    printf("consumer: command 0303, serial %u, not acknowledged (%d)\n", request.serialNum, result);
    return 1;
}
