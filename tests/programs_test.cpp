// mcusend and mcusim as a user runs them: their command lines, round trips under the
// simulator, the line left as found, closed streams, signals, a command that stops reading,
// and the live decoder.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/McuSimulator.h"
#include "tests/support/PtyLine.h"
#include "tests/support/ToolRun.h"

namespace {

// The power-on request frame with serial 1, as octal escapes for a shell's printf.
const char kOnFramePrintf[] =
    "printf '\\165\\252\\000\\014\\001\\101\\000\\006\\000\\377\\000\\377\\000\\000\\000\\037"
    "\\125\\165\\252'";

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// mcusim with options, running a shell script that finds the programs in $EMU, $MCUSEND...
ToolResult RunScriptUnderSim(const std::vector<std::string>& simOptions, const std::string& script,
                             int closedStreams = 0) {
    std::vector<std::string> argv = Join({McuSimPath()}, simOptions);
    argv = Join(argv, {"--", "sh", "-c", script});
    return RunBuiltProgram(argv, closedStreams, ProgramEnvironment());
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// A folder of its own for a program's scratch folders (TMPDIR), to see that none is left.
class ScratchFolder {
  public:
    ScratchFolder() {
        char path[] = "/tmp/programs_test.XXXXXX";
        m_path = mkdtemp(path) != nullptr ? path : "";
    }
    ~ScratchFolder() { rmdir(m_path.c_str()); }
    std::string env() const { return "TMPDIR=" + m_path; }
    int Entries() const {
        int n = 0;
        DIR* dir = opendir(m_path.c_str());
        for (struct dirent* e = dir != nullptr ? readdir(dir) : nullptr; e != nullptr;
             e = readdir(dir)) {
            n += e->d_name[0] != '.' ? 1 : 0;
        }
        if (dir != nullptr) {
            closedir(dir);
        }
        return n;
    }

  private:
    std::string m_path;
};

// A process that is gone, or dead and waiting only for a reaper.
bool IsGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    return !(stat >> pidField >> name >> state) || state == "Z";
}

pid_t ReadPid(const std::string& path) {
    for (int i = 0; i < 2000; ++i) {
        std::ifstream in(path);
        pid_t pid = 0;
        if (in >> pid && pid > 0) {
            return pid;
        }
        usleep(5000);
    }
    return -1;
}

TEST(Mcusend, BadUsageIsRefusedWithTheReason) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::string longPath = "/dev/" + std::string(47, 'p');  // 52 characters
    const Case cases[] = {
        {{"16"}, "mcusend: command code 16: write it in hex as the logs print it (0006, 0x6)\n"},
        {{"010"}, "mcusend: command code 010: write it in hex as the logs print it (0006, 0x6)\n"},
        {{"0001"}, "mcusend: command 0001 is not in the command table\n"},
        {{"6", "0 0ff"}, "mcusend: payload 0 0ff is not pairs of hex digits\n"},
        {{"6", std::string(2050, 'a')},
         "mcusend: a payload of 1025 bytes is more than a frame carries (1024)\n"},
        {{"--device", longPath, "6"},
         "mcusend: device path " + longPath + " is longer than 51 characters\n"},
        {{"-t", "010", "6"}, "mcusend: --timeout takes 1 to 600000 milliseconds, not 010\n"},
        {{"6", "--timeout"}, "mcusend: --timeout needs a value\n"},
        {{"--bogus", "6"}, "mcusend: unknown option --bogus\n"},
    };
    const std::string hint = "(mcusend --help says how to call it)\n";
    for (const Case& c : cases) {
        const ToolResult r = RunBuiltProgram(Join({McuSendPath()}, c.args));
        EXPECT_EQ(2, r.exitCode) << c.args[0];
        EXPECT_EQ(c.err + (c.args[0] == "0001" ? "" : hint), r.err);
    }
    const ToolResult help = RunBuiltProgram({McuSendPath(), "6", "--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_EQ(0u, help.out.find("Usage: mcusend [OPTIONS] CODE [HEXPAYLOAD]\n"));
}

TEST(Mcusend, RoundTripsUnderTheSimulator) {
    const ToolResult r = RunScriptUnderSim(
        {"--result", "7"},
        "$EMU $MCUSEND -s 1 6 00ff00ff0000001f && $EMU $MCUSEND --serial=2 0010 && "
        "$EMU $MCUSEND -s 3 -- 0x8 01:02");
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos,
              r.out.find("mcusend: acknowledged: command 0006, serial 1, result 0x07\n"));
    EXPECT_NE(std::string::npos, r.out.find("cmd 0x0010 CMD_0010"));  // 0010 is hex, not octal
    EXPECT_NE(std::string::npos,
              r.out.find("mcusend: command 0008 sent with serial 3; it expects no "
                         "acknowledgement\n"));

    const ToolResult silent =
        RunScriptUnderSim({"--no-answer"}, "$EMU $MCUSEND --timeout 150 -s 1 0x0303 '01 02'");
    EXPECT_EQ(1, silent.exitCode);
    EXPECT_NE(std::string::npos,
              silent.out.find(
                  "mcusend: no acknowledgement of command 0303, serial 1, within 150 ms (-4)\n"));
}

// Every run starting at serial 1 would let a late answer to one run acknowledge the next.
TEST(Mcusend, EachRunStartsFromAnUnpredictableSerialNumber) {
    const ToolResult r = RunScriptUnderSim(
        {"--no-answer"}, "for i in 1 2 3 4 5; do $EMU $MCUSEND -t 1 6; done; true");
    std::set<std::string> serials;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t at = line.find("serial ");
        if (line.find("mcusend: no acknowledgement") == 0 && at != std::string::npos) {
            serials.insert(line.substr(at, line.find(',', at) - at));
        }
    }
    EXPECT_GE(serials.size(), 2u) << r.out;
}

