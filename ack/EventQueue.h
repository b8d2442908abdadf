// SPDX-License-Identifier: MIT
// The events of one link, for a program's own loop: the frames the MCU sent that nobody waited
// for (of its own accord, an answer that came late, a copy of an answer), the line's loss, and
// the completions of the commands the program did not wait for.
//
// A bounded queue of `depth` events. A completion is never dropped: its place is reserved
// before its command is sent (Reserve, refused while completions hold the whole depth), and the
// MCU's events share what the reservations leave. When they fill it the oldest of them goes,
// counted, and its sequence number is missing from what is read, so a reader sees what it
// missed. A descriptor becomes readable while events are queued (for poll, epoll or select),
// and a read takes them, waiting for the first up to a time-out on the monotonic clock.
// Close() wakes every reader; reads then take what is left and the completions still to come
// for places already reserved, and fail once there are none.
#ifndef ACK_EVENTQUEUE_H
#define ACK_EVENTQUEUE_H

#include <pthread.h>
#include <stddef.h>

#include <deque>

#include "ack/RecentCommands.h"
#include "common/ComFrame.h"
#include "common/WakePipe.h"

namespace mcucom {

// Beside the frame kinds: the line was lost; a command completed.
const int kEventLineLost = 4;
const int kEventCompletion = 5;

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
    // A completion's own: the caller's tag, what the command came to (0 or a negative errno),
    // the answer's result byte and the time from the write to the completion.
    unsigned long long tag;
    int status;
    unsigned char result;
    unsigned long long roundTripUs;
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
    // A place for one completion, false while completions hold the whole depth; a place not
    // used is given back with Unreserve.
    bool Reserve();
    void Unreserve();
    // A completion in a place reserved for it: event's kind, code, serial, flag, payload and
    // its own fields filled; its time and sequence number are given here.
    void PushCompletion(McuEvent* event);

    // Takes up to max events, oldest first, waiting up to timeoutMs for the first (-1: as long
    // as it takes; 0: not at all). The count taken, 0 when none came in time, -1 once closed.
    int Read(McuEvent* out, int max, int timeoutMs);

    unsigned long long dropped();
    size_t size();
    void Close();

  private:
    void Push(McuEvent* event);
    void MakeRoomForFrame();
    void SetReadable(bool readable);
    bool NothingMoreToRead() const;

    size_t m_depth;
    size_t m_reserved;  // completions queued or still to come
    size_t m_frames;    // the MCU's events queued
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
