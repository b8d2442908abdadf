// The serial transport against a real pseudo-terminal: the slave is the device, the test
// plays the MCU on the master.
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>
#include <thread>

#include "serial/SerialFun.h"
#include "sim/McuSimulator.h"
#include "tests/support/CaptureOutput.h"
#include "tests/support/PtyLine.h"
#include "tests/support/ToolRun.h"
#include "tool/HddPower.h"

namespace {

int CountOpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(line.ok()); }

    TerminalInfo Settings(unsigned baud, int dataBits, char parity, int stopBits) {
        TerminalInfo info = McuPortSettings(line.slavePath().c_str());
        info.baudRate = baud;
        info.dataBits = static_cast<unsigned char>(dataBits);
        info.parity = parity;
        info.stopBits = static_cast<unsigned char>(stopBits);
        return info;
    }
    int Open(TerminalInfo info) {
        CaptureOutput quiet;
        return port.OpenCom(&info);
    }
    int OpenMcu() { return Open(McuPortSettings(line.slavePath().c_str())); }
    struct termios LineSettings() {
        struct termios tio;
        tcgetattr(line.slave(), &tio);
        return tio;
    }

    PtyLine line;
    CComTransmit port;
};

TEST_F(SerialPortTest, OpenAppliesTheMcuSettingsAndReportsTheDevice) {
    TerminalInfo info = McuPortSettings(line.slavePath().c_str());
    CaptureOutput capture;
    ASSERT_EQ(0, port.OpenCom(&info));
    EXPECT_EQ("Open COM  " + line.slavePath() + " OK! \n", capture.Out());
    EXPECT_EQ("", capture.Err());
    const struct termios tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetispeed(&tio));
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & (CSIZE | PARENB | CSTOPB | CMSPAR));
    EXPECT_NE(0u, tio.c_iflag & INPCK);
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    EXPECT_EQ(1, tio.c_cc[VMIN]);
    EXPECT_EQ(0, tio.c_cc[VTIME]);
}

TEST_F(SerialPortTest, CharacterFormatSpeedAndParityCheckReachTheLine) {
    for (char parity : {'\0', 'N', 'S', 's', 'n'}) {  // INPCK stays clear only for 'n'
        ASSERT_EQ(0, Open(Settings(115200, 8, parity, 1))) << int(parity);
        EXPECT_EQ(parity != 'n', (LineSettings().c_iflag & INPCK) != 0) << int(parity);
        EXPECT_EQ(0, port.CloseCom());
    }
    TerminalInfo info = Settings(9600, 7, 'E', 2);
    info.stickParity = 1;
    ASSERT_EQ(0, Open(info));
    struct termios tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CSTOPB);
    // qemu-user's termios translation has no CMSPAR bit: an emulated board cannot show it.
    EXPECT_TRUE(!EmulatorPrefix().empty() || (tio.c_cflag & CMSPAR) != 0);
    port.CloseCom();
    ASSERT_EQ(0, Open(Settings(1800, 8, 'N', 1)));  // not in the table: speed code 0
    tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B0), cfgetospeed(&tio));
}

TEST_F(SerialPortTest, FailedOpensAreSilentAndLeaveNoDescriptorOpen) {
    const int before = CountOpenDescriptors();
    TerminalInfo missing = McuPortSettings("/nonexistent/ttyAMA2");
    for (TerminalInfo info : {Settings(115200, 9, 'N', 1), Settings(115200, 8, 'N', 3),
                              Settings(115200, 8, 'X', 1), missing}) {
        {
            CaptureOutput capture;
            EXPECT_EQ(-1, port.OpenCom(&info));
            EXPECT_EQ("", capture.Out() + capture.Err());
        }
        EXPECT_EQ(before, CountOpenDescriptors());
        EXPECT_EQ(-1, port.CloseCom());
    }
    EXPECT_EQ(0, OpenMcu());  // and the port opens normally afterwards
}

TEST_F(SerialPortTest, SecondOpenFailsAndKeepsTheFirstPort) {
    ASSERT_EQ(0, OpenMcu());
    EXPECT_EQ(-1, Open(Settings(9600, 7, 'E', 2)));
    const struct termios tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
    char data[] = "ok\n";
    EXPECT_EQ(3, port.WriteCom(data, 3, 1));
    EXPECT_EQ("ok\n", line.Drain());  // raw: no newline translation
}

TEST_F(SerialPortTest, CloseGivesZeroThenMinusOneAndRepeatedCyclesLeakNothing) {
    const int before = CountOpenDescriptors();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(0, OpenMcu());
        CaptureOutput capture;
        ASSERT_EQ(0, port.CloseCom());
        ASSERT_EQ(-1, port.CloseCom());
        ASSERT_EQ("", capture.Out());
    }
    EXPECT_EQ(before, CountOpenDescriptors());
}

