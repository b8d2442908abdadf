// SPDX-License-Identifier: MIT
// Runs the project's programs as a user would: hddpower with a pseudo-terminal at /dev/ttyAMA2
// in a private mount namespace, mcusend and mcusim directly, each through the emulator in a
// cross build; collects their streams, exit status and, for hddpower, the bytes it put on the
// line. A program still running after two minutes is killed and reported as hung.
#ifndef TESTS_SUPPORT_TOOLRUN_H
#define TESTS_SUPPORT_TOOLRUN_H

#include <sys/types.h>

#include <string>
#include <vector>

struct ToolResult {
    ToolResult() : started(false), exitCode(-1), hung(false) {}
    bool started;  // false: the harness could not run it (see error)
    std::string error;
    std::string out;   // standard output
    std::string err;   // standard error
    std::string wire;  // hddpower: bytes written to the line
    int exitCode;
    bool hung;
};

// Standard streams a program is started without: a mask of these bits.
const int kNoStdin = 1;
const int kNoStdout = 2;
const int kNoStderr = 4;

// withDevice false: /dev/ttyAMA2 does not exist for the tool.
ToolResult RunHddPower(const std::vector<std::string>& args, bool withDevice = true,
                       int closedStreams = 0);
// One of the project's programs, with env added to its environment.
ToolResult RunProgram(const std::vector<std::string>& argv, int closedStreams = 0,
                      const std::vector<std::string>& env = {});
// A shell command of the host (never through the emulator), with ProgramEnvironment().
ToolResult RunHostShell(const std::string& command);

// A program started in the background: its pid, its standard output as it comes, and (when
// asked for) a pipe to its standard input.
struct StartedProgram {
    pid_t pid;
    int outFd;
    int inFd;
};
StartedProgram StartProgram(const std::vector<std::string>& argv,
                            const std::vector<std::string>& env = {}, bool pipeStdin = false);
// Ends its input, then waits for it (killing it after two minutes); its exit code, or -1 when
// it hung.
int FinishProgram(StartedProgram* program);

std::vector<std::string> EmulatorPrefix();
std::string HddPowerPath();
std::string McuSimPath();
std::string McuSendPath();
// For scripts run under mcusim: EMU (the emulator, or empty), MCUSEND, MCUSIM and HDDPOWER.
std::vector<std::string> ProgramEnvironment();

#endif  // TESTS_SUPPORT_TOOLRUN_H
