// SPDX-License-Identifier: MIT
#include "common/JobThreads.h"

namespace mcucom {

JobThreads::JobThreads() : m_spare(0), m_stopping(false) {
    pthread_mutex_init(&m_lock, NULL);
    pthread_cond_init(&m_handed, NULL);
}

JobThreads::~JobThreads() {
    Stop();
    pthread_cond_destroy(&m_handed);
    pthread_mutex_destroy(&m_lock);
}

bool JobThreads::Reserve() {
    pthread_mutex_lock(&m_lock);
    bool reserved = false;
    if (m_stopping) {
        reserved = false;
    } else if (m_spare > 0) {
        --m_spare;
        reserved = true;
    } else {
        // A new thread is this reservation's: it starts as no spare.
        pthread_t thread;
        reserved = pthread_create(&thread, NULL, &JobThreads::Main, this) == 0;
        if (reserved) {
            m_threads.push_back(thread);
        }
    }
    pthread_mutex_unlock(&m_lock);
    return reserved;
}

void JobThreads::Unreserve() {
    pthread_mutex_lock(&m_lock);
    ++m_spare;
    pthread_mutex_unlock(&m_lock);
}

void JobThreads::Run(const Job& job, const Job& then) {
    pthread_mutex_lock(&m_lock);
    m_jobs.push_back(std::make_pair(job, then));
    pthread_cond_signal(&m_handed);
    pthread_mutex_unlock(&m_lock);
}

void JobThreads::Stop() {
    pthread_mutex_lock(&m_lock);
    m_stopping = true;
    pthread_cond_broadcast(&m_handed);
    std::vector<pthread_t> threads;
    threads.swap(m_threads);
    pthread_mutex_unlock(&m_lock);
    for (size_t i = 0; i < threads.size(); ++i) {
        pthread_join(threads[i], NULL);
    }
}

size_t JobThreads::threads() {
    pthread_mutex_lock(&m_lock);
    const size_t count = m_threads.size();
    pthread_mutex_unlock(&m_lock);
    return count;
}

void* JobThreads::Main(void* self) {
    static_cast<JobThreads*>(self)->Loop();
    return NULL;
}

// A thread leaves once stopping with no job left, so every job handed over runs.
void JobThreads::Loop() {
    pthread_mutex_lock(&m_lock);
    for (;;) {
        while (m_jobs.empty() && !m_stopping) {
            pthread_cond_wait(&m_handed, &m_lock);
        }
        if (m_jobs.empty()) {
            break;
        }
        const std::pair<Job, Job> job = m_jobs.front();
        m_jobs.pop_front();
        pthread_mutex_unlock(&m_lock);
        job.first();
        pthread_mutex_lock(&m_lock);
        ++m_spare;
        pthread_mutex_unlock(&m_lock);
        job.second();
        pthread_mutex_lock(&m_lock);
    }
    pthread_mutex_unlock(&m_lock);
}

}  // namespace mcucom
