// SPDX-License-Identifier: MIT
#include "sim/ReportWriter.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <deque>

#include "common/Clock.h"

// The queue and its lock, shared by the program and the writer thread. Freed by whichever of
// the two lets go last: a writer blocked for ever in write() never lets go, and the process's
// end takes it.
struct ReportWriter::Shared {
    pthread_mutex_t lock;
    pthread_cond_t changed;  // bound to the monotonic clock
    int fd;
    size_t maxQueued;
    std::deque<std::string> queue;
    size_t queuedBytes;
    bool writing;  // the writer holds a text taken off the queue
    bool closing;
    bool writerGone;
    bool ownerGone;
    int error;
    unsigned long dropped;
};

namespace {

// Whole, through short writes and signals; the errno of a failure, or 0.
int WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? errno : EIO;
        }
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

// Releases the caller's hold on the shared state; the last one out frees it.
void ReportWriter::LetGo(Shared* shared, bool Shared::*mine, bool Shared::*other) {
    shared->*mine = true;
    const bool last = shared->*other;
    pthread_mutex_unlock(&shared->lock);
    if (last) {
        pthread_cond_destroy(&shared->changed);
        pthread_mutex_destroy(&shared->lock);
        delete shared;
    }
}

ReportWriter::ReportWriter(int fd, size_t maxQueued) : m_shared(new Shared) {
    pthread_mutex_init(&m_shared->lock, NULL);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_shared->changed, &attr);
    pthread_condattr_destroy(&attr);
    m_shared->fd = fd;
    m_shared->maxQueued = maxQueued;
    m_shared->queuedBytes = 0;
    m_shared->writing = false;
    m_shared->closing = false;
    m_shared->writerGone = false;
    m_shared->ownerGone = false;
    m_shared->error = 0;
    m_shared->dropped = 0;
    pthread_t thread;
    if (pthread_create(&thread, NULL, &ReportWriter::Run, m_shared) == 0) {
        pthread_detach(thread);
    } else {
        m_shared->writerGone = true;
        m_shared->error = EAGAIN;
    }
}

ReportWriter::~ReportWriter() {
    pthread_mutex_lock(&m_shared->lock);
    m_shared->closing = true;
    pthread_cond_broadcast(&m_shared->changed);
    LetGo(m_shared, &Shared::ownerGone, &Shared::writerGone);
}

void ReportWriter::Add(const std::string& text) {
    pthread_mutex_lock(&m_shared->lock);
    if (m_shared->error == 0 && m_shared->queuedBytes + text.size() <= m_shared->maxQueued) {
        m_shared->queue.push_back(text);
        m_shared->queuedBytes += text.size();
        pthread_cond_broadcast(&m_shared->changed);
    } else {
        ++m_shared->dropped;
    }
    pthread_mutex_unlock(&m_shared->lock);
}

int ReportWriter::Finish(double seconds) {
    pthread_mutex_lock(&m_shared->lock);
    if (m_shared->dropped > 0 && m_shared->error == 0) {
        // The one text allowed past the bound: without it the report would not say it is short.
        const std::string note = "mcusim: " + std::to_string(m_shared->dropped) +
                                 " report lines dropped: standard output was not read\n";
        m_shared->queue.push_back(note);
        m_shared->queuedBytes += note.size();
        pthread_cond_broadcast(&m_shared->changed);
    }
    const struct timespec deadline =
        mcucom::MonotonicDeadlineAfter(static_cast<unsigned int>(seconds * 1000));
    while (m_shared->error == 0 && (m_shared->writing || !m_shared->queue.empty())) {
        if (pthread_cond_timedwait(&m_shared->changed, &m_shared->lock, &deadline) != 0) {
            break;
        }
    }
    const bool drained = !m_shared->writing && m_shared->queue.empty();
    const int result = m_shared->error != 0                ? m_shared->error
                       : !drained || m_shared->dropped > 0 ? EAGAIN
                                                           : 0;
    pthread_mutex_unlock(&m_shared->lock);
    return result;
}

void* ReportWriter::Run(void* arg) {
    Shared* shared = static_cast<Shared*>(arg);
    pthread_mutex_lock(&shared->lock);
    for (;;) {
        while (shared->queue.empty() && !shared->closing) {
            pthread_cond_wait(&shared->changed, &shared->lock);
        }
        if (shared->queue.empty() || shared->error != 0) {
            break;
        }
        std::string text;
        text.swap(shared->queue.front());
        shared->queue.pop_front();
        shared->queuedBytes -= text.size();
        shared->writing = true;
        pthread_mutex_unlock(&shared->lock);
        const int error = WriteAll(shared->fd, text);
        pthread_mutex_lock(&shared->lock);
        shared->writing = false;
        shared->error = error;
        pthread_cond_broadcast(&shared->changed);
    }
    LetGo(shared, &Shared::writerGone, &Shared::ownerGone);
    return NULL;
}
