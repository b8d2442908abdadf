// Runs the real hddpower binary with a pseudo-terminal at /dev/ttyAMA2 in a private mount
// namespace (as the board would see its MCU port), and collects its streams, exit status
// and the bytes it put on the line.
#ifndef TESTS_SUPPORT_TOOLRUN_H
#define TESTS_SUPPORT_TOOLRUN_H

#include <string>
#include <vector>

struct ToolResult {
    bool started;  // false: the harness could not run the tool (see error)
    std::string error;
    std::string out;   // standard output
    std::string err;   // standard error
    std::string wire;  // bytes written to the line
    int exitCode;
};

// Standard streams a program is started without: a mask of these bits.
const int kNoStdin = 1;
const int kNoStdout = 2;
const int kNoStderr = 4;

// Runs one of the project's programs (through the emulator in a cross build), with its streams
// captured, except those closedStreams names.
ToolResult RunBuiltProgram(const std::vector<std::string>& argv, int closedStreams = 0);

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
