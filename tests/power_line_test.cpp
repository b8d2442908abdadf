// The ASCII power line as it reaches the MCU port.
#include <string.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/CaptureOutput.h"
#include "tests/support/McuPort.h"
#include "tool/HddPower.h"

namespace {

const std::string kOnLine("\x23\x78\x30\x30\x30\x30\x30\x30\x31\x43\x44\x45\x42\x38\x0d\x0a", 16);
const std::string kOffLine("\x23\x78\x30\x30\x30\x30\x30\x30\x35\x43\x44\x45\x42\x43\x0d\x0a", 16);

class PowerLineTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(port.ok()); }
    PtyLine& line() { return port.line(); }

    McuPort port;
};

TEST_F(PowerLineTest, OnAndOffLinesAreTheExactSixteenBytes) {
    CaptureOutput capture;
    EXPECT_EQ(0, HddPowerOptASCII(1));
    EXPECT_EQ(kOnLine, line().Drain());
    EXPECT_EQ(0, HddPowerOptASCII(0));
    EXPECT_EQ(kOffLine, line().Drain());
    EXPECT_EQ("", capture.Out());
    EXPECT_EQ("", capture.Err());
}

TEST_F(PowerLineTest, AnyNonZeroArgumentAsksForPowerOn) {
    EXPECT_EQ(0, HddPowerOptASCII(2));
    EXPECT_EQ(0, HddPowerOptASCII(-1));
    EXPECT_EQ(kOnLine + kOnLine, line().Drain());
}

TEST_F(PowerLineTest, RequestsWithZeroSendOnlyTheAsciiLine) {
    EXPECT_EQ(0, EnableHardWareHddPower(0));
    EXPECT_EQ(kOnLine, line().Drain());
    EXPECT_EQ(0, DisableHardWareHddPower(0));
    EXPECT_EQ(kOffLine, line().Drain());
}

TEST(PowerLineClosedPort, WriteFailureGivesMinusOneAndThePortMessage) {
    CaptureOutput capture;
    EXPECT_EQ(-1, HddPowerOptASCII(1));
    EXPECT_EQ(0, EnableHardWareHddPower(0));  // the request's result is dropped
    EXPECT_EQ("Com Port Err: -1\nCom Port Err: -1\n", capture.Out());
    EXPECT_EQ("", capture.Err());
}

TEST(CaculateCrcValue, SumsBytesAsUnsignedWithoutReducingTheSum) {
    char onLine[16];
    memcpy(onLine, kOnLine.data(), 16);
    EXPECT_EQ(696, CaculateCrcValue(onLine, 12));
    char high[] = {'\x80', '\xff', '\x01'};
    EXPECT_EQ(128 + 255 + 1, CaculateCrcValue(high, 3));
    EXPECT_EQ(0, CaculateCrcValue(high, 0));
    EXPECT_EQ(0, CaculateCrcValue(high, -5));
}

}  // namespace
