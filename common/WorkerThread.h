// SPDX-License-Identifier: MIT
// One thread that runs a loop until asked to stop: the start and stop shared by the module's
// receiver and the simulator.
//
// Start() runs the body on a new POSIX thread and refuses a second start while one runs; the
// body polls stopping() and returns soon after it turns true. Stop() asks, then joins, so it
// returns once the body has; it does nothing when no thread runs. Start and Stop belong to
// one controlling thread. A child process made by fork() has none of its parent's threads:
// there the worker counts as stopped, and may be started anew.
#ifndef COMMON_WORKERTHREAD_H
#define COMMON_WORKERTHREAD_H

#include <pthread.h>

#include <atomic>
#include <functional>

#include "common/ForkGuard.h"

namespace mcucom {

class WorkerThread {
  public:
    typedef std::function<void()> Body;

    WorkerThread();
    ~WorkerThread();

    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    bool Start(const Body& body);
    void Stop();
    bool running() const { return m_running; }
    bool stopping() const { return m_stop.load(); }

  private:
    static void* Main(void* self);
    static void ForgetThreadAfterFork(void* self);

    pthread_t m_thread;
    bool m_running;
    std::atomic<bool> m_stop;
    Body m_body;
    ForkGuard m_forkGuard;
};

}  // namespace mcucom

#endif  // COMMON_WORKERTHREAD_H
