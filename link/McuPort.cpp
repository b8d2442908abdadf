// SPDX-License-Identifier: MIT
#include "link/McuPort.h"

#include <string.h>
#include <termios.h>

#include "link/McuLink.h"
#include "link/ModuleResults.h"

namespace mcucom {

TerminalInfo McuPortSettings(const char* devName) {
    TerminalInfo info;
    memset(&info, 0, sizeof info);
    info.baudRate = MCU_LINE_BAUD;
    info.dataBits = 8;
    info.parity = 'N';
    info.stopBits = 1;
    info.stickParity = 0;
    strncpy(info.devName, devName, sizeof info.devName - 1);
    info.reserved1 = 0;
    info.reserved2 = 1000;
    info.reserved3 = 0;
    info.reserved4 = 1000;
    return info;
}

void SetMcuLineToWatch(int fd) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace mcucom

int McuComModuleInit() {
    TerminalInfo info = mcucom::McuPortSettings(mcucom::MCU_LINE_DEVICE);
    return mcucom::McuLink::Default().port().OpenCom(&info) == 0 ? 0 : mcucom::MODULE_PORT_FAIL;
}

int McuComModuleDestory() {
    return mcucom::McuLink::Default().port().CloseCom() == 0 ? 0 : mcucom::MODULE_PORT_FAIL;
}

int WriteToMcuPort(char* buf, int count) {
    return mcucom::McuLink::Default().WriteToPort(buf, count);
}
