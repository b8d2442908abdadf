// SPDX-License-Identifier: MIT
// The ASCII form of the power request, laid out as tool/PowerLineLayout.h says.
#include "tool/PowerLine.h"

#include <string.h>

#include "link/McuPort.h"
#include "serial/PortResults.h"
#include "tool/PowerLineLayout.h"

namespace {

namespace layout = mcucom::power_line;

const int kLineBufSize = 100;

char HexDigit(int value) {
    value &= 0x0F;
    return static_cast<char>(value > 9 ? value + 7 + '0' : value + '0');
}

}  // namespace

int CaculateCrcValue(char* buf, int n) {
    int sum = 0;
    for (int i = 0; i < n; ++i) {
        sum += static_cast<unsigned char>(buf[i]);
    }
    return sum;
}

int HddPowerOptASCII(int on) {
    char line[kLineBufSize];
    memset(line, 0, sizeof line);
    int len = 0;
    line[len++] = layout::kLead;
    line[len++] = layout::kLeadSecond;
    while (len < layout::kDigitAt) {
        line[len++] = HexDigit(0);
    }
    line[len++] = on != 0 ? layout::kOnDigit : layout::kOffDigit;
    line[len++] = HexDigit(12);
    line[len++] = HexDigit(13);
    line[len++] = HexDigit(14);
    const int sum = CaculateCrcValue(line, layout::kSummedBytes);
    line[len++] = HexDigit(sum >> 4);
    line[len++] = HexDigit(sum);
    line[len++] = '\r';
    line[len++] = '\n';
    return WriteToMcuPort(line, len) == mcucom::PORT_FAIL ? mcucom::PORT_FAIL : 0;
}
