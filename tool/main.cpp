// SPDX-License-Identifier: MIT
// hddpower: switches the recorder's hard-disk power through the MCU.
//   hddpower on|off
// Sends the ASCII power line, then the binary command 6, and exits 0 whatever happened.
#include <stdio.h>
#include <string.h>

#include "common/FixedLog.h"
#include "common/StdStreams.h"
#include "tool/HddPower.h"

int main(int argc, char* argv[]) {
    mcucom::EnsureStandardStreams();
    if (argc < 2) {
        // argv[0] can be missing when a parent execs with an empty vector.
        const char* name = argc > 0 && argv[0] != NULL ? argv[0] : "hddpower";
        printf(TEXT_USAGE, name, name);
        return 0;
    }
    McuComModuleInit();
    if (strcmp(argv[1], "on") == 0) {
        puts(TEXT_POWER_ON);
        EnableHardWareHddPower(0);
        EnableHardWareHddPower(1);
    } else if (strcmp(argv[1], "off") == 0) {
        puts(TEXT_POWER_OFF);
        DisableHardWareHddPower(0);
        DisableHardWareHddPower(1);
    }
    McuComModuleDestory();
    return 0;
}
