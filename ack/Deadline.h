// Absolute wall-clock deadlines for sem_timedwait, which measures against CLOCK_REALTIME.
#ifndef ACK_DEADLINE_H
#define ACK_DEADLINE_H

#include <time.h>

// The deadline `seconds` + `millis` ms from now. The nanosecond sum is kept in a signed 32-bit
// int as the module always has: for 0 <= millis < 1000 it stays below 2e9 and fits.
struct timespec DeadlineAfter(int seconds, int millis);

#endif  // ACK_DEADLINE_H
