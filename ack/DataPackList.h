// Acknowledgement tracking.
//
// DataPackList: frames received from the MCU, in a CFrameQueue behind a lock, with a semaphore
// posted once per arrival. A receiver adds (AddDatatoList); a sender looks a frame up by
// command code and serial number, waiting up to a time-out for an arrival (GetDatafromList).
//
// WaitCmdList: the commands sent to the MCU that now wait for an acknowledgement, one entry
// with its own semaphore per command. The sender registers (AddCmdtoList), waits
// (WaitCmdFlag) and unregisters (RemvedCmdfromList); the receiver wakes the waiter of an
// acknowledgement frame (SetCmdFlag).
//
// Each class guards its state with its own lock; no lock is held while waiting and no path
// holds two locks. Waits take milliseconds and measure against the wall clock.
#ifndef ACK_DATAPACKLIST_H
#define ACK_DATAPACKLIST_H

#include <semaphore.h>

#include <list>

#include "ack/FrameQueue.h"
#include "common/ComFrame.h"
#include "common/MutexLock.h"

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
    sem_t m_sem;
    CFrameQueue m_queue;
    MutexLock m_mutex;
};

// A lookup mode that takes the front frame whatever it holds.
const int DATA_LIST_MODE_ANY = -2;

// One command waiting for its acknowledgement.
struct __CmdCnd {
    sem_t* sem;               // owned by the entry; posted by SetCmdFlag
    bool flag;                // true while a waiter holds the entry
    unsigned short cmd;       // the frame's cmd, network byte order
    unsigned char serialNum;  // the serial number of the frame sent
    bool answered;            // an acknowledgement has been handed over for it (ClaimAnswer)
};

class WaitCmdList {
  public:
    WaitCmdList();
    virtual ~WaitCmdList();

    WaitCmdList(const WaitCmdList&) = delete;
    WaitCmdList& operator=(const WaitCmdList&) = delete;

    int AddCmdtoList(__ComFrameData* frame);
    int isCmdExist(__ComFrameData* frame);
    int FindCmd(__ComFrameData* frame);
    int SetCmdFlag(__ComFrameData* frame);
    // The receiver's hand-over test for an acknowledgement frame: finds the entry it answers,
    // as FindCmd does, and marks it answered, so that one command takes one answer. A copy of
    // an answer already handed over gives -7 and leaves the entry as it is.
    int ClaimAnswer(__ComFrameData* frame);
    int WaitCmdFlag(__ComFrameData* frame, int timeo);
    int RemvedCmdfromList(__ComFrameData* frame);
    int GetDataListSize();

  private:
    enum MatchRule {
        kSameCmd,         // cmd only
        kAcknowledges,    // an acknowledgement: its byte 8 against the entry; cmd 4 on cmd alone
        kSentFrame,       // a sent frame: its byte 4 against the entry; cmd 4 on cmd alone
        kSentFrameStrict  // a sent frame: its byte 4, no exception for cmd 4
    };
    enum FlagFilter { kAnyFlag, kOnlyFree, kOnlyHeld };
    typedef std::list<__CmdCnd*>::iterator Entry;

    int __GetCmd(__ComFrameData* frame, sem_t*& sem);
    int __PutCmd(__ComFrameData* frame);

    // The common frame of every scan: -1 for a null frame, 0 for an empty list, -2 when no
    // entry matches; otherwise onMatch(entry, count) runs under the lock and gives the result.
    template <typename OnMatch>
    int Scan(const __ComFrameData* frame, MatchRule rule, FlagFilter filter, OnMatch onMatch);
    Entry FindEntryLocked(const __ComFrameData* frame, MatchRule rule, FlagFilter filter);
    static bool Matches(const __CmdCnd* entry, const __ComFrameData* frame, MatchRule rule);
    static void ReleaseEntry(__CmdCnd* entry);

    std::list<__CmdCnd*> m_cmdList;
    MutexLock m_mutex;
};

#endif  // ACK_DATAPACKLIST_H
