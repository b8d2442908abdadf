// The real hddpower binary, unchanged, with a pseudo-terminal at /dev/ttyAMA2 in a private
// mount namespace: its whole output, the bytes on the line and its exit status.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/Frames.h"
#include "tests/support/ToolRun.h"

namespace {

const std::string kOnLine("#x0000001CDEB8\r\n");
const std::string kOffLine("#x0000005CDEBC\r\n");
const std::string kOnFrame(
    "\x75\xaa\x00\x0c\x01\x41\x00\x06\x00\xff\x00\xff\x00\x00\x00\x1f\x55\x75\xaa", 19);
const std::string kOffFrame(
    "\x75\xaa\x00\x0c\x01\x41\x00\x06\x00\xff\x00\xff\x00\x00\x00\x5f\x15\x75\xaa", 19);

const std::string kOpened = "Open COM  /dev/ttyAMA2 OK! \n";
const std::string kTimedOutLines =
    "Inf [WriteData():318] Add cmd(0006),serialNum(1),ret(1),waitlistsize(1),deallist(0),"
    "timeo(100)...\n"
    "Err [WriteData():334] wait cmd err(-4)...\n"
    "Err [sendCmdData():432] ret(-4),len(0),serialNum(0),result(0)...\n"
    "Err [AlarmOutPowerCtl():475] send data error(-4)...\n";

ToolResult RunTool(const std::vector<std::string>& args, bool withDevice = true) {
    ToolResult result = RunHddPower(args, withDevice);
    EXPECT_TRUE(result.started) << result.error;
    return result;
}

TEST(HddPowerTool, WithoutArgumentPrintsUsageAndNeverOpensTheDevice) {
    const ToolResult r = RunTool({});
    const std::string name = HddPowerPath();
    EXPECT_EQ("usage: " + name + " <on/off>. sample: " + name + " off \n", r.out);
    EXPECT_EQ("", r.err);
    EXPECT_EQ("", r.wire);
    EXPECT_EQ(0, r.exitCode);
}

TEST(HddPowerTool, OnAndOffSendTheAsciiLineThenTheCommandSixFrame) {
    struct Case {
        std::vector<std::string> args;
        std::string word;
        std::string wire;
    };
    const Case cases[] = {{{"on"}, "on", kOnLine + kOnFrame},
                          {{"off"}, "off", kOffLine + kOffFrame},
                          {{"on", "extra", "off"}, "on", kOnLine + kOnFrame}};  // extras ignored
    for (const Case& c : cases) {
        const ToolResult r = RunTool(c.args);
        EXPECT_EQ(kOpened + "## hdd power " + c.word + " \n## ackBit is 0x1 \n", r.out);
        EXPECT_EQ(kTimedOutLines, r.err);
        EXPECT_EQ(Hex(c.wire), Hex(r.wire));
        EXPECT_EQ(0, r.exitCode);
    }
}

TEST(HddPowerTool, WordsAreCaseSensitiveAndOthersSendNothing) {
    for (const char* word : {"ON", "Off", "toggle", ""}) {
        const ToolResult r = RunTool({word});
        EXPECT_EQ(kOpened, r.out) << word;
        EXPECT_EQ("", r.err) << word;
        EXPECT_EQ("", r.wire) << word;
        EXPECT_EQ(0, r.exitCode) << word;
    }
}

TEST(HddPowerTool, MissingDeviceStillAttemptsBothRequestsInOrder) {
    const ToolResult r = RunTool({"on"}, false);
    EXPECT_EQ("## hdd power on \nCom Port Err: -1\n## ackBit is 0x1 \nCom Port Err: -1\n", r.out);
    EXPECT_EQ(
        "Inf [WriteData():318] Add cmd(0006),serialNum(1),ret(1),waitlistsize(1),deallist(0),"
        "timeo(100)...\n"
        "Err [WriteData():325] Write com err...\n"
        "Err [sendCmdData():432] ret(-7),len(0),serialNum(0),result(0)...\n"
        "Err [AlarmOutPowerCtl():475] send data error(-7)...\n",
        r.err);
    EXPECT_EQ("", r.wire);
    EXPECT_EQ(0, r.exitCode);
}

// Started with standard streams closed, the tool's first open would otherwise make the port
// its standard output or error, and its own text would go to the MCU.
TEST(HddPowerTool, ClosedStandardStreamsPutNothingButTheRequestOnTheLine) {
    for (int closed : {kNoStdout, kNoStderr, kNoStdin | kNoStdout | kNoStderr}) {
        const ToolResult r = RunHddPower({"on"}, true, closed);
        ASSERT_TRUE(r.started) << r.error;
        EXPECT_EQ(Hex(kOnLine + kOnFrame), Hex(r.wire)) << "closed streams " << closed;
        EXPECT_EQ(0, r.exitCode);
    }
}

}  // namespace
