// The wait list: registration, the waiter/receiver hand-over, time-outs and removal.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "ack/DataPackList.h"
#include "sim/McuSimulator.h"
#include "tests/support/Frames.h"

namespace {

// A frame the board sent (serial at byte 4) and the MCU's acknowledgement (serial at byte 8).
struct Frames {
    Frames(unsigned short cmd, unsigned char serial)
        : sent(MakeFrame(serial, 0x41, cmd, "\x01\x02")), ack(MakeAck(cmd, serial)) {}
    __ComFrameData* Sent() { return sent.frame(); }
    __ComFrameData* Ack() { return ack.frame(); }
    FrameBuffer sent;
    FrameBuffer ack;
};

// A waiter on its own thread. The list offers no look at an entry's state that would not
// itself take the entry, so the waiter is given a generous pause to take it.
std::future<int> StartWaiter(WaitCmdList& list, __ComFrameData* frame) {
    std::future<int> waiter =
        std::async(std::launch::async, [&list, frame] { return list.WaitCmdFlag(frame, 30000); });
    usleep(300 * 1000);
    EXPECT_EQ(std::future_status::timeout, waiter.wait_for(std::chrono::seconds(0)));
    return waiter;
}

TEST(WaitCmdList, ResultsAreCountsOfTheEntries) {
    WaitCmdList list;
    Frames a(6, 1), b(7, 2);
    EXPECT_EQ(1, list.AddCmdtoList(a.Sent()));
    EXPECT_EQ(2, list.AddCmdtoList(b.Sent()));
    EXPECT_EQ(2, list.GetDataListSize());
    EXPECT_EQ(2, list.isCmdExist(a.Sent()));
    EXPECT_EQ(2, list.FindCmd(b.Ack()));
    EXPECT_EQ(2, list.RemvedCmdfromList(a.Sent()));  // the count before the removal
    EXPECT_EQ(1, list.RemvedCmdfromList(b.Sent()));
    EXPECT_EQ(0, list.GetDataListSize());
}

TEST(WaitCmdList, EmptyListAndNullFrames) {
    WaitCmdList list;
    Frames a(6, 1);
    EXPECT_EQ(0, list.isCmdExist(a.Sent()));
    EXPECT_EQ(0, list.FindCmd(a.Ack()));
    EXPECT_EQ(0, list.SetCmdFlag(a.Ack()));
    EXPECT_EQ(0, list.RemvedCmdfromList(a.Sent()));
    EXPECT_EQ(-2, list.WaitCmdFlag(a.Sent(), 100));
    EXPECT_EQ(-1, list.AddCmdtoList(nullptr));
    EXPECT_EQ(-1, list.isCmdExist(nullptr));
    EXPECT_EQ(-1, list.FindCmd(nullptr));
    EXPECT_EQ(-1, list.SetCmdFlag(nullptr));
    EXPECT_EQ(-1, list.RemvedCmdfromList(nullptr));
    EXPECT_EQ(-2, list.WaitCmdFlag(nullptr, 100));
}

TEST(WaitCmdList, SecondRegistrationOfACodeIsRefusedWhateverItsSerial) {
    WaitCmdList list;
    Frames first(6, 1), second(6, 2);
    EXPECT_EQ(1, list.AddCmdtoList(first.Sent()));
    EXPECT_EQ(-6, list.AddCmdtoList(second.Sent()));
    EXPECT_EQ(-6, list.AddCmdtoList(first.Sent()));
    EXPECT_EQ(1, list.GetDataListSize());
    EXPECT_EQ(-2, list.RemvedCmdfromList(second.Sent()));
}

TEST(WaitCmdList, AcknowledgementsMatchOnTheirByteEightExceptForCommandFour) {
    WaitCmdList list;
    Frames six(6, 0x21), four(4, 0x30);
    list.AddCmdtoList(six.Sent());
    list.AddCmdtoList(four.Sent());
    Frames staleSix(6, 0x20), otherFour(4, 0x99);
    EXPECT_EQ(-2, list.FindCmd(staleSix.Ack()));
    EXPECT_EQ(-2, list.SetCmdFlag(staleSix.Ack()));
    EXPECT_EQ(2, list.FindCmd(otherFour.Ack()));
    EXPECT_EQ(2, list.SetCmdFlag(otherFour.Ack()));
    EXPECT_EQ(0, list.WaitCmdFlag(four.Sent(), 0));           // woken by the other serial's ack
    EXPECT_EQ(-2, list.RemvedCmdfromList(otherFour.Sent()));  // removal needs the serial
    EXPECT_EQ(2, list.RemvedCmdfromList(four.Sent()));
}

TEST(WaitCmdList, EachRegistrationTakesOneAnswer) {
    WaitCmdList list;
    Frames six(6, 0x21), otherSerial(6, 0x22);
    EXPECT_EQ(0, list.ClaimAnswer(six.Ack()));
    list.AddCmdtoList(six.Sent());
    EXPECT_EQ(-2, list.ClaimAnswer(otherSerial.Ack()));
    EXPECT_EQ(1, list.ClaimAnswer(six.Ack()));
    EXPECT_EQ(-7, list.ClaimAnswer(six.Ack()));  // a copy of the answer
    EXPECT_EQ(1, list.RemvedCmdfromList(six.Sent()));
    list.AddCmdtoList(six.Sent());  // the same code and serial, registered anew
    EXPECT_EQ(1, list.ClaimAnswer(six.Ack()));
}

TEST(WaitCmdList, AReceiverThreadWakesTheWaiter) {
    WaitCmdList list;
    Frames f(6, 5);
    ASSERT_EQ(1, list.AddCmdtoList(f.Sent()));
    std::future<int> waiter = StartWaiter(list, f.Sent());
    EXPECT_EQ(1, list.SetCmdFlag(f.Ack()));
    EXPECT_EQ(0, waiter.get());
    EXPECT_EQ(1, list.RemvedCmdfromList(f.Sent()));
}

TEST(WaitCmdList, WaitOutcomesAndTheirTimes) {
    WaitCmdList list;
    Frames f(7, 9), other(6, 9);
    list.AddCmdtoList(f.Sent());
    double start = MonotonicSeconds();
    EXPECT_EQ(-2, list.WaitCmdFlag(other.Sent(), 30000));  // not registered: no wait
    EXPECT_EQ(1, list.SetCmdFlag(f.Ack()));
    EXPECT_EQ(0, list.WaitCmdFlag(f.Sent(), 30000));  // the earlier post was kept
    EXPECT_LT(MonotonicSeconds() - start, 10.0);
    EXPECT_EQ(-4, list.WaitCmdFlag(f.Sent(), 0));
    start = MonotonicSeconds();
    EXPECT_EQ(-4, list.WaitCmdFlag(f.Sent(), 1300));
    const double waited = MonotonicSeconds() - start;
    EXPECT_GE(waited, 1.25);
    EXPECT_LT(waited, 30.0);
    EXPECT_EQ(1, list.RemvedCmdfromList(f.Sent()));  // registered again after the waits
}

TEST(WaitCmdList, HeldEntryRefusesASecondWaiterAndItsRemoval) {
    WaitCmdList list;
    Frames f(6, 3);
    list.AddCmdtoList(f.Sent());
    std::future<int> waiter = StartWaiter(list, f.Sent());
    EXPECT_EQ(-2, list.WaitCmdFlag(f.Sent(), 30000));
    EXPECT_EQ(-3, list.RemvedCmdfromList(f.Sent()));
    EXPECT_EQ(1, list.GetDataListSize());
    list.SetCmdFlag(f.Ack());
    EXPECT_EQ(0, waiter.get());
    EXPECT_EQ(1, list.RemvedCmdfromList(f.Sent()));
}

TEST(WaitCmdList, ConcurrentRegistrationsOfOneCodeLetExactlyOneIn) {
    for (int round = 0; round < 100; ++round) {
        WaitCmdList list;
        std::atomic<int> successes(0);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&list, &successes, i] {
                FrameBuffer frame(MakeFrame(static_cast<unsigned char>(i + 1), 0x41, 6));
                successes += list.AddCmdtoList(frame.frame()) > 0 ? 1 : 0;
            });
        }
        for (std::thread& t : threads) {
            t.join();
        }
        ASSERT_EQ(1, successes.load());
        ASSERT_EQ(1, list.GetDataListSize());
    }
}

}  // namespace
