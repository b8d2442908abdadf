// SPDX-License-Identifier: MIT
// The module's clocks. Every time it measures (quiet lines, round trips, time-outs of reads and
// of waits) is measured on CLOCK_MONOTONIC, which a change of the wall clock cannot move.
#ifndef COMMON_CLOCK_H
#define COMMON_CLOCK_H

#include <poll.h>
#include <time.h>

namespace mcucom {

// The monotonic clock, in microseconds and in seconds.
long long MonotonicMicros();
double MonotonicSeconds();

// The monotonic clock's reading `millis` ms from now, as an absolute deadline for waits bound
// to CLOCK_MONOTONIC. Every unsigned count fits; past what the platform's time_t holds, the
// deadline is the latest it can express.
struct timespec MonotonicDeadlineAfter(unsigned int millis);

// poll() for up to timeoutUs on the monotonic clock, the rest of the time again after a
// caught signal (and past the longest wait one poll() takes); poll's result (0 when the time ran
// out, -1 with errno on a failure).
int PollWithin(struct pollfd* fds, nfds_t count, long long timeoutUs);

}  // namespace mcucom

#endif  // COMMON_CLOCK_H
