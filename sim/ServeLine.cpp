// SPDX-License-Identifier: MIT
#include "sim/ServeLine.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "common/Clock.h"
#include "programs/StopSignals.h"
#include "sim/DeviceNamespace.h"
#include "sim/LineOrFifo.h"

namespace {

const char kSocketPrefix[] = "unix:";
const char kNewPty[] = "pty";
const char kLinkedPty[] = "pty:";
const int kWatchMs = 50;

bool AddressOf(const char* path, struct sockaddr_un* address) {
    memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address->sun_path) {
        return false;
    }
    strncpy(address->sun_path, path, sizeof address->sun_path - 1);
    return true;
}

// A socket at path that nobody listens on is left by a server that ended without removing it.
// The kernel's table of unix sockets says whether one listens there; a connection would be
// taken by a live server for a peer.
bool IsStaleSocket(const char* path) {
    struct stat st;
    if (stat(path, &st) != 0 || !S_ISSOCK(st.st_mode)) {
        return false;
    }
    FILE* table = fopen("/proc/net/unix", "r");
    if (table == NULL) {
        return false;
    }
    const unsigned long kListening = 0x10000;  // __SO_ACCEPTCON
    bool listened = false;
    char row[512];
    while (!listened && fgets(row, sizeof row, table) != NULL) {
        unsigned long flags = 0;
        char bound[256] = "";
        listened = sscanf(row, "%*s %*s %*s %lx %*s %*s %*s %255s", &flags, bound) == 2 &&
                   strcmp(bound, path) == 0 && (flags & kListening) != 0;
    }
    fclose(table);
    return !listened;
}

// A listening socket at path, or after saying why, -1 with *status set to the exit status.
int Listen(const char* path, const McuSimulator::LogSink& log, int* status) {
    struct sockaddr_un address;
    if (!AddressOf(path, &address)) {
        fprintf(stderr, "mcusim: socket path %s is too long\n", path);
        *status = kLineUnusable;
        return -1;
    }
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const struct sockaddr* at = reinterpret_cast<const struct sockaddr*>(&address);
    int error = listener >= 0 && bind(listener, at, sizeof address) == 0 ? 0 : errno;
    if (error == EADDRINUSE && IsStaleSocket(path)) {
        unlink(path);
        log(std::string("removed a stale socket at ") + path + ", left by a server that ended");
        error = bind(listener, at, sizeof address) == 0 ? 0 : errno;
    }
    if (error == 0) {
        error = listen(listener, 1) == 0 ? 0 : errno;
    }
    if (error == 0) {
        return listener;
    }
    struct stat st;
    if (error == EADDRINUSE && (stat(path, &st) != 0 || S_ISSOCK(st.st_mode))) {
        fprintf(stderr, "mcusim: %s is in use: another server listens there\n", path);
        *status = kLineHeld;
    } else if (error == EADDRINUSE) {
        fprintf(stderr, "mcusim: cannot listen at %s: it is a file, not a socket\n", path);
        *status = kLineUnusable;
    } else {
        fprintf(stderr, "mcusim: cannot listen at %s: %s\n", path, strerror(error));
        *status = kLineUnusable;
    }
    if (listener >= 0) {
        close(listener);
    }
    return -1;
}

// The next peer, or -1: after saying why when accept fails, silently on a stop signal.
int AcceptPeer(int listener, const char* path) {
    while (StopSignalCaught() == 0) {
        struct pollfd pfd = {listener, POLLIN, 0};
        if (poll(&pfd, 1, kWatchMs * 4) <= 0) {
            continue;
        }
        const int peer = accept4(listener, NULL, NULL, SOCK_CLOEXEC);
        if (peer >= 0) {
            return peer;
        }
        if (errno != EINTR && errno != ECONNABORTED) {
            fprintf(stderr, "mcusim: cannot accept a peer at %s: %s\n", path, strerror(errno));
            return -1;
        }
    }
    return -1;
}

