// SPDX-License-Identifier: MIT
#include "link/McuLink.h"

#include <arpa/inet.h>
#include <errno.h>
#include <string.h>

#include <string>

#include "ack/AckResults.h"
#include "common/Clock.h"
#include "common/FixedLog.h"
#include "link/LinkResult.h"
#include "link/ModuleResults.h"
#include "link/SerialNumber.h"
#include "serial/PortResults.h"

namespace mcucom {

namespace {

const int kFrameBytesPerLine = 30;
const int kFrameBytesPerGroup = 5;
const int kWriteTimeoutSec = 1;

bool IsTracedCmd(COM_CMD_3520D_TYPE cmd) {
    return cmd == CMD_0008 || cmd == CMD_0021;
}

// The outcome of a failed registration, by the wait list's code.
LinkResult RegistrationFailure(int added) {
    switch (added) {
        case WAIT_LIST_ALREADY_WAITING:
            return kLinkAlreadyWaiting;
        case WAIT_LIST_NO_MEMORY:
            return kLinkNoMemory;
        default:
            return kLinkBadArgument;
    }
}

}  // namespace

McuLink& McuLink::Default() {
    static McuLink* const link = new McuLink(LinkLog(), UseGlobalSerials());
    return *link;
}

McuLink::McuLink(const LinkLog& log, UseGlobalSerials)
    : m_log(log),
      m_unclaimed(NULL),
      m_globalSerials(true),
      m_serial(0),
      m_stop(false),
      m_stopCause(kLinkDone) {}

McuLink::McuLink(const LinkLog& log, unsigned char firstSerial)
    : m_log(log),
      m_unclaimed(NULL),
      m_globalSerials(false),
      m_serial(static_cast<unsigned char>(firstSerial != 0 ? firstSerial - 1 : 0)),
      m_stop(false),
      m_stopCause(kLinkDone) {
    if (firstSerial == 0) {
        m_serial = static_cast<unsigned char>(UnpredictableSerial() - 1);
    }
    m_port.SetLog(&m_log);
}

unsigned char McuLink::NextSerial() {
    if (m_globalSerials) {
        return GetSerialNum();
    }
    unsigned char current = m_serial.load();
    unsigned char next;
    do {
        next = SerialAfter(current);
    } while (!m_serial.compare_exchange_weak(current, next));
    return next;
}

void McuLink::Stop(LinkResult cause) {
    LinkResult none = kLinkDone;
    m_stopCause.compare_exchange_strong(none, cause);
    m_stop = true;
    m_waitList.WakeWaiters();
}

int McuLink::UnclaimedCount() {
    return m_unclaimed != NULL ? static_cast<int>(m_unclaimed->Unread())
                               : m_dealList.GetDataListSize();
}

int McuLink::WriteToPort(char* buf, int count) {
    return m_port.WriteCom(buf, count, kWriteTimeoutSec);
}

bool McuLink::LineHungUp() {
    char none[1];
    return m_port.ReadOrLost(none, 0, 0) < 0;  // a read of no bytes takes nothing from the line
}

// Bytes in groups of five, each opened by a space, thirty to a line.
void McuLink::PrintSentFrame(const char* frame, int size) {
    if (m_log.silent()) {
        return;
    }
    char prefix[64];
    snprintf(prefix, sizeof prefix, LOG_SENT_FRAME.prefix, LOG_SENT_FRAME.function,
             LOG_SENT_FRAME.line);
    std::string dump = std::string(prefix) + TEXT_SENT_FRAME;
    char byte[4];
    for (int i = 0; i < size; ++i) {
        if (i != 0 && i % kFrameBytesPerLine == 0) {
            dump += TEXT_SENT_BREAK;
        }
        if (i % kFrameBytesPerGroup == 0) {
            dump += TEXT_SENT_GROUP;
        }
        snprintf(byte, sizeof byte, TEXT_SENT_BYTE, static_cast<unsigned char>(frame[i]));
        dump += byte;
    }
    dump += TEXT_SENT_BREAK;
    m_log.Write(kLogInfo, stdout, dump.c_str());
    m_log.Write(kLogInfo, stderr, TEXT_SENT_BREAK);
}

// The write of a frame WriteData sends, reported on its fixed line when it fails.
bool McuLink::WrittenOrReported(char* frame, unsigned short size) {
    if (WriteToPort(frame, size) == PORT_FAIL) {
        m_log.PrintFixed(kLogError, stderr, LOG_WRITE_FAILED, TEXT_WRITE_FAILED);
        return false;
    }
    return true;
}

// Registered, its stale answers discarded, then written.
McuLink::Sent McuLink::RegisterAndWrite(__ComFrameData* sent, char* frame, unsigned short size,
                                        unsigned int timeo) {
    const int added = m_waitList.AddCmdtoList(sent);
    if (added < 0) {
        m_log.PrintFixed(kLogError, stderr, LOG_ADD_CMD_FAILED, TEXT_ADD_CMD_FAILED,
                         ntohs(sent->cmd), added);
        return Sent{added, RegistrationFailure(added)};
    }
    m_log.PrintFixed(kLogInfo, stderr, LOG_ADD_CMD, TEXT_ADD_CMD, ntohs(sent->cmd), sent->serialNum,
                     added, m_waitList.GetDataListSize(), UnclaimedCount(),
                     static_cast<int>(timeo));
    // Nothing stored yet can answer this frame, which has not been written: a frame with its
    // code and serial number is left from an earlier command (answered after it gave up), and
    // would otherwise be taken for this command's answer.
    m_ackList.DiscardAnswersTo(sent->cmd, sent->serialNum);
    if (!WrittenOrReported(frame, size)) {
        return Sent{SEND_WRITE_FAILED, kLinkWriteFailed};
    }
    return Sent{0, kLinkDone};
}

McuLink::Sent McuLink::AwaitAnswer(__ComFrameData* sent, __ComFrameData* reply,
                                   unsigned int timeo) {
    // Every unsigned time-out is waited in full: WaitCmdFlag's int would cut 2^31 ms and more.
    const int waited = m_waitList.WaitCmdFlagWithin(sent, timeo, &m_stop);
    if (waited < 0) {
        m_log.PrintFixed(kLogError, stderr, LOG_WAIT_FAILED, TEXT_WAIT_FAILED, waited);
        return Sent{waited, waited == WAIT_LIST_NO_ACK ? kLinkNoAnswer : kLinkAnswerMissing};
    }
    // The acknowledgement came: the key goes into the reply, and the lookup leaves the
    // matching acknowledgement in place of it.
    reply->cmd = sent->cmd;
    FramePayload(reply)[ANSWER_SERIAL_AT] = sent->serialNum;
    // The lookup takes the frame's pointer by reference but writes the answer into the
    // buffer it points at, which stays the reply.
    __ComFrameData* found = reply;
    const int got = m_ackList.GetDatafromList(found, 0, 0);
    return Sent{got, got > 0 ? kLinkDone : kLinkAnswerMissing};
}

// Registration failed or not, the entry for this frame is removed last. Recorded while the
// entry is still there: a copy of its answer that comes meanwhile finds the entry (answered)
// or the record, never neither, and so is never taken for the MCU's own frame.
void McuLink::Retire(const __ComFrameData* sent, LinkResult outcome) {
    m_recent.Finished(sent->cmd, sent->serialNum, outcome == kLinkDone, MonotonicMicros());
    m_waitList.RemvedCmdfromList(const_cast<__ComFrameData*>(sent));
}

// Without a reply (timeo 0 asks for the default wait) there is nothing to show.
void McuLink::ReportSendFailure(int result, const __ComFrameData* reply) {
    m_log.PrintFixed(kLogError, stderr, LOG_SEND_FAILED, TEXT_SEND_FAILED, result,
                     reply != NULL ? ntohs(reply->len) : 0,
                     reply != NULL ? FramePayload(reply)[0] : 0,
                     reply != NULL ? FramePayload(reply)[1] : 0);
}

int McuLink::WriteData(char* frame, unsigned short size, __ComFrameData* reply,
                       unsigned int timeo) {
    return WriteFrame(frame, size, reply, timeo).code;
}

McuLink::Sent McuLink::WriteFrame(char* frame, unsigned short size, __ComFrameData* reply,
                                  unsigned int timeo) {
    if (frame == NULL || (timeo != 0 && (reply == NULL || size == 0))) {
        return Sent{SEND_BAD_ARGUMENT, kLinkBadArgument};
    }
    __ComFrameData* sent = reinterpret_cast<__ComFrameData*>(frame);
    if (timeo == 0) {
        return WrittenOrReported(frame, size) ? Sent{0, kLinkDone}
                                              : Sent{SEND_WRITE_FAILED, kLinkWriteFailed};
    }
    Sent result = RegisterAndWrite(sent, frame, size, timeo);
    if (result.outcome == kLinkDone) {
        result = AwaitAnswer(sent, reply, timeo);
    }
    Retire(sent, result.outcome);
    return result;
}

int McuLink::SendCmdData(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo) {
    return Send(request, reply, timeo).code;
}

McuLink::Sent McuLink::Send(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo) {
    if (request == NULL || (timeo != 0 && reply == NULL)) {
        return Sent{SEND_BAD_ARGUMENT, kLinkBadArgument};
    }
    Outgoing out;
    Sent result = Prepare(request, timeo, &out);
    if (result.outcome == kLinkDone) {
        result = Post(&out, reply);
    }
    if (result.outcome == kLinkDone && out.awaitsAnswer) {
        result = Collect(&out, reply);
    }
    return result;
}

// The frame laid out, with a serial number of its own unless the request brings one.
McuLink::Sent McuLink::Prepare(__UserCmdData* request, unsigned int timeo, Outgoing* out) {
    // The frame buffer holds at most 2037 payload bytes; a payload that is not there cannot
    // be copied either.
    if (request->dataLen > SEND_MAX_PAYLOAD || (request->dataLen > 0 && request->data == NULL)) {
        return Sent{SEND_BAD_ARGUMENT, kLinkBadArgument};
    }
    // A serial number is taken even for a code the table does not have.
    if (request->serialNum == 0) {
        request->serialNum = NextSerial();
    }
    const unsigned char flag = GetCmdFlag(request->cmd);
    if (flag == 0) {
        return Sent{SEND_UNKNOWN_CMD, kLinkUnknownCmd};
    }
    memset(out->frame, 0, sizeof out->frame);
    out->size = static_cast<unsigned short>(
        LayOutFrame(reinterpret_cast<unsigned char*>(out->frame), request->serialNum, flag,
                    static_cast<unsigned short>(request->cmd), request->data, request->dataLen));
    out->cmd = request->cmd;
    out->serial = request->serialNum;
    out->awaitsAnswer = FrameAckBit(flag) != 0;
    out->timeo = timeo != 0 ? timeo : SEND_DEFAULT_TIMEO_MS;
    m_log.Print(kLogDebug, stdout, TEXT_ACK_BIT, out->awaitsAnswer ? 1 : 0);
    return Sent{0, kLinkDone};
}

// Written; a command that expects an answer is registered first, and stays registered only
// when written, with its answer for Collect to wait for.
McuLink::Sent McuLink::Post(Outgoing* out, __ComFrameData* reply) {
    __ComFrameData* sent = reinterpret_cast<__ComFrameData*>(out->frame);
    Sent result = {0, kLinkDone};
    if (out->awaitsAnswer && reply == NULL) {
        result = Sent{SEND_BAD_ARGUMENT, kLinkBadArgument};
    } else if (out->awaitsAnswer) {
        result = RegisterAndWrite(sent, out->frame, out->size, out->timeo);
        if (result.outcome != kLinkDone) {
            Retire(sent, result.outcome);
        }
    } else if (WriteToPort(out->frame, out->size) == PORT_FAIL) {
        result = Sent{SEND_WRITE_FAILED, kLinkWriteFailed};
    }
    if (out->awaitsAnswer && result.code < 0) {
        ReportSendFailure(result.code, reply);
    }
    if (result.outcome != kLinkDone || !out->awaitsAnswer) {
        TraceSent(*out);
    }
    return result;
}

McuLink::Sent McuLink::Collect(Outgoing* out, __ComFrameData* reply) {
    __ComFrameData* sent = reinterpret_cast<__ComFrameData*>(out->frame);
    const Sent result = AwaitAnswer(sent, reply, out->timeo);
    Retire(sent, result.outcome);
    if (result.code < 0) {
        ReportSendFailure(result.code, reply);
    }
    TraceSent(*out);
    return result;
}

void McuLink::TraceSent(const Outgoing& out) {
    if (IsTracedCmd(out.cmd)) {
        PrintSentFrame(out.frame, out.size);
    }
}

LinkResult McuLink::Command(unsigned int code, const unsigned char* payload, size_t length,
                            unsigned int timeoutMs, Outgoing* out) {
    if (out == NULL) {
        Outgoing own = Outgoing();
        return Command(code, payload, length, timeoutMs, &own);
    }
    const LinkResult started = Start(code, payload, length, timeoutMs, out);
    return started != kLinkDone ? started : Finish(out);
}

LinkResult McuLink::Start(unsigned int code, const unsigned char* payload, size_t length,
                          unsigned int timeoutMs, Outgoing* out) {
    out->serial = 0;
    out->awaitsAnswer = false;
    out->answered = false;
    out->startUs = out->endUs = MonotonicMicros();
    if (length > static_cast<size_t>(FRAME_MAX_PAYLOAD)) {
        return kLinkPayloadTooLong;
    }
    if (length > 0 && payload == NULL) {
        return kLinkBadArgument;
    }
    if (m_stop) {
        return m_stopCause;
    }
    __UserCmdData request;
    request.cmd = static_cast<COM_CMD_3520D_TYPE>(code);
    request.dataLen = static_cast<unsigned short>(length);
    request.data = const_cast<unsigned char*>(payload);
    memset(out->reply, 0, sizeof out->reply);
    Sent sent = Prepare(&request, timeoutMs, out);
    if (sent.outcome == kLinkDone) {
        sent = Post(out, reinterpret_cast<__ComFrameData*>(out->reply));
    }
    out->endUs = MonotonicMicros();
    return sent.outcome == kLinkDone ? kLinkDone : WhyFailed(sent.outcome);
}

LinkResult McuLink::Finish(Outgoing* out) {
    LinkResult outcome = kLinkDone;
    if (out->awaitsAnswer) {
        const Sent sent = Collect(out, reinterpret_cast<__ComFrameData*>(out->reply));
        outcome = sent.outcome == kLinkDone ? kLinkDone : WhyFailed(sent.outcome);
    }
    out->answered = out->awaitsAnswer && outcome == kLinkDone;
    out->endUs = MonotonicMicros();
    return outcome;
}

unsigned short McuLink::Outgoing::AnswerLength() const {
    const int len = FrameLenField(reply) - FRAME_MIN_LEN_FIELD;
    return static_cast<unsigned short>(answered && len > 0 ? len : 0);
}

const unsigned char* McuLink::Outgoing::AnswerPayload() const {
    return reply + FRAME_HEADER_SIZE;
}

unsigned char McuLink::Outgoing::AnswerResult() const {
    return answered ? FrameAnswerResult(reply) : 0;
}

// A wait or a write that a stopped link cut short failed for the stop's cause; a write that
// failed on a line that has hung up failed for the loss, which the receiver may not have seen
// yet.
LinkResult McuLink::WhyFailed(LinkResult outcome) {
    if (outcome != kLinkNoAnswer && outcome != kLinkWriteFailed) {
        return outcome;
    }
    const LinkResult cause = m_stopCause;
    if (cause != kLinkDone) {
        return cause;
    }
    return outcome == kLinkWriteFailed && LineHungUp() ? kLinkLineLost : outcome;
}

}  // namespace mcucom
