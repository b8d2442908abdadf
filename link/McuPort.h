// SPDX-License-Identifier: MIT
// The module's MCU port: its fixed settings, opening and closing it, and the one write path.
#ifndef LINK_MCUPORT_H
#define LINK_MCUPORT_H

#include "serial/SerialFun.h"

namespace mcucom {

// The board's MCU line and its rate: the defaults of every program and interface that opens it.
const char* const MCU_LINE_DEVICE = "/dev/ttyAMA2";
const unsigned int MCU_LINE_BAUD = 115200;

// The MCU port's fixed settings (115200 baud, 8N1, no stick parity, reserved values 0, 1000,
// 0, 1000) for the device given; McuComModuleInit opens "/dev/ttyAMA2" with them.
TerminalInfo McuPortSettings(const char* devName);
// The same line as the programs that watch it or stand in for the MCU take it (mcusim's
// decoder and server): 115200 baud, 8N1, raw, reading whatever comes, as McuPortSettings
// gives it to the port, but with CLOCAL as well, where the port keeps the line's own. Those
// programs honour no modem lines: without CLOCAL, a line whose carrier input nobody drives (a
// USB adapter wired to TX alone) counts as hung up.
void SetMcuLineToWatch(int fd);

}  // namespace mcucom

int McuComModuleInit();
int McuComModuleDestory();
// Writes to g_McuCom with a 1-second readiness time-out; PORT_FAIL (-1) on failure, else the
// count written, which may be short.
int WriteToMcuPort(char* buf, int count);

#endif  // LINK_MCUPORT_H
