// SPDX-License-Identifier: MIT
// Runs a command that sees a pseudo-terminal at a device path under /dev, without touching
// the host's /dev.
//
// The child enters a private mount namespace (as root; otherwise an unprivileged user
// namespace), keeps the host's /dev aside in a scratch tmpfs, lays an overlay (or, where
// overlays are refused, a tmpfs with the basic devices) over /dev, binds the host's
// pseudo-terminals, shared memory and message queues back, creates the device and binds the
// pty slave onto it, removes the scratch folder, and execs. Everything it mounts disappears
// with the namespace, and the scratch folder is gone before the command runs, so nothing is
// left on the host however the parent ends. The command dies with its parent.
#ifndef SIM_DEVICENAMESPACE_H
#define SIM_DEVICENAMESPACE_H

#include <sys/types.h>

#include <string>
#include <vector>

struct PtyPair {
    int master;
    int slave;
    std::string slavePath;
};

// Opens a pseudo-terminal pair with POSIX calls; the slave is opened too, so that the line
// and its settings live on while the command opens and closes its end. False on failure.
bool OpenPtyPair(PtyPair* pty, std::string* error);
// A pair for mcusim to serve, as OpenPtyPair makes one, with the slave's echo off, so that
// nothing the far end writes comes back to it before the program on the slave has configured
// the line. False after saying why on standard error.
bool OpenQuietLine(PtyPair* pty);
void ClosePtyPair(PtyPair* pty);

// A stream descriptor of DeviceCommand: inherit the caller's, or start the command with the
// stream closed; any other value is a descriptor to give the command as that stream.
const int kInheritStream = -1;
const int kCloseStream = -2;

struct DeviceCommand {
    DeviceCommand() : stdinFd(kInheritStream), stdoutFd(kInheritStream), stderrFd(kInheritStream) {}

    std::vector<std::string> argv;  // the command and its arguments
    std::string slavePath;          // pty slave to show at devicePath; empty: no device
    std::string devicePath;         // e.g. "/dev/ttyAMA2"
    int stdinFd;
    int stdoutFd;
    int stderrFd;
};

class DeviceNamespaceChild {
  public:
    DeviceNamespaceChild();
    ~DeviceNamespaceChild();

    // Starts the command; false with a one-line reason when the namespace cannot be made or
    // the command cannot be executed.
    bool Start(const DeviceCommand& command, std::string* error);
    // Waits for the command and returns its wait status; removes the scratch directory.
    int Wait();
    pid_t pid() const { return m_pid; }

  private:
    void RemoveScratchIfLeft();

    pid_t m_pid;
    std::string m_scratch;
};

// The exit code a shell would report for a wait status.
int ExitCodeOf(int waitStatus);

#endif  // SIM_DEVICENAMESPACE_H
