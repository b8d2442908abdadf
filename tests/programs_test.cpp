// SPDX-License-Identifier: MIT
// The programs as a user runs them: hddpower's whole documented output and the bytes it puts
// on the line; mcusend's command line, round trips and soak; mcusim's decoder, its report,
// its behaviour with closed streams, signals and a command that stops reading, and the line
// as a logic analyzer shows it.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "sim/LocalLink.h"
#include "tests/support/FrameOracle.h"
#include "tests/support/TempPath.h"
#include "tests/support/ToolRun.h"

namespace {

const std::string kOnFrame(
    "\x75\xaa\x00\x0c\x01\x41\x00\x06\x00\xff\x00\xff\x00\x00\x00\x1f\x55\x75\xaa", 19);
const std::string kOffFrame(
    "\x75\xaa\x00\x0c\x01\x41\x00\x06\x00\xff\x00\xff\x00\x00\x00\x5f\x15\x75\xaa", 19);
const std::string kOpened = "Open COM  /dev/ttyAMA2 OK! \n";

std::vector<std::string> Join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A file's whole text, as a string.
std::string Contents(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// mcusim with options, running a shell script that finds the programs in $EMU, $MCUSEND...
ToolResult UnderSim(const std::vector<std::string>& options, const std::string& script,
                    int closedStreams = 0) {
    return RunProgram(Join(Join({McuSimPath()}, options), {"--", "sh", "-c", script}),
                      closedStreams, ProgramEnvironment());
}

// Reads a started program's output until `until` appears (or 30 s pass).
std::string ReadUntil(StartedProgram* program, const std::string& until) {
    std::string seen;
    struct pollfd pfd = {program->outFd, POLLIN, 0};
    while (seen.find(until) == std::string::npos && poll(&pfd, 1, 30000) > 0) {
        char buf[512];
        const ssize_t n = read(program->outFd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        seen.append(buf, static_cast<size_t>(n));
    }
    return seen;
}

// Decoded items' lines with their arrival time, "mcusim: 12.345 ms: ...", as "mcusim: T: ...";
// other lines as they are.
std::string WithoutTimes(const std::string& text) {
    const std::string head = "mcusim: ";
    std::string out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const size_t ms = line.find(" ms: ");
        const bool timed = line.compare(0, head.size(), head) == 0 && ms != std::string::npos &&
                           line.find_first_not_of("0123456789.", head.size()) == ms;
        out += (timed ? head + "T: " + line.substr(ms + 5) : line) + "\n";
    }
    return out;
}

const std::string kAdded =
    "Inf [WriteData():318] Add cmd(0006),serialNum(1),ret(1),waitlistsize(1),deallist(0),"
    "timeo(100)...\n";
const std::string kTimedOut = kAdded +
                              "Err [WriteData():334] wait cmd err(-4)...\n"
                              "Err [sendCmdData():432] ret(-4),len(0),serialNum(0),result(0)...\n"
                              "Err [AlarmOutPowerCtl():475] send data error(-4)...\n";

// The tool's whole documented output: the usage line without an argument, the ASCII line then
// the command 6 frame for on and off (a word in other case, or any other word, sends nothing),
// and both requests attempted, in order, when the device is missing.
TEST(HddPower, OutputAndLineForEachCommandLine) {
    const std::string usage =
        "usage: " + HddPowerPath() + " <on/off>. sample: " + HddPowerPath() + " off \n";
    const std::string on = kOpened + "## hdd power on \n## ackBit is 0x1 \n";
    const std::string off = kOpened + "## hdd power off \n## ackBit is 0x1 \n";
    const struct {
        std::vector<std::string> args;
        std::string out, err, wire;
        bool device;
    } cases[] = {{{}, usage, "", "", true},
                 {{"on"}, on, kTimedOut, kOnLine + kOnFrame, true},
                 {{"off"}, off, kTimedOut, kOffLine + kOffFrame, true},
                 {{"on", "extra", "off"}, on, kTimedOut, kOnLine + kOnFrame, true},
                 {{"ON"}, kOpened, "", "", true},
                 {{""}, kOpened, "", "", true},
                 {{"on"},
                  "## hdd power on \nCom Port Err: -1\n## ackBit is 0x1 \nCom Port Err: -1\n",
                  kAdded + "Err [WriteData():325] Write com err...\n"
                           "Err [sendCmdData():432] ret(-7),len(0),serialNum(0),result(0)...\n"
                           "Err [AlarmOutPowerCtl():475] send data error(-7)...\n",
                  "",
                  false}};
    for (const auto& c : cases) {
        const ToolResult r = RunHddPower(c.args, c.device);
        ASSERT_TRUE(r.started) << r.error;
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(Hex(c.wire), Hex(r.wire));
        EXPECT_EQ(0, r.exitCode);
    }
}

// With a standard stream closed, a program's first open would take its number: whatever the
// program printed would then go onto the MCU line, or (for mcusim) into the command's input.
TEST(ClosedStreams, NothingButRequestsReachesTheLine) {
    for (int closed : {kNoStdout, kNoStderr, kNoStdin | kNoStdout | kNoStderr}) {
        const ToolResult r = RunHddPower({"on"}, true, closed);
        EXPECT_EQ(Hex(kOnLine + kOnFrame), Hex(r.wire)) << "closed streams " << closed;
    }
    // Acknowledged, but the report went nowhere: a failure, said on standard error.
    const ToolResult send = UnderSim({}, "exec >&-; $EMU $MCUSEND -s 5 6 00ff00ff0000001f");
    EXPECT_EQ(4, send.exitCode);
    EXPECT_EQ(
        "Inf [WriteData():318] Add cmd(0006),serialNum(5),ret(1),waitlistsize(1),deallist(0),"
        "timeo(1000)...\nmcusend: cannot write standard output\n",
        send.err);
    EXPECT_EQ(send.out.find("mcusim: received"), send.out.rfind("mcusim: received"));  // once
    EXPECT_EQ(std::string::npos, send.out.find("noise"));
    const ToolResult full =
        RunHostShell("head -c 100000 /dev/zero | $EMU $MCUSIM --decode - > /dev/full; echo $?");
    EXPECT_EQ("1\n", full.out);  // at the first refused write, not after decoding it all
    EXPECT_EQ("mcusim: cannot write standard output: No space left on device\n", full.err);
    const TempPath heard("heard");
    UnderSim(
        {},
        "stty -F /dev/ttyAMA2 raw -echo; printf x > /dev/ttyAMA2; timeout 1 cat /dev/ttyAMA2 > " +
            heard.path(),
        kNoStdout);
    EXPECT_EQ("", Contents(heard.path()));
}

TEST(Mcusim, RunsItsCommandReportsTheLineAndRefusesBadOptionValues) {
    const ToolResult r =
        RunProgram(Join(Join({McuSimPath(), "--"}, EmulatorPrefix()), {HddPowerPath(), "on"}));
    EXPECT_EQ(0, r.exitCode) << r.err;
    const std::string leftRaw =
        "mcusim: line settings left changed: 115200 baud in, 115200 baud out, 8 data bits, no "
        "parity, 1 stop bit, raw, INPCK on, VMIN 1, VTIME 0\n";
    EXPECT_NE(std::string::npos, r.out.find(leftRaw)) << r.out;
    // Quiet, with the report apart: the command's output alone on standard output, and the
    // run's end alone in the report.
    const TempPath report("report");
    const ToolResult quiet = RunProgram(
        Join(Join({McuSimPath(), "--quiet", "--report", report.path(), "--"}, EmulatorPrefix()),
             {HddPowerPath(), "on"}));
    EXPECT_EQ(0, quiet.exitCode) << quiet.err;
    EXPECT_EQ("Open COM  /dev/ttyAMA2 OK! \n## hdd power on \n## ackBit is 0x1 \n", quiet.out);
    EXPECT_EQ(leftRaw, Contents(report.path()));
    EXPECT_NE(std::string::npos,
              RunProgram({McuSimPath(), "true"}).out.find("mcusim: line settings left as found: "));
    EXPECT_EQ(3, RunProgram({McuSimPath(), "sh", "-c", "exit 3"}).exitCode);
    const ToolResult nested = UnderSim({}, "$EMU $MCUSIM -- $EMU $HDDPOWER on");  // ptys inside
    EXPECT_NE(std::string::npos, nested.out.find("## hdd power on \n"));
    EXPECT_EQ(0u, RunProgram({McuSimPath()}).err.find("Usage: mcusim [OPTIONS] [--] COMMAND"));
    const ToolResult missing = RunProgram({McuSimPath(), "/nonexistent/command"});
    EXPECT_EQ(125, missing.exitCode);
    EXPECT_EQ("mcusim: cannot run the command: No such file or directory\n", missing.err);
    const std::vector<std::string> bad[] = {
        {"--drop", "nan"},     {"--corrupt", "1.5"}, {"--duplicate", "-0.1"}, {"--unasked", "16"},
        {"--unasked-ms", "0"}, {"--delay", "010"},   {"--result", "256"},     {"--seed", "0"}};
    for (const std::vector<std::string>& option : bad) {
        const ToolResult r = RunProgram(Join(Join({McuSimPath()}, option), {"true"}));
        EXPECT_EQ(2, r.exitCode) << option[0];
        EXPECT_EQ("mcusim: bad value for " + option[0] + ": " + option[1] +
                      " (mcusim --help says what it takes)\n",
                  r.err);
    }
    // Its command writes a hundred requests and exits without reading an answer: the line
    // fills up, and mcusim must still end with the command.
    const std::string onFrame =
        "\\165\\252\\000\\014\\001\\101\\000\\006\\000\\377\\000\\377\\000"
        "\\000\\000\\037\\125\\165\\252";  // in octal, for printf
    const ToolResult fullLine = UnderSim(
        {"--noise", "4096"}, "stty -F /dev/ttyAMA2 raw -echo; for i in $(seq 100); do printf '" +
                                 onFrame + "' > /dev/ttyAMA2; done; sleep 1");
    EXPECT_FALSE(fullLine.hung);
    EXPECT_NE(std::string::npos, fullLine.out.find("mcusim: received frame"));
}

// A process gone, or dead and waiting only for a reaper.
bool IsGone(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    return !(stat >> pidField >> name >> state) || state == "Z";
}

// Each signal reaches the command; mcusim ends with it and leaves no folder and no orphan,
// even when killed outright, or when the reader of its output goes away.
TEST(Mcusim, SignalsAndAClosedOutputLeaveNothingBehind) {
    const TempPath folder("scratch", TempPath::kFolder), pids("scratch-pid");
    const char* tmp = folder.path().c_str();
    const std::string pidFile = pids.path();
    const std::vector<std::string> env = Join(ProgramEnvironment(), {std::string("TMPDIR=") + tmp});
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL, SIGPIPE}) {
        StartedProgram sim = StartProgram(
            {McuSimPath(), "sh", "-c",
             "echo $$ > " + pidFile + "; printf x > /dev/ttyAMA2; sleep 0.3; exec sleep 60"},
            env);
        if (signal == SIGPIPE) {
            close(sim.outFd);  // as `mcusim ... | head -c1` would
            sim.outFd = -1;
        }
        pid_t command = 0;
        for (int i = 0; i < 2000 && !(std::ifstream(pidFile) >> command); ++i) {
            usleep(5000);
        }
        ASSERT_GT(command, 0);
        usleep(400 * 1000);  // past the write that finds the output closed
        kill(signal == SIGPIPE ? command : sim.pid, signal == SIGPIPE ? SIGTERM : signal);
        EXPECT_EQ(128 + (signal == SIGPIPE ? SIGTERM : signal), FinishProgram(&sim)) << signal;
        for (int i = 0; i < 400 && !IsGone(command); ++i) {
            usleep(10000);
        }
        EXPECT_TRUE(IsGone(command)) << signal;
        EXPECT_EQ(0, rmdir(tmp)) << "left in the scratch folder after " << signal;
        mkdir(tmp, 0700);
        unlink(pidFile.c_str());
    }
}

