// SPDX-License-Identifier: MIT
// The events of one link, for a program's own loop: the frames the MCU sent that nobody waited
// for (of its own accord, an answer that came late, a copy of an answer), and the line's loss.
//
// A bounded queue: when it is full the oldest event goes, counted, and its sequence number is
// missing from what is read, so a reader sees what it missed. A descriptor becomes readable
// while events are queued (for poll, epoll or select), and a read takes them, waiting for the
// first up to a time-out on the monotonic clock. Close() wakes every reader; reads then fail.
#ifndef ACK_EVENTQUEUE_H
#define ACK_EVENTQUEUE_H

#include <pthread.h>
#include <stddef.h>

#include <deque>

#include "ack/RecentCommands.h"
#include "common/ComFrame.h"
#include "common/WakePipe.h"

namespace mcucom {

// Beside the frame kinds: the line was lost.
const int kEventLineLost = 4;

struct McuEvent {
    int kind;              // a FrameKind, or kEventLineLost
    unsigned short code;   // the frame's cmd, in host order
    unsigned char serial;  // the frame's own serial number
    unsigned char flag;
    unsigned short payloadLen;
    unsigned char payload[FRAME_MAX_PAYLOAD];
    long long timestampUs;   // monotonic: when the read that completed the frame returned
    unsigned long long seq;  // 1, 2, ...: one per event made, dropped ones included
    int error;               // the line's loss: the errno that said so
};

class EventQueue {
  public:
    explicit EventQueue(size_t depth);
    ~EventQueue();

    EventQueue(const EventQueue&) = delete;
    EventQueue& operator=(const EventQueue&) = delete;

    // False when the descriptor could not be made.
    bool ok() const { return m_readable.fd() >= 0; }
    int fd() const { return m_readable.fd(); }

    void PushFrame(const unsigned char* frame, int length, FrameKind kind, long long atUs);
    void PushLineLost(int error, long long atUs);

    // Takes up to max events, oldest first, waiting up to timeoutMs for the first (-1: as long
    // as it takes; 0: not at all). The count taken, 0 when none came in time, -1 once closed.
    int Read(McuEvent* out, int max, int timeoutMs);

    unsigned long long dropped();
    size_t size();
    void Close();

  private:
    void Push(McuEvent* event);
    void SetReadable(bool readable);

    size_t m_depth;
    pthread_mutex_t m_lock;
    pthread_cond_t m_arrived;  // bound to the monotonic clock
    std::deque<McuEvent> m_events;
    unsigned long long m_nextSeq;
    unsigned long long m_dropped;
    bool m_closed;
    WakePipe m_readable;  // a byte in it while events are queued
};

}  // namespace mcucom

#endif  // ACK_EVENTQUEUE_H
