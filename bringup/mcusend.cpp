// mcusend: sends one command of the table to the MCU and reports its acknowledgement.
#include <arpa/inet.h>
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ack/McuReceiver.h"
#include "common/ParseNumber.h"
#include "tool/HddPower.h"

namespace {

const int kAcknowledged = 0;
const int kNoAcknowledgement = 1;
const int kUsageError = 2;
const int kSendError = 3;

const char kUsage[] =
    "usage: mcusend [--device PATH] [--timeout MS] [--serial N] CODE [HEXPAYLOAD]\n"
    "\n"
    "Sends the command CODE (decimal or 0x-hex; it must be in the command table) with an\n"
    "optional payload of hex digit pairs (blanks and colons between pairs are allowed) to the\n"
    "MCU on PATH (default /dev/ttyAMA2, 115200 8N1 raw), runs a receiver while it waits, and\n"
    "prints the acknowledgement: its serial number and result byte.\n"
    "\n"
    "--device PATH   the serial device\n"
    "--timeout MS    how long to wait for the acknowledgement (default 1000)\n"
    "--serial N      serial number to send (1 to 255; default: the next one)\n"
    "--help          this text\n"
    "\n"
    "Exit status: 0 acknowledged (or sent, for a command that expects no acknowledgement),\n"
    "1 no acknowledgement, 2 bad usage, 3 the device could not be opened or written.\n";

struct Options {
    const char* device;
    long long timeoutMs;
    long long serial;
    long long code;
    std::string payload;
};

bool ParseHex(const char* text, std::string* bytes) {
    std::string digits;
    for (const char* p = text; *p != '\0'; ++p) {
        if (isxdigit(static_cast<unsigned char>(*p))) {
            digits += *p;
        } else if (*p != ' ' && *p != ':') {
            return false;
        }
    }
    if (digits.size() % 2 != 0) {
        return false;
    }
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes->push_back(static_cast<char>(strtol(digits.substr(i, 2).c_str(), NULL, 16)));
    }
    return true;
}

bool ParseArguments(int argc, char* argv[], Options* options) {
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        if (name == "--device") {
            options->device = value;
        } else if (name == "--timeout") {
            if (!ParseInteger(value, 1, 600000, &options->timeoutMs)) {
                return false;
            }
        } else if (name == "--serial") {
            if (!ParseInteger(value, 1, 255, &options->serial)) {
                return false;
            }
        } else {
            return false;
        }
    }
    if (i >= argc || !ParseInteger(argv[i], 0, 0xFFFFFFFFLL, &options->code)) {
        return false;
    }
    if (i + 1 < argc && !ParseHex(argv[i + 1], &options->payload)) {
        return false;
    }
    return i + 2 >= argc && options->payload.size() <= static_cast<size_t>(SEND_MAX_PAYLOAD);
}

bool OpenPort(const char* device) {
    if (strlen(device) >= sizeof(TerminalInfo().devName)) {
        return false;
    }
    TerminalInfo info = McuPortSettings(device);
    return g_McuCom.OpenCom(&info) == 0;
}

int Send(const Options& options) {
    const COM_CMD_3520D_TYPE code = static_cast<COM_CMD_3520D_TYPE>(options.code);
    const unsigned char flag = GetCmdFlag(code);
    std::string payload = options.payload;
    __UserCmdData request;
    request.cmd = code;
    request.serialNum = static_cast<unsigned char>(options.serial);
    request.dataLen = static_cast<unsigned short>(payload.size());
    request.data = reinterpret_cast<unsigned char*>(&payload[0]);
    unsigned char reply[FRAME_MAX_SIZE];
    memset(reply, 0, sizeof reply);
    const int result = sendCmdData(&request, reinterpret_cast<__ComFrameData*>(reply),
                                   static_cast<unsigned>(options.timeoutMs));
    if ((flag & FRAME_ACK_BIT) == 0) {
        if (result < 0) {
            printf("mcusend: command %lld could not be written (%d)\n", options.code, result);
            return kSendError;
        }
        printf("mcusend: command %lld sent with serial %u; it expects no acknowledgement\n",
               options.code, request.serialNum);
        return kAcknowledged;
    }
    if (result > 0) {
        printf("mcusend: acknowledged: command %lld, serial %u, result 0x%02x\n", options.code,
               reply[FRAME_HEADER_SIZE], reply[FRAME_HEADER_SIZE + 1]);
        return kAcknowledged;
    }
    if (result == -7) {
        printf("mcusend: command %lld could not be written\n", options.code);
        return kSendError;
    }
    printf("mcusend: no acknowledgement of command %lld, serial %u, within %lld ms (%d)\n",
           options.code, request.serialNum, options.timeoutMs, result);
    return kNoAcknowledgement;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, stdout);
        return 0;
    }
    Options options = {"/dev/ttyAMA2", 1000, 0, 0, std::string()};
    if (!ParseArguments(argc, argv, &options)) {
        fputs(kUsage, stderr);
        return kUsageError;
    }
    if (GetCmdFlag(static_cast<COM_CMD_3520D_TYPE>(options.code)) == 0) {
        fprintf(stderr, "mcusend: command %lld is not in the command table\n", options.code);
        return kUsageError;
    }
    if (!OpenPort(options.device)) {
        fprintf(stderr, "mcusend: cannot open %s\n", options.device);
        return kSendError;
    }
    McuReceiver receiver;
    receiver.Start();
    const int status = Send(options);
    receiver.Stop();
    g_McuCom.CloseCom();
    fflush(stdout);
    return status;
}