TEST(Mcusend, BadUsageIsRefusedWithTheReason) {
    const std::string longPath = "/dev/" + std::string(47, 'p');  // 52 characters
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"16"}, "command code 16: write it in hex as the logs print it (0006, 0x6)"},
        {{"010"}, "command code 010: write it in hex as the logs print it (0006, 0x6)"},
        {{"0x100000006"},
         "command code 0x100000006: write it in hex as the logs print it (0006, 0x6)"},
        {{"6", "0 0ff"}, "payload 0 0ff is not pairs of hex digits"},
        {{"6", std::string(2050, 'a')},
         "a payload of 1025 bytes is more than a frame carries (1024)"},
        {{"--device", longPath, "6"}, "device path " + longPath + " is longer than 51 characters"},
        {{"-t", "010", "6"}, "--timeout takes 1 to 600000 milliseconds, not 010"},
        {{"6", "--timeout"}, "--timeout needs a value"},
        {{"--bogus", "6"}, "unknown option --bogus"},
        {{"6", "00", "11"},
         "one command code and one payload at most: 11 is one more (quote a "
         "payload with blanks)"},
        {{"-v"}, "a command code is needed"},
    };
    for (const auto& c : cases) {
        const ToolResult r = RunProgram(Join({McuSendPath()}, c.args));
        EXPECT_EQ(2, r.exitCode) << c.args[0];
        EXPECT_EQ("mcusend: " + c.err + "\n(mcusend --help says how to call it)\n", r.err);
    }
    const ToolResult unknown = RunProgram({McuSendPath(), "0001"});
    EXPECT_EQ("mcusend: command 0001 is not in the command table\n", unknown.err);
    const ToolResult help = RunProgram({McuSendPath(), "6", "--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_EQ(0u, help.out.find("Usage: mcusend [OPTIONS] CODE [HEXPAYLOAD]\n"));
}

TEST(Mcusend, RoundTripsUnderTheSimulator) {
    const ToolResult r = UnderSim({"--result", "7"},
                                  "$EMU $MCUSEND -s 1 6 00ff00ff0000001f && $EMU $MCUSEND "
                                  "--serial=2 0010 && $EMU $MCUSEND -s 3 -- 0x8 01:02");
    EXPECT_EQ(0, r.exitCode) << r.out << r.err;
    EXPECT_NE(std::string::npos,
              r.out.find("mcusend: acknowledged: command 0006, serial 1, result 0x07\n"));
    EXPECT_NE(std::string::npos, r.out.find("cmd 0x0010 CMD_0010"));  // 0010 is hex, not octal
    EXPECT_NE(std::string::npos,
              r.out.find("mcusend: command 0008 sent with serial 3; it expects no "
                         "acknowledgement\n"));
    // Each run starts from an unpredictable serial number: serial 1 every time would let a
    // late answer to one run acknowledge the next.
    const ToolResult silent = UnderSim(
        {"--no-answer"}, "for i in 1 2 3 4 5; do $EMU $MCUSEND -t 150 0x0303 '01 02'; done");
    EXPECT_EQ(1, silent.exitCode);
    std::set<std::string> serials;
    std::istringstream lines(silent.out);
    for (std::string line; std::getline(lines, line);) {
        const size_t serial = line.find(", serial ");
        if (line.find("mcusend: no acknowledgement of command 0303") == 0) {
            EXPECT_EQ(", within 150 ms (no answer came in time)",
                      line.substr(line.find(',', serial + 1)))
                << line;
            serials.insert(line.substr(serial, line.find(',', serial + 1) - serial));
        }
    }
    EXPECT_GE(serials.size(), 2u) << silent.out;
    // An MCU that never answers, but sends payload-less frames of the commands' own code every
    // millisecond: their checksum byte stands where an answer's serial would, and acknowledges
    // nothing.
    const ToolResult empty =
        UnderSim({"--no-answer", "--unasked", "6", "--unasked-len", "0", "--unasked-ms", "1"},
                 "$EMU $MCUSEND --count 100 -t 20 6 00ff00ff0000001f 2>/dev/null");
    EXPECT_NE(std::string::npos,
              empty.out.find("mcusend: sent 100, acknowledged 0, timed out 100;"))
        << empty.out;
}

// Sets the terminal to 9600 baud, cooked, and says whether it is still so.
void SetCooked(int fd) {
    struct termios tio;
    tcgetattr(fd, &tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_lflag |= ICANON | ISIG | ECHO;
    tcsetattr(fd, TCSANOW, &tio);
}
bool StillCooked(int fd) {
    struct termios tio;
    tcgetattr(fd, &tio);
    return cfgetispeed(&tio) == B9600 &&
           (tio.c_lflag & (ICANON | ISIG | ECHO)) == (ICANON | ISIG | ECHO);
}
// Sets the line cooked and starts mcusim on it; returns once mcusim has set the line up.
StartedProgram StartOnCookedLine(const PtyLine& line, const std::vector<std::string>& options) {
    SetCooked(line.slave());
    StartedProgram started = StartProgram(Join({McuSimPath()}, options));
    for (int wait = 0; wait < 3000 && StillCooked(line.slave()); ++wait) {
        usleep(10 * 1000);
    }
    return started;
}

// Waits (in a script under mcusim) until a program holds the advisory lock on /dev/ttyAMA2.
const std::string kUntilLocked =
    "ino=$(stat -Lc %i /dev/ttyAMA2); for i in $(seq 400); do grep -q \"FLOCK.*:$ino \" "
    "/proc/locks && break; sleep 0.05; done";

// Two programs on one line: the one that came second is refused and touches nothing; the
// first keeps the line and all its answers. A lock taken by any other program counts too.
// The settings mcusend found are put back when it ends.
TEST(Mcusend, TakesTheLineForItselfAndRefusesAHeldOne) {
    const ToolResult two =
        UnderSim({"--delay", "20", "--result", "seq"},
                 "$EMU $MCUSEND --count 60 -t 500 6 2>/dev/null & " + kUntilLocked +
                     "; "
                     "$EMU $MCUSEND 6; echo second $?; "
                     "wait $!; echo first $?");
    EXPECT_NE(std::string::npos, two.out.find("second 3\n")) << two.out;
    EXPECT_NE(std::string::npos,
              two.out.find("mcusend: sent 60, acknowledged 60, timed out 0; round trip"))
        << two.out;
    EXPECT_NE(std::string::npos, two.out.find("first 0\n"));
    // Root opens a line in exclusive mode and then finds the lock; anyone else is refused the
    // open itself.
    EXPECT_EQ(geteuid() == 0
                  ? "mcusend: /dev/ttyAMA2 is held by another program (--share uses it anyway)\n"
                  : "mcusend: /dev/ttyAMA2 is held by another program in exclusive mode (only "
                    "root may open it meanwhile)\n",
              two.err);
    PtyLine line;
    ASSERT_TRUE(line.ok());
    SetCooked(line.slave());
    ASSERT_EQ(0, flock(line.slave(), LOCK_EX | LOCK_NB));
    const std::string device = "--device=" + line.slavePath();
    EXPECT_EQ(3, RunProgram({McuSendPath(), device, "6"}).exitCode);
    EXPECT_TRUE(StillCooked(line.slave()));
    EXPECT_EQ(1, RunProgram({McuSendPath(), device, "--share", "-t", "1", "6"}).exitCode);
    // Its own run over, the line gets back the settings mcusend found, unless it is to keep
    // the module's.
    flock(line.slave(), LOCK_UN);
    for (bool keep : {false, true}) {
        SetCooked(line.slave());
        const char* option = keep ? "--keep-settings" : "-v";
        EXPECT_EQ(1, RunProgram({McuSendPath(), device, "-t", "1", option, "6"}).exitCode);
        EXPECT_EQ(!keep, StillCooked(line.slave())) << keep;
    }
}

// A capture decoded as it comes through a pipe: each item is printed before the input ends,
// the last once the input has been quiet for a while.
TEST(McusimDecode, ReadsPipesAndDevicesAsTheBytesCome) {
    std::string damaged = Ack(6, 0x10);
    damaged[10] = '\x12';
    // Four stray bytes first: a false head whose len (0x30) spans the two lines and the request
    // after it, and whose tail ends it exactly; taken whole it would swallow them all.
    const std::string capture =
        std::string("\x75\xaa\x00\x30", 4) + kOnLine + kOnLine + "\x01\x02" + kOnFrame + damaged;
    // Said to be a live line, a pipe is decoded as the bytes come: the damaged answer at its
    // end is given up once the line has been quiet, before the input ends.
    StartedProgram piped = StartProgram({McuSimPath(), "--live", "--decode", "-"}, {}, true);
    ASSERT_EQ(ssize_t(capture.size()), write(piped.inFd, capture.data(), capture.size()));
    const std::string power =
        "mcusim: 0.000 ms: ascii line \"#x0000001CDEB8\" CR LF: power on (digit '1'), checksum "
        "B8 ok (sum of 12 bytes 0x2B8)\n";
    const std::string decoded =
        "mcusim: 0.000 ms: 4 bytes of noise (holds a frame head whose checksum is wrong)\n"
        "mcusim:   75 aa 00 30\n" +
        power + power +
        "mcusim: 0.000 ms: 2 bytes of noise\n"
        "mcusim:   01 02\n"
        "mcusim: 0.000 ms: frame: len 12, serial 1, flag 0x41 (ackBit 1), cmd 0x0006 "
        "CMD_ALARM_OUT_POWER, payload 00 ff 00 ff 00 00 00 1f\n"
        "mcusim:   maskA 0x00ff, maskB 0x00ff, powerBits 0x0000001f: power on\n"
        "mcusim:   checksum 55 ok, tail ok\n"
        "mcusim: 0.000 ms: 13 bytes of noise (holds a frame head whose checksum is wrong)\n"
        "mcusim:   75 aa 00 06 00 01 00 06 10 00 12 75 aa\n";
    EXPECT_EQ(decoded, ReadUntil(&piped, "12 75 aa\n"));
    EXPECT_EQ(0, FinishProgram(&piped));
    // A recording in a pipe that stalls for 200 ms inside the request: a stall is no quiet on
    // the line, so the request survives, and only the input's end settles the last item.
    StartedProgram replay = StartProgram({McuSimPath(), "--decode", "-"}, {}, true);
    const size_t cut = capture.size() - damaged.size() - 9;
    ASSERT_EQ(ssize_t(cut), write(replay.inFd, capture.data(), cut));
    usleep(200 * 1000);
    ASSERT_EQ(ssize_t(capture.size() - cut),
              write(replay.inFd, &capture[cut], capture.size() - cut));
    close(replay.inFd);
    replay.inFd = -1;
    EXPECT_EQ(WithoutTimes(decoded), WithoutTimes(ReadUntil(&replay, "12 75 aa\n")));
    EXPECT_EQ(0, FinishProgram(&replay));
    // A FIFO is read as cat reads one: the decoder waits for a writer that comes later.
    const TempPath fifo("fifo", TempPath::kFifo);
    StartedProgram named = StartProgram({McuSimPath(), "--decode", fifo.path()});
    int writer = -1, ended = 0;
    for (const double limit = mcucom::MonotonicSeconds() + 30;
         writer < 0 && mcucom::MonotonicSeconds() < limit; usleep(10 * 1000)) {
        writer = open(fifo.path().c_str(), O_WRONLY | O_NONBLOCK);  // once the decoder reads
        ASSERT_EQ(0, waitpid(named.pid, &ended, WNOHANG)) << "ended before a writer came";
    }
    ASSERT_GE(writer, 0);
    ASSERT_EQ(ssize_t(capture.size()), write(writer, capture.data(), capture.size()));
    close(writer);
    EXPECT_EQ(WithoutTimes(decoded), WithoutTimes(ReadUntil(&named, "12 75 aa\n")));
    EXPECT_EQ(0, FinishProgram(&named));
    // A live device is set to 115200 raw, read as frames arrive, and ends when it hangs up.
    PtyLine line;
    ASSERT_TRUE(line.ok());
    StartedProgram device = StartOnCookedLine(line, {"--decode", line.slavePath()});
    line.Send(Ack(6, 1, 0, 1));
    EXPECT_EQ(0u, ReadUntil(&device, "tail ok\n").find("mcusim: 0.000 ms: frame: len 6, serial 1"));
    struct termios tio;
    tcgetattr(line.slave(), &tio);
    EXPECT_EQ(B115200, cfgetispeed(&tio));
    EXPECT_EQ(0u, tio.c_lflag & ICANON);
    line.HangUp();
    EXPECT_EQ(0, FinishProgram(&device));
    const ToolResult folder = RunProgram({McuSimPath(), "--decode", "/tmp"});
    EXPECT_EQ(1, folder.exitCode);
    EXPECT_EQ("mcusim: cannot decode /tmp: it is a folder\n", folder.err);
    EXPECT_EQ("mcusim: cannot open /nonexistent: No such file or directory\n",
              RunProgram({McuSimPath(), "--decode=/nonexistent"}).err);
}

// A terminal as standard input is read as it is set; a device is set raw at 115200 while it
// is decoded or served (mcusim as the MCU on a line that exists: it answers what the board
// side sends, and ends on SIGTERM with its totals) and put back when a signal ends mcusim; a
// device another program holds is refused, unless shared.
// For a shell script: waits until the program started as $pid sleeps, as it does once it
// waits for its input (or has ended).
const std::string kUntilAsleep =
    "until ! kill -0 $pid 2>/dev/null || grep -q '^State:.*(sleeping)' /proc/$pid/status; do "
    "sleep 0.01; done; ";

TEST(McusimLine, LeavesTerminalsAsItFoundThemAndRespectsALock) {
    PtyLine line;
    ASSERT_TRUE(line.ok());
    SetCooked(line.slave());
    const std::string tty = line.slavePath();
    const ToolResult r =
        RunHostShell("$EMU $MCUSIM --decode - < " + tty + " & pid=$!; " + kUntilAsleep +
                     "stty -F " + tty + " speed; kill -TERM $pid; wait $pid; echo stdin $?");
    EXPECT_EQ("9600\nstdin 143\n", r.out) << r.err;
    // The device itself is read through the test's own descriptor: mcusim holds it in
    // exclusive mode, which refuses any other open but root's.
    StartedProgram decoding = StartOnCookedLine(line, {"--decode", tty});
    struct termios tio;
    tcgetattr(line.slave(), &tio);
    EXPECT_EQ(B115200, cfgetospeed(&tio));
    kill(decoding.pid, SIGTERM);
    EXPECT_EQ(128 + SIGTERM, FinishProgram(&decoding));
    EXPECT_TRUE(StillCooked(line.slave()));
    StartedProgram served = StartOnCookedLine(line, {"--serve", tty});
    line.Send(ValidFrame(9, 0x41, 6, "\x01\x02"));
    EXPECT_EQ(Hex(Ack(6, 9, 0, 1)), Hex(line.Drain(300)));
    kill(served.pid, SIGTERM);
    const std::string out = ReadUntil(&served, "full line\n");
    EXPECT_NE(std::string::npos, out.find("mcusim: served " + tty +
                                          ": 1 frames received, 1 answers sent (0 dropped, 0 "
                                          "corrupted), 0 unasked frames, 0 dropped on a full "
                                          "line\n"))
        << out;
    EXPECT_EQ(128 + SIGTERM, FinishProgram(&served));  // ended by the signal, as mcusend is
    EXPECT_TRUE(StillCooked(line.slave()));
    ASSERT_EQ(0, flock(line.slave(), LOCK_EX | LOCK_NB));
    const ToolResult held = RunHostShell(
        "$EMU $MCUSIM --decode " + tty + "; echo held $?; $EMU $MCUSIM --share --decode " + tty +
        " & pid=$!; " + kUntilAsleep + "kill -TERM $pid; wait $pid 2>/dev/null; echo shared $?");
    EXPECT_EQ("held 3\nshared 143\n", held.out);
    EXPECT_EQ("mcusim: " + tty + " is held by another program (--share uses it anyway)\n",
              held.err);
}

// The items of a decoded trace, one line each, up to the first comma: both decoders describe
// frames ("frame: len 12"), power lines and noise runs with their reasons in the same words.
std::string Items(const std::string& text, const std::string& prefix) {
    std::string items;
    std::istringstream lines(WithoutTimes(text));
    for (std::string line; std::getline(lines, line);) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            items += line.substr(prefix.size(), line.find(',') - prefix.size()) + "\n";
        }
    }
    return items;
}

