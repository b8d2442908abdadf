// SPDX-License-Identifier: MIT
// Acknowledgement tracking, the packet list half. The wait list is in ack/WaitCmdList.h, which
// this header includes: code that includes this one alone gets both classes.
//
// DataPackList: frames received from the MCU, in a CFrameQueue behind a lock, with a semaphore
// posted once per arrival. A receiver adds (AddDatatoList); a sender looks a frame up by
// command code and serial number, waiting up to a time-out for an arrival (GetDatafromList).
//
// Each list guards its state with its own lock; no lock is held while waiting and no path
// holds two locks. Waits take milliseconds on the monotonic clock: setting the wall clock
// neither stretches nor cuts them.
#ifndef ACK_DATAPACKLIST_H
#define ACK_DATAPACKLIST_H

#include <semaphore.h>

#include "ack/FrameQueue.h"
#include "ack/WaitCmdList.h"
#include "common/ComFrame.h"
#include "common/ForkGuard.h"
#include "common/MutexLock.h"
#include "common/SemaphoreBell.h"

class DataPackList {
  public:
    DataPackList();
    virtual ~DataPackList();

    DataPackList(const DataPackList&) = delete;
    DataPackList& operator=(const DataPackList&) = delete;

    int DataQueueInit(int bufSize);
    int AddDatatoList(__ComFrameData* frame);
    int GetDatafromList(__ComFrameData*& frame, int mode, unsigned int timeo);
    // Drops every stored frame that answers the command cmd (network order) with serialNum,
    // by the acknowledgement rule, with its arrival post; the others keep their order.
    // Returns how many were dropped.
    int DiscardAnswersTo(unsigned short cmd, unsigned char serialNum);
    int PopData();
    int GetDataListSize();
    int GetDataBufSize();

  private:
    static void LockForFork(void* self);
    static void UnlockAfterFork(void* self);
    static void ResetAfterFork(void* self);

    sem_t m_sem;
    CFrameQueue m_queue;
    MutexLock m_mutex;
    mcucom::SemaphoreBell
        m_bell;  // rung after every post, for lookups waiting on the monotonic clock
    mcucom::ForkGuard m_forkGuard;  // last: registered once the rest is whole
};

namespace mcucom {

// A lookup mode that takes the front frame whatever it holds.
const int DATA_LIST_MODE_ANY = -2;

}  // namespace mcucom

#endif  // ACK_DATAPACKLIST_H
