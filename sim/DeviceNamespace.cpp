// SPDX-License-Identifier: MIT
#include "sim/DeviceNamespace.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Filesystems mounted under the host's /dev that a command may need: pseudo-terminals (a
// nested mcusim opens one), POSIX shared memory and message queues. An overlay of /dev shows
// none of them, so each is bound back from an aside copy of the host's /dev.
const char* const kDevSubmounts[] = {"pts", "shm", "mqueue"};
// Devices bound into /dev when it has to be a plain tmpfs (no overlays allowed).
const char* const kBasicDevices[] = {"null", "zero", "full", "random", "urandom", "tty"};

struct BindPlan {
    std::string from;  // under the aside copy of the host's /dev
    std::string to;    // under the new /dev
};

// Everything the child needs, prepared before fork: between fork and exec the child makes
// only async-signal-safe calls (system calls, no allocation, no stdio, no strerror), so that a
// parent with other threads (a simulator, a test) cannot leave it stuck on a lock.
struct ChildPlan {
    std::vector<char*> argv;
    std::string program;    // the command's path, searched in PATH by the parent
    const char* slavePath;  // NULL: no device
    const char* devicePath;
    std::string scratch;
    std::string hostDev;  // the host's /dev, bound aside
    std::string upper;
    std::string work;
    std::string overlayOptions;
    std::string uidMap;
    std::string gidMap;
    std::vector<BindPlan> submounts;
    std::vector<BindPlan> basicDevices;
    std::string ptmxLink;
    std::string slaveSource;  // the slave as the host's /dev, bound aside, holds it
    int streamFds[3];
    int errorFd;
    pid_t parent;
};