// A peer of a served unix socket, as an emulated board's UART is. Connects (once the server
// listens), sends frames and takes their answers one at a time.
class SocketPeer {
  public:
    explicit SocketPeer(const std::string& path) : m_fd(socket(AF_UNIX, SOCK_STREAM, 0)) {
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        const double limit = mcucom::MonotonicSeconds() + 30;
        while (connect(m_fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0 &&
               mcucom::MonotonicSeconds() < limit) {
            usleep(10 * 1000);
        }
    }
    ~SocketPeer() { close(m_fd); }
    // How many of count frames were answered, each within ten seconds.
    int Exchange(int count) {
        for (int n = 0; n < count; ++n) {
            const std::string frame = ValidFrame(static_cast<unsigned char>(n % 255 + 1), 0x41, 6);
            std::string answer;
            struct pollfd pfd = {m_fd, POLLIN, 0};
            if (write(m_fd, frame.data(), frame.size()) != ssize_t(frame.size())) {
                return n;
            }
            while (answer.size() < 13 && poll(&pfd, 1, 10000) > 0) {
                char buf[13];
                const ssize_t got = read(m_fd, buf, 13 - answer.size());
                if (got <= 0) {
                    return n;
                }
                answer.append(buf, static_cast<size_t>(got));
            }
            // The MCU numbers its answers its own way: the acknowledged serial is what counts.
            if (answer.size() != 13 || answer.substr(6, 3) != frame.substr(6, 2) + frame[4]) {
                return n;
            }
        }
        return count;
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(ssize_t(bytes.size()), write(m_fd, bytes.data(), bytes.size()));
    }

  private:
    int m_fd;
};

// Served over a unix socket, as for an emulated board: one peer after another, a second one
// waiting its turn, the line answered while nobody reads the report, a socket left by a
// server that was killed replaced, and a frame left unfinished reported at the end.
TEST(McusimServe, ServesPeerAfterPeerWhateverBecomesOfItsReport) {
    const TempPath stale("served");
    remove(stale.path().c_str());
    const int left = socket(AF_UNIX, SOCK_STREAM, 0);  // bound, never listened on, then gone
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    stale.path().copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(0, bind(left, reinterpret_cast<struct sockaddr*>(&address), sizeof address));
    close(left);
    StartedProgram served = StartProgram({McuSimPath(), "--serve", "unix:" + stale.path()});
    {
        SocketPeer first(stale.path());
        SocketPeer second(stale.path());      // waits in the backlog until the first leaves
        EXPECT_EQ(300, first.Exchange(300));  // the report is not read meanwhile
        first.Send("");
    }
    {
        SocketPeer again(stale.path());  // a board that rebooted
        EXPECT_EQ(300, again.Exchange(300));
        again.Send(std::string("\x75\xaa\x00\x30", 4));
        usleep(100 * 1000);  // the half frame's bytes reach the server before the peer leaves
    }
    kill(served.pid, SIGTERM);
    const std::string out = ReadUntil(&served, "full line\n");
    EXPECT_EQ(128 + SIGTERM, FinishProgram(&served));
    EXPECT_EQ(0u, out.find("mcusim: removed a stale socket at " + stale.path()));
    const std::string connected = "mcusim: a peer connected at " + stale.path() + "\n";
    size_t peers = 0;
    for (size_t at = out.find(connected); at != std::string::npos;
         at = out.find(connected, at + 1)) {
        ++peers;
    }
    EXPECT_EQ(3u, peers);
    EXPECT_NE(std::string::npos,
              out.find("mcusim: received 4 bytes of noise (holds a frame head whose frame never "
                       "came whole)\n"));
    EXPECT_NE(std::string::npos,
              out.find("mcusim: served unix:" + stale.path() +
                       ": 600 frames received, 600 answers sent (0 dropped, 0 corrupted), 0 "
                       "unasked frames, 0 dropped on a full line\n"));
    EXPECT_NE(0, access(stale.path().c_str(), F_OK));  // removed at the end
    const ToolResult empty = RunProgram({McuSimPath(), "--serve", "unix:"});
    EXPECT_EQ(2, empty.exitCode);
    const TempPath file("not-a-socket");  // a file where the socket would go is kept, not held
    const ToolResult onFile = RunProgram({McuSimPath(), "--serve", "unix:" + file.path()});
    EXPECT_EQ(1, onFile.exitCode);
    EXPECT_EQ("mcusim: cannot listen at " + file.path() + ": it is a file, not a socket\n",
              onFile.err);
    // A line that cannot be served leaves the dump's file as it was.
    const TempPath dump("kept");
    RunHostShell("echo kept > " + dump.path());
    EXPECT_EQ(1,
              RunProgram({McuSimPath(), "--vcd", dump.path(), "--serve", "/nonexistent"}).exitCode);
    EXPECT_EQ("kept\n", Contents(dump.path()));
}

// The line as a logic analyzer shows it, on traces of the tool, a command and a soak under
// every fault mode: sigrok-cli's UART decoder gives exactly the bytes that crossed the line,
// each direction on its own signal, in time order; mcusim --decode reads the host's side as
// mcusim saw it live; and the protocol decoder for sigrok, written apart from mcusim's, finds
// the same frames, power lines, refusals and noise runs on each side. Both read a trace as a
// recording, as mcusim reads a pipe: the protocol decoder gives up an unfinished frame only
// after 800 ms of quiet, longer than any stall inside the traces (a 50 ms time-out, or a
// simulator held up mid-frame on a busy machine), shorter than the quiet second at their end,
// which it then settles as mcusim settles the input's end.
TEST(LineDump, TheBytesAndTheFramesAsLogicAnalyzersDecodeThem) {
    if (RunHostShell("command -v sigrok-cli").exitCode != 0) {
        GTEST_SKIP() << "sigrok-cli is not installed (the test command installs it)";
    }
    const TempPath dump("trace");
    const char* vcd = dump.path().c_str();
    const std::string soak =
        "$EMU $MCUSEND --count 20 -t 50 6 00ff00ff0000001f >/dev/null; sleep 1";
    const struct {
        std::vector<std::string> options;
        std::string command, hostTx, mcuTx;  // the bytes expected, where known
    } traces[] = {{{}, "$EMU $HDDPOWER on; sleep 1", kOnLine + kOnFrame, Ack(6, 1, 0, 1)},
                  {{},
                   "$EMU $MCUSEND -s 7 0x0303 a1:B2; sleep 1",
                   ValidFrame(7, 0x51, 0x0303, "\xa1\xb2"),
                   Ack(0x0303, 7, 0, 1)},
                  {{"--result", "seq"}, soak, "", ""},
                  {{"--noise", "64"}, soak, "", ""},
                  {{"--noise", "64", "--false-heads"}, soak, "", ""},
                  {{"--split"}, soak, "", ""},
                  {{"--corrupt", "0.3"}, soak, "", ""},
                  {{"--duplicate", "0.5"}, soak, "", ""},
                  {{"--unasked", "0x0019", "--unasked-ms", "5"}, soak, "", ""}};
    const std::string uart = std::string("sigrok-cli -i ") + vcd + " -P uart:baudrate=115200:rx=";

    for (const auto& trace : traces) {
        const ToolResult r = UnderSim(Join({"--vcd", vcd}, trace.options), trace.command);
        ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1) << trace.command;  // 1: an answer lost
        if (!trace.hostTx.empty()) {
            EXPECT_EQ(Hex(trace.hostTx), Hex(RunHostShell(uart + "host_tx -B uart=rx").out));
            EXPECT_EQ(Hex(trace.mcuTx), Hex(RunHostShell(uart + "mcu_tx -B uart=rx").out));
        }
        std::ifstream in(vcd);
        long long last = -1;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] == '#') {
                EXPECT_GE(std::stoll(line.substr(1)), last) << line;
                last = std::stoll(line.substr(1));
            }
        }
        for (const std::string side : {"rx", "tx"}) {
            const std::string theirs = RunHostShell(uart + (side == "rx" ? "host_tx" : "mcu_tx") +
                                                    " -B uart=rx | $EMU $MCUSIM --decode -")
                                           .out;
            const std::string mine =
                RunHostShell("SIGROKDECODE_DIR=" HDDPOWER_DECODERS " " + uart +
                             "host_tx:tx=mcu_tx,mculine:quiet_ms=800 -A mculine=" + side + "-items")
                    .out;
            const std::string expected = Items(theirs, "mcusim: T: ");
            EXPECT_NE("", expected) << trace.command << " " << side;
            EXPECT_EQ(expected, Items(mine, "mculine-1: ")) << trace.command << " " << side;
            if (side == "rx" && !trace.hostTx.empty()) {  // as mcusim saw it live
                const size_t live = r.out.find("frame: len"), again = theirs.find("frame: len");
                ASSERT_NE(std::string::npos, again);
                EXPECT_EQ(r.out.substr(live, r.out.find("tail ok", live) - live),
                          theirs.substr(again, theirs.find("tail ok") - again));
            }
        }
    }
}

