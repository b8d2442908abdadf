// The command send path on a pseudo-terminal: frames on the wire, results, log lines, the
// wait list, and an acknowledgement delivered by a receiver thread.
#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "sim/McuSimulator.h"
#include "tests/support/CaptureOutput.h"
#include "tests/support/Frames.h"
#include "tests/support/McuPort.h"
#include "tool/HddPower.h"

namespace {

__UserCmdData Request(unsigned cmd, const std::string& payload, unsigned char serial = 0) {
    static std::string keep;  // the request points into it until the next call
    keep = payload;
    __UserCmdData request;
    request.cmd = static_cast<COM_CMD_3520D_TYPE>(cmd);
    request.serialNum = serial;
    request.dataLen = static_cast<unsigned short>(keep.size());
    request.data = reinterpret_cast<unsigned char*>(&keep[0]);
    return request;
}

// Reads one whole frame that the board side sent, waiting up to about 30 s.
std::string ReadFrame(int master) {
    std::string bytes;
    const double limit = MonotonicSeconds() + 30;
    while (MonotonicSeconds() < limit) {
        if (bytes.size() >= 4) {
            const size_t total = ((static_cast<unsigned char>(bytes[2]) << 8) |
                                  static_cast<unsigned char>(bytes[3])) +
                                 7u;
            if (bytes.size() >= total) {
                return bytes.substr(0, total);
            }
        }
        struct pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, 100) > 0) {
            char c;
            if (read(master, &c, 1) == 1) {
                bytes += c;
            }
        }
    }
    return bytes;
}

// Plays the receiver: acknowledges the next frame on the line the way a receiver thread of
// the module would, the acknowledgement first into m_ackList and then the waiter woken.
// Returns the frame it answered.
std::string AcknowledgeNextFrame(int master, unsigned char result) {
    const std::string sent = ReadFrame(master);
    if (sent.size() >= 11) {
        const unsigned short cmd = static_cast<unsigned short>(
            (static_cast<unsigned char>(sent[6]) << 8) | static_cast<unsigned char>(sent[7]));
        FrameBuffer ack(MakeAck(cmd, static_cast<unsigned char>(sent[4]), result));
        m_ackList.AddDatatoList(ack.frame());
        m_waitCmdList.SetCmdFlag(ack.frame());
    }
    return sent;
}

class SendPathTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(port.ok()); }
    void TearDown() override { EXPECT_EQ(0, m_waitCmdList.GetDataListSize()); }

    McuPort port;
    FrameBuffer reply;
};

TEST_F(SendPathTest, UnacknowledgedCodeEightIsWrittenAndPrinted) {
    __UserCmdData request = Request(8, "\x01\x02", 1);
    CaptureOutput capture;
    EXPECT_EQ(0, sendCmdData(&request, reply.frame(), 0));
    EXPECT_EQ(
        "## ackBit is 0 \nMainINF [sendCmdData():446] Send To MCU: 75aa000601 0100080102 0d75aa\n",
        capture.Out());
    EXPECT_EQ("\n", capture.Err());
    EXPECT_EQ(Hex(MakeFrame(1, 0x01, 8, "\x01\x02")), Hex(port.line().Drain()));
}

TEST_F(SendPathTest, FramePrintWrapsBeforeByteThirty) {
    __UserCmdData request = Request(33, std::string(25, '\x11'), 2);
    CaptureOutput capture;
    EXPECT_EQ(0, sendCmdData(&request, nullptr, 0));
    EXPECT_EQ(
        "## ackBit is 0 \nMainINF [sendCmdData():446] Send To MCU: 75aa001d02 0100211111 "
        "1111111111 1111111111 1111111111 1111111111\n 1111112e75 aa\n",
        capture.Out());
    EXPECT_EQ(36u, port.line().Drain().size());
}

TEST_F(SendPathTest, GivenSerialNumberIsUsedAndNoneIsDrawn) {
    const unsigned char before = GetSerialNum();
    __UserCmdData given = Request(5, "", 7);
    CaptureOutput capture;
    EXPECT_EQ(0, sendCmdData(&given, reply.frame(), 0));
    EXPECT_EQ(7, given.serialNum);
    __UserCmdData fresh = Request(5, "");
    EXPECT_EQ(0, sendCmdData(&fresh, reply.frame(), 0));
    EXPECT_EQ(static_cast<unsigned char>(before + 1), fresh.serialNum);
    EXPECT_EQ(Hex(MakeFrame(7, 0x01, 5) + MakeFrame(fresh.serialNum, 0x01, 5)),
              Hex(port.line().Drain()));
}

