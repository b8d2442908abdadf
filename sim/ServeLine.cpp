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

#include <string>

#include "common/Clock.h"
#include "programs/StopSignals.h"
#include "sim/DeviceNamespace.h"
#include "sim/TakenLine.h"

namespace {

const char kSocketPrefix[] = "unix:";
const char kNewPty[] = "pty";
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

// Until a stop signal, a hang-up or the peer's close. A second peer connecting meanwhile
// (listener, when there is one) waits in the backlog; it is said once.
void WatchLine(int fd, int listener, const McuSimulator::LogSink& log) {
    bool toldOfWaiting = false;
    while (StopSignalCaught() == 0) {
        struct pollfd pfd[2] = {{fd, 0, 0}, {listener, POLLIN, 0}};
        const nfds_t watched = listener >= 0 && !toldOfWaiting ? 2 : 1;
        if (poll(pfd, watched, kWatchMs) <= 0) {
            continue;
        }
        if ((pfd[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return;
        }
        if (watched == 2 && (pfd[1].revents & POLLIN) != 0) {
            log("another peer is waiting: it is served when this one leaves");
            toldOfWaiting = true;
        }
    }
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

// Serves one open line (a device, or a socket's peer) until it ends; adds its counts to total.
void Serve(int fd, int listener, const ServeSetup& setup, SimStats* total) {
    McuSimulator simulator(fd, setup.quiet ? McuSimulator::LogSink() : setup.log, setup.options);
    if (setup.vcd != NULL) {
        VcdRecorder* vcd = setup.vcd;
        simulator.SetLineObserver([vcd](LineDirection direction, const unsigned char* bytes,
                                        size_t count,
                                        double at) { vcd->Record(direction, bytes, count, at); });
    }
    simulator.Start();
    WatchLine(fd, listener, setup.log);
    simulator.Stop();
    Add(total, simulator.stats());
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

// A pseudo-terminal of its own, whose slave side a program opens as its line. The slave is
// held open here too, so that the program's closing it is no hang-up: programs may come and
// go until a stop signal.
int ServeNewPty(const ServeSetup& setup, double* ended) {
    PtyPair pty;
    std::string error;
    if (!OpenPtyPair(&pty, &error)) {
        fprintf(stderr, "mcusim: %s\n", error.c_str());
        return kLineUnusable;
    }
    QuietLine(pty.slave);
    setup.log("serving a pseudo-terminal at " + pty.slavePath);
    SimStats total;
    memset(&total, 0, sizeof total);
    Serve(pty.master, -1, setup, &total);
    *ended = mcucom::MonotonicSeconds();
    setup.log(Totals(pty.slavePath.c_str(), total));
    ClosePtyPair(&pty);
    return 0;
}

}  // namespace

int ServeLine(const char* line, const ServeSetup& setup, double* ended) {
    CatchStopSignals();
    if (strncmp(line, kSocketPrefix, sizeof kSocketPrefix - 1) == 0) {
        return ServeSocket(line, setup, ended);
    }
    if (strcmp(line, kNewPty) == 0) {
        return ServeNewPty(setup, ended);
    }
    TakenLine device;
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
