// SPDX-License-Identifier: MIT
// Lock helpers shared by the whole module.
//
// MutexLock owns one default (non-recursive) POSIX mutex; MutexLockGuard locks it for the
// lifetime of a scope. Every locked region of the module is a guard's scope, so each return
// path, early or not, releases the lock. Never lock a MutexLock twice from one thread.
#ifndef COMMON_MUTEXLOCK_H
#define COMMON_MUTEXLOCK_H

#include <pthread.h>

class MutexLock {
  public:
    MutexLock() { pthread_mutex_init(&m_mutex, NULL); }
    ~MutexLock() { pthread_mutex_destroy(&m_mutex); }

    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    void lock() { pthread_mutex_lock(&m_mutex); }
    void unlock() { pthread_mutex_unlock(&m_mutex); }

  private:
    pthread_mutex_t m_mutex;
};

class MutexLockGuard {
  public:
    explicit MutexLockGuard(MutexLock& mutex) : m_mutex(mutex) { m_mutex.lock(); }
    ~MutexLockGuard() { m_mutex.unlock(); }

    MutexLockGuard(const MutexLockGuard&) = delete;
    MutexLockGuard& operator=(const MutexLockGuard&) = delete;

  private:
    MutexLock& m_mutex;
};

#endif  // COMMON_MUTEXLOCK_H
