// SPDX-License-Identifier: MIT
#include "sim/TrafficReport.h"

#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <termios.h>

#include "common/CmdTable.h"
#include "common/ComFrame.h"
#include "common/FrameRules.h"
#include "serial/SerialFun.h"
#include "tool/PowerLine.h"
#include "tool/PowerLineLayout.h"

namespace {

const int kPowerPayloadSize = 8;
const unsigned int kPowerOffBit = 0x40;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

int HexValue(unsigned char c) {
    return c <= '9' ? c - '0' : c - 'A' + 10;
}

std::string DescribeAsciiLine(const std::vector<unsigned char>& line) {
    namespace layout = mcucom::power_line;
    const std::string text(line.begin(), line.begin() + layout::kCrAt);
    char buf[layout::kSize];
    memcpy(buf, line.data(), layout::kSummedBytes);
    const int sum = CaculateCrcValue(buf, layout::kSummedBytes);
    const int sent =
        HexValue(line[layout::kChecksumAt]) * 16 + HexValue(line[layout::kChecksumAt + 1]);
    const char digit = static_cast<char>(line[layout::kDigitAt]);
    const char* power = digit == layout::kOnDigit    ? "power on"
                        : digit == layout::kOffDigit ? "power off"
                                                     : "unknown power digit";
    return Format(
               "ascii line \"%s\" CR LF: %s (digit '%c'), checksum %02X %s (sum of 12 bytes 0x%X)",
               text.c_str(), power, digit, sent, sent == (sum & 0xFF) ? "ok" : "WRONG", sum) +
           (sent == (sum & 0xFF) ? "" : Format(", expected %02X", sum & 0xFF));
}

std::string DescribePowerPayload(const unsigned char* payload) {
    const unsigned int maskA = (payload[0] << 8) | payload[1];
    const unsigned int maskB = (payload[2] << 8) | payload[3];
    const unsigned int bits = (static_cast<unsigned int>(payload[4]) << 24) | (payload[5] << 16) |
                              (payload[6] << 8) | payload[7];
    return Format("\n  maskA 0x%04x, maskB 0x%04x, powerBits 0x%08x: %s", maskA, maskB, bits,
                  (bits & kPowerOffBit) != 0 ? "power off" : "power on");
}

// Received frames are valid; the simulator also describes frames it damaged on purpose.
std::string DescribeFrame(const std::vector<unsigned char>& frame) {
    const unsigned char* p = frame.data();
    const int len = mcucom::FrameLenField(p);
    const unsigned int cmd = mcucom::FrameCmdCode(p);
    const unsigned char flag = p[5];
    std::string text =
        Format("frame: len %d, serial %u, flag 0x%02x (ackBit %d), cmd 0x%04x %s", len, p[4], flag,
               mcucom::FrameAckBit(flag), cmd, CommandName(cmd).c_str());
    text += ", payload " + (len > 4 ? HexBytes(p + 8, static_cast<size_t>(len - 4)) : "(none)");
    if (cmd == CMD_ALARM_OUT_POWER && len - 4 == kPowerPayloadSize) {
        text += DescribePowerPayload(p + 8);
    }
    int frameLen = 0;
    const mcucom::FrameVerdict verdict =
        mcucom::JudgeFrameAt(mcucom::FlatBytes(p), static_cast<int>(frame.size()), &frameLen);
    const unsigned char stored = p[len + 4];
    text += verdict == mcucom::kFrameBadChecksum ? Format("\n  checksum %02x WRONG (computed %02x)",
                                                          stored, mcucom::FrameXor(p + 2, len + 2))
                                                 : Format("\n  checksum %02x ok", stored);
    text += verdict == mcucom::kFrameBadTail
                ? Format(", tail %02x %02x WRONG", p[len + 5], p[len + 6])
                : std::string(", tail ok");
    return text;
}

std::string DescribeNoise(const DecodedItem& noise) {
    const size_t size = noise.bytes.size();
    std::string text = Format("%zu byte%s of noise", size, size == 1 ? "" : "s");
    const char* reason = mcucom::RefusedHeadReason(noise.head);
    if (reason != NULL) {
        text += std::string(" (holds a frame head ") + reason + ")";
    }
    for (size_t i = 0; i < size; i += 16) {
        text += "\n  " + HexBytes(noise.bytes.data() + i, size - i < 16 ? size - i : 16);
    }
    return text;
}

unsigned int BaudOf(speed_t code) {
    for (int i = 0; i < mcucom::SPEED_TABLE_SIZE; ++i) {
        if (speed_atr[i].code == code) {
            return speed_atr[i].baudRate;
        }
    }
    return 0;
}

const char* ParityOf(const struct termios& tio) {
    if ((tio.c_cflag & PARENB) == 0) {
        return "no parity";
    }
    if ((tio.c_cflag & CMSPAR) != 0) {
        return (tio.c_cflag & PARODD) != 0 ? "mark parity" : "space parity";
    }
    return (tio.c_cflag & PARODD) != 0 ? "odd parity" : "even parity";
}

int DataBitsOf(const struct termios& tio) {
    switch (tio.c_cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

bool IsRaw(const struct termios& tio) {
    return (tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (tio.c_oflag & OPOST) == 0 &&
           (tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | ISTRIP)) == 0;
}

}  // namespace

std::string HexBytes(const unsigned char* data, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(count == 0 ? 0 : count * 3 - 1, ' ');
    for (size_t i = 0; i < count; ++i) {
        text[i * 3] = kDigits[data[i] >> 4];
        text[i * 3 + 1] = kDigits[data[i] & 0x0F];
    }
    return text;
}

std::string CommandName(unsigned int code) {
    if (code == CMD_ALARM_OUT_POWER) {
        return "CMD_ALARM_OUT_POWER";
    }
    if (GetCmdFlag(static_cast<COM_CMD_3520D_TYPE>(code)) == 0) {
        return "(not in the command table)";
    }
    return Format("CMD_%04X", code);
}

std::string DescribeItem(const DecodedItem& item) {
    switch (item.kind) {
        case DecodedItem::kAsciiLine:
            return DescribeAsciiLine(item.bytes);
        case DecodedItem::kFrame:
            return DescribeFrame(item.bytes);
        case DecodedItem::kNoise:
            return DescribeNoise(item);
    }
    return std::string();
}

std::string SayLineLeft(const struct termios& found, const struct termios& left) {
    const bool same = cfgetispeed(&found) == cfgetispeed(&left) &&
                      cfgetospeed(&found) == cfgetospeed(&left) && found.c_iflag == left.c_iflag &&
                      found.c_oflag == left.c_oflag && found.c_cflag == left.c_cflag &&
                      found.c_lflag == left.c_lflag && found.c_cc[VMIN] == left.c_cc[VMIN] &&
                      found.c_cc[VTIME] == left.c_cc[VTIME];
    return std::string(same ? "line settings left as found: " : "line settings left changed: ") +
           DescribeLineSettings(left);
}

std::string DescribeLineSettings(const struct termios& tio) {
    return Format(
        "%u baud in, %u baud out, %d data bits, %s, %d stop bit%s, %s, INPCK %s, VMIN %d, "
        "VTIME %d",
        BaudOf(cfgetispeed(&tio)), BaudOf(cfgetospeed(&tio)), DataBitsOf(tio), ParityOf(tio),
        (tio.c_cflag & CSTOPB) != 0 ? 2 : 1, (tio.c_cflag & CSTOPB) != 0 ? "s" : "",
        IsRaw(tio) ? "raw" : "not raw", (tio.c_iflag & INPCK) != 0 ? "on" : "off", tio.c_cc[VMIN],
        tio.c_cc[VTIME]);
}