// Reports a failed step through the error pipe (its text, a NUL, then errno as an int) and
// ends the child; the parent turns errno into words.
void ChildFail(int errorFd, const char* what) {
    const int error = errno;
    ssize_t ignored = write(errorFd, what, strlen(what) + 1);
    ignored = write(errorFd, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

bool WriteFile(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

// Root gets a plain mount namespace; anyone else tries a user namespace that maps them to
// root inside it.
// True when it took a user namespace: without root, only that allows a mount namespace.
bool EnterPrivateNamespace(const ChildPlan& plan) {
    if (unshare(CLONE_NEWNS) == 0) {
        return false;
    }
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        ChildFail(plan.errorFd,
                  "cannot make a private mount namespace (not root, and user namespaces are "
                  "not allowed here)");
    }
    WriteFile("/proc/self/setgroups", "deny");
    if (!WriteFile("/proc/self/uid_map", plan.uidMap)) {
        ChildFail(plan.errorFd, "cannot write the user namespace's uid map");
    }
    if (!WriteFile("/proc/self/gid_map", plan.gidMap)) {
        ChildFail(plan.errorFd, "cannot write the user namespace's gid map");
    }
    return true;
}

void CreateEmptyFile(const char* path, int errorFd) {
    const int fd = open(path, O_CREAT | O_WRONLY, 0600);
    if (fd < 0) {
        ChildFail(errorFd, "cannot create a file to bind a device onto");
    }
    close(fd);
}

bool IsDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Lays an overlay over /dev, or where overlays are refused a tmpfs holding the basic devices;
// then binds the host's pseudo-terminals, shared memory and queues back.
void CoverDev(const ChildPlan& plan, bool unprivileged) {
    if (mkdir(plan.upper.c_str(), 0755) != 0 || mkdir(plan.work.c_str(), 0755) != 0) {
        ChildFail(plan.errorFd, "cannot make the overlay directories");
    }
    const bool overlay = mount("overlay", "/dev", "overlay", 0, plan.overlayOptions.c_str()) == 0;
    if (!overlay && mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
        ChildFail(plan.errorFd, "cannot mount a private /dev");
    }
    for (size_t i = 0; i < plan.submounts.size(); ++i) {
        const BindPlan& bind = plan.submounts[i];
        if (IsDirectory(bind.from.c_str())) {
            mkdir(bind.to.c_str(), 0755);
            mount(bind.from.c_str(), bind.to.c_str(), NULL, MS_BIND | MS_REC, NULL);
        }
    }
    // Without root, a /dev mounted here opens no device node of its own (/dev/ptmx among
    // them), and the host's pts instance keeps its ptmx for root: the command gets a pts
    // instance of its own, whose ptmx anyone may open, so that it can make pseudo-terminals
    // (a nested mcusim does).
    const bool ownPts = unprivileged && mount("devpts", "/dev/pts", "devpts", 0,
                                              "newinstance,ptmxmode=0666,mode=0620") == 0;
    if (overlay && !ownPts) {
        return;
    }
    if (!overlay) {
        for (size_t i = 0; i < plan.basicDevices.size(); ++i) {
            const BindPlan& bind = plan.basicDevices[i];
            CreateEmptyFile(bind.to.c_str(), plan.errorFd);
            mount(bind.from.c_str(), bind.to.c_str(), NULL, MS_BIND, NULL);
        }
    }
    unlink(plan.ptmxLink.c_str());
    if (symlink("pts/ptmx", plan.ptmxLink.c_str()) != 0) {
        ChildFail(plan.errorFd, "cannot link /dev/ptmx");
    }
}

// The scratch folder lives only while the namespace is built: its tmpfs is detached (the
// mounts made from it keep what they need) and the empty folder removed, so nothing is left
// on the host whatever later happens to the parent, SIGKILL included.
void RemoveScratch(const ChildPlan& plan) {
    if (umount2(plan.scratch.c_str(), MNT_DETACH) != 0 || rmdir(plan.scratch.c_str()) != 0) {
        ChildFail(plan.errorFd, "cannot remove the scratch folder");
    }
}

void PrepareDevice(const ChildPlan& plan) {
    const bool unprivileged = EnterPrivateNamespace(plan);
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0) {
        ChildFail(plan.errorFd, "cannot make the mounts private");
    }
    if (mount("tmpfs", plan.scratch.c_str(), "tmpfs", 0, "mode=0700") != 0) {
        ChildFail(plan.errorFd, "cannot mount the scratch tmpfs");
    }
    if (mkdir(plan.hostDev.c_str(), 0755) != 0 ||
        mount("/dev", plan.hostDev.c_str(), NULL, MS_BIND | MS_REC, NULL) != 0) {
        ChildFail(plan.errorFd, "cannot bind the host's /dev aside");
    }
    CoverDev(plan, unprivileged);
    if (plan.slavePath != NULL) {
        CreateEmptyFile(plan.devicePath, plan.errorFd);
        if (mount(plan.slaveSource.c_str(), plan.devicePath, NULL, MS_BIND, NULL) != 0) {
            ChildFail(plan.errorFd, "cannot bind the pseudo-terminal onto the device path");
        }
    }
    RemoveScratch(plan);
}

// Gives the command its standard streams; run after the namespace is made, so that a closed
// stream does not hide the reasons of a failed step.
void SetUpStreams(const ChildPlan& plan) {
    for (int stream = 0; stream < 3; ++stream) {
        const int from = plan.streamFds[stream];
        if (from == kCloseStream) {
            close(stream);
        } else if (from >= 0 && dup2(from, stream) < 0) {
            ChildFail(plan.errorFd, "cannot redirect a standard stream");
        }
    }
}

// The command starts as if run directly: default signal dispositions (a parent that ignores
// SIGPIPE must not pass that on) and nothing blocked. It dies with its parent, so that a
// killed mcusim leaves no orphan.
void ResetSignals(const ChildPlan& plan) {
    for (int signal = 1; signal < NSIG; ++signal) {
        struct sigaction action;
        memset(&action, 0, sizeof action);
        action.sa_handler = SIG_DFL;
        sigaction(signal, &action, NULL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, NULL);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != plan.parent) {
        _exit(127);  // the parent is already gone
    }
}

void RunChild(const ChildPlan& plan) {
    ResetSignals(plan);
    PrepareDevice(plan);
    SetUpStreams(plan);
    execve(plan.program.c_str(), plan.argv.data(), environ);
    ChildFail(plan.errorFd, "cannot run the command");
}

bool MakeCloseOnExecPipe(int fds[2]) {
    if (pipe(fds) != 0) {
        return false;
    }
    fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
}

// The path execvp would run: a name with a slash as it is, otherwise the first executable of
// that name along PATH. Empty when there is none (errno set), as execvp would fail.
std::string FindProgram(const std::string& name) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* path = getenv("PATH");
    std::string dirs = path != NULL ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        end = end == std::string::npos ? dirs.size() : end;
        const std::string dir = end > start ? dirs.substr(start, end - start) : ".";
        std::string candidate = dir;
        candidate += '/';
        candidate += name;
        if (access(candidate.c_str(), X_OK) == 0 && !IsDirectory(candidate.c_str())) {
            return candidate;
        }
        start = end + 1;
    }
    errno = ENOENT;
    return std::string();
}