// With every answer repeated and numbered, each of 300 commands, across the serial wrap, gets
// its own answer; the soak's lines and summary are as scripts read them.
TEST(Mcusend, SoakUnderDuplicatesGivesEachCommandItsOwnAnswer) {
    const ToolResult r = RunScriptUnderSim({"--duplicate", "1", "--result", "seq"},
                                           "$EMU $MCUSEND -n 300 -v -t 5000 -s 200 6 2>/dev/null");
    EXPECT_EQ(0, r.exitCode);
    int checked = 0;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        int n = 0, result = 0;
        unsigned serial = 0;
        long rtt = 0;
        if (sscanf(line.c_str(), "%d serial %u result %d rtt_us %ld", &n, &serial, &result, &rtt) ==
            4) {
            EXPECT_EQ(n % 256, result) << line;
            EXPECT_EQ((199u + static_cast<unsigned>(n) - 1) % 255 + 1, serial) << line;
            ++checked;
        }
    }
    EXPECT_EQ(300, checked);
    EXPECT_NE(std::string::npos,
              r.out.find("mcusend: sent 300, acknowledged 300, timed out 0; round trip median"));
}

TEST(Mcusend, PutsBackTheLineSettingsItFound) {
    PtyLine line;
    ASSERT_TRUE(line.ok());
    struct termios before;
    tcgetattr(line.slave(), &before);
    cfsetospeed(&before, B9600);
    before.c_lflag |= ICANON | ECHO;
    tcsetattr(line.slave(), TCSANOW, &before);
    for (bool keep : {false, true}) {
        std::vector<std::string> args = {McuSendPath(), "--device=" + line.slavePath(), "-t", "1"};
        if (keep) {
            args.push_back("--keep-settings");
        }
        args.push_back("6");
        EXPECT_EQ(1, RunBuiltProgram(args).exitCode);
        struct termios after;
        tcgetattr(line.slave(), &after);
        EXPECT_EQ(keep ? B115200 : B9600, cfgetospeed(&after)) << keep;
        EXPECT_EQ(keep ? 0u : static_cast<tcflag_t>(ICANON | ECHO), after.c_lflag & (ICANON | ECHO))
            << keep;
        tcsetattr(line.slave(), TCSANOW, &before);
    }
}

// With a standard stream closed, a program's first open would take its number: whatever the
// program printed would then go onto the MCU line, or (for mcusim) into the command's input.
TEST(Mcusim, ClosedStandardStreamsPutNothingOnTheLine) {
    const ToolResult sendClosed =
        RunScriptUnderSim({}, "exec >&- 2>&-; $EMU $MCUSEND -s 5 6 00ff00ff0000001f");
    EXPECT_EQ(0, sendClosed.exitCode);
    EXPECT_EQ(1u, Count(sendClosed.out, "mcusim: received"));
    EXPECT_EQ(0u, Count(sendClosed.out, "noise"));

    char heard[] = "/tmp/heard.XXXXXX";
    close(mkstemp(heard));
    const ToolResult simClosed = RunScriptUnderSim(
        {},
        std::string("stty -F /dev/ttyAMA2 raw -echo; (timeout 2 cat /dev/ttyAMA2 > ") + heard +
            " &); sleep 0.3; printf x > /dev/ttyAMA2; sleep 0.5; wait",
        kNoStdout);
    EXPECT_EQ(0, simClosed.exitCode);
    sleep(2);
    std::ifstream in(heard);
    EXPECT_EQ("", std::string(std::istreambuf_iterator<char>(in), {}));
    unlink(heard);
}

