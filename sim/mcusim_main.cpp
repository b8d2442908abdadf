// mcusim: runs a command against a simulated MCU, or decodes a captured byte stream.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>

#include <string>

#include "common/MutexLock.h"
#include "common/ParseNumber.h"
#include "sim/DeviceNamespace.h"
#include "sim/McuSimulator.h"
#include "sim/TrafficReport.h"

namespace {

const char* const kDevicePath = "/dev/ttyAMA2";
const int kUsageStatus = 2;
const int kSetupStatus = 125;

const char kUsage[] =
    "usage: mcusim [OPTIONS] [--] COMMAND [ARGS...]\n"
    "       mcusim --decode FILE|-\n"
    "\n"
    "Runs COMMAND with a simulated MCU on a pseudo-terminal at /dev/ttyAMA2, inside a private\n"
    "mount namespace (as root; otherwise in an unprivileged user namespace). The command's\n"
    "output passes through; every line, frame and noise byte it sends is decoded and reported\n"
    "on standard output after \"mcusim: \", and so is every answer. When the command ends, the\n"
    "line settings it left are reported. The exit status is the command's.\n"
    "Frames whose flag has the ackBit (0x40) are acknowledged: payload byte 0 the acknowledged\n"
    "serial number, byte 1 the result.\n"
    "\n"
    "--decode FILE   decode a captured byte stream (- for standard input) and exit\n"
    "--no-answer     acknowledge nothing\n"
    "--delay MS      wait MS milliseconds before each answer\n"
    "--result BYTE   result byte of every answer (default 0)\n"
    "--noise N       up to N random noise bytes before each answer\n"
    "--false-heads   noise also holds frame heads, some with a length above 1028\n"
    "--split         write answers in pieces cut at random byte boundaries\n"
    "--corrupt P     damage the checksum or tail of an answer with probability P (0 to 1)\n"
    "--late N        send every N-th answer late (after --late-ms, default 500)\n"
    "--late-ms MS    how late a late answer is\n"
    "--drop P        send no answer, with probability P\n"
    "--duplicate P   send an answer twice, with probability P\n"
    "--unasked CODE  send unasked frames of command CODE now and then\n"
    "--unasked-ms MS how often (default 200)\n"
    "--seed N        seed of the fault generator (default 1)\n"
    "--help          this text\n";

MutexLock g_printLock;

void Print(const std::string& text) {
    MutexLockGuard guard(g_printLock);
    std::string line = "mcusim: ";
    for (size_t i = 0; i < text.size(); ++i) {
        line += text[i];
        if (text[i] == '\n') {
            line += "mcusim: ";
        }
    }
    fprintf(stdout, "%s\n", line.c_str());
    fflush(stdout);
}

bool ParseFraction(const char* text, double low, double high, double* value) {
    char* end = NULL;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    *value = v;
    return true;
}

// Parses the options before the command; returns the index of the command, or -1 after
// reporting a bad option.
int ParseOptions(int argc, char* argv[], SimOptions* options, const char** decode) {
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; ++i) {
        const std::string name = argv[i];
        if (name == "--") {
            return i + 1;
        }
        if (name == "--no-answer") {
            options->answer = false;
        } else if (name == "--false-heads") {
            options->falseHeads = true;
        } else if (name == "--split") {
            options->split = true;
        } else if (i + 1 < argc) {
            const char* value = argv[++i];
            long long n = 0;
            double p = 0;
            bool ok = true;
            if (name == "--decode") {
                *decode = value;
            } else if (name == "--delay" && (ok = ParseInteger(value, 0, 600000, &n))) {
                options->delayMs = static_cast<int>(n);
            } else if (name == "--result" && (ok = ParseInteger(value, 0, 255, &n))) {
                options->result = static_cast<unsigned char>(n);
            } else if (name == "--noise" && (ok = ParseInteger(value, 0, 4096, &n))) {
                options->noiseMax = static_cast<int>(n);
            } else if (name == "--corrupt" && (ok = ParseFraction(value, 0, 1, &p))) {
                options->corrupt = p;
            } else if (name == "--late" && (ok = ParseInteger(value, 0, 1000000, &n))) {
                options->lateEvery = static_cast<int>(n);
            } else if (name == "--late-ms" && (ok = ParseInteger(value, 0, 600000, &n))) {
                options->lateMs = static_cast<int>(n);
            } else if (name == "--drop" && (ok = ParseFraction(value, 0, 1, &p))) {
                options->drop = p;
            } else if (name == "--duplicate" && (ok = ParseFraction(value, 0, 1, &p))) {
                options->duplicate = p;
            } else if (name == "--unasked" && (ok = ParseInteger(value, 0, 0xFFFF, &n))) {
                options->unaskedCode = static_cast<int>(n);
            } else if (name == "--unasked-ms" && (ok = ParseInteger(value, 1, 600000, &n))) {
                options->unaskedEveryMs = static_cast<int>(n);
            } else if (name == "--seed" && (ok = ParseInteger(value, 1, 0xFFFFFFFFLL, &n))) {
                options->seed = static_cast<unsigned>(n);
            } else {
                ok = false;
            }
            if (!ok) {
                fprintf(stderr, "mcusim: bad value or option: %s %s\n", name.c_str(), value);
                return -1;
            }
        } else {
            fprintf(stderr, "mcusim: unknown option or missing value: %s\n", name.c_str());
            return -1;
        }
    }
    return i;
}

