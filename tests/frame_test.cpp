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

TEST(CommandTable, HoldsTheThirtyOneCodesWithTheirFlagBytesInOrder) {
    const unsigned expected[][2] = {
        {2, 0x41},   {3, 0x41},   {4, 0x41},   {5, 0x01},   {6, 0x41},   {7, 0x41},   {8, 0x01},
        {9, 0x41},   {15, 0x41},  {16, 0x41},  {17, 0x41},  {22, 0x41},  {23, 0x41},  {25, 0x01},
        {28, 0x01},  {33, 0x01},  {130, 0x41}, {131, 0x41}, {771, 0x51}, {772, 0x51}, {774, 0x51},
        {777, 0x51}, {796, 0x51}, {798, 0x51}, {800, 0x51}, {801, 0x51}, {802, 0x51}, {816, 0x41},
        {818, 0x11}, {821, 0x41}, {1028, 0x51}};
    ASSERT_EQ(31, CMD_TABLE_SIZE);
    for (int i = 0; i < CMD_TABLE_SIZE; ++i) {
        EXPECT_EQ(expected[i][0], static_cast<unsigned>(m_cmdFlag[i].cmd)) << i;
        EXPECT_EQ(expected[i][1], m_cmdFlag[i].flag) << i;
        EXPECT_EQ(expected[i][1], GetCmdFlag(static_cast<COM_CMD_3520D_TYPE>(expected[i][0])));
    }
}

TEST(CommandTable, CodesOutsideTheTableHaveNoFlagAndAllBitsAreCompared) {
    for (unsigned code : {0u, 1u, 10u, 0x0331u, 0x10006u, 0xFFFFFFFFu}) {
        EXPECT_EQ(0, GetCmdFlag(static_cast<COM_CMD_3520D_TYPE>(code))) << code;
    }
}

}  // namespace
