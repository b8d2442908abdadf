// SPDX-License-Identifier: MIT
// Waits on a POSIX semaphore that last their time on the monotonic clock.
//
// sem_timedwait measures its deadline against the wall clock, which the board sets at boot and
// from the network: stepped back an hour, it keeps a waiter an hour; stepped forward, it ends
// a wait at once while the answer is still on its way. The semaphore stays the counter it is;
// a bell beside it lets a waiter sleep on a condition variable bound to CLOCK_MONOTONIC
// instead. Whoever posts the semaphore rings the bell after the post, so a sleeper wakes and
// takes it. One bell may serve many semaphores (a wait list's entries): a ring wakes every
// sleeper, and each one takes only its own semaphore.
#ifndef COMMON_SEMAPHOREBELL_H
#define COMMON_SEMAPHOREBELL_H

#include <pthread.h>
#include <semaphore.h>
#include <stddef.h>

#include <atomic>

namespace mcucom {

class SemaphoreBell {
  public:
    SemaphoreBell();
    ~SemaphoreBell();

    SemaphoreBell(const SemaphoreBell&) = delete;
    SemaphoreBell& operator=(const SemaphoreBell&) = delete;

    // Wakes every thread sleeping in TakeWithin; call it after posting a semaphore.
    void Ring();

    // Takes the semaphore, waiting up to `millis` ms on the monotonic clock for a post: 0 when
    // taken, -1 when the time passed first, -2 when `stop` (if given) turned true and the bell
    // rang. A wait of 0 ms looks once. Signals caught by the program do not end the wait.
    int TakeWithin(sem_t* sem, unsigned int millis, const std::atomic<bool>* stop = NULL);

    // For a child process after fork(): the bell as new. Threads that slept on it in the
    // parent do not exist in the child.
    void Reset();

  private:
    void Init();

    pthread_mutex_t m_mutex;
    pthread_cond_t m_cond;
};

}  // namespace mcucom

#endif  // COMMON_SEMAPHOREBELL_H