TEST_F(SerialPortTest, ClosedPortFailsAtOnceWithoutWaitingForItsTimeout) {
    char buf[16] = "";
    int len = 99;
    CaptureOutput capture;
    const double start = MonotonicSeconds();
    EXPECT_EQ(-1, port.WriteCom(buf, 1, 30));
    EXPECT_EQ(-1, port.ReadCom(buf, sizeof buf, &len, 30));
    EXPECT_EQ(0, len);
    len = 99;
    EXPECT_EQ(-1, port.ReadComEx(buf, sizeof buf, &len, 30, 0));
    EXPECT_EQ(99, len);
    EXPECT_EQ(-1, port.ReadBinCom(buf, sizeof buf, &len, 0));
    EXPECT_EQ(nullptr, port.ReadLine(buf, sizeof buf));
    EXPECT_LT(MonotonicSeconds() - start, 10.0);
    EXPECT_EQ("Com Port Err: -1\nCom Port Err: -1\n[ReadLine:417] Com Port Err: (nil)\n",
              capture.Out());
}

TEST_F(SerialPortTest, WriteAcceptedInPartReturnsTheSmallerCount) {
    ASSERT_EQ(0, OpenMcu());
    // The port's descriptor shares its open file with any other open of the device path;
    // making the port's own non-blocking lets a full line take only part of a write.
    char target[256];
    for (int fd = 0; fd < 1024; ++fd) {
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (fd != line.slave() && n > 0 &&
            std::string(target, static_cast<size_t>(n)) == line.slavePath()) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
    }
    static char big[1 << 20];
    const int written = port.WriteCom(big, sizeof big, 1);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(sizeof big));
}

TEST_F(SerialPortTest, ReadTimeoutsRawReadsAndTheLengthOutParameter) {
    ASSERT_EQ(0, OpenMcu());
    char buf[64] = "";
    int len = 99;
    EXPECT_EQ(-1, port.ReadCom(buf, sizeof buf, &len, 1));
    EXPECT_EQ(0, len);
    len = 99;
    EXPECT_EQ(-1, port.ReadComEx(buf, sizeof buf, &len, 0, 100000));
    EXPECT_EQ(99, len);
    line.Send("abc");
    EXPECT_EQ(0, port.ReadComEx(buf, sizeof buf, &len, 2, 0));
    EXPECT_EQ("abc", std::string(buf, static_cast<size_t>(len)));
    line.Send("de");
    EXPECT_EQ(0, port.ReadBinCom(buf, sizeof buf, &len, 0));
    EXPECT_EQ("de", std::string(buf, static_cast<size_t>(len)));
    struct termios tio = LineSettings();  // a read that gives nothing after 0.1 s
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 1;
    tcsetattr(line.slave(), TCSANOW, &tio);
    EXPECT_EQ(-1, port.ReadBinCom(buf, sizeof buf, &len, 0));
    EXPECT_EQ(0, len);
}

TEST_F(SerialPortTest, LineReadsCutAtSizeMinusOneAndKeepTheRestInTheStream) {
    ASSERT_EQ(0, OpenMcu());
    line.Send(std::string(300, 'L') + "\n#a03\n");
    char buf[256] = "";
    int len = 0;
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_EQ(255, len);
    EXPECT_EQ(std::string(255, 'L'), buf);
    ASSERT_NE(nullptr, port.ReadLine(buf, sizeof buf));
    EXPECT_EQ(std::string(45, 'L') + "\n", buf);
    ASSERT_NE(nullptr, port.ReadLine(buf, sizeof buf));
    EXPECT_STREQ("#a03\n", buf);
}

TEST_F(SerialPortTest, LineReadOfAnEndedStreamGivesZeroWithLengthZero) {
    ASSERT_EQ(0, OpenMcu());
    line.HangUp();
    char buf[64] = "";
    int len = 99;
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_EQ(0, len);
}

TEST_F(SerialPortTest, LineAlreadyBufferedIsReturnedWithoutWaiting) {
    ASSERT_EQ(0, OpenMcu());
    line.Send("first\nsecond\n");
    char buf[64] = "";
    int len = 0;
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_STREQ("first\n", buf);
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_STREQ("second\n", buf);
    EXPECT_EQ(7, len);
}

// Another process reading the same device may take the bytes that made the port readable;
// the raw read must then come back empty instead of blocking until more bytes arrive.
TEST_F(SerialPortTest, RawReadNeverBlocksWhenAnotherReaderTakesTheBytes) {
    ASSERT_EQ(0, OpenMcu());
    const int other = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    std::atomic<bool> stop(false);
    std::thread thief([&] {
        char c;
        while (!stop && read(other, &c, 1) > 0) {
        }
    });
    int blockedAt = -1;
    for (int round = 0; round < 300 && blockedAt < 0; ++round) {
        std::future<int> reader = std::async(std::launch::async, [this] {
            char buf[8];
            int len = 0;
            return port.ReadComEx(buf, sizeof buf, &len, 0, 20000);
        });
        usleep(1000);
        line.Send("x");
        if (reader.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            blockedAt = round;
            line.Send("unblock");  // lets the stuck read return, so the test can end
        }
    }
    stop = true;
    line.Send("z");
    thief.join();
    close(other);
    EXPECT_EQ(-1, blockedAt) << "ReadComEx blocked in round " << blockedAt;
}

}  // namespace
