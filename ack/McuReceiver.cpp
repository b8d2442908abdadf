#include "ack/McuReceiver.h"

#include <string.h>
#include <unistd.h>

#include "ack/AckResults.h"
#include "common/Clock.h"

namespace {

const int kReadChunk = 1024;

}  // namespace

const int McuReceiver::kDefaultReadTimeoutUs;

McuReceiver::McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                         DataPackList& dealList, int readTimeoutUs)
    : m_port(port),
      m_waitList(waitList),
      m_ackList(ackList),
      m_dealList(dealList),
      m_readTimeoutUs(readTimeoutUs),
      m_forkGuard(this, ForkGuard::Hooks{&LockForFork, &UnlockAfterFork, &UnlockAfterFork}) {
    memset(&m_stats, 0, sizeof m_stats);
}

void McuReceiver::LockForFork(void* self) {
    static_cast<McuReceiver*>(self)->m_statsLock.lock();
}

void McuReceiver::UnlockAfterFork(void* self) {
    static_cast<McuReceiver*>(self)->m_statsLock.unlock();
}

McuReceiver::~McuReceiver() {
    Stop();
}

bool McuReceiver::Start() {
    return m_thread.Start([this] { Run(); });
}

void McuReceiver::Stop() {
    m_thread.Stop();
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
    while (!m_thread.stopping()) {
        const long long startUs = MonotonicMicros();
        int got = 0;
        const int read = m_port.ReadComEx(chunk, kReadChunk, &got, 0, m_readTimeoutUs);
        if (read == 0 && got > 0) {
            lastByteUs = MonotonicMicros();
            m_scanner.Feed(reinterpret_cast<unsigned char*>(chunk), static_cast<size_t>(got), this);
        } else {
            if (m_scanner.pending() > 0 &&
                MonotonicMicros() - lastByteUs >= FRAME_STREAM_QUIET_US) {
                m_scanner.Flush(this);
            }
            // A closed port, an ended stream or bytes another reader took fail at once: wait
            // out the time-out instead of spinning.
            const long long spent = MonotonicMicros() - startUs;
            if (spent < m_readTimeoutUs) {
                usleep(static_cast<useconds_t>(m_readTimeoutUs - spent));
            }
        }
        MutexLockGuard guard(m_statsLock);
        m_stats.drops = m_scanner.stats().drops;
    }
}

// An acknowledgement goes to the acknowledgement list only for a registered command that has
// not had its answer yet: a copy (the line may repeat a frame) or a late answer would stay
// there and, once the serial numbers wrap, answer a later command. Those go to the deal list
// like any frame nobody waits for. Only a negative add result is a refusal: a list's frame
// count is not a success flag.
void McuReceiver::OnFrame(const unsigned char* frame, int /*length*/) {
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
        if (claimed == WAIT_LIST_ALREADY_ANSWERED) {
            Count(&ReceiverStats::copies);
        }
        if (m_dealList.AddDatatoList(received) >= 0) {
            Count(&ReceiverStats::dealt);
            return;
        }
    }
    Count(&ReceiverStats::notStored);
}
