// SPDX-License-Identifier: MIT
#include "ack/DataPackList.h"

#include <arpa/inet.h>

#include "ack/AckResults.h"
#include "common/AckMatch.h"

namespace {

const int kScratchSize = 2048;

int TotalLength(const __ComFrameData* frame) {
    return ntohs(frame->len) + mcucom::FRAME_OVERHEAD;
}

}  // namespace

DataPackList::DataPackList()
    : m_forkGuard(this, mcucom::ForkGuard::Hooks{&LockForFork, &UnlockAfterFork, &ResetAfterFork}) {
    sem_init(&m_sem, 0, 0);
}

void DataPackList::LockForFork(void* self) {
    static_cast<DataPackList*>(self)->m_mutex.lock();
}

void DataPackList::UnlockAfterFork(void* self) {
    static_cast<DataPackList*>(self)->m_mutex.unlock();
}

// The stored frames stay the child's too; only the lookups that slept in the parent are gone.
void DataPackList::ResetAfterFork(void* self) {
    DataPackList* list = static_cast<DataPackList*>(self);
    list->m_bell.Reset();
    list->m_mutex.unlock();
}

DataPackList::~DataPackList() {
    sem_destroy(&m_sem);
}

int DataPackList::DataQueueInit(int bufSize) {
    return m_queue.QueueInit(bufSize);
}

int DataPackList::AddDatatoList(__ComFrameData* frame) {
    if (frame == NULL) {
        return mcucom::PACK_LIST_NULL_FRAME;
    }
    int count;
    {
        MutexLockGuard guard(m_mutex);
        const int added = m_queue.AddFrame(reinterpret_cast<char*>(frame), TotalLength(frame));
        if (added < 0) {
            return added;
        }
        // Posted under the lock, so a lookup woken by this post finds the frame stored.
        sem_post(&m_sem);
        count = m_queue.GetFrameNum();
    }
    m_bell.Ring();
    return count;
}

int DataPackList::GetDatafromList(__ComFrameData*& frame, int mode, unsigned int timeo) {
    if (frame == NULL) {
        return mcucom::PACK_LIST_NULL_FRAME;
    }
    if (m_bell.TakeWithin(&m_sem, timeo) != 0) {
        return mcucom::PACK_LIST_NO_ARRIVAL;
    }
    MutexLockGuard guard(m_mutex);
    // The key is read before the first take overwrites the caller's buffer.
    const unsigned short keyCmd = frame->cmd;
    const unsigned char keySerial = mcucom::FramePayload(frame)[0];
    const bool anyFrame = mode == mcucom::DATA_LIST_MODE_ANY;

    char* out = reinterpret_cast<char*>(frame);
    const int passes = m_queue.GetFrameNum();
    int result = 0;
    for (int pass = 0; pass < passes; ++pass) {
        const int taken = m_queue.GetFrame(out);
        if (taken <= 0) {
            result = taken;
            continue;
        }
        if (anyFrame || mcucom::FrameAnswers(frame, keyCmd, keySerial)) {
            return taken;
        }
        // Not ours: back to the end of the queue, so the frames keep their relative order.
        const int putBack = m_queue.AddFrame(out, taken);
        result = putBack < 0 ? putBack : 0;
    }
    return result;
}

int DataPackList::DiscardAnswersTo(unsigned short cmd, unsigned char serialNum) {
    char frame[kScratchSize];
    const __ComFrameData* taken = reinterpret_cast<const __ComFrameData*>(frame);
    MutexLockGuard guard(m_mutex);
    const int passes = m_queue.GetFrameNum();
    int dropped = 0;
    for (int pass = 0; pass < passes; ++pass) {
        const int length = m_queue.GetFrame(frame);
        if (length <= 0) {
            continue;
        }
        if (mcucom::FrameAnswers(taken, cmd, serialNum)) {
            sem_trywait(&m_sem);
            ++dropped;
        } else {
            m_queue.AddFrame(frame, length);
        }
    }
    return dropped;
}

int DataPackList::PopData() {
    char scratch[kScratchSize];
    MutexLockGuard guard(m_mutex);
    return m_queue.GetFrame(scratch);
}

// Counted under the lock: a receiver may be adding at the same moment, and an unlocked read of
// the count would race with it.
int DataPackList::GetDataListSize() {
    MutexLockGuard guard(m_mutex);
    return m_queue.GetFrameNum();
}

int DataPackList::GetDataBufSize() {
    return m_queue.GetQueueSize();
}