std::string IdMap(unsigned id) {
    return "0 " + std::to_string(id) + " 1";
}

// The child's reason, if it wrote one: its text and errno, turned into one line.
bool ReadChildFailure(int fd, std::string* error) {
    char reason[512];
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(fd, reason + got, sizeof reason - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR || got == sizeof reason) {
            break;
        }
    }
    if (got == 0) {
        return false;
    }
    const size_t text = strnlen(reason, got);
    int childErrno = 0;
    if (got >= text + 1 + sizeof childErrno) {
        memcpy(&childErrno, reason + text + 1, sizeof childErrno);
    }
    *error = std::string(reason, text) + ": " + strerror(childErrno);
    return true;
}

}  // namespace

bool OpenPtyPair(PtyPair* pty, std::string* error) {
    pty->master = posix_openpt(O_RDWR | O_NOCTTY);
    pty->slave = -1;
    if (pty->master >= 0) {
        fcntl(pty->master, F_SETFD, FD_CLOEXEC);
    }
    if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0) {
        *error = std::string("cannot open a pseudo-terminal: ") + strerror(errno);
        return false;
    }
    const char* name = ptsname(pty->master);
    pty->slavePath = name != NULL ? name : "";
    pty->slave = name != NULL ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (pty->slave < 0) {
        *error = std::string("cannot open the pseudo-terminal's slave: ") + strerror(errno);
        close(pty->master);
        pty->master = -1;
        return false;
    }
    return true;
}

bool OpenQuietLine(PtyPair* pty) {
    std::string error;
    if (!OpenPtyPair(pty, &error)) {
        fprintf(stderr, "mcusim: %s\n", error.c_str());
        return false;
    }
    struct termios tio;
    if (tcgetattr(pty->slave, &tio) == 0) {
        tio.c_lflag &= ~(ECHO | ECHONL);
        tcsetattr(pty->slave, TCSANOW, &tio);
    }
    return true;
}

void ClosePtyPair(PtyPair* pty) {
    if (pty->slave >= 0) {
        close(pty->slave);
    }
    if (pty->master >= 0) {
        close(pty->master);
    }
    pty->slave = -1;
    pty->master = -1;
}

DeviceNamespaceChild::DeviceNamespaceChild() : m_pid(-1) {}

DeviceNamespaceChild::~DeviceNamespaceChild() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        Wait();
    }
}