TEST_F(SendPathTest, UnknownCodeTakesASerialNumberAndSendsNothing) {
    const unsigned char before = GetSerialNum();
    __UserCmdData request = Request(1, "\x01");
    CaptureOutput capture;
    EXPECT_EQ(-9, sendCmdData(&request, reply.frame(), 100));
    EXPECT_EQ(static_cast<unsigned char>(before + 1), request.serialNum);
    EXPECT_EQ(static_cast<unsigned char>(before + 2), GetSerialNum());
    EXPECT_EQ("", capture.Out());
    EXPECT_EQ("", capture.Err());
    EXPECT_EQ("", port.line().Drain());
}

TEST_F(SendPathTest, BadArgumentsAreRefusedBeforeAnythingIsSent) {
    __UserCmdData code8 = Request(8, "\x01\x02");
    __UserCmdData huge = Request(5, std::string(2038, 'h'));
    CaptureOutput capture;
    EXPECT_EQ(-1, sendCmdData(nullptr, reply.frame(), 0));
    EXPECT_EQ(-1, sendCmdData(&code8, nullptr, 100));  // a reply is needed whenever timeo is set
    EXPECT_EQ(-1, sendCmdData(&huge, reply.frame(), 0));
    EXPECT_EQ("", capture.Out());
    EXPECT_EQ("", capture.Err());
    EXPECT_EQ("", port.line().Drain());
}

TEST_F(SendPathTest, LargestPayloadFillsTheFrameBuffer) {
    __UserCmdData request = Request(5, std::string(2037, 'L'), 3);
    CaptureOutput capture;
    EXPECT_EQ(0, sendCmdData(&request, nullptr, 0));
    const std::string wire = port.line().Drain();
    EXPECT_EQ(2048u, wire.size());
    EXPECT_EQ(Hex(MakeFrame(3, 0x01, 5, std::string(2037, 'L'))), Hex(wire));
}

TEST_F(SendPathTest, AcknowledgedCodeWithoutReceiverWaitsItsTimeoutAndCleansUp) {
    __UserCmdData request = Request(6, "\xaa", 0x44);
    CaptureOutput capture;
    const double start = MonotonicSeconds();
    EXPECT_EQ(-4, sendCmdData(&request, reply.frame(), 0));  // 0 asks for the 100 ms default
    const double waited = MonotonicSeconds() - start;
    EXPECT_GE(waited, 0.095);
    EXPECT_LT(waited, 30.0);
    EXPECT_EQ("## ackBit is 0x1 \n", capture.Out());
    EXPECT_EQ(
        "Inf [WriteData():318] Add cmd(0006),serialNum(68),ret(1),waitlistsize(1),deallist(0),"
        "timeo(100)...\n"
        "Err [WriteData():334] wait cmd err(-4)...\n"
        "Err [sendCmdData():432] ret(-4),len(0),serialNum(0),result(0)...\n",
        capture.Err());
    EXPECT_EQ(Hex(MakeFrame(0x44, 0x41, 6, "\xaa")), Hex(port.line().Drain()));
}

TEST_F(SendPathTest, AcknowledgedCodeWithoutReplyAndDefaultTimeoutIsRefused) {
    __UserCmdData request = Request(6, "", 9);
    CaptureOutput capture;
    EXPECT_EQ(-1, sendCmdData(&request, nullptr, 0));
    EXPECT_EQ("## ackBit is 0x1 \n", capture.Out());
    EXPECT_EQ("Err [sendCmdData():432] ret(-1),len(0),serialNum(0),result(0)...\n", capture.Err());
    EXPECT_EQ("", port.line().Drain());
}

TEST_F(SendPathTest, ReceiverAcknowledgementIsReturnedInTheReply) {
    const int master = port.line().master();
    std::future<std::string> receiver =
        std::async(std::launch::async, [master] { return AcknowledgeNextFrame(master, 0x5c); });
    __UserCmdData request = Request(0x0303, "\x01\x02\x03", 0x21);
    CaptureOutput capture;
    const int result = sendCmdData(&request, reply.frame(), 30000);
    const std::string sent = receiver.get();
    EXPECT_EQ(13, result);
    EXPECT_EQ(Hex(MakeAck(0x0303, 0x21, 0x5c)), Hex(reply.Bytes(13)));
    EXPECT_EQ(Hex(MakeFrame(0x21, 0x51, 0x0303, "\x01\x02\x03")), Hex(sent));
    EXPECT_EQ("## ackBit is 0x1 \n", capture.Out());
    EXPECT_EQ(
        "Inf [WriteData():318] Add cmd(0303),serialNum(33),ret(1),waitlistsize(1),"
        "deallist(0),timeo(30000)...\n",
        capture.Err());
    EXPECT_EQ(0, m_ackList.GetDataListSize());
}