// The (serial, result) pairs of the answers a run's lines name: mcusend's ("N serial S result
// R rtt_us T"), the decoder's ties ("answer to 0006 serial S, result 0xRR, ..."), or the
// answers mcusim sent whole and in time ("acknowledges serial S, result 0xRR" with nothing
// after it).
enum class PairsOf { kMcusend, kDecoder, kMcusim };
std::set<std::pair<int, int>> AnsweredPairs(const std::string& text, PairsOf source) {
    const char* formats[] = {"%*d serial %d result %d rtt_us %n",
                             "mculine-1: answer to %*x serial %d, result 0x%x%n",
                             "mcusim:   acknowledges serial %d, result 0x%x%n"};
    std::set<std::pair<int, int>> pairs;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        int serial = 0, result = 0, end = 0;
        if (sscanf(line.c_str(), formats[static_cast<int>(source)], &serial, &result, &end) == 2 &&
            (source != PairsOf::kMcusim || line.size() == static_cast<size_t>(end))) {
            pairs.emplace(serial, result);
        }
    }
    return pairs;
}

bool Within(const std::set<std::pair<int, int>>& part, const std::set<std::pair<int, int>>& whole) {
    return std::includes(whole.begin(), whole.end(), part.begin(), part.end());
}

// A trace drawn by hand at 10000 baud (a bit each 100 us, the trace's unit 1 us), byte after
// byte on the wire each names ('!' host_tx, '"' mcu_tx): 8N1 with one idle bit after it, its
// stop bit low where a framing error is wanted; then a second of idle line.
struct DrawnByte {
    char wire;
    unsigned char value;
    bool stopBit;
};

