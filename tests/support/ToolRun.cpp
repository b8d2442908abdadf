#include "tests/support/ToolRun.h"

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "sim/DeviceNamespace.h"
#include "tests/support/CaptureOutput.h"
#include "tests/support/PtyLine.h"

std::vector<std::string> EmulatorPrefix() {
    std::vector<std::string> words;
    std::istringstream in(HDDPOWER_EMULATOR);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}

std::string HddPowerPath() {
    return HDDPOWER_BINARY;
}
std::string McuSimPath() {
    return MCUSIM_BINARY;
}
std::string McuSendPath() {
    return MCUSEND_BINARY;
}

std::vector<std::string> HddPowerCommand() {
    std::vector<std::string> argv = EmulatorPrefix();
    argv.push_back(HddPowerPath());
    return argv;
}

namespace {

int StreamFd(int closedStreams, int bit, int fd) {
    return (closedStreams & bit) != 0 ? kCloseStream : fd;
}

}  // namespace

ToolResult RunHddPower(const std::vector<std::string>& args, bool withDevice, int closedStreams) {
    ToolResult result;
    result.started = false;
    result.exitCode = -1;
    PtyLine line;
    if (!line.ok()) {
        result.error = "no pseudo-terminal";
        return result;
    }
    const int outFd = AnonymousTempFile();
    const int errFd = AnonymousTempFile();
    DeviceCommand command;
    command.argv = HddPowerCommand();
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    command.slavePath = withDevice ? line.slavePath() : std::string();
    command.devicePath = "/dev/ttyAMA2";
    command.stdinFd = StreamFd(closedStreams, kNoStdin, kInheritStream);
    command.stdoutFd = StreamFd(closedStreams, kNoStdout, outFd);
    command.stderrFd = StreamFd(closedStreams, kNoStderr, errFd);
    DeviceNamespaceChild child;
    if (child.Start(command, &result.error)) {
        result.started = true;
        result.exitCode = ExitCodeOf(child.Wait());
        result.wire = line.Drain(20);
    }
    result.out = ReadWholeFile(outFd);
    result.err = ReadWholeFile(errFd);
    close(outFd);
    close(errFd);
    return result;
}

ToolResult RunBuiltProgram(const std::vector<std::string>& program, int closedStreams) {
    ToolResult result;
    std::vector<std::string> argv = EmulatorPrefix();
    argv.insert(argv.end(), program.begin(), program.end());
    const int outFd = AnonymousTempFile();
    const int errFd = AnonymousTempFile();
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        for (int stream = 0; stream < 3; ++stream) {
            if ((closedStreams & (1 << stream)) != 0) {
                close(stream);
            }
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.started = pid > 0;
    result.exitCode = ExitCodeOf(status);
    result.out = ReadWholeFile(outFd);
    result.err = ReadWholeFile(errFd);
    close(outFd);
    close(errFd);
    return result;
}
