// SPDX-License-Identifier: MIT
#include "tool/AlarmOutPower.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include "common/FixedLog.h"
#include "link/ModuleResults.h"
#include "link/SendPath.h"

namespace {

const unsigned short kPowerMask = 0x00FF;
const unsigned int kPowerOnBits = 0x1F;
const unsigned int kPowerOffBits = 0x5F;  // differs from "on" in bit 6 alone
const unsigned int kPowerTimeoMs = 100;

}  // namespace

int AlarmOutPowerCtl(__AlarmOutPwrCtl* ctl, unsigned int timeo) {
    int result = mcucom::SEND_BAD_ARGUMENT;
    if (ctl != NULL) {
        unsigned char reply[mcucom::FRAME_MAX_SIZE];
        memset(reply, 0, sizeof reply);
        __UserCmdData request;
        // The caller's record stays in host order; the wire order lives in a copy.
        __AlarmOutPwrCtl wire = *ctl;
        wire.maskA = htons(wire.maskA);
        wire.maskB = htons(wire.maskB);
        wire.powerBits = htonl(wire.powerBits);
        request.cmd = CMD_ALARM_OUT_POWER;
        request.dataLen = sizeof wire;
        request.data = reinterpret_cast<unsigned char*>(&wire);
        result = sendCmdData(&request, reinterpret_cast<__ComFrameData*>(reply), timeo);
    }
    if (result < 0) {
        mcucom::PrintFixedLine(stderr, mcucom::LOG_POWER_CMD_FAILED, TEXT_POWER_CMD_FAILED, result);
    }
    return result;
}

// The outcome is reported only by the send path's lines; the tool's status never depends on it.
int HddPowerOptHEX(int on) {
    __AlarmOutPwrCtl ctl;
    ctl.maskA = kPowerMask;
    ctl.maskB = kPowerMask;
    ctl.powerBits = on != 0 ? kPowerOnBits : kPowerOffBits;
    AlarmOutPowerCtl(&ctl, kPowerTimeoMs);
    return 0;
}
