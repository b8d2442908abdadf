// The wait list: registration, the waiter/receiver hand-over, time-outs and removal.
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "ack/DataPackList.h"
#include "tests/support/Frames.h"

namespace {

double Now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9;
}

// A frame the board sent (serial at byte 4) and the MCU's acknowledgement (serial at byte 8).
struct Frames {
    Frames(unsigned short cmd, unsigned char serial)
        : sent(MakeFrame(serial, 0x41, cmd, "\x01\x02")), ack(MakeAck(cmd, serial)) {}
    __ComFrameData* Sent() { return sent.frame(); }
    __ComFrameData* Ack() { return ack.frame(); }
    FrameBuffer sent;
    FrameBuffer ack;
};

struct WaitJob {
    WaitCmdList* list;
    __ComFrameData* frame;
    int timeo;
    std::atomic<int> result;
    std::atomic<bool> done;
};

void* Waiter(void* arg) {
    WaitJob* job = static_cast<WaitJob*>(arg);
    job->result = job->list->WaitCmdFlag(job->frame, job->timeo);
    job->done = true;
    return nullptr;
}

struct Waiting {
    Waiting(WaitCmdList* list, __ComFrameData* frame, int timeo) {
        job.list = list;
        job.frame = frame;
        job.timeo = timeo;
        job.result = 99;
        job.done = false;
        pthread_create(&thread, nullptr, Waiter, &job);
    }
    int Join() {
        pthread_join(thread, nullptr);
        return job.result;
    }
    WaitJob job;
    pthread_t thread;
};

// Gives the waiter thread time to take its entry. The list offers no look at an entry's state
// that would not itself take the entry, so this is a pause, a generous one.
void UntilHeld(const Waiting& waiter) {
    usleep(300 * 1000);
    ASSERT_FALSE(waiter.job.done);
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

TEST(WaitCmdList, AReceiverThreadWakesTheWaiter) {
    WaitCmdList list;
    Frames f(6, 5);
    ASSERT_EQ(1, list.AddCmdtoList(f.Sent()));
    Waiting waiter(&list, f.Sent(), 30000);
    UntilHeld(waiter);
    EXPECT_EQ(1, list.SetCmdFlag(f.Ack()));
    EXPECT_EQ(0, waiter.Join());
    EXPECT_EQ(1, list.RemvedCmdfromList(f.Sent()));
}

TEST(WaitCmdList, APostBeforeTheWaitIsKept) {
    WaitCmdList list;
    Frames f(7, 9);
    list.AddCmdtoList(f.Sent());
    EXPECT_EQ(1, list.SetCmdFlag(f.Ack()));
    const double start = Now();
    EXPECT_EQ(0, list.WaitCmdFlag(f.Sent(), 30000));
    EXPECT_LT(Now() - start, 10.0);
}

TEST(WaitCmdList, AWaitWithoutAPostTimesOutAndLeavesTheEntryRegistered) {
    WaitCmdList list;
    Frames f(7, 9);
    list.AddCmdtoList(f.Sent());
    EXPECT_EQ(-4, list.WaitCmdFlag(f.Sent(), 0));
    const double start = Now();
    EXPECT_EQ(-4, list.WaitCmdFlag(f.Sent(), 1300));
    const double waited = Now() - start;
    EXPECT_GE(waited, 1.25);
    EXPECT_LT(waited, 30.0);
    EXPECT_EQ(1, list.RemvedCmdfromList(f.Sent()));
}

TEST(WaitCmdList, UnregisteredCommandIsNotWaitedOn) {
    WaitCmdList list;
    Frames registered(6, 1), other(7, 1);
    list.AddCmdtoList(registered.Sent());
    const double start = Now();
    EXPECT_EQ(-2, list.WaitCmdFlag(other.Sent(), 30000));
    EXPECT_LT(Now() - start, 10.0);
}

TEST(WaitCmdList, HeldEntryRefusesASecondWaiterAndItsRemoval) {
    WaitCmdList list;
    Frames f(6, 3);
    list.AddCmdtoList(f.Sent());
    Waiting waiter(&list, f.Sent(), 30000);
    UntilHeld(waiter);
    EXPECT_EQ(-2, list.WaitCmdFlag(f.Sent(), 30000));
    EXPECT_EQ(-3, list.RemvedCmdfromList(f.Sent()));
    EXPECT_EQ(1, list.GetDataListSize());
    list.SetCmdFlag(f.Ack());
    EXPECT_EQ(0, waiter.Join());
    EXPECT_EQ(1, list.RemvedCmdfromList(f.Sent()));
}

struct Registration {
    WaitCmdList* list;
    FrameBuffer frame;
    std::atomic<int>* successes;
};

void* Register(void* arg) {
    Registration* r = static_cast<Registration*>(arg);
    if (r->list->AddCmdtoList(r->frame.frame()) > 0) {
        ++*r->successes;
    }
    return nullptr;
}

TEST(WaitCmdList, ConcurrentRegistrationsOfOneCodeLetExactlyOneIn) {
    for (int round = 0; round < 100; ++round) {
        WaitCmdList list;
        std::atomic<int> successes(0);
        Registration jobs[8];
        pthread_t threads[8];
        for (int i = 0; i < 8; ++i) {
            jobs[i].list = &list;
            jobs[i].frame = FrameBuffer(MakeFrame(static_cast<unsigned char>(i + 1), 0x41, 6));
            jobs[i].successes = &successes;
            pthread_create(&threads[i], nullptr, Register, &jobs[i]);
        }
        for (pthread_t& t : threads) {
            pthread_join(t, nullptr);
        }
        ASSERT_EQ(1, successes.load());
        ASSERT_EQ(1, list.GetDataListSize());
    }
}

}  // namespace
