// Opening and closing the MCU port, the one write path to it, and the power requests.
#include <string.h>

#include "tool/HddPower.h"

namespace {

const unsigned int kMcuBaudRate = 115200;
const int kWriteTimeoutSec = 1;

}  // namespace

TerminalInfo McuPortSettings(const char* devName) {
    TerminalInfo info;
    memset(&info, 0, sizeof info);
    info.baudRate = kMcuBaudRate;
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

int McuComModuleInit() {
    TerminalInfo info = McuPortSettings("/dev/ttyAMA2");
    return g_McuCom.OpenCom(&info) == 0 ? 0 : -1;
}

int McuComModuleDestory() {
    return g_McuCom.CloseCom() == 0 ? 0 : -1;
}

int WriteToMcuPort(char* buf, int count) {
    return g_McuCom.WriteCom(buf, count, kWriteTimeoutSec);
}

// The result of the request is dropped: the tool's outcome never depends on the MCU.
int EnableHardWareHddPower(int hex) {
    if (hex == 0) {
        HddPowerOptASCII(1);
    } else {
        HddPowerOptHEX(1);
    }
    return 0;
}

int DisableHardWareHddPower(int hex) {
    if (hex == 0) {
        HddPowerOptASCII(0);
    } else {
        HddPowerOptHEX(0);
    }
    return 0;
}
