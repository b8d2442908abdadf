// The receiving half of the MCU link: a thread that reads the port, finds frames in the byte
// stream and dispatches them.
//
// An acknowledgement goes to the acknowledgement list only for a registered command that has
// not had its answer yet (WaitCmdList::ClaimAnswer), and then its waiter is woken
// (SetCmdFlag), in that order, so that the woken sender finds it. Every other frame, copies
// and late answers included, goes to the deal list. Reads wait at most one read time-out and
// never block past it, so Stop() returns within about one of them, whoever else reads the
// port. A frame left incomplete is given up (its head dropped, the bytes after it scanned
// again) once the line has been quiet for FRAME_STREAM_QUIET_US. The port must stay open while
// the receiver runs. tool/ModuleReceiver.h wires one to the module's own port and lists.
#ifndef ACK_MCURECEIVER_H
#define ACK_MCURECEIVER_H

#include "ack/DataPackList.h"
#include "ack/FrameStreamScanner.h"
#include "common/ForkGuard.h"
#include "common/MutexLock.h"
#include "common/WorkerThread.h"
#include "serial/SerialFun.h"

struct ReceiverStats {
    unsigned long frames;            // valid frames found in the stream
    unsigned long acknowledgements;  // frames that answered a registered command
    unsigned long dealt;             // frames handed to the deal list
    unsigned long copies;            // answers to a command that already had its answer (dealt too)
    unsigned long notStored;         // valid frames a list would not take
    FrameDropStats drops;            // bytes dropped while resynchronising, by reason
};

class McuReceiver : private FrameStreamScanner::Sink {
  public:
    static const int kDefaultReadTimeoutUs = 20000;

    McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                DataPackList& dealList, int readTimeoutUs = kDefaultReadTimeoutUs);
    ~McuReceiver();

    McuReceiver(const McuReceiver&) = delete;
    McuReceiver& operator=(const McuReceiver&) = delete;

    bool Start();
    void Stop();
    bool running() const { return m_thread.running(); }

    ReceiverStats stats();

  private:
    void Run();
    void OnFrame(const unsigned char* frame, int length) override;
    void Count(unsigned long ReceiverStats::*counter);

    CComTransmit& m_port;
    WaitCmdList& m_waitList;
    DataPackList& m_ackList;
    DataPackList& m_dealList;
    const int m_readTimeoutUs;

    static void LockForFork(void* self);
    static void UnlockAfterFork(void* self);

    FrameStreamScanner m_scanner;  // touched by the receiver thread only
    MutexLock m_statsLock;         // guards m_stats, read by other threads
    ReceiverStats m_stats;
    ForkGuard m_forkGuard;
    WorkerThread m_thread;  // last: stopped before the members its body uses go away
};

#endif  // ACK_MCURECEIVER_H
