// The packet list: arrivals counted by a semaphore, lookups by command and serial number.
#include <arpa/inet.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "ack/DataPackList.h"
#include "sim/McuSimulator.h"
#include "tests/support/CaptureOutput.h"
#include "tests/support/Frames.h"

namespace {

const std::string kAck6 = MakeAck(6, 0x10, 0);

int Add(DataPackList& list, const std::string& frame) {
    FrameBuffer buf(frame);
    return list.AddDatatoList(buf.frame());
}

// Looks up with the key (cmd, byte 8); returns the result and the frame found.
int Lookup(DataPackList& list, unsigned short cmd, unsigned char serial, std::string* found,
           int mode = 0, unsigned timeo = 0) {
    FrameBuffer buf;
    buf.frame()->cmd = htons(cmd);
    FramePayload(buf.frame())[0] = serial;
    __ComFrameData* frame = buf.frame();
    const int result = list.GetDatafromList(frame, mode, timeo);
    EXPECT_EQ(buf.frame(), frame);  // the pointer itself never changes
    if (found != nullptr) {
        *found = result > 0 ? buf.Bytes(result) : std::string();
    }
    return result;
}

TEST(DataPackList, AddThenLookUpAnAcknowledgement) {
    DataPackList list;
    EXPECT_EQ(8192, list.GetDataBufSize());
    EXPECT_EQ(1, Add(list, kAck6));
    std::string found;
    EXPECT_EQ(13, Lookup(list, 6, 0x10, &found));
    EXPECT_EQ(Hex(kAck6), Hex(found));
    EXPECT_EQ(0, list.GetDataListSize());
}

TEST(DataPackList, LookupWithoutArrivalFailsAtOnce) {
    DataPackList list;
    EXPECT_EQ(-1, Lookup(list, 6, 0x10, nullptr));
    __ComFrameData* none = nullptr;
    EXPECT_EQ(-1, list.GetDatafromList(none, 0, 100));
}

TEST(DataPackList, RefusedFramesAreNotPosted) {
    DataPackList list;
    EXPECT_EQ(-1, list.AddDatatoList(nullptr));
    std::string bad = kAck6;
    bad[10] = '\x11';
    CaptureOutput capture;
    EXPECT_EQ(-6, Add(list, bad));
    EXPECT_EQ("Err [checkValidFrame():84] checksum(10), length(13) is invalid!\n", capture.Err());
    EXPECT_EQ(-1, Lookup(list, 6, 0x10, nullptr));
}

TEST(DataPackList, LookupsWithoutAMatchUseUpPostsAndKeepTheOrder) {
    DataPackList list;
    const std::string a = MakeAck(2, 1), b = MakeAck(3, 2), c = MakeAck(7, 3);
    EXPECT_EQ(1, Add(list, a));
    EXPECT_EQ(2, Add(list, b));
    EXPECT_EQ(3, Add(list, c));
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(0, Lookup(list, 9, 9, nullptr));
        EXPECT_EQ(3, list.GetDataListSize());
    }
    EXPECT_EQ(-1, Lookup(list, 2, 1, nullptr));  // no post left, frames still stored
    EXPECT_EQ(3, list.GetDataListSize());
    EXPECT_EQ(4, Add(list, MakeAck(8, 8)));
    std::string found;
    EXPECT_EQ(13, Lookup(list, 0, 0, &found, DATA_LIST_MODE_ANY));
    EXPECT_EQ(Hex(a), Hex(found));  // the order survived three full passes
}

TEST(DataPackList, AMatchLeavesTheLaterFramesThenTheEarlierOnes) {
    DataPackList list;
    const std::string f2 = MakeAck(2, 1), f6 = MakeAck(6, 2), f7 = MakeAck(7, 3);
    Add(list, f2);
    Add(list, f6);
    Add(list, f7);
    std::string found;
    EXPECT_EQ(13, Lookup(list, 6, 2, &found));
    EXPECT_EQ(Hex(f6), Hex(found));
    EXPECT_EQ(13, Lookup(list, 0, 0, &found, DATA_LIST_MODE_ANY));
    EXPECT_EQ(Hex(f7), Hex(found));
    EXPECT_EQ(13, Lookup(list, 0, 0, &found, DATA_LIST_MODE_ANY));
    EXPECT_EQ(Hex(f2), Hex(found));
}

TEST(DataPackList, CommandFourMatchesOnTheCodeAlone) {
    DataPackList list;
    Add(list, MakeAck(6, 0x33));
    const std::string ack4 = MakeAck(4, 0x77, 5);
    Add(list, ack4);
    std::string found;
    EXPECT_EQ(0, Lookup(list, 6, 0x34, &found));  // other commands need the serial too
    EXPECT_EQ(13, Lookup(list, 4, 0x01, &found));
    EXPECT_EQ(Hex(ack4), Hex(found));
}

TEST(DataPackList, PopDropsTheFrontFrameButNotItsPost) {
    DataPackList list;
    EXPECT_EQ(-1, list.PopData());
    Add(list, kAck6);
    EXPECT_EQ(13, list.PopData());
    EXPECT_EQ(0, list.GetDataListSize());
    // The post is still pending: the lookup gets past its wait and finds an empty queue.
    EXPECT_EQ(0, Lookup(list, 6, 0x10, nullptr));
    EXPECT_EQ(-1, Lookup(list, 6, 0x10, nullptr));
}

TEST(DataPackList, ALookupWaitsForAReceiversArrival) {
    DataPackList list;
    std::future<int> receiver = std::async(std::launch::async, [&list] {
        usleep(100 * 1000);
        return Add(list, kAck6);
    });
    std::string found;
    EXPECT_EQ(13, Lookup(list, 6, 0x10, &found, 0, 30000));
    EXPECT_EQ(1, receiver.get());
    EXPECT_EQ(Hex(kAck6), Hex(found));
}

TEST(DataPackList, ALookupTimesOutAfterAboutItsTimeout) {
    DataPackList list;
    const double start = MonotonicSeconds();
    EXPECT_EQ(-1, Lookup(list, 6, 0x10, nullptr, 0, 1200));
    const double waited = MonotonicSeconds() - start;
    EXPECT_GE(waited, 1.15);
    EXPECT_LT(waited, 30.0);
}

}  // namespace
