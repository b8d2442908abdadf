// The receiver with the simulator over a real pseudo-terminal: round trips, faults on the
// line, stale answers, unasked frames, and a clean stop.
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "tests/support/CaptureOutput.h"
#include "tests/support/Frames.h"
#include "tests/support/SimulatedMcu.h"
#include "tests/support/ToolRun.h"
#include "tool/HddPower.h"

namespace {

struct Sent {
    int result;
    unsigned char serial;
    FrameBuffer reply;
};

Sent SendCommand(unsigned cmd, unsigned timeo, const std::string& payload = "\x01\x02") {
    std::string data = payload;
    __UserCmdData request;
    request.cmd = static_cast<COM_CMD_3520D_TYPE>(cmd);
    request.dataLen = static_cast<unsigned short>(data.size());
    request.data = reinterpret_cast<unsigned char*>(&data[0]);
    Sent sent;
    CaptureOutput quiet;  // the send path's own lines are not what these tests look at
    sent.result = sendCmdData(&request, sent.reply.frame(), timeo);
    sent.serial = request.serialNum;
    return sent;
}

// The reply holds the acknowledgement of exactly this command.
void ExpectOwnAcknowledgement(const Sent& sent, unsigned cmd, unsigned char result) {
    ASSERT_EQ(13, sent.result);
    EXPECT_EQ(
        Hex(MakeFrame(sent.reply.data[4] & 0xFF, 0x01, static_cast<unsigned short>(cmd),
                      std::string{static_cast<char>(sent.serial), static_cast<char>(result)})),
        Hex(sent.reply.Bytes(13)));
}

void DrainDealList() {
    while (m_dealList.GetDataListSize() > 0 && m_dealList.PopData() > 0) {
    }
}

class ReceiverTest : public ::testing::Test {
  protected:
    void TearDown() override {
        EXPECT_EQ(0, m_waitCmdList.GetDataListSize());
        DrainDealList();
        while (m_ackList.GetDataListSize() > 0 && m_ackList.PopData() > 0) {
        }
    }
};

TEST_F(ReceiverTest, AcknowledgedCommandGetsItsAcknowledgementWithTheChosenResult) {
    SimOptions options;
    options.result = 0x3c;
    SimulatedMcu mcu(options);
    ASSERT_TRUE(mcu.ok());
    for (unsigned cmd : {2u, 6u, 0x0303u, 0x0404u}) {
        const Sent sent = SendCommand(cmd, 5000);
        ExpectOwnAcknowledgement(sent, cmd, 0x3c);
    }
    EXPECT_EQ(4u, mcu.receiver().stats().acknowledgements);
    EXPECT_EQ(0, m_ackList.GetDataListSize());
}

TEST_F(ReceiverTest, CommandFourAcknowledgementWakesTheWaiterWhateverItsByteEight) {
    McuPort port;
    ASSERT_TRUE(port.ok());
    ModuleReceiver receiver;
    receiver.Start();
    // Play the MCU by hand: answer command 4 with a serial number that is not the sent one.
    PtyLine& line = port.line();
    std::future<void> responder = std::async(std::launch::async, [&line] {
        std::string got;
        const double limit = MonotonicSeconds() + 30;
        while (got.size() < 13 && MonotonicSeconds() < limit) {
            got += line.Drain(5);
        }
        line.Send(MakeAck(4, static_cast<unsigned char>(got[4] + 100), 0x44));
    });
    const Sent sent = SendCommand(4, 10000);
    responder.get();
    receiver.Stop();
    EXPECT_EQ(13, sent.result);
    EXPECT_EQ(static_cast<unsigned char>(sent.serial + 100),
              static_cast<unsigned char>(sent.reply.data[8]));
    EXPECT_EQ(0x44, sent.reply.data[9]);
}

TEST_F(ReceiverTest, UnaskedFramesLandInTheDealList) {
    SimOptions options;
    options.unaskedCode = 0x0019;
    options.unaskedEveryMs = 10;
    SimulatedMcu mcu(options);
    ASSERT_TRUE(mcu.ok());
    const double limit = MonotonicSeconds() + 30;
    while (m_dealList.GetDataListSize() < 3 && MonotonicSeconds() < limit) {
        usleep(5000);
    }
    ASSERT_GE(m_dealList.GetDataListSize(), 3);
    FrameBuffer frame;
    __ComFrameData* p = frame.frame();
    EXPECT_EQ(13, m_dealList.GetDatafromList(p, DATA_LIST_MODE_ANY, 0));
    EXPECT_EQ(htons(0x0019), frame.frame()->cmd);
    EXPECT_EQ(0u, mcu.receiver().stats().acknowledgements);
}

TEST_F(ReceiverTest, NoiseAndDamagedAnswersLoseNoIntactAcknowledgement) {
    SimOptions options;
    options.noiseMax = 24;
    options.falseHeads = true;
    options.split = true;
    options.corrupt = 0.25;
    options.seed = 77;
    SimulatedMcu mcu(options);
    ASSERT_TRUE(mcu.ok());
    int acknowledged = 0;
    for (int i = 0; i < 120; ++i) {
        const unsigned cmd = (i % 2 == 0) ? 7u : 9u;
        const Sent sent = SendCommand(cmd, 150);
        if (sent.result > 0) {
            ExpectOwnAcknowledgement(sent, cmd, 0);
            ++acknowledged;
        } else {
            ASSERT_EQ(-4, sent.result);
        }
    }
    const SimStats sim = mcu.simulator().stats();
    EXPECT_EQ(120u, sim.answersSent);
    EXPECT_GT(sim.answersCorrupted, 0u);
    EXPECT_EQ(static_cast<int>(sim.answersSent - sim.answersCorrupted), acknowledged);
    const ReceiverStats stats = mcu.receiver().stats();
    EXPECT_GT(stats.drops.noHead, 0u);
    EXPECT_GT(stats.drops.RefusedHeads(), 0u);
}

TEST_F(ReceiverTest, WithoutAnswersEveryCallTimesOut) {
    SimOptions options;
    options.answer = false;
    SimulatedMcu mcu(options);
    ASSERT_TRUE(mcu.ok());
    for (int i = 0; i < 3; ++i) {
        const double start = MonotonicSeconds();
        EXPECT_EQ(-4, SendCommand(6, 250).result);
        const double waited = MonotonicSeconds() - start;
        EXPECT_GE(waited, 0.245);
        EXPECT_LT(waited, 30.0);
    }
}

TEST_F(ReceiverTest, LateAndDuplicateAnswersNeverCompleteANewerCommand) {
    SimOptions options;
    options.lateEvery = 2;  // every second answer comes after its sender gave up
    options.lateMs = 150;
    options.duplicate = 0.5;
    SimulatedMcu mcu(options);
    ASSERT_TRUE(mcu.ok());
    int late = 0;
    for (int i = 0; i < 40; ++i) {
        const Sent sent = SendCommand(6, 100);
        if (sent.result == -4) {
            ++late;
            continue;
        }
        ExpectOwnAcknowledgement(sent, 6, 0);  // never another command's serial number
    }
    EXPECT_EQ(20, late);
    usleep(400 * 1000);
    EXPECT_GT(m_dealList.GetDataListSize(), 0);  // the stale answers went to the deal list
}

// Every answer sent twice, and every fourth one late: over 600 commands the serial numbers wrap
// twice, and no copy left from an earlier round may answer a later command with the same code
// and serial number. The simulator numbers its answers, so each command can check it got its
// own.
TEST_F(ReceiverTest, CopiesOfAnswersNeverAnswerALaterCommand) {
    SimOptions options;
    options.duplicate = 1;
    options.lateEvery = 4;
    options.lateMs = 60;
    options.resultSeq = true;
    SimulatedMcu mcu(options);
    ASSERT_TRUE(mcu.ok());
    int answered = 0, wrong = 0, mostStored = 0;
    for (int n = 1; n <= 600; ++n) {
        const Sent sent = SendCommand(6, n % 4 == 0 ? 30 : 5000);
        if (sent.result > 0) {
            ++answered;
            wrong += static_cast<unsigned char>(sent.reply.data[9]) != (n & 0xFF) ? 1 : 0;
        }
        mostStored = std::max(mostStored, m_ackList.GetDataListSize());
    }
    EXPECT_EQ(0, wrong);
    EXPECT_GE(answered, 450);
    EXPECT_LE(mostStored, 1);
}

// The simulated MCU reads the line by the receiver's rules: stray head bytes are given up once
// the line is quiet, and the request behind them is answered.
TEST_F(ReceiverTest, SimulatedMcuAnswersARequestAfterStrayBytes) {
    SimulatedMcu mcu;
    ASSERT_TRUE(mcu.ok());
    char stray[] = "\x75\xaa\x00\x30";
    ASSERT_EQ(4, WriteToMcuPort(stray, 4));
    ExpectOwnAcknowledgement(SendCommand(6, 5000), 6, 0);
}

TEST_F(ReceiverTest, UnaskedFramesComeAsOftenAsAskedToTheMillisecond) {
    SimOptions options;
    options.unaskedCode = 0x0019;
    options.unaskedEveryMs = 1;
    SimulatedMcu mcu(options);
    ASSERT_TRUE(mcu.ok());
    usleep(300 * 1000);
    EXPECT_GE(mcu.simulator().stats().unaskedSent, 100u);  // 300 expected; a 10 ms floor gives 30
}

TEST_F(ReceiverTest, StopsPromptlyAndCanRunAgain) {
    McuPort port;
    ASSERT_TRUE(port.ok());
    ModuleReceiver receiver;
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(receiver.Start());
        usleep(30 * 1000);
        const double start = MonotonicSeconds();
        receiver.Stop();
        EXPECT_LT(MonotonicSeconds() - start, 5.0);
        EXPECT_FALSE(receiver.running());
    }
}