namespace {

// The paths and maps the child works with, all under the scratch folder.
void PlanPaths(const DeviceCommand& command, const std::string& scratch, ChildPlan* plan) {
    for (size_t i = 0; i < command.argv.size(); ++i) {
        plan->argv.push_back(const_cast<char*>(command.argv[i].c_str()));
    }
    plan->argv.push_back(NULL);
    plan->slavePath = command.slavePath.empty() ? NULL : command.slavePath.c_str();
    plan->devicePath = command.devicePath.c_str();
    plan->scratch = scratch;
    plan->hostDev = scratch + "/dev";
    plan->upper = scratch + "/upper";
    plan->work = scratch + "/work";
    plan->overlayOptions = "lowerdir=/dev,upperdir=" + plan->upper + ",workdir=" + plan->work;
    plan->uidMap = IdMap(getuid());
    plan->gidMap = IdMap(getgid());
    for (const char* name : kDevSubmounts) {
        plan->submounts.push_back({plan->hostDev + "/" + name, std::string("/dev/") + name});
    }
    for (const char* name : kBasicDevices) {
        plan->basicDevices.push_back({plan->hostDev + "/" + name, std::string("/dev/") + name});
    }
    plan->ptmxLink = "/dev/ptmx";
    // Reached through the host's /dev set aside: the command's /dev/pts may be another instance.
    const std::string devPrefix = "/dev/";
    plan->slaveSource = command.slavePath.compare(0, devPrefix.size(), devPrefix) == 0
                            ? plan->hostDev + "/" + command.slavePath.substr(devPrefix.size())
                            : command.slavePath;
    plan->streamFds[0] = command.stdinFd;
    plan->streamFds[1] = command.stdoutFd;
    plan->streamFds[2] = command.stderrFd;
    plan->parent = getpid();
}

// A scratch folder under TMPDIR (or /tmp), or "" with errno set.
std::string MakeScratch() {
    const char* tmp = getenv("TMPDIR");
    std::string scratch =
        std::string(tmp != NULL && tmp[0] != '\0' ? tmp : "/tmp") + "/devns.XXXXXX";
    return mkdtemp(&scratch[0]) != NULL ? scratch : std::string();
}

// Forks the child that carries the plan out (its pid in *pid), and waits until it has run the
// command; false with the reason when it could not (a child that ran is left to be waited for).
bool Launch(ChildPlan* plan, pid_t* pid, std::string* error) {
    int errorPipe[2];
    if (!MakeCloseOnExecPipe(errorPipe)) {
        *error = std::string("cannot make a pipe: ") + strerror(errno);
        return false;
    }
    plan->errorFd = errorPipe[1];
    *pid = fork();
    if (*pid == 0) {
        RunChild(*plan);
    }
    close(errorPipe[1]);
    if (*pid < 0) {
        *error = std::string("cannot fork: ") + strerror(errno);
        close(errorPipe[0]);
        return false;
    }
    // The pipe closes on a successful exec; anything read from it is the child's reason.
    const bool failed = ReadChildFailure(errorPipe[0], error);
    close(errorPipe[0]);
    return !failed;
}

}  // namespace

bool DeviceNamespaceChild::Start(const DeviceCommand& command, std::string* error) {
    if (command.argv.empty()) {
        *error = "no command given";
        return false;
    }
    ChildPlan plan;
    plan.program = FindProgram(command.argv[0]);
    if (plan.program.empty()) {
        *error = std::string("cannot run the command: ") + strerror(errno);
        return false;
    }
    m_scratch = MakeScratch();
    if (m_scratch.empty()) {
        *error = std::string("cannot make a scratch directory: ") + strerror(errno);
        return false;
    }
    PlanPaths(command, m_scratch, &plan);
    if (!Launch(&plan, &m_pid, error)) {
        Wait();
        return false;
    }
    return true;
}

int DeviceNamespaceChild::Wait() {
    int status = 0;
    if (m_pid > 0) {
        while (waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    RemoveScratchIfLeft();
    return status;
}

// The child removes the scratch folder itself; this covers a child that failed before that.
void DeviceNamespaceChild::RemoveScratchIfLeft() {
    if (!m_scratch.empty()) {
        rmdir(m_scratch.c_str());
        m_scratch.clear();
    }
}

int ExitCodeOf(int waitStatus) {
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return 128 + WTERMSIG(waitStatus);
    }
    return 1;
}
