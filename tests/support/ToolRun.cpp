#include "tests/support/ToolRun.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "sim/DeviceNamespace.h"
#include "sim/McuSimulator.h"
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

namespace {

// argv and envp for execve, made before fork: the child then only calls what is safe there.
struct ExecPlan {
    ExecPlan(const std::vector<std::string>& program, const std::vector<std::string>& env,
             bool throughEmulator) {
        if (throughEmulator) {
            words = EmulatorPrefix();
        }
        words.insert(words.end(), program.begin(), program.end());
        for (const std::string& word : words) {
            argv.push_back(const_cast<char*>(word.c_str()));
        }
        argv.push_back(nullptr);
        for (char** e = environ; *e != nullptr; ++e) {
            environment.push_back(*e);
        }
        environment.insert(environment.end(), env.begin(), env.end());
        for (const std::string& entry : environment) {
            envp.push_back(const_cast<char*>(entry.c_str()));
        }
        envp.push_back(nullptr);
        path = words[0].find('/') == std::string::npos ? "/usr/bin/" + words[0] : words[0];
    }
    std::vector<std::string> words;
    std::vector<std::string> environment;
    std::vector<char*> argv;
    std::vector<char*> envp;
    std::string path;
};

}  // namespace

int FinishProgram(StartedProgram* program, int hangLimitSec) {
    int status = 0;
    const double limit = MonotonicSeconds() + hangLimitSec;
    while (waitpid(program->pid, &status, WNOHANG) == 0) {
        if (MonotonicSeconds() > limit) {
            kill(program->pid, SIGKILL);
            waitpid(program->pid, &status, 0);
            status = -1;
            break;
        }
        usleep(5000);
    }
    if (program->outFd >= 0) {
        close(program->outFd);
    }
    if (program->inFd >= 0) {
        close(program->inFd);
    }
    program->outFd = program->inFd = -1;
    return status == -1 ? -1 : ExitCodeOf(status);
}

namespace {

// Runs it to the end with its output captured; see RunBuiltProgram.
ToolResult RunProcess(const ExecPlan& plan, int closedStreams, int hangLimitSec) {
    ToolResult result;
    const int outFd = AnonymousTempFile();
    const int errFd = AnonymousTempFile();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        for (int stream = 0; stream < 3; ++stream) {
            if ((closedStreams & (1 << stream)) != 0) {
                close(stream);
            }
        }
        execve(plan.path.c_str(), plan.argv.data(), plan.envp.data());
        _exit(127);
    }
    StartedProgram started = {pid, -1, -1};
    result.exitCode = FinishProgram(&started, hangLimitSec);
    result.started = pid > 0;
    result.hung = result.exitCode == -1;
    result.out = ReadWholeFile(outFd);
    result.err = ReadWholeFile(errFd);
    close(outFd);
    close(errFd);
    return result;
}

}  // namespace

StartedProgram StartBuiltProgram(const std::vector<std::string>& argv,
                                 const std::vector<std::string>& env, bool pipeStdin) {
    ExecPlan plan(argv, env, true);
    int out[2] = {-1, -1}, in[2] = {-1, -1};
    StartedProgram started = {-1, -1, -1};
    if (pipe2(out, O_CLOEXEC) != 0 || (pipeStdin && pipe2(in, O_CLOEXEC) != 0)) {
        return started;
    }
    started.pid = fork();
    if (started.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        if (pipeStdin) {
            dup2(in[0], STDIN_FILENO);
        }
        execve(plan.path.c_str(), plan.argv.data(), plan.envp.data());
        _exit(127);
    }
    close(out[1]);
    started.outFd = out[0];
    if (pipeStdin) {
        close(in[0]);
        started.inFd = in[1];
    }
    return started;
}

ToolResult RunBuiltProgram(const std::vector<std::string>& program, int closedStreams,
                           const std::vector<std::string>& env, int hangLimitSec) {
    return RunProcess(ExecPlan(program, env, true), closedStreams, hangLimitSec);
}

ToolResult RunHostShell(const std::string& command) {
    return RunProcess(ExecPlan({"/bin/sh", "-c", command}, ProgramEnvironment(), false), 0, 120);
}

bool HostHasProgram(const std::string& name) {
    return RunHostShell("command -v " + name + " >/dev/null").exitCode == 0;
}

std::vector<std::string> ProgramEnvironment() {
    std::string emulator;
    for (const std::string& word : EmulatorPrefix()) {
        emulator += (emulator.empty() ? "" : " ") + word;
    }
    return {"EMU=" + emulator, "MCUSEND=" + McuSendPath(), "MCUSIM=" + McuSimPath(),
            "HDDPOWER=" + HddPowerPath()};
}
