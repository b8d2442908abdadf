// The frame ring: storing, taking, wrapping, room-making, refusals and resynchronisation.
#include <gtest/gtest.h>

#include <string>

#include "ack/FrameQueue.h"
#include "tests/support/CaptureOutput.h"
#include "tests/support/Frames.h"

namespace {

// A valid frame of `total` bytes whose payload is filled with `fill`.
std::string FrameOfSize(int total, char fill = 'p', unsigned char serial = 1) {
    return MakeFrame(serial, 0x41, 6, std::string(static_cast<size_t>(total - 11), fill));
}

int Add(CFrameQueue& q, std::string frame) {
    return q.AddFrame(&frame[0], static_cast<int>(frame.size()));
}

std::string Take(CFrameQueue& q, int* result) {
    char out[2048];
    *result = q.GetFrame(out);
    return *result > 0 ? std::string(out, static_cast<size_t>(*result)) : std::string();
}

void ExpectInvariants(const CFrameQueue& q) {
    EXPECT_GE(q.GetFreeLen(), 0);
    EXPECT_LE(q.GetFreeLen(), q.GetQueueSize());
    EXPECT_EQ(q.GetWritePos(), (q.GetReadPos() + q.GetDataLen()) % q.GetQueueSize());
}

TEST(FrameQueue, StartsEmptyWithEightKibibytes) {
    CFrameQueue q;
    EXPECT_EQ(8192, q.GetQueueSize());
    EXPECT_EQ(0, q.GetDataLen());
    EXPECT_EQ(0, q.GetFrameNum());
    char out[2048];
    EXPECT_EQ(-1, q.GetFrame(out));
    EXPECT_EQ(-3, q.GetFrame(nullptr));
    EXPECT_EQ(0, q.GetFrameByCmd(nullptr, 0));
}

TEST(FrameQueue, CapacityIsAtLeastFifty) {
    CFrameQueue q;
    EXPECT_EQ(0, q.QueueInit(10));
    EXPECT_EQ(50, q.GetQueueSize());
    EXPECT_EQ(0, q.QueueInit(-7));
    EXPECT_EQ(50, q.GetQueueSize());
    EXPECT_EQ(0, q.QueueInit(51));
    EXPECT_EQ(51, q.GetQueueSize());
}

TEST(FrameQueue, StoresAndReturnsAFrameByteForByte) {
    CFrameQueue q;
    const std::string frame = MakeFrame(1, 0x41, 2);
    EXPECT_EQ(8181, Add(q, frame));
    EXPECT_EQ(1, q.GetFrameNum());
    int result = 0;
    EXPECT_EQ(Hex(frame), Hex(Take(q, &result)));
    EXPECT_EQ(11, result);
    EXPECT_EQ(0, q.GetFrameNum());
    EXPECT_EQ(0, q.GetDataLen());
}

TEST(FrameQueue, RefusesBadArgumentsWithTheirCodes) {
    CFrameQueue q;
    std::string frame = MakeFrame(1, 0x41, 2);
    EXPECT_EQ(-3, q.AddFrame(&frame[0], 10));
    EXPECT_EQ(-3, q.AddFrame(&frame[0], -1));
    EXPECT_EQ(-3, q.AddFrame(nullptr, 11));
    std::string huge(8193, '\0');
    EXPECT_EQ(-5, q.AddFrame(&huge[0], 8193));
    // A length shorter than the frame's own len + 7 would make the check read past the
    // caller's bytes: refused before anything is read.
    std::string longer = FrameOfSize(40);
    EXPECT_EQ(-3, q.AddFrame(&longer[0], 20));
    EXPECT_EQ(0, q.GetFrameNum());
    EXPECT_EQ(0, q.GetDataLen());
}

TEST(FrameQueue, RefusesAWrongChecksumOrTailWithItsMessage) {
    CFrameQueue q;
    std::string badSum = MakeFrame(1, 0x41, 2);
    badSum[8] = '\x47';
    std::string badTail = MakeFrame(1, 0x41, 2);
    badTail[9] = '\x12';
    badTail[10] = '\x34';
    CaptureOutput capture;
    EXPECT_EQ(-6, Add(q, badSum));
    EXPECT_EQ(-7, Add(q, badTail));
    EXPECT_EQ("", capture.Out());
    EXPECT_EQ(
        "Err [checkValidFrame():84] checksum(46), length(11) is invalid!\n"
        "Err [checkValidFrame():89] frame tail(1234)(3412) is invalid!\n",
        capture.Err());
    EXPECT_EQ(0, q.GetFrameNum());
    EXPECT_EQ(0, q.GetDataLen());
}

TEST(FrameQueue, DropsTheOldestFrameToMakeRoom) {
    CFrameQueue q;
    ASSERT_EQ(0, q.QueueInit(50));
    const std::string older = FrameOfSize(20, 'a', 1);
    const std::string younger = FrameOfSize(20, 'b', 2);
    EXPECT_EQ(30, Add(q, older));
    EXPECT_EQ(10, Add(q, younger));
    EXPECT_EQ(15, Add(q, FrameOfSize(15, 'c', 3)));
    EXPECT_EQ(2, q.GetFrameNum());
    int result = 0;
    EXPECT_EQ(Hex(younger), Hex(Take(q, &result)));
    ExpectInvariants(q);
}

TEST(FrameQueue, FramesWrappingPastTheEndComeOutIntact) {
    CFrameQueue q;
    ASSERT_EQ(0, q.QueueInit(50));
    int result = 0;
    for (int i = 0; i < 20; ++i) {
        const std::string frame =
            FrameOfSize(13 + i, static_cast<char>('A' + i), static_cast<unsigned char>(i));
        ASSERT_GE(Add(q, frame), 0);
        ASSERT_EQ(Hex(frame), Hex(Take(q, &result))) << "frame " << i << " at " << q.GetReadPos();
        ExpectInvariants(q);
    }
}

TEST(FrameQueue, RoomMakingThatRunsOutOfFramesGivesMinusFourAndKeepsItsDrops) {
    CFrameQueue q;
    ASSERT_EQ(0, q.QueueInit(50));
    std::string headless = FrameOfSize(20);
    headless[0] = 0;  // stored (the store checks checksum and tail only) but never returned
    EXPECT_EQ(30, Add(q, headless));
    EXPECT_EQ(-4, Add(q, FrameOfSize(50)));
    EXPECT_LE(q.GetDataLen(), 1);
}

// Bytes the search must drop, stored ahead of a good frame: the good frame comes out next,
// and the skipped frames stay counted.
TEST(FrameQueue, SearchSkipsWhatIsNoFrameAndResynchronisesOnTheNextOne) {
    std::string headless = FrameOfSize(20, 'h');
    headless[1] = '\x55';
    std::string damagedHead = FrameOfSize(14, 'd');  // on its tail the search reads the next
    damagedHead[0] = '\x00';                         // head as len 0x75AA and drops two bytes
    // 75 AA, len 0, checksum 00, tail 75 AA: every other rule would pass it as 7 bytes.
    std::string undersize = MakeFrame(1, 0x41, 6, std::string("\x75\xaa\x00\x00\x00\x75\xaa", 7));
    undersize[0] = '\x00';
    const std::string oversize = MakeFrame(1, 0x41, 6, std::string(1025, 'o'));  // len 1029
    const std::string falseHeads = std::string("\x75\x75") + FrameOfSize(60, '\x75').substr(2);
    for (const std::string& skipped : {headless, damagedHead, undersize, oversize, falseHeads}) {
        CFrameQueue q;
        const std::string good = FrameOfSize(16, 'g', 7);
        ASSERT_GE(Add(q, skipped), 0);
        ASSERT_GE(Add(q, good), 0);
        int result = 0;
        EXPECT_EQ(Hex(good), Hex(Take(q, &result)));
        EXPECT_EQ(1, q.GetFrameNum());
        Take(q, &result);
        EXPECT_EQ(-1, result);  // nothing left, not even noise
        ExpectInvariants(q);
    }
}

TEST(FrameQueue, LenOf1028IsTheLargestFrameAndNoiseAloneLeavesAtMostOneByte) {
    CFrameQueue q;
    const std::string largest = MakeFrame(9, 0x41, 6, std::string(1024, 'x'));
    ASSERT_GE(Add(q, largest), 0);
    int result = 0;
    EXPECT_EQ(Hex(largest), Hex(Take(q, &result)));
    EXPECT_EQ(1035, result);
    ASSERT_GE(Add(q, MakeFrame(9, 0x41, 6, std::string(1025, 'x'))), 0);
    Take(q, &result);
    EXPECT_EQ(0, result);
    EXPECT_LE(q.GetDataLen(), 1);
    EXPECT_GT(q.GetDropStats().oversize, 0u);
}

}  // namespace
