// SPDX-License-Identifier: MIT
#include "common/SemaphoreBell.h"

#include <time.h>

#include "common/Clock.h"

namespace mcucom {

SemaphoreBell::SemaphoreBell() {
    Init();
}

SemaphoreBell::~SemaphoreBell() {
    pthread_cond_destroy(&m_cond);
    pthread_mutex_destroy(&m_mutex);
}

void SemaphoreBell::Init() {
    pthread_mutex_init(&m_mutex, NULL);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_cond, &attr);
    pthread_condattr_destroy(&attr);
}

void SemaphoreBell::Reset() {
    Init();
}

// The lock is taken around the broadcast: a waiter that found the semaphore empty holds it
// until it sleeps, so a post that came after its look cannot ring before it listens.
void SemaphoreBell::Ring() {
    pthread_mutex_lock(&m_mutex);
    pthread_cond_broadcast(&m_cond);
    pthread_mutex_unlock(&m_mutex);
}

int SemaphoreBell::TakeWithin(sem_t* sem, unsigned int millis, const std::atomic<bool>* stop) {
    const struct timespec deadline = MonotonicDeadlineAfter(millis);
    pthread_mutex_lock(&m_mutex);
    int taken = -1;
    for (;;) {
        if (sem_trywait(sem) == 0) {
            taken = 0;
            break;
        }
        if (stop != NULL && *stop) {
            taken = -2;
            break;
        }
        // A wake-up without a post (another semaphore's, or none) looks again; the deadline
        // stays where it was. Anything but a wake-up (the time is up, or the wait failed) is
        // the last look, so the loop never spins.
        if (pthread_cond_timedwait(&m_cond, &m_mutex, &deadline) != 0) {
            taken = sem_trywait(sem) == 0 ? 0 : -1;
            break;
        }
    }
    pthread_mutex_unlock(&m_mutex);
    return taken;
}

}  // namespace mcucom
