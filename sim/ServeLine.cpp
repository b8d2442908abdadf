#include "sim/ServeLine.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "common/Clock.h"
#include "common/StopSignals.h"
#include "sim/TakenLine.h"

namespace {

const char kSocketPrefix[] = "unix:";
const int kWatchMs = 50;

// Listens at path and returns the first peer's descriptor; -1 after saying why, or when a
// stop signal came first.
int AcceptOnePeer(const char* path) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        fprintf(stderr, "mcusim: socket path %s is too long\n", path);
        return -1;
    }
    strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0 ||
        bind(listener, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener, 1) != 0) {
        fprintf(stderr, "mcusim: cannot listen at %s: %s\n", path, strerror(errno));
        if (listener >= 0) {
            close(listener);
        }
        return -1;
    }
    int peer = -1;
    while (peer < 0 && StopSignalCaught() == 0) {
        struct pollfd pfd = {listener, POLLIN, 0};
        if (poll(&pfd, 1, kWatchMs * 4) > 0) {
            peer = accept(listener, NULL, NULL);
            if (peer < 0 && errno != EINTR && errno != ECONNABORTED) {
                fprintf(stderr, "mcusim: cannot accept a peer at %s: %s\n", path, strerror(errno));
                break;
            }
        }
    }
    close(listener);
    unlink(path);
    return peer;
}

// Until a stop signal, a hang-up or the peer's close.
void WatchLine(int fd) {
    while (StopSignalCaught() == 0) {
        struct pollfd pfd = {fd, 0, 0};
        if (poll(&pfd, 1, kWatchMs) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            return;
        }
    }
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

}  // namespace

int ServeLine(const char* line, const SimOptions& options, const McuSimulator::LogSink& log,
              VcdRecorder* vcd, bool share, double* ended) {
    CatchStopSignals();
    TakenLine device;
    int fd = -1;
    if (strncmp(line, kSocketPrefix, sizeof kSocketPrefix - 1) == 0) {
        fd = AcceptOnePeer(line + sizeof kSocketPrefix - 1);
        if (fd < 0 && StopSignalCaught() == 0) {
            return kLineUnusable;
        }
    } else {
        const int refused = device.Take(line, O_RDWR, share);
        if (refused >= 0) {
            return refused;
        }
        fd = device.fd();
    }
    if (fd >= 0) {
        McuSimulator simulator(fd, log, options);
        if (vcd != NULL) {
            simulator.SetLineObserver(
                [vcd](LineDirection direction, const unsigned char* bytes, size_t count,
                      double at) { vcd->Record(direction, bytes, count, at); });
        }
        simulator.Start();
        WatchLine(fd);
        *ended = MonotonicSeconds();
        simulator.Stop();
        log(Totals(line, simulator.stats()));
    } else {
        *ended = MonotonicSeconds();
    }
    if (device.fd() < 0 && fd >= 0) {
        close(fd);  // the socket's peer
    }
    return 0;
}
