// SPDX-License-Identifier: MIT
// The ASCII form of the power request: "#x", six '0', the power digit ('1' on, '5' off),
// "CDE", the low byte of the sum of those 12 bytes as two hex digits, CR LF; 16 bytes.
#include "tool/PowerLine.h"

#include <string.h>

#include "serial/PortResults.h"
#include "tool/McuPort.h"

namespace {

const int kLineBufSize = 100;
const int kSummedBytes = 12;

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
    line[len++] = '#';
    line[len++] = 'x';
    for (int i = 0; i < 6; ++i) {
        line[len++] = HexDigit(0);
    }
    line[len++] = HexDigit(on != 0 ? 1 : 5);
    line[len++] = HexDigit(12);
    line[len++] = HexDigit(13);
    line[len++] = HexDigit(14);
    const int sum = CaculateCrcValue(line, kSummedBytes);
    line[len++] = HexDigit(sum >> 4);
    line[len++] = HexDigit(sum);
    line[len++] = '\r';
    line[len++] = '\n';
    return WriteToMcuPort(line, len) == PORT_FAIL ? PORT_FAIL : 0;
}
