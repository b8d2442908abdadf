// SPDX-License-Identifier: MIT
// The receiving half of the MCU link: a thread that reads the port, finds frames in the byte
// stream and dispatches them.
//
// An acknowledgement goes to the acknowledgement list only for a registered command that has
// not had its answer yet (WaitCmdList::ClaimAnswer), and then its waiter is woken
// (SetCmdFlag), in that order, so that the woken sender finds it. Every other frame, copies
// and late answers included, goes to the deal list (or, for a link, to its unclaimed frames
// with their kind). A line that is gone (hung up, its device removed) is said once, and the
// receiver goes on trying it, as a port may be opened again under it. Reads wait at most one read
// time-out and never block past it, and Stop() wakes the wait in progress, so it returns at once,
// whoever else reads the port. A frame left incomplete is given up (its head dropped, the bytes
// after it scanned again) once the line has been quiet for FRAME_STREAM_QUIET_US. The port must
// stay open while the receiver runs. link/ModuleReceiver.h wires one to the module's own port and
// lists.
#ifndef RECEIVER_MCURECEIVER_H
#define RECEIVER_MCURECEIVER_H

#include "ack/DataPackList.h"
#include "common/ForkGuard.h"
#include "common/LinkLog.h"
#include "common/MutexLock.h"
#include "common/WakePipe.h"
#include "common/WorkerThread.h"
#include "receiver/FrameStreamScanner.h"
#include "receiver/RecentCommands.h"
#include "serial/SerialFun.h"

namespace mcucom {

struct ReceiverStats {
    unsigned long frames;            // valid frames found in the stream
    unsigned long acknowledgements;  // frames that answered a registered command
    unsigned long dealt;             // frames handed on as nobody's answer
    unsigned long copies;            // answers to a command that already had its answer (dealt too)
    unsigned long notStored;         // valid frames a list would not take
    unsigned long linesLost;         // times the line was found gone (hung up, removed)
    FrameDropStats drops;            // bytes dropped while resynchronising, by reason
};

// Where a receiver puts the frames that no waiting command claimed, and hears that the line is
// gone. Called on the receiver's thread.
class UnclaimedFrames {
  public:
    virtual ~UnclaimedFrames() {}
    // False when the frame could not be kept.
    virtual bool Deliver(const unsigned char* frame, int length, FrameKind kind,
                         long long atUs) = 0;
    virtual void LineLost(int error, long long atUs) = 0;
    // How many of what was delivered no one has taken yet, for the send path's log line; called
    // on any thread.
    virtual size_t Unread() = 0;
};

class McuReceiver : private FrameStreamScanner::Sink {
  public:
    static const int kDefaultReadTimeoutUs = 20000;

    // The fixed interface's receiver: every frame nobody claimed goes to dealList.
    McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                DataPackList& dealList, int readTimeoutUs = kDefaultReadTimeoutUs);
    // A link's receiver: frames nobody claimed go to unclaimed, each with its kind (told apart
    // by recent, when given), and the line's loss is said; dropped bytes are logged, when a log
    // is given.
    McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                UnclaimedFrames& unclaimed, RecentCommands* recent, LinkLog* log,
                int readTimeoutUs);
    ~McuReceiver();

    McuReceiver(const McuReceiver&) = delete;
    McuReceiver& operator=(const McuReceiver&) = delete;

    // False when already running, when the port is not open, or when no thread can be made.
    bool Start();
    void Stop();
    bool running() const { return m_thread.running(); }

    ReceiverStats stats();

  private:
    // The fixed interface's destination: the deal list, whatever the kind (none for a link's
    // receiver, whose frames go elsewhere).
    class DealList : public UnclaimedFrames {
      public:
        explicit DealList(DataPackList* list) : m_list(list) {}
        bool Deliver(const unsigned char* frame, int, FrameKind, long long) override;
        void LineLost(int, long long) override {}
        size_t Unread() override;

      private:
        DataPackList* m_list;
    };

    // Both public constructors' work: frames nobody claimed go to unclaimed when given, to
    // dealList otherwise.
    McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                DataPackList* dealList, UnclaimedFrames* unclaimed, RecentCommands* recent,
                LinkLog* log, int readTimeoutUs);

    void Run();
    void OnFrame(const unsigned char* frame, int length) override;
    void OnNoise(const unsigned char* bytes, size_t count, FrameVerdict verdict) override;
    void Count(unsigned long ReceiverStats::*counter);
    static void LockForFork(void* self);
    static void UnlockAfterFork(void* self);

    CComTransmit& m_port;
    WaitCmdList& m_waitList;
    DataPackList& m_ackList;
    DealList m_dealList;
    UnclaimedFrames& m_unclaimed;
    RecentCommands* m_recent;
    LinkLog* m_log;
    const int m_readTimeoutUs;

    FrameStreamScanner m_scanner;  // touched by the receiver thread only
    long long m_frameTimeUs;       // receiver thread only: when the bytes being scanned came
    MutexLock m_statsLock;         // guards m_stats, read by other threads
    ReceiverStats m_stats;
    ForkGuard m_forkGuard;
    WakePipe m_wake;        // rung by Stop(): the wait on a quiet line ends at once
    WorkerThread m_thread;  // last: stopped before the members its body uses go away
};

}  // namespace mcucom

#endif  // RECEIVER_MCURECEIVER_H
