// The serial transport against a real pseudo-terminal: the slave is the device, the test
// plays the MCU on the master.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "serial/SerialFun.h"
#include "tests/support/CaptureOutput.h"
#include "tests/support/PtyLine.h"
#include "tests/support/ToolRun.h"

namespace {

int CountOpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (readdir(dir) != NULL) {
        ++count;
    }
    closedir(dir);
    return count;
}

double SecondsSince(const struct timespec& start) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - start.tv_sec) + (now.tv_nsec - start.tv_nsec) / 1e9;
}

struct timespec Now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t;
}

class SerialPortTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(line.ok()); }

    TerminalInfo Settings(unsigned baud, int dataBits, char parity, int stopBits) {
        TerminalInfo info;
        memset(&info, 0, sizeof info);
        info.baudRate = baud;
        info.dataBits = static_cast<unsigned char>(dataBits);
        info.parity = parity;
        info.stopBits = static_cast<unsigned char>(stopBits);
        strncpy(info.devName, line.slavePath().c_str(), sizeof info.devName - 1);
        return info;
    }

    TerminalInfo McuSettings() { return Settings(115200, 8, 'N', 1); }

    int OpenQuietly(TerminalInfo info) {
        CaptureOutput capture;
        return port.OpenCom(&info);
    }

    struct termios LineSettings() {
        struct termios tio;
        tcgetattr(line.slave(), &tio);
        return tio;
    }

    // The port's own descriptor, found among the process's descriptors by the device path.
    int PortDescriptor() {
        char target[PATH_MAX];
        for (int fd = 0; fd < 1024; ++fd) {
            if (fd == line.slave()) {
                continue;
            }
            const std::string link = "/proc/self/fd/" + std::to_string(fd);
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == line.slavePath()) {
                return fd;
            }
        }
        return -1;
    }

    PtyLine line;
    CComTransmit port;
};

TEST_F(SerialPortTest, OpenAppliesTheMcuSettingsAndReportsTheDevice) {
    TerminalInfo info = McuSettings();
    CaptureOutput capture;
    ASSERT_EQ(0, port.OpenCom(&info));
    EXPECT_EQ("Open COM  " + line.slavePath() + " OK! \n", capture.Out());
    EXPECT_EQ("", capture.Err());

    const struct termios tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetispeed(&tio));
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
    EXPECT_EQ(0u, tio.c_cflag & PARENB);
    EXPECT_EQ(0u, tio.c_cflag & CSTOPB);
    EXPECT_EQ(0u, tio.c_cflag & CMSPAR);
    EXPECT_NE(0u, tio.c_iflag & INPCK);
    EXPECT_EQ(0u, tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN));
    EXPECT_EQ(0u, tio.c_oflag & OPOST);
    EXPECT_EQ(1, tio.c_cc[VMIN]);
    EXPECT_EQ(0, tio.c_cc[VTIME]);
}

TEST_F(SerialPortTest, InputParityCheckIsClearOnlyForLowerCaseN) {
    const char parities[] = {0, 'N', 'S', 's', 'n'};
    for (char parity : parities) {
        ASSERT_EQ(0, OpenQuietly(Settings(115200, 8, parity, 1))) << int(parity);
        const bool inpck = (LineSettings().c_iflag & INPCK) != 0;
        EXPECT_EQ(parity != 'n', inpck) << "parity " << int(parity);
        EXPECT_EQ(0, port.CloseCom());
    }
}

TEST_F(SerialPortTest, StickParityAndTwoStopBitsReachTheLine) {
    TerminalInfo info = Settings(9600, 7, 'E', 2);
    info.stickParity = 1;
    ASSERT_EQ(0, OpenQuietly(info));
    const struct termios tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B9600), cfgetospeed(&tio));
    EXPECT_NE(0u, tio.c_cflag & CSTOPB);
    if (!EmulatorPrefix().empty()) {
        // qemu-user's termios translation has no CMSPAR bit: the emulated board cannot show it.
        return;
    }
    EXPECT_NE(0u, tio.c_cflag & CMSPAR);
}

TEST_F(SerialPortTest, UnknownBaudRateIsAppliedAsSpeedCodeZero) {
    ASSERT_EQ(0, OpenQuietly(Settings(1800, 8, 'N', 1)));
    const struct termios tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B0), cfgetospeed(&tio));
}

