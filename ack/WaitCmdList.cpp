// SPDX-License-Identifier: MIT
#include <stdlib.h>

#include <new>

#include "ack/AckResults.h"
#include "ack/WaitCmdList.h"
#include "common/AckMatch.h"

WaitCmdList::WaitCmdList()
    : m_forkGuard(this, mcucom::ForkGuard::Hooks{&LockForFork, &UnlockAfterFork,
                                                 &ForgetOtherThreadsAfterFork}) {}

void WaitCmdList::LockForFork(void* self) {
    static_cast<WaitCmdList*>(self)->m_mutex.lock();
}

void WaitCmdList::UnlockAfterFork(void* self) {
    static_cast<WaitCmdList*>(self)->m_mutex.unlock();
}

// In a child, every entry belongs to a sender thread of the parent's that the child does not
// have (the forking thread cannot be inside a send): left there, they would refuse the
// child's own commands of those codes for ever.
void WaitCmdList::ForgetOtherThreadsAfterFork(void* self) {
    WaitCmdList* list = static_cast<WaitCmdList*>(self);
    for (Entry it = list->m_cmdList.begin(); it != list->m_cmdList.end(); ++it) {
        ReleaseEntry(*it);
    }
    list->m_cmdList.clear();
    list->m_bell.Reset();
    list->m_mutex.unlock();
}

// Entries still registered at the end are given back with their semaphores; nobody can be
// waiting on them once the list itself goes away.
WaitCmdList::~WaitCmdList() {
    for (Entry it = m_cmdList.begin(); it != m_cmdList.end(); ++it) {
        ReleaseEntry(*it);
    }
}

void WaitCmdList::ReleaseEntry(__CmdCnd* entry) {
    sem_destroy(entry->sem);
    free(entry->sem);
    free(entry);
}

bool WaitCmdList::Matches(const __CmdCnd* entry, const __ComFrameData* frame, MatchRule rule) {
    if (entry->cmd != frame->cmd) {
        return false;
    }
    switch (rule) {
        case kCodeOnly:
            return true;
        case kAnswerToSerial:
            return mcucom::FrameAnswers(frame, entry->cmd, entry->serialNum);
        case kSentSerial:
            return mcucom::SentFrameIs(frame, entry->cmd, entry->serialNum);
        case kSentSerialExact:
            return entry->serialNum == frame->serialNum;
    }
    return false;
}

// The first entry, oldest first, that matches and passes the flag filter. Caller holds m_mutex.
WaitCmdList::Entry WaitCmdList::FindEntryLocked(const __ComFrameData* frame, MatchRule rule,
                                                FlagFilter filter) {
    for (Entry it = m_cmdList.begin(); it != m_cmdList.end(); ++it) {
        const __CmdCnd* entry = *it;
        if ((filter == kOnlyFree && entry->flag) || (filter == kOnlyHeld && !entry->flag)) {
            continue;
        }
        if (Matches(entry, frame, rule)) {
            return it;
        }
    }
    return m_cmdList.end();
}

int WaitCmdList::AddCmdtoList(__ComFrameData* frame) {
    if (frame == NULL) {
        return mcucom::WAIT_LIST_NULL_FRAME;
    }
    // The duplicate test and the append are one locked region, so two senders of the same
    // code can never both register.
    MutexLockGuard guard(m_mutex);
    if (FindEntryLocked(frame, kCodeOnly, kAnyFlag) != m_cmdList.end()) {
        return mcucom::WAIT_LIST_ALREADY_WAITING;
    }
    sem_t* sem = static_cast<sem_t*>(malloc(sizeof(sem_t)));
    if (sem == NULL) {
        return mcucom::WAIT_LIST_NO_MEMORY;
    }
    sem_init(sem, 0, 0);
    __CmdCnd* entry = static_cast<__CmdCnd*>(malloc(sizeof(__CmdCnd)));
    if (entry == NULL) {
        sem_destroy(sem);
        free(sem);
        return mcucom::WAIT_LIST_NO_MEMORY;
    }
    entry->sem = sem;
    entry->flag = false;
    entry->cmd = frame->cmd;
    entry->serialNum = frame->serialNum;
    entry->answered = false;
    try {
        m_cmdList.push_back(entry);
    } catch (const std::bad_alloc&) {
        ReleaseEntry(entry);
        throw;
    }
    return static_cast<int>(m_cmdList.size());
}

