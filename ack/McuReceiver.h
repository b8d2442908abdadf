// The receiving half of the MCU link: a thread that reads the port, finds frames in the byte
// stream and dispatches them.
//
// An acknowledgement of a registered command (WaitCmdList::FindCmd > 0) is appended to the
// acknowledgement list and then its waiter is woken (SetCmdFlag), in that order, so that the
// woken sender finds it; every other frame goes to the deal list. Reads wait at most one read
// time-out, so Stop() returns within about one of them. A frame left incomplete is given up
// (its head dropped, the bytes after it scanned again) once the line has been quiet for
// kIdleFlushUs: a real frame's bytes follow each other far closer than that, even at 115200
// baud on a loaded board. The port must stay open while the receiver runs.
#ifndef ACK_MCURECEIVER_H
#define ACK_MCURECEIVER_H

#include <atomic>

#include "ack/DataPackList.h"
#include "ack/FrameStreamScanner.h"
#include "common/WorkerThread.h"
#include "serial/SerialFun.h"

struct ReceiverStats {
    unsigned long frames;            // valid frames found in the stream
    unsigned long acknowledgements;  // frames that answered a registered command
    unsigned long dealt;             // frames handed to the deal list
    unsigned long copies;  // answers to a command that already had its answer (to the deal list)
    unsigned long noiseBytes;  // bytes dropped while resynchronising
    unsigned long refused;     // frames refused: wrong checksum, tail or length, or not stored
};

class McuReceiver : private FrameStreamScanner::Sink {
  public:
    static const int kDefaultReadTimeoutUs = 20000;
    static const long kIdleFlushUs = 50000;

    // The module's own port and lists.
    McuReceiver();
    McuReceiver(CComTransmit& port, WaitCmdList& waitList, DataPackList& ackList,
                DataPackList& dealList, int readTimeoutUs = kDefaultReadTimeoutUs);
    ~McuReceiver();

    McuReceiver(const McuReceiver&) = delete;
    McuReceiver& operator=(const McuReceiver&) = delete;

    bool Start();
    void Stop();
    bool running() const { return m_thread.running(); }

    ReceiverStats stats() const;

  private:
    void Run();
    void OnFrame(const unsigned char* frame, int length) override;

    CComTransmit& m_port;
    WaitCmdList& m_waitList;
    DataPackList& m_ackList;
    DataPackList& m_dealList;
    const int m_readTimeoutUs;

    FrameStreamScanner m_scanner;  // touched by the receiver thread only

    std::atomic<unsigned long> m_frames;
    std::atomic<unsigned long> m_acks;
    std::atomic<unsigned long> m_dealt;
    std::atomic<unsigned long> m_copies;
    std::atomic<unsigned long> m_noise;         // copied from the scanner after each read
    std::atomic<unsigned long> m_scanRefused;   // likewise
    std::atomic<unsigned long> m_storeRefused;  // valid frames a list would not take
    WorkerThread m_thread;  // last: stopped before the members its body uses go away
};

#endif  // ACK_MCURECEIVER_H