// Its command writes a hundred requests and exits without reading an answer: the line fills
// up, and mcusim must still end with the command.
TEST(Mcusim, EndsWhenItsCommandEndsWhateverTheLine) {
    const ToolResult r = RunScriptUnderSim(
        {"--noise", "4096"}, std::string("stty -F /dev/ttyAMA2 raw -echo; for i in $(seq 100); "
                                         "do ") +
                                 kOnFramePrintf + " > /dev/ttyAMA2; done; sleep 1");
    EXPECT_FALSE(r.hung);
    EXPECT_EQ(0, r.exitCode);
    EXPECT_EQ(100u, Count(r.out, "mcusim: received frame"));
}

// Each signal reaches the command; mcusim ends with it and leaves no folder and no orphan,
// even when killed outright.
TEST(Mcusim, SignalsEndTheCommandAndLeaveNothingBehind) {
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        ScratchFolder tmp;
        const std::string pidFile = "/tmp/programs_test.pid." + std::to_string(getpid());
        unlink(pidFile.c_str());
        StartedProgram sim = StartBuiltProgram(
            {McuSimPath(), "sh", "-c", "echo $$ > " + pidFile + "; exec sleep 60"},
            Join(ProgramEnvironment(), {tmp.env()}));
        const pid_t command = ReadPid(pidFile);
        ASSERT_GT(command, 0);
        kill(sim.pid, signal);
        const int status = FinishProgram(&sim);
        EXPECT_EQ(128 + signal, status) << signal;
        for (int i = 0; i < 400 && !IsGone(command); ++i) {
            usleep(10000);
        }
        EXPECT_TRUE(IsGone(command)) << signal;
        EXPECT_EQ(0, tmp.Entries()) << signal;
        unlink(pidFile.c_str());
    }
}

TEST(Mcusim, OutputClosedByItsReaderOrphansNothing) {
    ScratchFolder tmp;
    StartedProgram sim =
        StartBuiltProgram({McuSimPath(), "sh", "-c", "printf x > /dev/ttyAMA2; sleep 0.5; exit 3"},
                          Join(ProgramEnvironment(), {tmp.env()}));
    close(sim.outFd);  // as `mcusim ... | head -c1` would, before mcusim writes
    sim.outFd = -1;
    EXPECT_EQ(3, FinishProgram(&sim));
    EXPECT_EQ(0, tmp.Entries());
}

TEST(Mcusim, CommandsUnderItCanRunItAgain) {
    const ToolResult r = RunScriptUnderSim({}, "$EMU $MCUSIM -- $EMU $HDDPOWER on");
    EXPECT_EQ(0, r.exitCode) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("## hdd power on \n"));
}

TEST(Mcusim, BadOptionValuesAreRefused) {
    const std::vector<std::string> bad[] = {
        {"--drop", "nan"},     {"--corrupt", "1.5"}, {"--duplicate", "-0.1"}, {"--unasked", "16"},
        {"--unasked-ms", "0"}, {"--delay", "010"},   {"--result", "256"},     {"--seed", "0"},
    };
    for (const std::vector<std::string>& option : bad) {
        const ToolResult r = RunBuiltProgram(Join({McuSimPath()}, Join(option, {"true"})));
        EXPECT_EQ(2, r.exitCode) << option[0] << " " << option[1];
        EXPECT_EQ("mcusim: bad value for " + option[0] + ": " + option[1] +
                      " (mcusim --help says what it takes)\n",
                  r.err);
    }
}

TEST(McusimDecode, PrintsEachItemAsItArrivesOnALiveStream) {
    StartedProgram decoder = StartBuiltProgram({McuSimPath(), "--decode", "-"}, {}, true);
    const std::string request("#x0000001CDEB8\r\n");
    ASSERT_EQ(static_cast<ssize_t>(request.size()),
              write(decoder.inFd, request.data(), request.size()));
    std::string seen;
    struct pollfd pfd = {decoder.outFd, POLLIN, 0};
    while (seen.find('\n') == std::string::npos && poll(&pfd, 1, 30000) > 0) {
        char buf[256];
        const ssize_t n = read(decoder.outFd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        seen.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(
        0u, seen.find("mcusim: 0.000 ms: ascii line \"#x0000001CDEB8\""));  // before the input ends
    close(decoder.inFd);
    decoder.inFd = -1;
    EXPECT_EQ(0, FinishProgram(&decoder));
}

TEST(McusimDecode, AFolderOrAMissingFileFails) {
    const ToolResult folder = RunBuiltProgram({McuSimPath(), "--decode", "/tmp"});
    EXPECT_EQ(1, folder.exitCode);
    EXPECT_EQ("mcusim: cannot decode /tmp: it is a folder\n", folder.err);
    const ToolResult missing = RunBuiltProgram({McuSimPath(), "--decode=/nonexistent"});
    EXPECT_EQ(1, missing.exitCode);
    EXPECT_EQ("mcusim: cannot open /nonexistent: No such file or directory\n", missing.err);
}

// The line as a logic analyzer shows it: the dump decoded by sigrok-cli's UART decoder gives
// exactly the bytes that crossed the line, each direction on its own signal.
class LineDumpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!HostHasProgram("sigrok-cli")) {
            GTEST_SKIP() << "sigrok-cli is not installed (the test command installs it)";
        }
        char path[] = "/tmp/line.XXXXXX";
        close(mkstemp(path));
        vcd = path;
    }
    void TearDown() override { unlink(vcd.c_str()); }

    std::string Sigrok(const std::string& signal, const std::string& pipeInto = "") {
        const ToolResult r =
            RunHostShell("sigrok-cli -i " + vcd + " -P uart:baudrate=115200:rx=" + signal +
                         " -B uart=rx" + pipeInto);
        EXPECT_EQ(0, r.exitCode) << r.err;
        return r.out;
    }
    // Times never go backwards, and the dump ends after its last change.
    void ExpectTimesInOrder() {
        std::ifstream in(vcd);
        long long last = -1;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] == '#') {
                const long long t = std::stoll(line.substr(1));
                EXPECT_GE(t, last) << line;
                last = t;
            }
        }
        EXPECT_GT(last, 0);
    }

    std::string vcd;
};