int Decode(const char* path) {
    FILE* in = strcmp(path, "-") == 0 ? stdin : fopen(path, "rb");
    if (in == NULL) {
        fprintf(stderr, "mcusim: cannot open %s\n", path);
        return 1;
    }
    StreamDecoder decoder;
    std::vector<DecodedItem> items;
    unsigned char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, in)) > 0) {
        decoder.Feed(chunk, got, &items);
    }
    decoder.Finish(&items);
    if (in != stdin) {
        fclose(in);
    }
    for (size_t i = 0; i < items.size(); ++i) {
        Print(DescribeItem(items[i]));
    }
    return 0;
}

// Turns echo off so that nothing the simulator writes comes back to it before the command
// has configured the line.
void QuietLine(int slave) {
    struct termios tio;
    if (tcgetattr(slave, &tio) == 0) {
        tio.c_lflag &= ~(ECHO | ECHONL);
        tcsetattr(slave, TCSANOW, &tio);
    }
}

int RunCommand(char* argv[], int argc, const SimOptions& options) {
    PtyPair pty;
    std::string error;
    if (!OpenPtyPair(&pty, &error)) {
        fprintf(stderr, "mcusim: %s\n", error.c_str());
        return kSetupStatus;
    }
    QuietLine(pty.slave);
    DeviceCommand command;
    command.argv.assign(argv, argv + argc);
    command.slavePath = pty.slavePath;
    command.devicePath = kDevicePath;
    command.stdoutFd = -1;
    command.stderrFd = -1;

    McuSimulator simulator(pty.master, Print, options);
    simulator.Start();
    DeviceNamespaceChild child;
    if (!child.Start(command, &error)) {
        simulator.Stop();
        fprintf(stderr, "mcusim: %s\n", error.c_str());
        ClosePtyPair(&pty);
        return kSetupStatus;
    }
    const int status = child.Wait();
    simulator.Stop();
    struct termios tio;
    if (tcgetattr(pty.slave, &tio) == 0) {
        Print(DescribeLineSettings(tio));
    }
    ClosePtyPair(&pty);
    return ExitCodeOf(status);
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && strcmp(argv[1], "--help") == 0) {
        fputs(kUsage, stdout);
        return 0;
    }
    SimOptions options;
    const char* decode = NULL;
    const int first = ParseOptions(argc, argv, &options, &decode);
    if (first < 0) {
        return kUsageStatus;
    }
    if (decode != NULL) {
        return Decode(decode);
    }
    if (first >= argc) {
        fputs(kUsage, stderr);
        return kUsageStatus;
    }
    return RunCommand(argv + first, argc - first, options);
}
