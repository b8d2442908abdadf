// SPDX-License-Identifier: MIT
#include "common/Clock.h"

#include <errno.h>

#include <limits>

namespace mcucom {

long long MonotonicMicros() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

double MonotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct timespec MonotonicDeadlineAfter(unsigned int millis) {
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const long long nanos = deadline.tv_nsec + (millis % 1000) * 1000000LL;
    const long long seconds =
        static_cast<long long>(deadline.tv_sec) + millis / 1000 + nanos / 1000000000;
    const time_t latest = std::numeric_limits<time_t>::max();
    if (seconds > static_cast<long long>(latest)) {
        deadline.tv_sec = latest;
        deadline.tv_nsec = 999999999;
    } else {
        deadline.tv_sec = static_cast<time_t>(seconds);
        deadline.tv_nsec = static_cast<long>(nanos % 1000000000);
    }
    return deadline;
}

int PollWithin(struct pollfd* fds, nfds_t count, long long timeoutUs) {
    const long long deadline = MonotonicMicros() + timeoutUs;
    const long long longestMs = std::numeric_limits<int>::max();
    int ready;
    do {
        const long long left = deadline - MonotonicMicros();
        const long long ms = left > 0 ? (left + 999) / 1000 : 0;
        ready = poll(fds, count, static_cast<int>(ms < longestMs ? ms : longestMs));
    } while ((ready < 0 && errno == EINTR) || (ready == 0 && MonotonicMicros() < deadline));
    return ready;
}

}  // namespace mcucom