TEST_F(LineDumpTest, ShowsTheToolsRequestAndTheAnswerByteForByte) {
    const ToolResult r =
        RunBuiltProgram(Join({McuSimPath(), "--vcd", vcd}, Join(HddPowerCommand(), {"on"})));
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(std::string("#x0000001CDEB8\r\n") +
                  std::string("\x75\xaa\x00\x0c\x01\x41\x00\x06\x00\xff\x00\xff\x00\x00\x00\x1f"
                              "\x55\x75\xaa",
                              19),
              Sigrok("host_tx"));
    EXPECT_EQ(std::string("\x75\xaa\x00\x06\x01\x01\x00\x06\x01\x00\x01\x75\xaa", 13),
              Sigrok("mcu_tx"));
    ExpectTimesInOrder();
}

// A round trip seen on both signals, then the captured host side fed back through the
// decoder as a capture of a real board would be: the same frame as mcusim reported live.
TEST_F(LineDumpTest, DecodedCaptureMatchesWhatTheSimulatorSaw) {
    const ToolResult r =
        RunBuiltProgram(Join({McuSimPath(), "--vcd=" + vcd},
                             Join(EmulatorPrefix(), {McuSendPath(), "-s", "7", "0x0303", "0102"})));
    ASSERT_EQ(0, r.exitCode) << r.err;
    EXPECT_EQ(std::string("\x75\xaa\x00\x06\x07\x51\x03\x03\x01\x02\x53\x75\xaa", 13),
              Sigrok("host_tx"));
    EXPECT_EQ(std::string("\x75\xaa\x00\x06\x01\x01\x03\x03\x07\x00\x01\x75\xaa", 13),
              Sigrok("mcu_tx"));
    ExpectTimesInOrder();
    const std::string decoded = Sigrok("host_tx", " | $EMU $MCUSIM --decode -");
    const size_t live = r.out.find("mcusim: received frame: ");
    const size_t time = decoded.find(" ms: frame: ");
    ASSERT_NE(std::string::npos, live);
    ASSERT_NE(std::string::npos, time);
    const std::string liveFrame = r.out.substr(live + 17, r.out.find("tail ok", live) - live - 17);
    EXPECT_EQ("mcusim: 0.000 ms: " + liveFrame, decoded.substr(0, decoded.find("tail ok")));
}

TEST(McusimDecode, ALiveDeviceIsReadAsFramesArrive) {
    PtyLine line;
    ASSERT_TRUE(line.ok());
    StartedProgram decoder = StartBuiltProgram({McuSimPath(), "--decode", line.slavePath()});
    usleep(200 * 1000);  // the decoder sets the line up before anything is sent
    line.Send(std::string("\x75\xaa\x00\x06\x01\x01\x00\x06\x01\x00\x01\x75\xaa", 13));
    std::string seen;
    struct pollfd pfd = {decoder.outFd, POLLIN, 0};
    while (seen.find("tail ok\n") == std::string::npos && poll(&pfd, 1, 30000) > 0) {
        char buf[512];
        const ssize_t n = read(decoder.outFd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        seen.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(0u, seen.find("mcusim: 0.000 ms: frame: len 6, serial 1, flag 0x01"));
    struct termios tio;
    tcgetattr(line.slave(), &tio);
    EXPECT_EQ(B115200, cfgetispeed(&tio));
    EXPECT_EQ(0u, tio.c_lflag & ICANON);
    line.HangUp();  // the device's stream ends
    EXPECT_EQ(0, FinishProgram(&decoder));
}

}  // namespace
