// SPDX-License-Identifier: MIT
#include "receiver/McuReceiver.h"

#include <errno.h>
#include <string.h>

#include "ack/AckResults.h"
#include "common/Clock.h"

namespace mcucom {

namespace {

const int kReadChunk = 1024;

}  // namespace

const int McuReceiver::kDefaultReadTimeoutUs;

McuReceiver::McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                         DataPackList& dealList, int readTimeoutUs)
    : McuReceiver(port, waitList, ackList, &dealList, NULL, NULL, NULL, readTimeoutUs) {}

McuReceiver::McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                         UnclaimedFrames& unclaimed, RecentCommands* recent, LinkLog* log,
                         int readTimeoutUs)
    : McuReceiver(port, waitList, ackList, NULL, &unclaimed, recent, log, readTimeoutUs) {}

McuReceiver::McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                         DataPackList* dealList, UnclaimedFrames* unclaimed, RecentCommands* recent,
                         LinkLog* log, int readTimeoutUs)
    : m_port(port),
      m_waitList(waitList),
      m_ackList(ackList),
      m_dealList(dealList),
      m_unclaimed(unclaimed != NULL ? *unclaimed : m_dealList),
      m_recent(recent),
      m_log(log),
      m_readTimeoutUs(readTimeoutUs),
      m_frameTimeUs(0),
      m_forkGuard(this, ForkGuard::Hooks{&LockForFork, &UnlockAfterFork, &UnlockAfterFork}) {
    memset(&m_stats, 0, sizeof m_stats);
}

McuReceiver::~McuReceiver() {
    Stop();
}

void McuReceiver::LockForFork(void* self) {
    static_cast<McuReceiver*>(self)->m_statsLock.lock();
}

void McuReceiver::UnlockAfterFork(void* self) {
    static_cast<McuReceiver*>(self)->m_statsLock.unlock();
}

bool McuReceiver::DealList::Deliver(const unsigned char* frame, int, FrameKind, long long) {
    __ComFrameData* received = reinterpret_cast<__ComFrameData*>(const_cast<unsigned char*>(frame));
    return m_list != NULL && m_list->AddDatatoList(received) >= 0;
}

size_t McuReceiver::DealList::Unread() {
    const int size = m_list != NULL ? m_list->GetDataListSize() : 0;
    return size > 0 ? static_cast<size_t>(size) : 0;
}

bool McuReceiver::Start() {
    return m_port.IsOpen() && m_thread.Start([this] { Run(); });
}

void McuReceiver::Stop() {
    m_wake.Ring();
    m_thread.Stop();
    m_wake.Drain();
}

ReceiverStats McuReceiver::stats() {
    MutexLockGuard guard(m_statsLock);
    return m_stats;
}

void McuReceiver::Count(unsigned long ReceiverStats::*counter) {
    MutexLockGuard guard(m_statsLock);
    ++(m_stats.*counter);
}

void McuReceiver::Run() {
    char chunk[kReadChunk];
    long long lastByteUs = MonotonicMicros();
    bool lossSaid = false;
    while (!m_thread.stopping()) {
        const long long startUs = MonotonicMicros();
        const int got = m_port.ReadOrLost(chunk, kReadChunk, m_readTimeoutUs, m_wake.fd());
        if (got > 0) {
            lastByteUs = m_frameTimeUs = MonotonicMicros();
            lossSaid = false;
            m_scanner.Feed(reinterpret_cast<unsigned char*>(chunk), static_cast<size_t>(got), this);
        } else {
            if (m_scanner.pending() > 0 &&
                MonotonicMicros() - lastByteUs >= FRAME_STREAM_QUIET_US) {
                m_frameTimeUs = lastByteUs;
                m_scanner.Flush(this);
            }
            // A closed port is no lost line: it may be opened again.
            if (got < 0 && got != -EBADF && !lossSaid) {
                lossSaid = true;
                Count(&ReceiverStats::linesLost);
                m_unclaimed.LineLost(-got, MonotonicMicros());
            }
            // A closed port, a lost line or bytes another reader took fail at once: wait out
            // the time-out instead of spinning.
            struct pollfd wake = {m_wake.fd(), POLLIN, 0};
            PollWithin(&wake, 1, m_readTimeoutUs - (MonotonicMicros() - startUs));
        }
        MutexLockGuard guard(m_statsLock);
        m_stats.drops = m_scanner.stats().drops;
    }
}

// An acknowledgement goes to the acknowledgement list only for a registered command that has
// not had its answer yet: a copy (the line may repeat a frame) or a late answer would stay
// there and, once the serial numbers wrap, answer a later command. Those go with every frame
// nobody waits for. Only a negative add result is a refusal: a list's frame count is not a
// success flag.
void McuReceiver::OnFrame(const unsigned char* frame, int length) {
    Count(&ReceiverStats::frames);
    __ComFrameData* received = reinterpret_cast<__ComFrameData*>(const_cast<unsigned char*>(frame));
    const int claimed = m_waitList.ClaimAnswer(received);
    if (claimed > 0) {
        if (m_ackList.AddDatatoList(received) >= 0) {
            Count(&ReceiverStats::acknowledgements);
            m_waitList.SetCmdFlag(received);
            return;
        }
    } else {
        FrameKind kind = kFrameCopy;
        if (claimed != WAIT_LIST_ALREADY_ANSWERED) {
            kind = m_recent != NULL ? m_recent->Classify(frame, m_frameTimeUs) : kFrameUnasked;
        }
        if (kind == kFrameCopy) {
            Count(&ReceiverStats::copies);
        }
        if (m_unclaimed.Deliver(frame, length, kind, m_frameTimeUs)) {
            Count(&ReceiverStats::dealt);
            return;
        }
    }
    Count(&ReceiverStats::notStored);
}

void McuReceiver::OnNoise(const unsigned char* /*bytes*/, size_t count, FrameVerdict verdict) {
    if (m_log == NULL) {
        return;
    }
    const char* reason = RefusedHeadReason(verdict);
    if (reason != NULL) {
        m_log->Print(kLogWarning, stderr, "receiver: dropped %lu bytes, a frame head %s\n",
                     static_cast<unsigned long>(count), reason);
    } else {
        m_log->Print(kLogWarning, stderr, "receiver: dropped %lu bytes of noise\n",
                     static_cast<unsigned long>(count));
    }
}

}  // namespace mcucom
