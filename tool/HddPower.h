// SPDX-License-Identifier: MIT
// The command module: everything a program needs to switch the hard-disk power through the
// MCU, or to send any command of the table, in one include.
//
// A request reaches the MCU in two encodings, in this order: the 16-byte ASCII power line
// (HddPowerOptASCII) and the binary command 6 (HddPowerOptHEX -> AlarmOutPowerCtl ->
// sendCmdData). sendCmdData frames any command of the table; an acknowledged command goes
// through WriteData, which registers it in m_waitCmdList, writes it, waits for the
// acknowledgement and collects it from m_ackList. WriteToMcuPort is the one write path to the
// MCU. The receiving half (feeding m_ackList and waking waiters) is a ModuleReceiver.
#ifndef TOOL_HDDPOWER_H
#define TOOL_HDDPOWER_H

#include "common/CmdTable.h"      // command codes, the table and its flag bytes
#include "common/ComFrame.h"      // the frame, its checksum and completion
#include "link/McuPort.h"         // the port's settings, opening, closing and writing
#include "link/ModuleGlobals.h"   // g_McuCom, m_waitCmdList, m_ackList, m_dealList
#include "link/ModuleReceiver.h"  // a receiver on the module's own port and lists
#include "link/ModuleResults.h"   // result codes of the send path and the port
#include "link/SendPath.h"        // sendCmdData and WriteData
#include "link/SerialNumber.h"    // GetSerialNum
#include "tool/AlarmOutPower.h"   // command 6 and its payload
#include "tool/PowerLine.h"       // the ASCII power line
#include "tool/PowerSwitch.h"     // the tool's on and off requests

#endif  // TOOL_HDDPOWER_H
