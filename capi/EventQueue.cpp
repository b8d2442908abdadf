// SPDX-License-Identifier: MIT
#include "capi/EventQueue.h"

#include <arpa/inet.h>
#include <string.h>
#include <time.h>

#include "common/Clock.h"
#include "common/ComFrame.h"

namespace mcucom {

namespace {

// An event of kind with every field but its payload bytes zero.
void Clear(mcucom_event* event, uint32_t kind) {
    memset(event, 0, offsetof(mcucom_event, payload));
    memset(&event->timestamp_us, 0, sizeof *event - offsetof(mcucom_event, timestamp_us));
    event->kind = kind;
}

}  // namespace

EventQueue::EventQueue(size_t depth)
    : m_depth(depth > 0 ? depth : 1),
      m_reserved(0),
      m_frames(0),
      m_nextSeq(1),
      m_dropped(0),
      m_closed(false) {
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

// The oldest of the MCU's events goes while they and the reserved places fill the depth.
// Called with the lock.
void EventQueue::MakeRoomForFrame() {
    std::deque<mcucom_event>::iterator it = m_events.begin();
    while (m_frames > 0 && m_frames + m_reserved >= m_depth) {
        while (it->kind == MCUCOM_EVENT_COMPLETION) {
            ++it;
        }
        it = m_events.erase(it);
        --m_frames;
        ++m_dropped;
    }
}

void EventQueue::Push(mcucom_event* event) {
    pthread_mutex_lock(&m_lock);
    event->seqno = m_nextSeq++;
    const bool completion = event->kind == MCUCOM_EVENT_COMPLETION;
    if (!completion) {
        MakeRoomForFrame();
    }
    // Asked once room is made: a queue that held events already has its byte.
    const bool wasEmpty = m_events.empty();
    if (completion || m_frames + m_reserved < m_depth) {
        m_events.push_back(*event);
        m_frames += completion ? 0 : 1;
    } else {
        ++m_dropped;  // every place is reserved for a completion
    }
    if (wasEmpty && !m_events.empty()) {
        SetReadable(true);
    }
    pthread_cond_broadcast(&m_arrived);
    pthread_mutex_unlock(&m_lock);
}

bool EventQueue::Reserve() {
    pthread_mutex_lock(&m_lock);
    const bool room = !m_closed && m_reserved < m_depth;
    m_reserved += room ? 1 : 0;
    pthread_mutex_unlock(&m_lock);
    return room;
}

void EventQueue::Unreserve() {
    pthread_mutex_lock(&m_lock);
    --m_reserved;
    pthread_cond_broadcast(&m_arrived);  // a closed queue's reader may be waiting for it
    pthread_mutex_unlock(&m_lock);
}

void EventQueue::PushCompletion(mcucom_event* event) {
    event->kind = MCUCOM_EVENT_COMPLETION;
    event->timestamp_us = static_cast<uint64_t>(MonotonicMicros());
    event->error = 0;
    Push(event);
}

void EventQueue::PushFrame(const unsigned char* frame, int length, FrameKind kind, long long atUs) {
    mcucom_event event;
    Clear(&event, static_cast<uint32_t>(kind));
    event.code = FrameCmdCode(frame);
    event.serial = frame[4];
    event.flag = frame[5];
    const int payloadLen = length - FRAME_MIN_SIZE;
    event.payload_len = static_cast<uint16_t>(payloadLen > 0 ? payloadLen : 0);
    memcpy(event.payload, frame + FRAME_HEADER_SIZE, event.payload_len);
    event.timestamp_us = static_cast<uint64_t>(atUs);
    Push(&event);
}

void EventQueue::PushLineLost(int error, long long atUs) {
    mcucom_event event;
    Clear(&event, MCUCOM_EVENT_LINE_LOST);
    event.timestamp_us = static_cast<uint64_t>(atUs);
    event.error = error;
    Push(&event);
}

// Closed, with nothing queued and no completion still to come.
bool EventQueue::NothingMoreToRead() const {
    return m_closed && m_events.empty() && m_reserved == 0;
}

int EventQueue::Read(mcucom_event* out, int max, int timeoutMs) {
    const struct timespec deadline =
        MonotonicDeadlineAfter(timeoutMs > 0 ? static_cast<unsigned int>(timeoutMs) : 0);
    pthread_mutex_lock(&m_lock);
    while (m_events.empty() && !NothingMoreToRead() && timeoutMs != 0) {
        const int waited = timeoutMs < 0 ? pthread_cond_wait(&m_arrived, &m_lock)
                                         : pthread_cond_timedwait(&m_arrived, &m_lock, &deadline);
        if (waited != 0 && timeoutMs > 0) {
            break;
        }
    }
    int taken = NothingMoreToRead() ? -1 : 0;
    while (taken >= 0 && taken < max && !m_events.empty()) {
        mcucom_event& event = m_events.front();
        if (event.kind == MCUCOM_EVENT_COMPLETION) {
            --m_reserved;
        } else {
            --m_frames;
        }
        out[taken++] = event;
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