TEST_F(SerialPortTest, BadCharacterFormatFailsAndLeavesNoDescriptorOpen) {
    const int before = CountOpenDescriptors();
    const TerminalInfo bad[] = {Settings(115200, 9, 'N', 1), Settings(115200, 8, 'N', 3),
                                Settings(115200, 8, 'X', 1)};
    for (TerminalInfo info : bad) {
        {
            CaptureOutput capture;
            EXPECT_EQ(-1, port.OpenCom(&info));
            EXPECT_EQ("", capture.Out());
        }
        EXPECT_EQ(before, CountOpenDescriptors());
        EXPECT_EQ(-1, port.CloseCom());
    }
    // A failed open leaves a port that opens normally afterwards.
    EXPECT_EQ(0, OpenQuietly(McuSettings()));
}

TEST_F(SerialPortTest, MissingDeviceFailsSilently) {
    TerminalInfo info = McuSettings();
    strcpy(info.devName, "/nonexistent/ttyAMA2");
    CaptureOutput capture;
    EXPECT_EQ(-1, port.OpenCom(&info));
    EXPECT_EQ("", capture.Out());
    EXPECT_EQ("", capture.Err());
}

TEST_F(SerialPortTest, SecondOpenFailsAndKeepsTheFirstSettings) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    EXPECT_EQ(-1, OpenQuietly(Settings(9600, 7, 'E', 2)));
    const struct termios tio = LineSettings();
    EXPECT_EQ(static_cast<speed_t>(B115200), cfgetospeed(&tio));
    // Still usable: the first descriptor was kept.
    char data[] = "ok";
    EXPECT_EQ(2, port.WriteCom(data, 2, 1));
    EXPECT_EQ("ok", line.Drain());
}

TEST_F(SerialPortTest, CloseTwiceGivesZeroThenMinusOneWithoutMessages) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    CaptureOutput capture;
    EXPECT_EQ(0, port.CloseCom());
    EXPECT_EQ(-1, port.CloseCom());
    EXPECT_EQ("", capture.Out());
    EXPECT_EQ("", capture.Err());
}

TEST_F(SerialPortTest, RepeatedOpenAndCloseLeakNoDescriptor) {
    const int before = CountOpenDescriptors();
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(0, OpenQuietly(McuSettings()));
        ASSERT_EQ(0, port.CloseCom());
    }
    EXPECT_EQ(before, CountOpenDescriptors());
}

TEST_F(SerialPortTest, ClosedPortWritesAndReadsFailAtOnce) {
    char data[] = "x";
    char buf[16] = "";
    int len = 99;
    CaptureOutput capture;
    const struct timespec start = Now();
    EXPECT_EQ(-1, port.WriteCom(data, 1, 30));
    EXPECT_EQ(-1, port.ReadCom(buf, sizeof buf, &len, 30));
    EXPECT_EQ(0, len);
    len = 99;
    EXPECT_EQ(-1, port.ReadComEx(buf, sizeof buf, &len, 30, 0));
    EXPECT_EQ(99, len);
    EXPECT_EQ(-1, port.ReadBinCom(buf, sizeof buf, &len, 0));
    EXPECT_EQ(nullptr, port.ReadLine(buf, sizeof buf));
    EXPECT_LT(SecondsSince(start), 10.0);  // none of them waited for its time-out
    EXPECT_EQ("Com Port Err: -1\nCom Port Err: -1\n[ReadLine:417] Com Port Err: (nil)\n",
              capture.Out());
    EXPECT_EQ("", capture.Err());
}

TEST_F(SerialPortTest, WriteSendsTheBytesAndReturnsTheCount) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    char data[] = "\x75\xaa\x00\x0d\n\r";
    EXPECT_EQ(6, port.WriteCom(data, 6, 1));
    EXPECT_EQ(std::string(data, 6), line.Drain());  // raw: no CR/LF translation
}

TEST_F(SerialPortTest, WriteAcceptedInPartReturnsTheSmallerCount) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    const int fd = PortDescriptor();
    ASSERT_GE(fd, 0);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    static char big[1 << 20];
    memset(big, 'a', sizeof big);
    const int written = port.WriteCom(big, sizeof big, 1);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int>(sizeof big));
}

