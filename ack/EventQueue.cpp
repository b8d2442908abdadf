// SPDX-License-Identifier: MIT
#include "ack/EventQueue.h"

#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include "common/Clock.h"

namespace mcucom {

EventQueue::EventQueue(size_t depth)
    : m_depth(depth > 0 ? depth : 1), m_nextSeq(1), m_dropped(0), m_closed(false) {
    pthread_mutex_init(&m_lock, NULL);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&m_arrived, &attr);
    pthread_condattr_destroy(&attr);
}

EventQueue::~EventQueue() {
    pthread_cond_destroy(&m_arrived);
    pthread_mutex_destroy(&m_lock);
}

// The descriptor holds one byte exactly while the queue holds events. Called with the lock.
void EventQueue::SetReadable(bool readable) {
    if (readable) {
        m_readable.Ring();
    } else {
        m_readable.Drain();
    }
}

void EventQueue::Push(McuEvent* event) {
    pthread_mutex_lock(&m_lock);
    event->seq = m_nextSeq++;
    // Asked before the oldest makes room: a queue that held events already has its byte.
    const bool wasEmpty = m_events.empty();
    if (m_events.size() == m_depth) {
        m_events.pop_front();
        ++m_dropped;
    }
    m_events.push_back(*event);
    if (wasEmpty) {
        SetReadable(true);
    }
    pthread_cond_broadcast(&m_arrived);
    pthread_mutex_unlock(&m_lock);
}

void EventQueue::PushFrame(const unsigned char* frame, int length, FrameKind kind, long long atUs) {
    McuEvent event;
    memset(&event, 0, offsetof(McuEvent, payload));
    event.kind = kind;
    event.code = FrameCmdCode(frame);
    event.serial = frame[4];
    event.flag = frame[5];
    const int payloadLen = length - FRAME_MIN_SIZE;
    event.payloadLen = static_cast<unsigned short>(payloadLen > 0 ? payloadLen : 0);
    memcpy(event.payload, frame + FRAME_HEADER_SIZE, event.payloadLen);
    event.timestampUs = atUs;
    event.error = 0;
    Push(&event);
}

void EventQueue::PushLineLost(int error, long long atUs) {
    McuEvent event;
    memset(&event, 0, offsetof(McuEvent, payload));
    event.kind = kEventLineLost;
    event.timestampUs = atUs;
    event.error = error;
    Push(&event);
}

int EventQueue::Read(McuEvent* out, int max, int timeoutMs) {
    const struct timespec deadline =
        MonotonicDeadlineAfter(timeoutMs > 0 ? static_cast<unsigned int>(timeoutMs) : 0);
    pthread_mutex_lock(&m_lock);
    while (m_events.empty() && !m_closed && timeoutMs != 0) {
        const int waited = timeoutMs < 0 ? pthread_cond_wait(&m_arrived, &m_lock)
                                         : pthread_cond_timedwait(&m_arrived, &m_lock, &deadline);
        if (waited != 0 && timeoutMs > 0) {
            break;
        }
    }
    int taken = m_closed ? -1 : 0;
    while (!m_closed && taken < max && !m_events.empty()) {
        out[taken++] = m_events.front();
        m_events.pop_front();
    }
    if (taken > 0 && m_events.empty()) {
        SetReadable(false);
    }
    pthread_mutex_unlock(&m_lock);
    return taken;
}

unsigned long long EventQueue::dropped() {
    pthread_mutex_lock(&m_lock);
    const unsigned long long count = m_dropped;
    pthread_mutex_unlock(&m_lock);
    return count;
}

size_t EventQueue::size() {
    pthread_mutex_lock(&m_lock);
    const size_t count = m_events.size();
    pthread_mutex_unlock(&m_lock);
    return count;
}

void EventQueue::Close() {
    pthread_mutex_lock(&m_lock);
    m_closed = true;
    pthread_cond_broadcast(&m_arrived);
    pthread_mutex_unlock(&m_lock);
}

}  // namespace mcucom
