// SPDX-License-Identifier: MIT
#include "common/WorkerThread.h"

namespace mcucom {

WorkerThread::WorkerThread()
    : m_thread(),
      m_running(false),
      m_stop(false),
      m_forkGuard(this, ForkGuard::Hooks{NULL, NULL, &ForgetThreadAfterFork}) {}

void WorkerThread::ForgetThreadAfterFork(void* self) {
    static_cast<WorkerThread*>(self)->m_running = false;
}

WorkerThread::~WorkerThread() {
    Stop();
}

bool WorkerThread::Start(const Body& body) {
    if (m_running) {
        return false;
    }
    m_body = body;
    m_stop = false;
    m_running = pthread_create(&m_thread, NULL, &WorkerThread::Main, this) == 0;
    return m_running;
}

void WorkerThread::Stop() {
    if (!m_running) {
        return;
    }
    m_stop = true;
    pthread_join(m_thread, NULL);
    m_running = false;
}

void* WorkerThread::Main(void* self) {
    static_cast<WorkerThread*>(self)->m_body();
    return NULL;
}

}  // namespace mcucom