// An answer that came after its command gave up stays in the acknowledgement list; once the
// serial numbers have wrapped, a new command with the same code and serial must not take it.
TEST_F(SendPathTest, AnswerLeftFromAnEarlierCommandIsNotTaken) {
    FrameBuffer stale(MakeAck(0x0303, 0x21, 0x99));
    m_ackList.AddDatatoList(stale.frame());
    const int master = port.line().master();
    std::future<std::string> receiver =
        std::async(std::launch::async, [master] { return AcknowledgeNextFrame(master, 0x5c); });
    __UserCmdData request = Request(0x0303, "", 0x21);
    CaptureOutput quiet;
    EXPECT_EQ(13, sendCmdData(&request, reply.frame(), 30000));
    receiver.get();
    EXPECT_EQ(Hex(MakeAck(0x0303, 0x21, 0x5c)), Hex(reply.Bytes(13)));
    EXPECT_EQ(0, m_ackList.GetDataListSize());
}

TEST_F(SendPathTest, SecondSenderOfARegisteredCodeIsRefusedAndWritesNothing) {
    __UserCmdData first = Request(6, "", 0x61);
    CaptureOutput capture;
    // The first sender registers and waits 1.5 s; the second comes while it is waiting.
    std::future<int> second = std::async(std::launch::async, [] {
        usleep(300 * 1000);
        __UserCmdData request;
        request.cmd = CMD_ALARM_OUT_POWER;
        request.serialNum = 0x62;
        FrameBuffer reply;
        return sendCmdData(&request, reply.frame(), 50);
    });
    EXPECT_EQ(-4, sendCmdData(&first, reply.frame(), 1500));
    EXPECT_EQ(-6, second.get());
    const std::string err = capture.Err();
    EXPECT_NE(std::string::npos, err.find("Err [WriteData():310] Add cmd(0006) err(-6)...\n"));
    EXPECT_NE(std::string::npos,
              err.find("Err [sendCmdData():432] ret(-6),len(0),serialNum(0),result(0)...\n"));
    EXPECT_EQ(Hex(MakeFrame(0x61, 0x41, 6)), Hex(port.line().Drain()));
}

TEST(SendPathClosedPort, WriteFailureGivesMinusSevenWithTheRightLines) {
    __UserCmdData acked = Request(7, "", 0x0b);
    __UserCmdData plain = Request(5, "", 0x0c);
    FrameBuffer reply;
    CaptureOutput capture;
    EXPECT_EQ(-7, sendCmdData(&acked, reply.frame(), 200));
    EXPECT_EQ(-7, sendCmdData(&plain, reply.frame(), 200));
    EXPECT_EQ("## ackBit is 0x1 \nCom Port Err: -1\n## ackBit is 0 \nCom Port Err: -1\n",
              capture.Out());
    EXPECT_EQ(
        "Inf [WriteData():318] Add cmd(0007),serialNum(11),ret(1),waitlistsize(1),deallist(0),"
        "timeo(200)...\n"
        "Err [WriteData():325] Write com err...\n"
        "Err [sendCmdData():432] ret(-7),len(0),serialNum(0),result(0)...\n",
        capture.Err());
    EXPECT_EQ(0, m_waitCmdList.GetDataListSize());
}

TEST(WriteDataArguments, AreCheckedBeforeAnythingHappens) {
    FrameBuffer reply;
    std::string frame = MakeFrame(1, 0x41, 6);
    CaptureOutput capture;
    EXPECT_EQ(-1, WriteData(nullptr, 11, reply.frame(), 0));
    EXPECT_EQ(-1, WriteData(&frame[0], 11, nullptr, 100));
    EXPECT_EQ(-1, WriteData(&frame[0], 0, reply.frame(), 100));
    EXPECT_EQ("", capture.Out());
    EXPECT_EQ("", capture.Err());
    EXPECT_EQ(0, m_waitCmdList.GetDataListSize());
}

}  // namespace