template <typename OnMatch>
int WaitCmdList::Scan(const __ComFrameData* frame, MatchRule rule, FlagFilter filter,
                      OnMatch onMatch) {
    if (frame == NULL) {
        return mcucom::WAIT_LIST_NULL_FRAME;
    }
    MutexLockGuard guard(m_mutex);
    const int count = static_cast<int>(m_cmdList.size());
    if (count == 0) {
        return 0;
    }
    const Entry it = FindEntryLocked(frame, rule, filter);
    return it == m_cmdList.end() ? mcucom::WAIT_LIST_NO_MATCH : onMatch(it, count);
}

int WaitCmdList::isCmdExist(__ComFrameData* frame) {
    return Scan(frame, kCodeOnly, kAnyFlag, [](Entry, int count) { return count; });
}

int WaitCmdList::FindCmd(__ComFrameData* frame) {
    return Scan(frame, kAnswerToSerial, kAnyFlag, [](Entry, int count) { return count; });
}

int WaitCmdList::SetCmdFlag(__ComFrameData* frame) {
    // Posted with the lock held: the entry cannot be removed and its semaphore destroyed
    // between the lookup and the post. The bell rings once the lock is given back.
    const int result = Scan(frame, kAnswerToSerial, kAnyFlag, [](Entry it, int count) {
        sem_post((*it)->sem);
        return count;
    });
    if (result > 0) {
        m_bell.Ring();
    }
    return result;
}

int WaitCmdList::ClaimAnswer(__ComFrameData* frame) {
    return Scan(frame, kAnswerToSerial, kAnyFlag, [](Entry it, int count) -> int {
        if ((*it)->answered) {
            return mcucom::WAIT_LIST_ALREADY_ANSWERED;
        }
        (*it)->answered = true;
        return count;
    });
}

int WaitCmdList::__GetCmd(__ComFrameData* frame, sem_t*& sem) {
    const int result = Scan(frame, kSentSerial, kOnlyFree, [&sem](Entry it, int count) {
        (*it)->flag = true;
        sem = (*it)->sem;
        return count;
    });
    if (result == mcucom::WAIT_LIST_NO_MATCH) {
        sem = NULL;
    }
    return result;
}

int WaitCmdList::__PutCmd(__ComFrameData* frame) {
    return Scan(frame, kSentSerial, kOnlyHeld, [](Entry it, int count) {
        (*it)->flag = false;
        return count;
    });
}

int WaitCmdList::WaitCmdFlag(__ComFrameData* frame, int timeo) {
    return WaitCmdFlagWithin(frame, timeo > 0 ? static_cast<unsigned int>(timeo) : 0);
}

int WaitCmdList::WaitCmdFlagWithin(__ComFrameData* frame, unsigned int millis,
                                   const std::atomic<bool>* stop) {
    sem_t* sem = NULL;
    if (__GetCmd(frame, sem) < 1) {
        return mcucom::WAIT_LIST_NO_MATCH;
    }
    // While the entry's flag is set it cannot be removed, so the semaphore outlives the wait;
    // no list lock is held during it.
    const int waited = m_bell.TakeWithin(sem, millis, stop);
    __PutCmd(frame);
    return waited == 0 ? 0 : mcucom::WAIT_LIST_NO_ACK;
}

// No command-4 exception here, and the first entry with the code and serial number decides,
// whether or not a waiter holds it.
int WaitCmdList::RemvedCmdfromList(__ComFrameData* frame) {
    return Scan(frame, kSentSerialExact, kAnyFlag, [this](Entry it, int count) -> int {
        if ((*it)->flag) {
            return mcucom::WAIT_LIST_HELD;
        }
        ReleaseEntry(*it);
        m_cmdList.erase(it);
        return count;
    });
}

void WaitCmdList::WakeWaiters() {
    m_bell.Ring();
}

int WaitCmdList::GetDataListSize() {
    MutexLockGuard guard(m_mutex);
    return static_cast<int>(m_cmdList.size());
}