std::string UartTrace(const std::vector<DrawnByte>& bytes) {
    std::string vcd =
        "$timescale 1 us $end\n$scope module line $end\n$var wire 1 ! host_tx $end\n"
        "$var wire 1 \" mcu_tx $end\n$upscope $end\n$enddefinitions $end\n"
        "#0\n$dumpvars\n1!\n1\"\n$end\n";
    long long at = 1000;
    for (const DrawnByte& byte : bytes) {
        std::vector<int> bits = {0};
        for (int i = 0; i < 8; ++i) {
            bits.push_back((byte.value >> i) & 1);
        }
        bits.push_back(byte.stopBit ? 1 : 0);
        bits.push_back(1);
        for (int bit : bits) {
            vcd += "#" + std::to_string(at) + "\n" + std::to_string(bit) + byte.wire + "\n";
            at += 100;
        }
    }
    return vcd + "#" + std::to_string(at + 1000000) + "\n1!\n";
}

// A byte the UART flags is shown on the Errors row and goes on as the 00 the board's receiver
// reads for it; the frames, power lines, noise and answers go on to a decoder stacked above.
TEST(LineDump, TheDecoderShowsUartErrorsAndHandsItsItemsOn) {
    if (RunHostShell("command -v sigrok-cli").exitCode != 0) {
        GTEST_SKIP() << "sigrok-cli is not installed (the test command installs it)";
    }
    std::vector<DrawnByte> bytes = {{'!', 0x41, false}};
    for (unsigned char c : ValidFrame(9, 0x41, 0x0006, "\x01") + "#x0000001CDEB8\r\n") {
        bytes.push_back({'!', c, true});
    }
    for (unsigned char c : Ack(6, 9, 0x02)) {
        bytes.push_back({'"', c, true});
    }
    const TempPath dump("drawn");
    std::ofstream(dump.path()) << UartTrace(bytes);
    const std::string decode = "SIGROKDECODE_DIR=" HDDPOWER_DECODERS " sigrok-cli -i " +
                               dump.path() + " -P uart:baudrate=10000:rx=host_tx:tx=mcu_tx,mculine";
    EXPECT_EQ("mculine-1: UART framing error: byte 41 read as 00\n",
              RunHostShell(decode + " -A mculine=errors").out);
    EXPECT_EQ(
        "mculineprobe-1: ['NOISE', 0, (b'\\x00', None)]\n"
        "mculineprobe-1: ['FRAME', 0, (9, 65, 6, b'\\x01')]\n"
        "mculineprobe-1: ['POWER LINE', 0, ('#x0000001CDE', True)]\n"
        "mculineprobe-1: ['FRAME', 1, (0, 1, 6, b'\\t\\x02')]\n"
        // from the request's first data bit (2200 us) to the answer's last one's end (47000 us)
        "mculineprobe-1: ['ANSWER', 1, (6, 9, 2, 0.0448)]\n",
        RunHostShell(decode + ",mculineprobe -A mculineprobe").out);
}

