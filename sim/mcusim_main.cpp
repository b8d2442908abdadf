// mcusim: runs a command against a simulated MCU.
//
//   mcusim [--] COMMAND [ARGS...]
//
// The command sees a pseudo-terminal at /dev/ttyAMA2 inside a private mount namespace; its
// standard output and error pass through. Everything it sends on the line is decoded and
// reported on standard output with the prefix "mcusim: ", then the line settings the command
// left. The exit status is the command's.
#include <stdio.h>
#include <string.h>
#include <termios.h>

#include <string>

#include "common/MutexLock.h"
#include "sim/DeviceNamespace.h"
#include "sim/McuSimulator.h"
#include "sim/TrafficReport.h"

namespace {

const char* const kDevicePath = "/dev/ttyAMA2";
const int kUsageStatus = 2;
const int kSetupStatus = 125;

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

void PrintUsage(FILE* out) {
    fprintf(out,
            "usage: mcusim [--] COMMAND [ARGS...]\n"
            "Runs COMMAND with a simulated MCU on a pseudo-terminal at %s (in a private mount\n"
            "namespace) and reports what the command sent on the line.\n",
            kDevicePath);
}

// Turns echo off so that nothing written by the simulator comes back to it before the
// command has configured the line.
void QuietLine(int slave) {
    struct termios tio;
    if (tcgetattr(slave, &tio) == 0) {
        tio.c_lflag &= ~(ECHO | ECHONL);
        tcsetattr(slave, TCSANOW, &tio);
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    int first = 1;
    if (first < argc && strcmp(argv[first], "--help") == 0) {
        PrintUsage(stdout);
        return 0;
    }
    if (first < argc && strcmp(argv[first], "--") == 0) {
        ++first;
    }
    if (first >= argc) {
        PrintUsage(stderr);
        return kUsageStatus;
    }
    PtyPair pty;
    std::string error;
    if (!OpenPtyPair(&pty, &error)) {
        fprintf(stderr, "mcusim: %s\n", error.c_str());
        return kSetupStatus;
    }
    QuietLine(pty.slave);
    DeviceCommand command;
    command.argv.assign(argv + first, argv + argc);
    command.slavePath = pty.slavePath;
    command.devicePath = kDevicePath;
    command.stdoutFd = -1;
    command.stderrFd = -1;

    McuSimulator simulator(pty.master, Print);
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
