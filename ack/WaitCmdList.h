// SPDX-License-Identifier: MIT
// Acknowledgement tracking, the wait list: the commands sent to the MCU that wait for an
// acknowledgement, one entry with its own semaphore per command.
//
// Each call scans the list once, under the list's lock, with a match rule and a filter on
// whether a waiter holds the entry:
//
//   call                who calls it              rule              entries     does
//   AddCmdtoList        sender (WriteData)        kCodeOnly         any         refuses a code
//                                                                               already there,
//                                                                               else appends
//   isCmdExist          callers of the module     kCodeOnly         any         counts
//   FindCmd             callers of the module     kAnswerToSerial   any         counts
//   ClaimAnswer         receiver                  kAnswerToSerial   any         marks answered
//   SetCmdFlag          receiver                  kAnswerToSerial   any         posts the entry
//   WaitCmdFlag: take   sender                    kSentSerial       free only   holds it
//                give back                        kSentSerial       held only   frees it
//   RemvedCmdfromList   sender (WriteData)        kSentSerialExact  any         removes a free
//                                                                               one
//
// A round trip takes six scans: the sender registers, takes the entry, sleeps until its
// semaphore is posted (on the monotonic clock, through the list's bell) with no lock held, gives it
// back and removes it; the receiver claims the entry for the answer and, once the answer is stored
// in the packet list (under that list's own lock), posts the entry. Claiming and posting are two
// scans so that a woken sender always finds its answer stored, and no path ever holds both lists'
// locks. The lists hold a few entries, so a scan costs little next to the line.
#ifndef ACK_WAITCMDLIST_H
#define ACK_WAITCMDLIST_H

#include <semaphore.h>

#include <atomic>
#include <list>

#include "common/ComFrame.h"
#include "common/ForkGuard.h"
#include "common/MutexLock.h"
#include "common/SemaphoreBell.h"

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
    // WaitCmdFlag for any unsigned time-out: the send path's, which may exceed an int. A
    // negative timeo of WaitCmdFlag waits for nothing, as a time already past. With `stop`,
    // the wait also ends, as with no acknowledgement, once it is true and WakeWaiters is called.
    int WaitCmdFlagWithin(__ComFrameData* frame, unsigned int millis,
                          const std::atomic<bool>* stop = NULL);
    // Wakes every waiter, to look at its `stop`.
    void WakeWaiters();
    int RemvedCmdfromList(__ComFrameData* frame);
    int GetDataListSize();

  private:
    enum MatchRule {
        kCodeOnly,        // the same cmd, whatever the serial number
        kAnswerToSerial,  // an answer: its byte 8 is the entry's serial; cmd 4 on cmd alone
        kSentSerial,      // a sent frame: its byte 4 is the entry's serial; cmd 4 on cmd alone
        kSentSerialExact  // as kSentSerial, and cmd 4 too must have the serial
    };
    enum FlagFilter {
        kAnyFlag,   // every entry
        kOnlyFree,  // entries no waiter holds
        kOnlyHeld   // entries a waiter holds
    };
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

    static void LockForFork(void* self);
    static void UnlockAfterFork(void* self);
    static void ForgetOtherThreadsAfterFork(void* self);

    std::list<__CmdCnd*> m_cmdList;
    MutexLock m_mutex;
    mcucom::SemaphoreBell m_bell;   // rung after every post, for waiters on the monotonic clock
    mcucom::ForkGuard m_forkGuard;  // last: registered once the rest is whole
};

#endif  // ACK_WAITCMDLIST_H
