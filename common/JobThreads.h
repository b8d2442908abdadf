// SPDX-License-Identifier: MIT
// Threads that run jobs handed to them, as many at once as were handed over: the waits of the
// commands a program does not wait for itself, each on a thread of its own while it waits.
//
// A thread is made sure of before its job exists (Reserve: a spare one, or a new one), so a
// caller learns that no thread can be had before it does anything a job would have to finish;
// Run then hands the job to that thread, and Unreserve gives it back unused. A job comes in two
// parts: the thread counts as spare again between them, so that a caller whom the second part
// tells of the first's end (a completion) and who reserves again at once finds it spare rather
// than making another thread. Threads that have run their job wait for the next, and all are
// joined by Stop, once the jobs handed over have run. Reserve is refused from then on.
#ifndef COMMON_JOBTHREADS_H
#define COMMON_JOBTHREADS_H

#include <pthread.h>
#include <stddef.h>

#include <deque>
#include <functional>
#include <utility>
#include <vector>

namespace mcucom {

class JobThreads {
  public:
    typedef std::function<void()> Job;

    JobThreads();
    ~JobThreads();

    JobThreads(const JobThreads&) = delete;
    JobThreads& operator=(const JobThreads&) = delete;

    bool Reserve();
    void Unreserve();
    void Run(const Job& job, const Job& then);
    void Stop();
    size_t threads();

  private:
    static void* Main(void* self);
    void Loop();

    pthread_mutex_t m_lock;
    pthread_cond_t m_handed;
    std::deque<std::pair<Job, Job>> m_jobs;
    std::vector<pthread_t> m_threads;
    size_t m_spare;  // threads waiting for a job that no reservation has promised
    bool m_stopping;
};

}  // namespace mcucom

#endif  // COMMON_JOBTHREADS_H
