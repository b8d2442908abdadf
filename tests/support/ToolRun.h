// Runs the real hddpower binary with a pseudo-terminal at /dev/ttyAMA2 in a private mount
// namespace (as the board would see its MCU port), and collects its streams, exit status
// and the bytes it put on the line.
#ifndef TESTS_SUPPORT_TOOLRUN_H
#define TESTS_SUPPORT_TOOLRUN_H

#include <string>
#include <vector>

struct ToolResult {
    ToolResult() : started(false), exitCode(-1), hung(false) {}
    bool started;  // false: the harness could not run the tool (see error)
    std::string error;
    std::string out;   // standard output
    std::string err;   // standard error
    std::string wire;  // bytes written to the line
    int exitCode;
    bool hung;  // still running after the harness's limit, and killed
};

// Standard streams a program is started without: a mask of these bits.
const int kNoStdin = 1;
const int kNoStdout = 2;
const int kNoStderr = 4;

// Runs one of the project's programs (through the emulator in a cross build), with its streams
// captured, except those closedStreams names, and env added to its environment. A program
// still running after hangLimitSec is killed and reported as hung.
ToolResult RunBuiltProgram(const std::vector<std::string>& argv, int closedStreams = 0,
                           const std::vector<std::string>& env = {}, int hangLimitSec = 120);

// A program started in the background: its pid, and its standard output as it comes.
struct StartedProgram {
    pid_t pid;
    int outFd;  // read end of its standard output; -1 when the start failed
    int inFd;   // write end of its standard input (a pipe), -1 unless asked for
};
StartedProgram StartBuiltProgram(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& env = {}, bool pipeStdin = false);
// Waits for it, killing it after hangLimitSec; its exit code, or -1 when it hung.
int FinishProgram(StartedProgram* program, int hangLimitSec = 120);

// Runs a shell command of the host (never through the emulator), with ProgramEnvironment().
ToolResult RunHostShell(const std::string& command);

// Whether a program of the host is on PATH.
bool HostHasProgram(const std::string& name);

// The environment scripts run under mcusim use to start the project's programs: EMU (the
// emulator, or empty), MCUSEND, MCUSIM and HDDPOWER.
std::vector<std::string> ProgramEnvironment();

// withDevice false: /dev/ttyAMA2 does not exist for the tool.
ToolResult RunHddPower(const std::vector<std::string>& args, bool withDevice = true,
                       int closedStreams = 0);

// The binary under test as the harness starts it (through the emulator in a cross build).
std::vector<std::string> HddPowerCommand();
std::string HddPowerPath();
std::string McuSimPath();
std::string McuSendPath();
std::vector<std::string> EmulatorPrefix();

#endif  // TESTS_SUPPORT_TOOLRUN_H
