// Frame completion and the command table.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/Frames.h"
#include "tool/HddPower.h"

namespace {

TEST(FrameCompletion, BuildsTheDocumentedFramesByteForByte) {
    EXPECT_EQ(Hex(std::string("\x75\xaa\x00\x04\x01\x41\x00\x02\x46\x75\xaa", 11)),
              Hex(MakeFrame(0x01, 0x41, 2)));
    EXPECT_EQ(Hex(std::string("\x75\xaa\x00\x07\x10\x41\x00\x06\xa1\xb2\xc3\x80\x75\xaa", 14)),
              Hex(MakeFrame(0x10, 0x41, 6, "\xa1\xb2\xc3")));
    EXPECT_EQ(Hex(std::string("\x75\xaa\x00\x06\x00\x00\x00\x06\x10\x00\x10\x75\xaa", 13)),
              Hex(MakeAck(6, 0x10, 0)));
}

TEST(FrameCompletion, ReturnsTheTotalLengthAndTouchesNothingBeyondIt) {
    char buf[32];
    memset(buf, '\x5a', sizeof buf);
    buf[2] = 0x00;
    buf[3] = 0x07;
    EXPECT_EQ(14, cmdData2Frame(buf));
    EXPECT_EQ('\x5a', buf[14]);
}

TEST(XorCheckSum, CoversExactlyTheCountGiven) {
    unsigned char bytes[] = {0x0f, 0xf0, 0x33, 0x80, 0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40};
    EXPECT_EQ(0, XorCheckSum(bytes, 0));
    EXPECT_EQ(0, XorCheckSum(bytes, -3));
    EXPECT_EQ(0xff, XorCheckSum(bytes, 2));
    EXPECT_EQ(0xcc, XorCheckSum(bytes, 3));
    EXPECT_EQ(0x33, XorCheckSum(bytes, 11));  // crosses the word boundary
}

TEST(CommandTable, FlagBytesOfTheFourKinds) {
    ASSERT_EQ(31, CMD_TABLE_SIZE);
    EXPECT_EQ(0x02u, static_cast<unsigned>(m_cmdFlag[0].cmd));
    EXPECT_EQ(0x0404u, static_cast<unsigned>(m_cmdFlag[30].cmd));
    int count[256] = {0};
    for (const __CmdFlagItem& item : m_cmdFlag) {
        ++count[item.flag];
        EXPECT_EQ(item.flag, GetCmdFlag(item.cmd));
    }
    EXPECT_EQ(15, count[0x41]);  // acknowledged
    EXPECT_EQ(5, count[0x01]);   // 5, 8, 25, 28, 33
    EXPECT_EQ(10, count[0x51]);  // the 0x03xx codes but 0x0330, 0x0332, 0x0335; and 0x0404
    EXPECT_EQ(1, count[0x11]);   // 818 alone
    EXPECT_EQ(0x41, GetCmdFlag(CMD_ALARM_OUT_POWER));
    EXPECT_EQ(0x01, GetCmdFlag(CMD_0008));
    EXPECT_EQ(0x11, GetCmdFlag(CMD_0332));
    EXPECT_EQ(0x41, GetCmdFlag(CMD_0330));
}

TEST(CommandTable, CodesOutsideTheTableHaveNoFlagAndAllBitsAreCompared) {
    for (unsigned code : {0u, 1u, 10u, 0x0331u, 0x10006u, 0xFFFFFFFFu}) {
        EXPECT_EQ(0, GetCmdFlag(static_cast<COM_CMD_3520D_TYPE>(code))) << code;
    }
}

}  // namespace