// On a paced line the protocol decoder ties each answer to its own request, as mcusend does:
// 300 commands under every fault option, and command 4, which any answer of its code
// answers. It ties every answer mcusend took, and none the MCU did not send whole before its
// command gave up (a late, dropped or damaged one). Between the two lie the answers mcusend
// missed for a stall of its own (under an emulator on a busy machine), which the line carried.
TEST(LineDump, TheDecoderTiesAnswersAsTheLinkDoesOnAPacedLine) {
    if (RunHostShell("command -v sigrok-cli").exitCode != 0) {
        GTEST_SKIP() << "sigrok-cli is not installed (the test command installs it)";
    }
    const TempPath dump("paced");
    const struct {
        std::vector<std::string> faults;
        const char* code;
        int timeoutMs;  // short where answers are lost on purpose
    } runs[] = {{{}, "6", 1000},
                {{"--noise", "32", "--false-heads"}, "6", 1000},
                {{"--split"}, "6", 1000},
                {{"--duplicate", "0.5"}, "6", 1000},
                {{"--unasked", "0x0019", "--unasked-ms", "20"}, "6", 1000},
                // Frames of the requests' own code without a payload, whose checksum byte
                // stands where an answer's serial does: neither reader ties them.
                {{"--unasked", "6", "--unasked-len", "0", "--unasked-ms", "1"}, "6", 1000},
                {{"--corrupt", "0.3"}, "6", 200},
                {{"--drop", "0.3"}, "6", 200},
                {{"--late", "4", "--late-ms", "800"}, "6", 200},
                {{}, "4", 1000}};
    for (const auto& run : runs) {
        const std::string name = Join({run.code}, run.faults).size() > 1
                                     ? run.faults[0] + " on " + run.code
                                     : std::string("clean on ") + run.code;
        SCOPED_TRACE(name);
        const ToolResult r =
            UnderSim(Join({"--vcd", dump.path(), "--result", "seq"}, run.faults),
                     "$EMU $MCUSEND --count 300 --verbose -t " + std::to_string(run.timeoutMs) +
                         " " + run.code + " 00ff00ff0000001f; sleep 0.2");
        const std::string ties =
            RunHostShell("SIGROKDECODE_DIR=" HDDPOWER_DECODERS " sigrok-cli -i " + dump.path() +
                         " -P uart:baudrate=115200:rx=host_tx:tx=mcu_tx,mculine -A mculine=acks")
                .out;
        const auto answered = AnsweredPairs(r.out, PairsOf::kMcusend);
        const auto tied = AnsweredPairs(ties, PairsOf::kDecoder);
        EXPECT_GT(answered.size(), 100u);
        EXPECT_TRUE(Within(answered, tied)) << ties;
        EXPECT_TRUE(Within(tied, AnsweredPairs(r.out, PairsOf::kMcusim))) << ties;
    }
}

