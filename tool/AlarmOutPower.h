// SPDX-License-Identifier: MIT
// The binary form of the hard-disk power request: command 6 with an alarm-output power payload.
#ifndef TOOL_ALARMOUTPOWER_H
#define TOOL_ALARMOUTPOWER_H

// The payload of command 6, filled in host byte order; AlarmOutPowerCtl sends it big-endian.
struct __AlarmOutPwrCtl {
    unsigned short maskA;
    unsigned short maskB;
    unsigned int powerBits;
};
static_assert(sizeof(__AlarmOutPwrCtl) == 8, "the command 6 payload is 8 bytes");

// Sends command 6 with *ctl as its payload; the result is sendCmdData's.
int AlarmOutPowerCtl(__AlarmOutPwrCtl* ctl, unsigned int timeo);
// The tool's power request (masks 0x00FF, power bits 0x1F on, 0x5F off); always 0.
int HddPowerOptHEX(int on);

#endif  // TOOL_ALARMOUTPOWER_H
