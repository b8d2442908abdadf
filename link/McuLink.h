// SPDX-License-Identifier: MIT
// One MCU link: a port and everything a command's round trip goes through (the wait list,
// the acknowledgement list, the list of frames to deal with, the serial numbers, the commands
// finished lately) and where its lines go. The send path is the link's: sendCmdData and
// WriteData are the default link's, whose objects are the module's globals (g_McuCom,
// m_waitCmdList, m_ackList, m_dealList) and whose lines go to the standard streams; a link of
// the C interface has objects of its own, its own serial numbers, and gives its lines to the
// program's handler. Several links in one process, on different lines, are independent.
//
// Stop() makes every wait in progress on the link end at once (and later ones not start),
// with its cause: the line was lost, or the link is closing. The default link is never
// stopped, and its waits last their whole time, as the fixed interface has them.
#ifndef LINK_MCULINK_H
#define LINK_MCULINK_H

#include <atomic>

#include "ack/DataPackList.h"
#include "common/LinkLog.h"
#include "link/LinkResult.h"
#include "link/SendPath.h"
#include "receiver/McuReceiver.h"
#include "receiver/RecentCommands.h"
#include "serial/SerialFun.h"

namespace mcucom {

class McuLink {
  public:
    // A command on its way: laid out, then written and, when it expects an answer, registered
    // with its answer still to wait for; once finished, what it came to. The C interface reads
    // its answer and completion from here.
    struct Outgoing {
        char frame[SEND_FRAME_BUF_SIZE];
        unsigned char reply[FRAME_MAX_SIZE];  // the answer, once taken
        unsigned short size;
        COM_CMD_3520D_TYPE cmd;
        unsigned char serial;  // 0 until the command has one
        bool awaitsAnswer;     // the code's flag asks for an answer
        bool answered;         // the answer is in reply
        unsigned int timeo;
        long long startUs;
        long long endUs;  // when it was answered, written or given up

        // The answer's payload (byte 0 the serial number it acknowledges) and its result byte
        // (payload byte 1; 0 when there is none): empty without an answer.
        unsigned short AnswerLength() const;
        const unsigned char* AnswerPayload() const;
        unsigned char AnswerResult() const;
        unsigned long long RoundTripUs() const { return endUs - startUs; }
    };

    // The fixed interface's link, made on first use and never destroyed, so that threads that
    // still send when the program calls exit() never find it gone.
    static McuLink& Default();

    // A link with objects of its own, its lines given to log; serial numbers from firstSerial
    // on (0: an unpredictable one, so that answers to an earlier program's commands are not
    // taken for this one's).
    McuLink(const LinkLog& log, unsigned char firstSerial);

    McuLink(const McuLink&) = delete;
    McuLink& operator=(const McuLink&) = delete;

    CComTransmit& port() { return m_port; }
    WaitCmdList& waitList() { return m_waitList; }
    DataPackList& ackList() { return m_ackList; }
    DataPackList& dealList() { return m_dealList; }
    RecentCommands& recent() { return m_recent; }
    LinkLog& log() { return m_log; }
    // The frames to deal with are counted there instead of the deal list (a link's events).
    void CountUnclaimedIn(UnclaimedFrames* unclaimed) { m_unclaimed = unclaimed; }

    // The send path, its results and its lines as the fixed interface has them.
    int SendCmdData(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo);
    int WriteData(char* frame, unsigned short size, __ComFrameData* reply, unsigned int timeo);
    // The one write path to the MCU: a 1-second readiness time-out; -1 on failure.
    int WriteToPort(char* buf, int count);
    unsigned char NextSerial();

    // A command as the C interface sends it, and waits for; *out, when not null, says what it
    // came to, whatever the outcome.
    LinkResult Command(unsigned int code, const unsigned char* payload, size_t length,
                       unsigned int timeoutMs, Outgoing* out);
    // Command in two halves, for a caller that does not wait: Start sends the command and
    // returns once it is written (kLinkDone), or why it could not be sent; Finish then waits
    // for its answer, as Command does, and gives its outcome. Every started command is finished
    // once, even on a stopped link (which ends the wait at once).
    LinkResult Start(unsigned int code, const unsigned char* payload, size_t length,
                     unsigned int timeoutMs, Outgoing* out);
    LinkResult Finish(Outgoing* out);

    // Ends every wait on the link, and refuses commands from now on, with its cause
    // (kLinkLineLost or kLinkClosed); the first cause given stays.
    void Stop(LinkResult cause);

  private:
    struct UseGlobalSerials {};
    McuLink(const LinkLog& log, UseGlobalSerials);

    // True when the line has hung up: a write that failed then failed for the loss of the line.
    bool LineHungUp();
    // The fixed interface's result and what it means.
    struct Sent {
        int code;
        LinkResult outcome;
    };
    Sent Send(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo);
    Sent Prepare(__UserCmdData* request, unsigned int timeo, Outgoing* out);
    Sent Post(Outgoing* out, __ComFrameData* reply);
    Sent Collect(Outgoing* out, __ComFrameData* reply);
    Sent WriteFrame(char* frame, unsigned short size, __ComFrameData* reply, unsigned int timeo);
    LinkResult WhyFailed(LinkResult outcome);
    Sent RegisterAndWrite(__ComFrameData* sent, char* frame, unsigned short size,
                          unsigned int timeo);
    Sent AwaitAnswer(__ComFrameData* sent, __ComFrameData* reply, unsigned int timeo);
    void Retire(const __ComFrameData* sent, LinkResult outcome);
    bool WrittenOrReported(char* frame, unsigned short size);
    void TraceSent(const Outgoing& out);
    void ReportSendFailure(int result, const __ComFrameData* reply);
    void PrintSentFrame(const char* frame, int size);
    int UnclaimedCount();

    CComTransmit m_port;
    WaitCmdList m_waitList;
    DataPackList m_ackList;
    DataPackList m_dealList;
    RecentCommands m_recent;
    LinkLog m_log;
    UnclaimedFrames* m_unclaimed;
    bool m_globalSerials;  // the default link draws GetSerialNum's, the process-wide ones
    std::atomic<unsigned char> m_serial;
    std::atomic<bool> m_stop;
    std::atomic<LinkResult> m_stopCause;
};

}  // namespace mcucom

#endif  // LINK_MCULINK_H