// Told to stop while a frame of its own is on the wire (one every millisecond, each longer than
// that on the paced line), the simulated MCU still sends the rest of it, as a UART does: the
// bytes it put on the line are whole frames.
TEST(McusimLine, StopsOnlyBetweenFrames) {
    PtyLine line;
    SimOptions options;
    options.unaskedCode = 0x0019;
    options.unaskedEveryMs = 1;
    options.baud = 115200;
    McuSimulator sim(line.master(), McuSimulator::LogSink(), options);
    std::mutex lock;
    std::condition_variable midFrame;
    size_t sent = 0;
    sim.SetLineObserver([&](LineDirection way, const unsigned char*, size_t count, double) {
        std::lock_guard<std::mutex> hold(lock);
        sent += way == kMcuToHost ? count : 0;
        midFrame.notify_all();
    });
    const size_t frame = ValidFrame(0, 0x01, 0x0019, std::string(2, 0)).size();  // 13
    ASSERT_TRUE(sim.Start());
    {
        std::unique_lock<std::mutex> hold(lock);
        ASSERT_TRUE(midFrame.wait_for(hold, std::chrono::seconds(30),
                                      [&] { return sent > frame && sent % frame != 0; }));
    }
    sim.Stop();
    EXPECT_EQ(0u, sent % frame) << sent << " bytes";
}

