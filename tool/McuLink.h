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
#ifndef TOOL_MCULINK_H
#define TOOL_MCULINK_H

#include <atomic>

#include "ack/DataPackList.h"
#include "ack/EventQueue.h"
#include "ack/RecentCommands.h"
#include "common/LinkLog.h"
#include "serial/SerialFun.h"
#include "tool/LinkResult.h"
#include "tool/SendPath.h"

namespace mcucom {

// A command's answer, as the C interface gives it.
struct LinkAnswer {
    unsigned char serial;  // the serial number the command was sent with
    unsigned char result;  // the answer's payload byte 1; 0 when it has none
    unsigned short payloadLen;
    unsigned char payload[FRAME_MAX_PAYLOAD];
    unsigned long long roundTripUs;
};

class McuLink {
  public:
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
    void CountUnclaimedIn(EventQueue* events) { m_events = events; }

    // The send path, its results and its lines as the fixed interface has them.
    int SendCmdData(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo);
    int WriteData(char* frame, unsigned short size, __ComFrameData* reply, unsigned int timeo);
    // The one write path to the MCU: a 1-second readiness time-out; -1 on failure.
    int WriteToPort(char* buf, int count);
    unsigned char NextSerial();

    // A command as the C interface sends it, with the answer in *answer when it is not null
    // and the command was answered (or written, for a code that expects no answer).
    LinkResult Command(unsigned int code, const unsigned char* payload, size_t length,
                       unsigned int timeoutMs, LinkAnswer* answer);

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
    Sent WriteFrame(char* frame, unsigned short size, __ComFrameData* reply, unsigned int timeo);
    LinkResult WhyFailed(LinkResult outcome);
    Sent RegisteredWrite(__ComFrameData* sent, char* frame, unsigned short size,
                         __ComFrameData* reply, unsigned int timeo);
    bool WrittenOrReported(char* frame, unsigned short size);
    void ReportSendFailure(int result, const __ComFrameData* reply);
    void PrintSentFrame(const char* frame, int size);
    int UnclaimedCount();

    CComTransmit m_port;
    WaitCmdList m_waitList;
    DataPackList m_ackList;
    DataPackList m_dealList;
    RecentCommands m_recent;
    LinkLog m_log;
    EventQueue* m_events;
    bool m_globalSerials;  // the default link draws GetSerialNum's, the process-wide ones
    std::atomic<unsigned char> m_serial;
    std::atomic<bool> m_stop;
    std::atomic<LinkResult> m_stopCause;
};

}  // namespace mcucom

#endif  // TOOL_MCULINK_H
