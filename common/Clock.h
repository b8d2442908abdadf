// The module's clocks. Elapsed times (quiet lines, round trips, time-outs of reads) are
// measured on CLOCK_MONOTONIC, which a clock change cannot move. sem_timedwait alone takes an
// absolute CLOCK_REALTIME deadline, so the semaphore waits use DeadlineAfter and SemWaitUntil.
#ifndef COMMON_CLOCK_H
#define COMMON_CLOCK_H

#include <semaphore.h>
#include <time.h>

// The monotonic clock, in microseconds and in seconds.
long long MonotonicMicros();
double MonotonicSeconds();

// The wall-clock deadline `seconds` + `millis` ms from now. The nanosecond sum is kept in a
// signed 32-bit int: for 0 <= millis < 1000 it stays below 2e9 and fits.
struct timespec DeadlineAfter(int seconds, int millis);

// Waits for the semaphore until the deadline: 0 when it was taken, -1 on a time-out or an
// error. A signal caught by the program meanwhile does not end the wait: it goes on to the
// same deadline, so a caller's timers never turn an answer on its way into a time-out.
int SemWaitUntil(sem_t* sem, const struct timespec& deadline);

#endif  // COMMON_CLOCK_H