// The MCU as a scenario file has it: a mistake in the file is refused with its line; requests
// change the state their answers and the MCU's own frames report; expectations judge the run
// (its status, its report, a JUnit file); what a run carried, recorded, answers the same way
// replayed, and so does a capture's recording; the traces decode in sigrok-cli.
TEST(McusimScenario, AnswersAsItsFileSaysAndJudgesTheRun) {
    if (RunProgram({McuSimPath(), "--scenario", "/nonexistent.yaml", "true"})
            .err.find("reads no scenario files") != std::string::npos) {
        GTEST_SKIP() << "this mcusim was built without yaml-cpp (a cross build)";
    }
    const TempPath file("scenario"), junit("junit"), recorded("recorded"), trace("scenario-trace");
    std::string states129 = "all";  // 129 states of 8 bytes: 1032 bytes
    for (int i = 1; i < 129; ++i) {
        states129 += ", all";
    }
    const struct {
        std::string text;
        const char* refusal;
    } wrong[] = {
        {"commands:\n  0x0006:\n    answr: {result: 1}\n", ":3: unknown key 'answr' in a command"},
        {"commands:\n  0x0006:\n    answer: {result: 300}\n",
         ":3: result must be a whole number from 0 to 255"},
        {"frames:\n  - {code: 0x19, payload: [disks]}\n",
         ":2: 'disks' is neither a byte nor a state the scenario names"},
        {"frames:\n  - {code: 0x19}\n",
         ":2: a frame comes every_ms, at_ms or after a request: one of them"},
        {"expect:\n  - {request: 6, payload: \"0g\"}\n",
         ":2: an expected payload must be pairs of hex digits"},
        {"commands: [1\n", ":2: end of sequence flow not found"},
        {"commands:\n  6: {answer: none}\n  0x0006: {answer: none}\n",
         ":3: command 0006 is named twice (line 2)"},
        {"expect:\n  - {never: 0x0001}\n",
         ":2: command 0001 is not in the command table (mcusend --list prints it)"},
        {"frames:\n  - {code: 0x19, every_ms: 0.5}\n",
         ":2: every_ms must be a number from 1 to 600000"},
        {"line: {hangup_ms: 5}\n",
         ":1: line needs hangup_after, the requests before the line hangs up"},
        {"commands:\n  6:\n    answer: {payload: \"" + std::string(2046, 'a') + "\"}\n",
         ":3: a payload of 1023 bytes: a frame carries at most 1022 after an answer's serial and "
         "result"},
        {"state: {all: {bytes: 8}}\nframes:\n  - {code: 0x19, at_ms: 1, payload: [" + states129 +
             "]}\n",
         ":3: a payload of 1032 bytes: a frame carries at most 1024"},
    };
    for (const auto& w : wrong) {
        SCOPED_TRACE(w.text.substr(0, 80));
        std::ofstream(file.path()) << w.text;
        const ToolResult r = RunProgram({McuSimPath(), "--scenario", file.path(), "true"});
        EXPECT_EQ(2, r.exitCode);
        EXPECT_EQ("mcusim: " + file.path() + w.refusal + "\n", r.err);
    }
    RunHostShell("cp " SCENARIOS "/power.yaml " + file.path());
    const std::string power = "$EMU $MCUSEND -s 7 6 00ff00ff0000005f >/dev/null 2>&1; sleep 0.1";
    const ToolResult met = UnderSim({"--scenario", file.path(), "--junit", junit.path(), "--record",
                                     recorded.path(), "--vcd", trace.path()},
                                    power);
    EXPECT_EQ(0, met.exitCode) << met.err;
    EXPECT_NE(std::string::npos,
              met.out.find("cmd 0x0006 CMD_ALARM_OUT_POWER, payload 07 00 00 00 00 5f\n"));
    EXPECT_NE(std::string::npos, met.out.find("cmd 0x0019 CMD_0019, payload 00 00 00 5f\n"));
    EXPECT_NE(std::string::npos, Contents(junit.path()).find("tests=\"2\" failures=\"0\""));
    if (RunHostShell("command -v sigrok-cli").exitCode == 0) {
        const std::string decoded =
            RunHostShell("SIGROKDECODE_DIR=" HDDPOWER_DECODERS " sigrok-cli -i " + trace.path() +
                         " -P uart:baudrate=115200:rx=host_tx:tx=mcu_tx,mculine "
                         "-A mculine=acks:tx-items")
                .out;
        EXPECT_NE(std::string::npos, decoded.find("answer to 0006 serial 7, result 0x00"));
        EXPECT_NE(std::string::npos, decoded.find("cmd 0x0019 CMD_0019")) << decoded;
    }
    const ToolResult unmet = UnderSim({"--scenario", file.path(), "--junit", junit.path()},
                                      "$EMU $MCUSEND 0404 >/dev/null 2>&1; true");
    EXPECT_EQ(6, unmet.exitCode);
    EXPECT_EQ("mcusim: expectation not met: " + file.path() +
                  ":24: a request 0006 within 2000 ms: none came\n"
                  "mcusim: expectation not met: " +
                  file.path() + ":26: no request 0404: 1 came\n",
              unmet.err);
    EXPECT_NE(std::string::npos,
              Contents(junit.path()).find("<failure message=\"no request 0404: 1 came\"/>"));
    // Recorded, the run answers the same way replayed: the answer and the MCU's own frame.
    EXPECT_NE(
        std::string::npos,
        Contents(recorded.path()).find("      - {result: 0x00, payload: \"0000005f\", delay_ms: "));
    const ToolResult replayed = UnderSim({"--scenario", recorded.path()}, power);
    EXPECT_NE(std::string::npos, replayed.out.find("payload 07 00 00 00 00 5f\n"));
    EXPECT_NE(std::string::npos, replayed.out.find("cmd 0x0019 CMD_0019, payload 00 00 00 5f\n"));
    // A capture of both sides: a request, its answer, the MCU's own frame, a request unanswered.
    const std::string capture = ValidFrame(3, 0x41, 6, "\x01\x02") + Ack(6, 3, 0x42, 9) +
                                ValidFrame(4, 0x01, 0x19, "\x0a") + ValidFrame(5, 0x41, 6, "\x01");
    // Read from a pipe the capture is a recording, whose bytes carry no times; said live, the
    // times are when its bytes came.
    StartedProgram decoding =
        StartProgram({McuSimPath(), "--decode", "-", "--record", recorded.path()}, {}, true);
    ASSERT_EQ(ssize_t(capture.size()), write(decoding.inFd, capture.data(), capture.size()));
    EXPECT_EQ(0, FinishProgram(&decoding));
    const std::string fromCapture = Contents(recorded.path());
    EXPECT_NE(std::string::npos,
              fromCapture.find("commands:\n  0x0006:\n    answers:\n      - "
                               "{result: 0x42, payload: \"\"}\n      - none\nframes:\n"
                               "  - {code: 0x0019, flag: 0x01, payload: \"0a\", after_request: "
                               "1}\n"))
        << fromCapture;
    StartedProgram live = StartProgram(
        {McuSimPath(), "--live", "--decode", "-", "--record", recorded.path()}, {}, true);
    const std::string request = ValidFrame(3, 0x41, 6, "\x01"), answer = Ack(6, 3, 0x42, 9);
    ASSERT_EQ(ssize_t(request.size()), write(live.inFd, request.data(), request.size()));
    ReadUntil(&live, "CMD_ALARM_OUT_POWER");  // the request has come: the answer is 30 ms late
    usleep(30000);
    ASSERT_EQ(ssize_t(answer.size()), write(live.inFd, answer.data(), answer.size()));
    EXPECT_EQ(0, FinishProgram(&live));
    const std::string fromLive = Contents(recorded.path());
    const size_t delay = fromLive.find("delay_ms: ");
    ASSERT_NE(std::string::npos, delay) << fromLive;
    EXPECT_GE(atof(fromLive.c_str() + delay + 10), 30.0) << fromLive;
}

// A scenario path that is no file, or a file too large, is refused with the reason; a recording,
// report or dump that cannot be written (a file size limit, as a full disk would) fails the run
// with each file's reason; and a run that never started leaves an earlier recording as it was.
TEST(McusimScenario, RefusesWhatItCannotReadOrWrite) {
    if (RunProgram({McuSimPath(), "--scenario", "/nonexistent.yaml", "true"})
            .err.find("reads no scenario files") != std::string::npos) {
        GTEST_SKIP() << "this mcusim was built without yaml-cpp (a cross build)";
    }
    const TempPath folder("scenario-folder", TempPath::kFolder), big("big-scenario");
    std::ofstream(big.path()) << "# " << std::string(1 << 20, 'x') << "\n";
    const struct {
        std::string path;
        std::string reason;
    } unreadable[] = {{folder.path(), "is not a file"},
                      {big.path(), "is larger than a scenario may be (1048576 bytes)"}};
    for (const auto& u : unreadable) {
        const ToolResult r = RunProgram({McuSimPath(), "--scenario", u.path, "true"});
        EXPECT_EQ(2, r.exitCode) << u.path;
        EXPECT_EQ("mcusim: " + u.path + ": " + u.reason + "\n", r.err);
    }
    const TempPath junit("junit"), recorded("recorded"), trace("trace");
    const ToolResult limited = RunProgram(
        {"bash", "-c",
         "set -o pipefail; trap '' XFSZ; (ulimit -f 0; exec \"$0\" \"$@\") 2>&1 >/dev/null | cat",
         McuSimPath(), "--scenario", SCENARIOS "/power.yaml", "--junit", junit.path(), "--record",
         recorded.path(), "--vcd", trace.path(), "--", "sh", "-c",
         "$EMU $MCUSEND -s 7 6 00ff00ff0000005f >/dev/null 2>&1"},
        0, ProgramEnvironment());
    EXPECT_EQ(1, limited.exitCode);
    for (const std::string& path : {recorded.path(), junit.path(), trace.path()}) {
        EXPECT_NE(std::string::npos,
                  limited.out.find("mcusim: cannot write " + path + ": File too large\n"))
            << limited.out;
    }
    // A line lost on purpose is a served pseudo-terminal's: a run's is refused, its files kept.
    const ToolResult run = RunProgram({McuSimPath(), "--scenario", SCENARIOS "/lost-line.yaml",
                                       "--record", recorded.path(), "true"});
    EXPECT_EQ(2, run.exitCode);
    EXPECT_EQ(
        "mcusim: --hangup-after (or a scenario's line:) hangs up a served pseudo-terminal: "
        "give --serve pty or pty:PATH\n",
        run.err);
    std::ofstream(recorded.path()) << "kept\n";
    const ToolResult unstarted =
        RunProgram({McuSimPath(), "--record", recorded.path(), "/nonexistent/program"});
    EXPECT_EQ(125, unstarted.exitCode);
    EXPECT_EQ("kept\n", Contents(recorded.path()));
}

}  // namespace
