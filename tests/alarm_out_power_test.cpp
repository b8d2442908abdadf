// The binary power command. This program owns its process, so its first sends carry the
// process's first serial numbers.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/CaptureOutput.h"
#include "tests/support/Frames.h"
#include "tests/support/McuPort.h"
#include "tool/HddPower.h"

namespace {

TEST(AlarmOutPowerCtl, SendsTheRecordBigEndianUnderFreshSerialNumbers) {
    McuPort port;
    ASSERT_TRUE(port.ok());
    __AlarmOutPwrCtl ctl;
    ctl.maskA = 0x1234;
    ctl.maskB = 0x5678;
    ctl.powerBits = 0x9ABCDEF0;
    CaptureOutput capture;
    EXPECT_EQ(-4, AlarmOutPowerCtl(&ctl, 20));
    EXPECT_EQ(-4, AlarmOutPowerCtl(&ctl, 20));
    EXPECT_EQ(0x1234, ctl.maskA);
    EXPECT_EQ(0x5678, ctl.maskB);
    EXPECT_EQ(0x9ABCDEF0u, ctl.powerBits);
    const std::string payload("\x12\x34\x56\x78\x9a\xbc\xde\xf0", 8);
    EXPECT_EQ(Hex(MakeFrame(1, 0x41, 6, payload) + MakeFrame(2, 0x41, 6, payload)),
              Hex(port.line().Drain()));
    EXPECT_EQ(
        "Inf [WriteData():318] Add cmd(0006),serialNum(1),ret(1),waitlistsize(1),deallist(0),"
        "timeo(20)...\n"
        "Err [WriteData():334] wait cmd err(-4)...\n"
        "Err [sendCmdData():432] ret(-4),len(0),serialNum(0),result(0)...\n"
        "Err [AlarmOutPowerCtl():475] send data error(-4)...\n"
        "Inf [WriteData():318] Add cmd(0006),serialNum(2),ret(1),waitlistsize(1),deallist(0),"
        "timeo(20)...\n"
        "Err [WriteData():334] wait cmd err(-4)...\n"
        "Err [sendCmdData():432] ret(-4),len(0),serialNum(0),result(0)...\n"
        "Err [AlarmOutPowerCtl():475] send data error(-4)...\n",
        capture.Err());
}

TEST(HddPowerOptHEX, AnyNonZeroArgumentSendsPowerOnAndTheResultIsAlwaysZero) {
    McuPort port;
    ASSERT_TRUE(port.ok());
    CaptureOutput capture;
    EXPECT_EQ(0, HddPowerOptHEX(5));
    EXPECT_EQ(0, HddPowerOptHEX(0));
    const std::string wire = port.line().Drain();
    ASSERT_EQ(38u, wire.size());
    EXPECT_EQ(Hex(std::string("\x00\xff\x00\xff\x00\x00\x00\x1f", 8)), Hex(wire.substr(8, 8)));
    EXPECT_EQ(Hex(std::string("\x00\xff\x00\xff\x00\x00\x00\x5f", 8)), Hex(wire.substr(27, 8)));
}

TEST(HddPowerOptHEX, ReturnsZeroOnAClosedPortToo) {
    CaptureOutput capture;
    EXPECT_EQ(0, HddPowerOptHEX(1));
    EXPECT_NE(std::string::npos, capture.Err().find("send data error(-7)"));
}

TEST(AlarmOutPowerCtl, RefusesANullRecord) {
    CaptureOutput capture;
    EXPECT_EQ(-1, AlarmOutPowerCtl(nullptr, 100));
    EXPECT_EQ("", capture.Out());
    EXPECT_EQ("Err [AlarmOutPowerCtl():475] send data error(-1)...\n", capture.Err());
}

}  // namespace
