#include "common/Clock.h"

#include <errno.h>
#include <stdint.h>
#include <sys/time.h>

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

struct timespec DeadlineAfter(int seconds, int millis) {
    struct timeval now;
    gettimeofday(&now, NULL);
    const int32_t nanos = static_cast<int32_t>(now.tv_usec) * 1000 + millis * 1000000;
    struct timespec deadline;
    deadline.tv_sec = now.tv_sec + nanos / 1000000000 + seconds;
    deadline.tv_nsec = nanos % 1000000000;
    return deadline;
}

int SemWaitUntil(sem_t* sem, const struct timespec& deadline) {
    int waited;
    do {
        waited = sem_timedwait(sem, &deadline);
    } while (waited != 0 && errno == EINTR);
    return waited;
}
