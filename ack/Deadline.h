// Absolute wall-clock deadlines for sem_timedwait, which measures against CLOCK_REALTIME, and
// the wait on them.
#ifndef ACK_DEADLINE_H
#define ACK_DEADLINE_H

#include <semaphore.h>
#include <time.h>

// The deadline `seconds` + `millis` ms from now. The nanosecond sum is kept in a signed 32-bit
// int as the module always has: for 0 <= millis < 1000 it stays below 2e9 and fits.
struct timespec DeadlineAfter(int seconds, int millis);

// Waits for the semaphore until the deadline: 0 when it was taken, -1 on a time-out or an
// error. A signal caught by the program meanwhile does not end the wait: it goes on to the
// same deadline, so a caller's timers never turn an answer on its way into a time-out.
int SemWaitUntil(sem_t* sem, const struct timespec& deadline);

#endif  // ACK_DEADLINE_H
