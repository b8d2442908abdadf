// SPDX-License-Identifier: MIT
// The events of one link, for a program's own loop: the frames the MCU sent that nobody waited
// for (of its own accord, an answer that came late, a copy of an answer), the line's loss, and
// the completions of the commands the program did not wait for, each kept as the C interface
// hands it out.
//
// A bounded queue of `depth` events. A completion is never dropped: its place is reserved
// before its command is sent (Reserve, refused while completions hold the whole depth), and the
// MCU's events share what the reservations leave. When they fill it the oldest of them goes,
// counted, and its sequence number is missing from what is read, so a reader sees what it
// missed. A descriptor becomes readable while events are queued (for poll, epoll or select),
// and a read takes them, waiting for the first up to a time-out on the monotonic clock.
// Close() wakes every reader; reads then take what is left and the completions still to come
// for places already reserved, and fail once there are none.
#ifndef CAPI_EVENTQUEUE_H
#define CAPI_EVENTQUEUE_H

#include <pthread.h>
#include <stddef.h>

#include <deque>

#include "capi/mcucom.h"
#include "common/WakePipe.h"
#include "receiver/RecentCommands.h"

namespace mcucom {

// The MCU's frames keep the kinds the receiver gives them.
static_assert(static_cast<int>(MCUCOM_EVENT_UNASKED) == kFrameUnasked &&
                  static_cast<int>(MCUCOM_EVENT_LATE_ANSWER) == kFrameLateAnswer &&
                  static_cast<int>(MCUCOM_EVENT_COPY) == kFrameCopy,
              "an event's kind is the receiver's kind of frame");

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
    // A place for one completion, false while completions hold the whole depth; a place not
    // used is given back with Unreserve.
    bool Reserve();
    void Unreserve();
    // A completion in a place reserved for it: event's kind, code, serial, flag, payload and
    // its own fields filled; its time and sequence number are given here.
    void PushCompletion(mcucom_event* event);

    // Takes up to max events, oldest first, waiting up to timeoutMs for the first (-1: as long
    // as it takes; 0: not at all). The count taken, 0 when none came in time, -1 once closed.
    int Read(mcucom_event* out, int max, int timeoutMs);

    unsigned long long dropped();
    size_t size();
    void Close();

  private:
    void Push(mcucom_event* event);
    void MakeRoomForFrame();
    void SetReadable(bool readable);
    bool NothingMoreToRead() const;

    size_t m_depth;
    size_t m_reserved;  // completions queued or still to come
    size_t m_frames;    // the MCU's events queued
    pthread_mutex_t m_lock;
    pthread_cond_t m_arrived;  // bound to the monotonic clock
    std::deque<mcucom_event> m_events;
    unsigned long long m_nextSeq;
    unsigned long long m_dropped;
    bool m_closed;
    WakePipe m_readable;  // a byte in it while events are queued
};

}  // namespace mcucom

#endif  // CAPI_EVENTQUEUE_H
