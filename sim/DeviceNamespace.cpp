#include "sim/DeviceNamespace.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Everything the child needs, prepared before fork: after fork only system calls are made, so
// a parent with other threads (a simulator, a test) cannot leave the child stuck on a lock.
struct ChildPlan {
    std::vector<char*> argv;
    const char* slavePath;  // NULL: no device
    const char* devicePath;
    std::string scratch;
    std::string line;
    std::string upper;
    std::string work;
    std::string overlayOptions;
    int streamFds[3];
    int errorFd;
};

// Reports a failed step through the error pipe and ends the child.
void ChildFail(int errorFd, const char* what) {
    const char* reason = strerror(errno);
    ssize_t ignored = write(errorFd, what, strlen(what));
    ignored = write(errorFd, ": ", 2);
    ignored = write(errorFd, reason, strlen(reason));
    (void)ignored;
    _exit(127);
}

bool WriteFile(const char* path, const char* text) {
    const int fd = open(path, O_WRONLY);
    if (fd < 0) {
        return false;
    }
    const size_t length = strlen(text);
    const bool ok = write(fd, text, length) == static_cast<ssize_t>(length);
    close(fd);
    return ok;
}

// Root gets a plain mount namespace; anyone else tries a user namespace that maps them to
// root inside it.
void EnterPrivateNamespace(int errorFd) {
    if (unshare(CLONE_NEWNS) == 0) {
        return;
    }
    const unsigned uid = getuid();
    const unsigned gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) {
        ChildFail(errorFd,
                  "cannot make a private mount namespace (not root, and user namespaces are "
                  "not allowed here)");
    }
    char map[64];
    WriteFile("/proc/self/setgroups", "deny");
    snprintf(map, sizeof map, "0 %u 1", uid);
    if (!WriteFile("/proc/self/uid_map", map)) {
        ChildFail(errorFd, "cannot write the user namespace's uid map");
    }
    snprintf(map, sizeof map, "0 %u 1", gid);
    if (!WriteFile("/proc/self/gid_map", map)) {
        ChildFail(errorFd, "cannot write the user namespace's gid map");
    }
}

void CoverDev(const ChildPlan& plan) {
    if (mkdir(plan.upper.c_str(), 0755) != 0 || mkdir(plan.work.c_str(), 0755) != 0) {
        ChildFail(plan.errorFd, "cannot make the overlay directories");
    }
    if (mount("overlay", "/dev", "overlay", 0, plan.overlayOptions.c_str()) == 0) {
        return;
    }
    if (mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0) {
        ChildFail(plan.errorFd, "cannot mount a private /dev");
    }
}

void CreateEmptyFile(const char* path, int errorFd) {
    const int fd = open(path, O_CREAT | O_WRONLY, 0600);
    if (fd < 0) {
        ChildFail(errorFd, "cannot create a file to bind the pseudo-terminal onto");
    }
    close(fd);
}

void PrepareDevice(const ChildPlan& plan) {
    EnterPrivateNamespace(plan.errorFd);
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0) {
        ChildFail(plan.errorFd, "cannot make the mounts private");
    }
    if (mount("tmpfs", plan.scratch.c_str(), "tmpfs", 0, "mode=0700") != 0) {
        ChildFail(plan.errorFd, "cannot mount the scratch tmpfs");
    }
    // The slave is bound aside first: the new /dev hides the host's /dev/pts.
    if (plan.slavePath != NULL) {
        CreateEmptyFile(plan.line.c_str(), plan.errorFd);
        if (mount(plan.slavePath, plan.line.c_str(), NULL, MS_BIND, NULL) != 0) {
            ChildFail(plan.errorFd, "cannot bind the pseudo-terminal");
        }
    }
    CoverDev(plan);
    if (plan.slavePath != NULL) {
        CreateEmptyFile(plan.devicePath, plan.errorFd);
        if (mount(plan.line.c_str(), plan.devicePath, NULL, MS_BIND, NULL) != 0) {
            ChildFail(plan.errorFd, "cannot bind the pseudo-terminal onto the device path");
        }
    }
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

void RunChild(const ChildPlan& plan) {
    PrepareDevice(plan);
    SetUpStreams(plan);
    execvp(plan.argv[0], plan.argv.data());
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

bool DeviceNamespaceChild::Start(const DeviceCommand& command, std::string* error) {
    if (command.argv.empty()) {
        *error = "no command given";
        return false;
    }
    char scratch[] = "/tmp/devns.XXXXXX";
    if (mkdtemp(scratch) == NULL) {
        *error = std::string("cannot make a scratch directory: ") + strerror(errno);
        return false;
    }
    m_scratch = scratch;
    ChildPlan plan;
    for (size_t i = 0; i < command.argv.size(); ++i) {
        plan.argv.push_back(const_cast<char*>(command.argv[i].c_str()));
    }
    plan.argv.push_back(NULL);
    plan.slavePath = command.slavePath.empty() ? NULL : command.slavePath.c_str();
    plan.devicePath = command.devicePath.c_str();
    plan.scratch = m_scratch;
    plan.line = m_scratch + "/line";
    plan.upper = m_scratch + "/upper";
    plan.work = m_scratch + "/work";
    plan.overlayOptions = "lowerdir=/dev,upperdir=" + plan.upper + ",workdir=" + plan.work;
    plan.streamFds[0] = command.stdinFd;
    plan.streamFds[1] = command.stdoutFd;
    plan.streamFds[2] = command.stderrFd;

    int errorPipe[2];
    if (!MakeCloseOnExecPipe(errorPipe)) {
        *error = std::string("cannot make a pipe: ") + strerror(errno);
        Wait();
        return false;
    }
    plan.errorFd = errorPipe[1];
    m_pid = fork();
    if (m_pid == 0) {
        RunChild(plan);
    }
    close(errorPipe[1]);
    if (m_pid < 0) {
        *error = std::string("cannot fork: ") + strerror(errno);
        close(errorPipe[0]);
        Wait();
        return false;
    }
    // The pipe closes on a successful exec; anything read from it is the child's reason,
    // written in pieces, so it is read to the end.
    char reason[512];
    size_t got = 0;
    for (;;) {
        const ssize_t n = read(errorPipe[0], reason + got, sizeof reason - 1 - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR || got == sizeof reason - 1) {
            break;
        }
    }
    close(errorPipe[0]);
    if (got > 0) {
        reason[got] = '\0';
        *error = reason;
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
    if (!m_scratch.empty()) {
        rmdir(m_scratch.c_str());
        m_scratch.clear();
    }
    return status;
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