TEST(FrameStreamScanner, FindsFramesSplitAnywhereAndCountsWhatItDrops) {
    const std::string a = MakeAck(6, 1), b = MakeFrame(2, 0x41, 0x0303, "abc");
    const std::string noise("\x01\x75\x02\x75\xaa\xff\xff\x03", 8);  // a false head, oversize len
    const std::string stream = noise + a + noise + b;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        struct Collect : FrameStreamScanner::Sink {
            void OnFrame(const unsigned char* frame, int length) override {
                frames.push_back(
                    std::string(reinterpret_cast<const char*>(frame), static_cast<size_t>(length)));
            }
            std::vector<std::string> frames;
        } sink;
        FrameStreamScanner scanner;
        const unsigned char* p = reinterpret_cast<const unsigned char*>(stream.data());
        scanner.Feed(p, cut, &sink);
        scanner.Feed(p + cut, stream.size() - cut, &sink);
        ASSERT_EQ(2u, sink.frames.size()) << "cut " << cut;
        EXPECT_EQ(Hex(a), Hex(sink.frames[0]));
        EXPECT_EQ(Hex(b), Hex(sink.frames[1]));
        EXPECT_EQ(16u, scanner.stats().drops.Total()) << "cut " << cut;
        EXPECT_EQ(2u, scanner.stats().drops.RefusedHeads()) << "cut " << cut;
        EXPECT_EQ(0u, scanner.pending());
    }
}

TEST(FrameStreamScanner, IncompleteFrameWaitsUntilTheLineGoesQuiet) {
    struct Collect : FrameStreamScanner::Sink {
        void OnFrame(const unsigned char*, int length) override { lengths.push_back(length); }
        std::vector<int> lengths;
    } sink;
    FrameStreamScanner scanner;
    // A false head whose len promises 48 bytes, then a real frame, then silence.
    const std::string stream = std::string("\x75\xaa\x00\x30", 4) + MakeAck(6, 9);
    scanner.Feed(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(), &sink);
    EXPECT_TRUE(sink.lengths.empty());
    scanner.Flush(&sink);
    ASSERT_EQ(1u, sink.lengths.size());
    EXPECT_EQ(13, sink.lengths[0]);
}

}  // namespace
