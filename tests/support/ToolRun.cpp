// SPDX-License-Identifier: MIT
#include "tests/support/ToolRun.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "common/Clock.h"
#include "sim/DeviceNamespace.h"
#include "sim/LocalLink.h"
#include "sim/McuSimulator.h"
#include "tests/support/CaptureOutput.h"

namespace {

const int kHangLimitSec = 120;

// argv and envp for execve, made before fork: the child then only calls what is safe there.
struct ExecPlan {
    ExecPlan(const std::vector<std::string>& program, const std::vector<std::string>& env,
             bool emulated)
        : words(emulated ? EmulatorPrefix() : std::vector<std::string>()), added(env) {
        words.insert(words.end(), program.begin(), program.end());
        for (std::string& word : words) {
            argv.push_back(&word[0]);
        }
        argv.push_back(nullptr);
        for (char** e = environ; *e != nullptr; ++e) {
            envp.push_back(*e);
        }
        for (std::string& entry : added) {
            envp.push_back(&entry[0]);
        }
        envp.push_back(nullptr);
        path = words[0].find('/') == std::string::npos ? "/usr/bin/" + words[0] : words[0];
    }
    std::vector<std::string> words;
    std::vector<std::string> added;  // to the environment
    std::vector<char*> argv;
    std::vector<char*> envp;
    std::string path;
};

// Starts it with its standard output on out (or, for -1, a pipe the caller reads), its error
// on err (or inherited), and the streams closedStreams names closed.
StartedProgram Start(const ExecPlan& plan, int out, int err, int closedStreams, bool pipeStdin) {
    int outPipe[2] = {-1, -1}, inPipe[2] = {-1, -1};
    if ((out < 0 && pipe2(outPipe, O_CLOEXEC) != 0) || (pipeStdin && pipe2(inPipe, O_CLOEXEC))) {
        return StartedProgram{-1, -1, -1};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        const int redirect[3] = {inPipe[0], out >= 0 ? out : outPipe[1], err};
        for (int stream = 0; stream < 3; ++stream) {
            if ((closedStreams & (1 << stream)) != 0) {
                close(stream);
            } else if (redirect[stream] >= 0) {
                dup2(redirect[stream], stream);
            }
        }
        execve(plan.path.c_str(), plan.argv.data(), plan.envp.data());
        _exit(127);
    }
    close(outPipe[1]);  // -1 where there is no pipe: nothing to close
    close(inPipe[0]);
    return StartedProgram{pid, outPipe[0], inPipe[1]};
}

// Reads back what a program wrote to the files given as its output and error, and closes them.
void Collect(int out, int err, ToolResult* result) {
    result->out = ReadWholeFile(out);
    result->err = ReadWholeFile(err);
    close(out);
    close(err);
}

ToolResult Run(const ExecPlan& plan, int closedStreams) {
    ToolResult result;
    const int out = AnonymousTempFile(), err = AnonymousTempFile();
    StartedProgram started = Start(plan, out, err, closedStreams, false);
    result.started = started.pid > 0;
    result.exitCode = FinishProgram(&started);
    result.hung = result.exitCode == -1;
    Collect(out, err, &result);
    return result;
}

}  // namespace

std::vector<std::string> EmulatorPrefix() {
    std::vector<std::string> words;
    std::istringstream in(HDDPOWER_EMULATOR);
    for (std::string word; in >> word;) {
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

std::vector<std::string> ProgramEnvironment() {
    std::string emulator;
    for (const std::string& word : EmulatorPrefix()) {
        emulator += (emulator.empty() ? "" : " ") + word;
    }
    return {"EMU=" + emulator, "MCUSEND=" + McuSendPath(), "MCUSIM=" + McuSimPath(),
            "HDDPOWER=" + HddPowerPath()};
}

ToolResult RunHddPower(const std::vector<std::string>& args, bool withDevice, int closedStreams) {
    ToolResult result;
    PtyLine line;
    const int out = AnonymousTempFile(), err = AnonymousTempFile();
    DeviceCommand command;
    command.argv = EmulatorPrefix();
    command.argv.push_back(HddPowerPath());
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    command.slavePath = withDevice ? line.slavePath() : std::string();
    command.devicePath = "/dev/ttyAMA2";
    command.stdinFd = (closedStreams & kNoStdin) != 0 ? kCloseStream : kInheritStream;
    command.stdoutFd = (closedStreams & kNoStdout) != 0 ? kCloseStream : out;
    command.stderrFd = (closedStreams & kNoStderr) != 0 ? kCloseStream : err;
    DeviceNamespaceChild child;
    if (line.ok() && child.Start(command, &result.error)) {
        result.started = true;
        result.exitCode = ExitCodeOf(child.Wait());
        result.wire = line.Drain(20);
    }
    Collect(out, err, &result);
    return result;
}

ToolResult RunProgram(const std::vector<std::string>& argv, int closedStreams,
                      const std::vector<std::string>& env) {
    return Run(ExecPlan(argv, env, true), closedStreams);
}

ToolResult RunHostShell(const std::string& command) {
    return Run(ExecPlan({"/bin/sh", "-c", command}, ProgramEnvironment(), false), 0);
}

StartedProgram StartProgram(const std::vector<std::string>& argv,
                            const std::vector<std::string>& env, bool pipeStdin) {
    return Start(ExecPlan(argv, env, true), -1, -1, 0, pipeStdin);
}

int FinishProgram(StartedProgram* program) {
    if (program->inFd >= 0) {  // the end of its input
        close(program->inFd);
        program->inFd = -1;
    }
    int status = 0;
    const double limit = mcucom::MonotonicSeconds() + kHangLimitSec;
    while (waitpid(program->pid, &status, WNOHANG) == 0) {
        if (mcucom::MonotonicSeconds() > limit) {
            kill(program->pid, SIGKILL);
            waitpid(program->pid, &status, 0);
            status = -1;
            break;
        }
        usleep(5000);
    }
    if (program->outFd >= 0) {
        close(program->outFd);
        program->outFd = -1;
    }
    return status == -1 ? -1 : ExitCodeOf(status);
}
