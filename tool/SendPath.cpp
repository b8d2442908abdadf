#include "tool/SendPath.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>

#include "common/FixedLog.h"
#include "serial/PortResults.h"
#include "tool/McuPort.h"
#include "tool/ModuleGlobals.h"
#include "tool/ModuleResults.h"
#include "tool/SerialNumber.h"

namespace {

const int kFrameBytesPerLine = 30;
const int kFrameBytesPerGroup = 5;

bool IsTracedCmd(COM_CMD_3520D_TYPE cmd) {
    return cmd == CMD_0008 || cmd == CMD_0021;
}

// Bytes in groups of five, each opened by a space, thirty to a line.
void PrintSentFrame(const char* frame, int size) {
    PrintFixedLine(stdout, LOG_SENT_FRAME, TEXT_SENT_FRAME);
    for (int i = 0; i < size; ++i) {
        if (i != 0 && i % kFrameBytesPerLine == 0) {
            printf(TEXT_SENT_BREAK);
        }
        if (i % kFrameBytesPerGroup == 0) {
            printf(TEXT_SENT_GROUP);
        }
        printf(TEXT_SENT_BYTE, static_cast<unsigned char>(frame[i]));
    }
    printf(TEXT_SENT_BREAK);
    fprintf(stderr, TEXT_SENT_BREAK);
}

// The write of a frame WriteData sends, reported on its fixed line when it fails.
bool WrittenOrReported(char* frame, unsigned short size) {
    if (WriteToMcuPort(frame, size) == PORT_FAIL) {
        PrintFixedLine(stderr, LOG_WRITE_FAILED, TEXT_WRITE_FAILED);
        return false;
    }
    return true;
}

// Registration failed or not, the entry for this frame is removed last.
int RegisteredWrite(__ComFrameData* sent, char* frame, unsigned short size, __ComFrameData* reply,
                    unsigned int timeo) {
    const int added = m_waitCmdList.AddCmdtoList(sent);
    if (added < 0) {
        PrintFixedLine(stderr, LOG_ADD_CMD_FAILED, TEXT_ADD_CMD_FAILED, ntohs(sent->cmd), added);
        return added;
    }
    PrintFixedLine(stderr, LOG_ADD_CMD, TEXT_ADD_CMD, ntohs(sent->cmd), sent->serialNum, added,
                   m_waitCmdList.GetDataListSize(), m_dealList.GetDataListSize(),
                   static_cast<int>(timeo));
    // Nothing stored yet can answer this frame, which has not been written: a frame with its
    // code and serial number is left from an earlier command (answered after it gave up), and
    // would otherwise be taken for this command's answer.
    m_ackList.DiscardAnswersTo(sent->cmd, sent->serialNum);
    if (!WrittenOrReported(frame, size)) {
        return SEND_WRITE_FAILED;
    }
    // Every unsigned time-out is waited in full: WaitCmdFlag's int would cut 2^31 ms and more.
    const int waited = m_waitCmdList.WaitCmdFlagWithin(sent, timeo);
    if (waited < 0) {
        PrintFixedLine(stderr, LOG_WAIT_FAILED, TEXT_WAIT_FAILED, waited);
        return waited;
    }
    // The acknowledgement came: the key goes into the reply, and the lookup leaves the
    // matching acknowledgement in place of it.
    reply->cmd = sent->cmd;
    FramePayload(reply)[0] = sent->serialNum;
    // The lookup takes the frame's pointer by reference but writes the answer into the
    // buffer it points at, which stays the reply.
    __ComFrameData* found = reply;
    return m_ackList.GetDatafromList(found, 0, 0);
}

// Without a reply (timeo 0 asks for the default wait) there is nothing to show.
void ReportSendFailure(int result, const __ComFrameData* reply) {
    PrintFixedLine(
        stderr, LOG_SEND_FAILED, TEXT_SEND_FAILED, result, reply != NULL ? ntohs(reply->len) : 0,
        reply != NULL ? FramePayload(reply)[0] : 0, reply != NULL ? FramePayload(reply)[1] : 0);
}

}  // namespace

__UserCmdData::__UserCmdData() : cmd(), serialNum(0), dataLen(0), data(NULL) {}

int WriteData(char* frame, unsigned short size, __ComFrameData* reply, unsigned int timeo) {
    if (frame == NULL || (timeo != 0 && (reply == NULL || size == 0))) {
        return SEND_BAD_ARGUMENT;
    }
    __ComFrameData* sent = reinterpret_cast<__ComFrameData*>(frame);
    if (timeo == 0) {
        return WrittenOrReported(frame, size) ? 0 : SEND_WRITE_FAILED;
    }
    const int result = RegisteredWrite(sent, frame, size, reply, timeo);
    m_waitCmdList.RemvedCmdfromList(sent);
    return result;
}

int sendCmdData(__UserCmdData* request, __ComFrameData* reply, unsigned int timeo) {
    if (request == NULL || (timeo != 0 && reply == NULL)) {
        return SEND_BAD_ARGUMENT;
    }
    // The frame buffer holds at most 2037 payload bytes; a payload that is not there cannot
    // be copied either.
    if (request->dataLen > SEND_MAX_PAYLOAD || (request->dataLen > 0 && request->data == NULL)) {
        return SEND_BAD_ARGUMENT;
    }
    // A serial number is taken even for a code the table does not have.
    if (request->serialNum == 0) {
        request->serialNum = GetSerialNum();
    }
    const unsigned char flag = GetCmdFlag(request->cmd);
    if (flag == 0) {
        return SEND_UNKNOWN_CMD;
    }
    char frame[SEND_FRAME_BUF_SIZE];
    memset(frame, 0, sizeof frame);
    const unsigned short size = static_cast<unsigned short>(
        LayOutFrame(reinterpret_cast<unsigned char*>(frame), request->serialNum, flag,
                    static_cast<unsigned short>(request->cmd), request->data, request->dataLen));

    int result = 0;
    const int ackBit = FrameAckBit(flag);
    printf(TEXT_ACK_BIT, ackBit);
    if (ackBit) {
        result = WriteData(frame, size, reply, timeo != 0 ? timeo : SEND_DEFAULT_TIMEO_MS);
        if (result < 0) {
            ReportSendFailure(result, reply);
        }
    } else if (WriteToMcuPort(frame, size) == PORT_FAIL) {
        result = SEND_WRITE_FAILED;
    }
    if (IsTracedCmd(request->cmd)) {
        PrintSentFrame(frame, size);
    }
    return result;
}
