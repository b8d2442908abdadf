// SPDX-License-Identifier: MIT
#include "common/CmdTable.h"

const __CmdFlagItem m_cmdFlag[mcucom::CMD_TABLE_SIZE] = {
    {CMD_0002, 0x41},
    {CMD_0003, 0x41},
    {CMD_0004, 0x41},
    {CMD_0005, 0x01},
    {CMD_ALARM_OUT_POWER, 0x41},
    {CMD_0007, 0x41},
    {CMD_0008, 0x01},
    {CMD_0009, 0x41},
    {CMD_000F, 0x41},
    {CMD_0010, 0x41},
    {CMD_0011, 0x41},
    {CMD_0016, 0x41},
    {CMD_0017, 0x41},
    {CMD_0019, 0x01},
    {CMD_001C, 0x01},
    {CMD_0021, 0x01},
    {CMD_0082, 0x41},
    {CMD_0083, 0x41},
    {CMD_0303, 0x51},
    {CMD_0304, 0x51},
    {CMD_0306, 0x51},
    {CMD_0309, 0x51},
    {CMD_031C, 0x51},
    {CMD_031E, 0x51},
    {CMD_0320, 0x51},
    {CMD_0321, 0x51},
    {CMD_0322, 0x51},
    {CMD_0330, 0x41},
    {CMD_0332, 0x11},
    {CMD_0335, 0x41},
    {CMD_0404, 0x51},
};

unsigned char GetCmdFlag(COM_CMD_3520D_TYPE cmd) {
    static unsigned char len = mcucom::CMD_TABLE_SIZE;
    for (unsigned char i = 0; i < len; ++i) {
        if (m_cmdFlag[i].cmd == cmd) {
            return m_cmdFlag[i].flag;
        }
    }
    return 0;
}
