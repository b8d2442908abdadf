// SPDX-License-Identifier: MIT
// The MCU's command table: every command code the module sends, with its flag byte.
//
// A frame carries a code's low 16 bits; lookups compare all 32. Flag bytes: 0x01 in every
// entry, 0x10 in some, FRAME_ACK_BIT (0x40) where the sender waits for an acknowledgement.
// Bits 0 and 4 are for the MCU; the module reads only the ackBit.
#ifndef COMMON_CMDTABLE_H
#define COMMON_CMDTABLE_H

enum COM_CMD_3520D_TYPE : unsigned int {
    CMD_0002 = 0x0002,
    CMD_0003 = 0x0003,
    CMD_0004 = 0x0004,  // its acknowledgement matches any waiting command 4, whatever serial
    CMD_0005 = 0x0005,
    CMD_ALARM_OUT_POWER = 0x0006,  // alarm-output (hard-disk) power control, 8-byte payload
    CMD_0007 = 0x0007,
    CMD_0008 = 0x0008,  // printed after sending
    CMD_0009 = 0x0009,
    CMD_000F = 0x000F,
    CMD_0010 = 0x0010,
    CMD_0011 = 0x0011,
    CMD_0016 = 0x0016,
    CMD_0017 = 0x0017,
    CMD_0019 = 0x0019,
    CMD_001C = 0x001C,
    CMD_0021 = 0x0021,  // printed after sending
    CMD_0082 = 0x0082,
    CMD_0083 = 0x0083,
    CMD_0303 = 0x0303,
    CMD_0304 = 0x0304,
    CMD_0306 = 0x0306,
    CMD_0309 = 0x0309,
    CMD_031C = 0x031C,
    CMD_031E = 0x031E,
    CMD_0320 = 0x0320,
    CMD_0321 = 0x0321,
    CMD_0322 = 0x0322,
    CMD_0330 = 0x0330,
    CMD_0332 = 0x0332,
    CMD_0335 = 0x0335,
    CMD_0404 = 0x0404,
};

// One entry of the command table.
struct __CmdFlagItem {
    COM_CMD_3520D_TYPE cmd;
    unsigned char flag;
};

namespace mcucom {

const int CMD_TABLE_SIZE = 31;

}  // namespace mcucom

extern const __CmdFlagItem m_cmdFlag[mcucom::CMD_TABLE_SIZE];

// The flag byte of a code; 0 for a code without an entry (no entry has the flag byte 0).
unsigned char GetCmdFlag(COM_CMD_3520D_TYPE cmd);

#endif  // COMMON_CMDTABLE_H