// Until a stop signal, a hang-up, the peer's close, or hangUp (when given) saying the line is
// to hang up, which it then does, returning true. A second peer connecting meanwhile
// (listener, when there is one) waits in the backlog; it is said once.
bool WatchLine(int fd, int listener, const McuSimulator::LogSink& log,
               const std::function<bool()>& hangUp) {
    bool toldOfWaiting = false;
    while (StopSignalCaught() == 0) {
        if (hangUp && hangUp()) {
            return true;
        }
        struct pollfd pfd[2] = {{fd, 0, 0}, {listener, POLLIN, 0}};
        const nfds_t watched = listener >= 0 && !toldOfWaiting ? 2 : 1;
        if (poll(pfd, watched, kWatchMs) <= 0) {
            continue;
        }
        if ((pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return false;
        }
        if (watched == 2 && (pfd[1].revents & POLLIN) != 0) {
            log("another peer is waiting: it is served when this one leaves");
            toldOfWaiting = true;
        }
    }
    return false;
}

void Add(SimStats* total, const SimStats& more) {
    total->framesReceived += more.framesReceived;
    total->answersSent += more.answersSent;
    total->answersDropped += more.answersDropped;
    total->answersCorrupted += more.answersCorrupted;
    total->unaskedSent += more.unaskedSent;
    total->lineFullDrops += more.lineFullDrops;
}

std::string Totals(const char* line, const SimStats& stats) {
    char text[256];
    snprintf(text, sizeof text,
             "served %s: %lu frames received, %lu answers sent (%lu dropped, %lu corrupted), "
             "%lu unasked frames, %lu dropped on a full line",
             line, stats.framesReceived, stats.answersSent, stats.answersDropped,
             stats.answersCorrupted, stats.unaskedSent, stats.lineFullDrops);
    return text;
}

// Serves one open line (a device, a socket's peer, a pseudo-terminal) until it ends; adds its
// counts to total. With hangUps, a line that has received options.hangupAfter requests is
// ended on purpose: true then.
bool Serve(int fd, int listener, const ServeSetup& setup, SimStats* total, bool hangUps = false) {
    McuSimulator simulator(fd, setup.quiet ? McuSimulator::LogSink() : setup.log, setup.options);
    if (setup.vcd != NULL) {
        VcdRecorder* vcd = setup.vcd;
        simulator.SetLineObserver([vcd](LineDirection direction, const unsigned char* bytes,
                                        size_t count,
                                        double at) { vcd->Record(direction, bytes, count, at); });
    }
    simulator.Start();
    const unsigned long after = static_cast<unsigned long>(setup.options.hangupAfter);
    std::function<bool()> hangUp;
    if (hangUps && after > 0) {
        hangUp = [&simulator, after] { return simulator.stats().framesReceived >= after; };
    }
    const bool hungUp = WatchLine(fd, listener, setup.log, hangUp);
    simulator.Stop();
    Add(total, simulator.stats());
    return hungUp;
}

// One peer after another, each until it closes, as an emulated board that reboots connects
// again; until a stop signal. The socket is removed at the end.
int ServeSocket(const char* line, const ServeSetup& setup, double* ended) {
    const char* path = line + sizeof kSocketPrefix - 1;
    int status = 0;
    const int listener = Listen(path, setup.log, &status);
    if (listener < 0) {
        return status;
    }
    SimStats total;
    memset(&total, 0, sizeof total);
    while (StopSignalCaught() == 0) {
        const int peer = AcceptPeer(listener, path);
        if (peer < 0) {
            status = StopSignalCaught() == 0 ? kLineUnusable : 0;
            break;
        }
        // Said before anything is served, so that a harness waits for this line rather than
        // for a time.
        setup.log(std::string("a peer connected at ") + path);
        Serve(peer, listener, setup, &total);
        close(peer);
        if (StopSignalCaught() == 0) {
            setup.log(std::string("the peer left; waiting for the next one at ") + path);
        }
    }
    *ended = mcucom::MonotonicSeconds();
    close(listener);
    unlink(path);
    setup.log(Totals(line, total));
    return status;
}

// Waits ms, or less when a stop signal comes.
void PauseUnlessStopped(int ms) {
    for (const long long end = mcucom::MonotonicMicros() + ms * 1000LL;
         StopSignalCaught() == 0 && mcucom::MonotonicMicros() < end;) {
        usleep(10 * 1000);
    }
}

// Points link (when given) at the slave's path: a symbolic link made anew.
bool LinkTo(const std::string& link, const std::string& slavePath) {
    if (link.empty()) {
        return true;
    }
    unlink(link.c_str());
    if (symlink(slavePath.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "mcusim: cannot make %s: %s\n", link.c_str(), strerror(errno));
        return false;
    }
    return true;
}

// A pseudo-terminal of its own, whose slave side a program opens as its line, at the path
// link names when given (a symbolic link made here, and removed at the end). The slave is held
// open here too, so that the program's closing it is no hang-up: programs may come and go
// until a stop signal. With options.hangupAfter, the line hangs up (its master closed, as a
// cable pulled) after that many requests, and a new one comes up options.hangupMs later, at
// the same link.
int ServeNewPty(const std::string& link, const ServeSetup& setup, double* ended) {
    SimStats total;
    memset(&total, 0, sizeof total);
    std::string served;
    for (bool again = true; again && StopSignalCaught() == 0;) {
        PtyPair pty;
        if (!OpenQuietLine(&pty)) {
            return kLineUnusable;
        }
        if (!LinkTo(link, pty.slavePath)) {
            ClosePtyPair(&pty);
            return kLineUnusable;
        }
        served = link.empty() ? pty.slavePath : link;
        setup.log("serving a pseudo-terminal at " + served);
        again = Serve(pty.master, -1, setup, &total, true);
        ClosePtyPair(&pty);
        if (again) {
            setup.log("hung up " + served + " after " + std::to_string(setup.options.hangupAfter) +
                      " requests; a new line comes up in " +
                      std::to_string(setup.options.hangupMs) + " ms");
            PauseUnlessStopped(setup.options.hangupMs);
        }
    }
    *ended = mcucom::MonotonicSeconds();
    if (!link.empty()) {
        unlink(link.c_str());
    }
    setup.log(Totals(served.c_str(), total));
    return 0;
}

}  // namespace

int ServeLine(const char* line, const ServeSetup& setup, double* ended) {
    CatchStopSignals();
    if (strncmp(line, kSocketPrefix, sizeof kSocketPrefix - 1) == 0) {
        return ServeSocket(line, setup, ended);
    }
    if (strcmp(line, kNewPty) == 0) {
        return ServeNewPty(std::string(), setup, ended);
    }
    if (strncmp(line, kLinkedPty, sizeof kLinkedPty - 1) == 0) {
        return ServeNewPty(line + sizeof kLinkedPty - 1, setup, ended);
    }
    LineOrFifo device;
    const int refused = device.Take(line, O_RDWR, setup.share);
    if (refused >= 0) {
        return refused;
    }
    SimStats total;
    memset(&total, 0, sizeof total);
    Serve(device.fd(), -1, setup, &total);
    *ended = mcucom::MonotonicSeconds();
    setup.log(Totals(line, total));
    return 0;
}
