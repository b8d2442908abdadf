// SPDX-License-Identifier: MIT
#include "tool/PowerSwitch.h"

#include "tool/AlarmOutPower.h"
#include "tool/PowerLine.h"

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