TEST_F(SerialPortTest, ReadTimeoutsAndTheLengthOutParameter) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    char buf[64] = "";
    int len = 99;
    EXPECT_EQ(-1, port.ReadCom(buf, sizeof buf, &len, 1));
    EXPECT_EQ(0, len);
    len = 99;
    EXPECT_EQ(-1, port.ReadComEx(buf, sizeof buf, &len, 0, 100000));
    EXPECT_EQ(99, len);
}

TEST_F(SerialPortTest, RawReadsReturnWhatArrived) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    char buf[64];
    int len = 0;
    line.Send("abc");
    EXPECT_EQ(0, port.ReadComEx(buf, sizeof buf, &len, 2, 0));
    EXPECT_EQ("abc", std::string(buf, static_cast<size_t>(len)));
    line.Send("de");
    EXPECT_EQ(0, port.ReadBinCom(buf, sizeof buf, &len, 0));
    EXPECT_EQ("de", std::string(buf, static_cast<size_t>(len)));
}

TEST_F(SerialPortTest, ZeroByteReadSucceedsForReadComExAndFailsForReadBinCom) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    // A read that returns nothing after 0.1 s: VMIN 0, VTIME 1.
    struct termios tio = LineSettings();
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 1;
    tcsetattr(line.slave(), TCSANOW, &tio);
    char buf[16];
    int len = 99;
    EXPECT_EQ(-1, port.ReadBinCom(buf, sizeof buf, &len, 0));
    EXPECT_EQ(0, len);
    // ReadComEx needs readiness first; a hung-up line is readable and reads nothing.
    line.HangUp();
    len = 99;
    const int result = port.ReadComEx(buf, sizeof buf, &len, 2, 0);
    if (len == 0) {
        EXPECT_EQ(0, result);
    } else {
        EXPECT_EQ(-1, len);  // the platform reports the hang-up as an error instead
        EXPECT_EQ(-1, result);
    }
}

TEST_F(SerialPortTest, LongLineIsCutAtSizeMinusOneAndTheRestStaysInTheStream) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    const std::string text(300, 'L');
    line.Send(text + "\n");
    char buf[256];
    memset(buf, 0, sizeof buf);
    int len = 0;
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_EQ(255, len);
    EXPECT_EQ(std::string(255, 'L'), std::string(buf));
    char rest[256];
    ASSERT_NE(nullptr, port.ReadLine(rest, sizeof rest));
    EXPECT_EQ(std::string(45, 'L') + "\n", std::string(rest));
}

TEST_F(SerialPortTest, LineReadStopsAfterTheNewline) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    line.Send("#a03\n");
    char buf[256];
    memset(buf, 0, sizeof buf);
    int len = 0;
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_EQ(5, len);
    EXPECT_STREQ("#a03\n", buf);
}

TEST_F(SerialPortTest, LineReadOfAnEndedStreamGivesZeroWithLengthZero) {
    ASSERT_EQ(0, OpenQuietly(McuSettings()));
    line.HangUp();
    char buf[64];
    memset(buf, 0, sizeof buf);
    int len = 99;
    EXPECT_EQ(0, port.ReadCom(buf, sizeof buf, &len, 2));
    EXPECT_EQ(0, len);
}

TEST(SpeedTable, MapsElevenRatesInOrder) {
    const unsigned rates[] = {300,   600,   1200,  2400,   4800,  9600,
                              19200, 38400, 57600, 115200, 230400};
    const unsigned codes[] = {B300,   B600,   B1200,  B2400,   B4800,  B9600,
                              B19200, B38400, B57600, B115200, B230400};
    for (int i = 0; i < SPEED_TABLE_SIZE; ++i) {
        EXPECT_EQ(rates[i], speed_atr[i].baudRate);
        EXPECT_EQ(codes[i], speed_atr[i].code);
    }
}

TEST(TerminalInfoLayout, FieldsSitWhereTheBoardCodeExpectsThem) {
    EXPECT_EQ(0u, offsetof(TerminalInfo, baudRate));
    EXPECT_EQ(4u, offsetof(TerminalInfo, dataBits));
    EXPECT_EQ(5u, offsetof(TerminalInfo, parity));
    EXPECT_EQ(6u, offsetof(TerminalInfo, stopBits));
    EXPECT_EQ(8u, offsetof(TerminalInfo, stickParity));
    EXPECT_EQ(12u, offsetof(TerminalInfo, devName));
    EXPECT_EQ(64u, offsetof(TerminalInfo, reserved1));
    EXPECT_EQ(80u, sizeof(TerminalInfo));
}

}  // namespace
