// SPDX-License-Identifier: MIT
// mcusim: runs a command against a simulated MCU, or decodes a captured byte stream.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/Clock.h"
#include "common/ComFrame.h"
#include "common/MutexLock.h"
#include "common/StdStreams.h"
#include "link/McuPort.h"
#include "programs/ParseArgs.h"
#include "programs/StopSignals.h"
#include "receiver/FrameStreamScanner.h"
#include "sim/CaptureDecode.h"
#include "sim/DeviceNamespace.h"
#include "sim/McuSimulator.h"
#include "sim/OutputFile.h"
#include "sim/ReportWriter.h"
#include "sim/Scenario.h"
#include "sim/ScenarioPlayer.h"
#include "sim/ScenarioRecorder.h"
#include "sim/ScenarioRun.h"
#include "sim/ServeLine.h"
#include "sim/TrafficReport.h"
#include "sim/VcdRecorder.h"

namespace {

const int kUsageStatus = kSimUsageStatus;
const int kSetupStatus = kSimSetupStatus;
const int kOutputFailedStatus = 1;
// What a served line's report may hold back while its reader is slow, and how long the end
// waits for it to be read.
const size_t kReportQueueBytes = 1 << 20;
const double kReportDrainSeconds = 1.0;

const char kUsage[] =
    "Usage: mcusim [OPTIONS] [--] COMMAND [ARGS...]\n"
    "  or:  mcusim --decode=FILE|-\n"
    "  or:  mcusim [OPTIONS] --serve=LINE\n"
    "\n"
    "Runs COMMAND with a simulated MCU on a pseudo-terminal at /dev/ttyAMA2, inside a private\n"
    "mount namespace (as root; otherwise in an unprivileged user namespace). The command's\n"
    "output passes through; every line, frame and noise byte it sends is decoded, with the\n"
    "module's own frame rules, and reported on standard output after \"mcusim: \", and so is\n"
    "every answer. When the command ends, the line settings it left are reported, and whether\n"
    "they are the ones it found (\"line settings left as found\" or \"left changed\"). The exit\n"
    "status is the command's (128 + the signal's number if a signal ended it). SIGINT,\n"
    "SIGTERM and SIGHUP are passed on to the command; the command ends with mcusim.\n"
    "Frames whose flag has the ackBit (0x40) are acknowledged: payload byte 0 the acknowledged\n"
    "serial number, byte 1 the result.\n"
    "\n"
    "Options:\n"
    "      --decode=FILE     decode a byte stream and exit: a capture, - for standard input,\n"
    "                        or a serial device (set to 115200 8N1 raw first, taken for\n"
    "                        mcusim alone, and put back as it was on every exit, signals\n"
    "                        included); each item is printed as soon as it is decoded, after\n"
    "                        the time its first byte arrived, in milliseconds from the first\n"
    "                        byte. A device is a live line: a frame left unfinished when it\n"
    "                        has been quiet for 50 ms is given up, as the module's receiver\n"
    "                        does. A file or a pipe is a recording: a stall in it is no quiet\n"
    "                        on the line, and only its end settles an unfinished frame.\n"
    "                        Standard input that is a terminal is read as it is set, never\n"
    "                        changed: pipe a capture or name the device instead\n"
    "      --live            with --decode of a pipe: its bytes come from a live line (a\n"
    "                        capture running now), so the 50 ms quiet rule applies\n"
    "      --share           with --decode or --serve of a device: use it even when another\n"
    "                        program holds it; by default the device is taken with an\n"
    "                        advisory lock (flock) and exclusive mode, and one another\n"
    "                        program holds is refused with status 3\n"
    "      --serve=LINE      be the MCU on a line that exists instead of running a command:\n"
    "                        a serial device or a pseudo-terminal (taken, set to 115200 8N1\n"
    "                        raw and put back at the end, as for --decode; --share to use a\n"
    "                        held one), served until it hangs up; or unix:PATH, a unix socket\n"
    "                        made at PATH for an emulator's UART (e.g. qemu's -serial\n"
    "                        unix:PATH), serving one peer after another, each until it closes\n"
    "                        (a board that reboots connects again), each said as it connects\n"
    "                        (\"a peer connected at PATH\"), a socket left by a server that\n"
    "                        ended replaced; or pty, a new pseudo-terminal whose path the\n"
    "                        report's first line gives (\"serving a pseudo-terminal at PATH\"),\n"
    "                        for a program to open as its line, served until a stop signal;\n"
    "                        or pty:PATH, the same at PATH, a symbolic link made to it\n"
    "                        Every fault option and --vcd apply. The line\n"
    "                        is served whether or not the report is read (up to 1 MiB of it\n"
    "                        waits for a slow reader; beyond that lines are dropped and\n"
    "                        counted). Ends on SIGINT, SIGTERM or SIGHUP, by that signal, and\n"
    "                        prints its totals; status 0 when a device hung up, 1 when the line\n"
    "                        cannot be used or the report was lost, 3 when another program\n"
    "                        holds it\n"
    "      --baud=RATE       the line's rate, 115200 by default: the simulated line is paced\n"
    "                        as a UART is, each byte taking its 8N1 time (10 bits) to cross, in\n"
    "                        both directions, so that no answer reaches the command sooner\n"
    "                        than a real line could carry the request and the answer\n"
    "      --unpaced         bytes cross at once, for tests that need speed (the dump still\n"
    "                        draws them at 115200 baud)\n"
    "      --scenario=FILE   the MCU as a YAML file describes it (scenarios/power.yaml is one):\n"
    "                        named state that requests change, the answers of each code (result,\n"
    "                        payload with state, delay, none, faults), frames the MCU sends of "
    "its\n"
    "                        own accord (periodic, at a time, after a request), and expectations\n"
    "                        (a request within a time, never a request of a code), each unmet one\n"
    "                        said on standard error with the file's line; with a command, or\n"
    "                        --serve, or --decode (judged on the capture). A file with a mistake\n"
    "                        is refused first, with its line. Status 6 when the run went well\n"
    "                        but an expectation was not met (--serve ended by a signal then ends\n"
    "                        0 or 6)\n"
    "      --junit=FILE      also write the expectations' verdicts as a JUnit XML report\n"
    "      --record=FILE     write what the line carried as a scenario that answers the same\n"
    "                        way, whatever serial number a program starts from: each code's\n"
    "                        answers in turn (none where there was none) with their delays and\n"
    "                        copies after the request, the MCU's own frames after the request\n"
    "                        they followed; from a command's run, --serve (whose times count\n"
    "                        from the program's first byte), or --decode of a capture of both\n"
    "                        sides of a real line\n"
    "      --quiet           report no frame, byte or answer one by one: only the run's end\n"
    "                        (the line settings left, a served line's totals, expectations)\n"
    "      --report=FILE     write the report to FILE instead of standard output (which then\n"
    "                        carries the command's own output alone)\n"
    "      --vcd=FILE        write the line's traffic as a Value Change Dump: signals host_tx\n"
    "                        and mcu_tx, each byte an 8N1 frame at the line's rate, in units of\n"
    "                        1 us, for a logic analyzer's viewer or sigrok-cli's UART decoder\n"
    "      --no-answer       acknowledge nothing\n"
    "      --delay=MS        wait MS milliseconds before each answer\n"
    "      --result=BYTE     result byte of every answer (default 0); \"seq\": the n-th frame\n"
    "                        acknowledged gets n modulo 256, copies and late answers included\n"
    "      --noise=N         up to N random noise bytes before each answer\n"
    "      --false-heads     noise also holds frame heads, some with a length above 1028\n"
    "      --split           write answers in pieces cut at random byte boundaries\n"
    "      --corrupt=P       damage the checksum or tail of an answer with probability P\n"
    "      --late=N          send every N-th answer late (after --late-ms, default 500)\n"
    "      --late-ms=MS      how late a late answer is\n"
    "      --drop=P          send no answer, with probability P\n"
    "      --duplicate=P     send an answer twice, with probability P\n"
    "      --unasked=CODE    send unasked frames of command CODE now and then (CODE in hex as\n"
    "                        the logs print it: 0404 or 0x404)\n"
    "      --unasked-ms=MS   how often, 1 to 600000 ms (default 200)\n"
    "      --unasked-len=N   random payload bytes of each, 0 to 1024 (default 2)\n"
    "      --hangup-after=N  with --serve pty or pty:PATH: the line hangs up (as a pulled\n"
    "                        cable) after N requests, and a new one comes up --hangup-ms\n"
    "                        later (default 1000), at the same PATH, to hang up again\n"
    "      --hangup-ms=MS    how long the line stays down, 0 to 600000\n"
    "      --seed=N          seed of the fault generator (default 1)\n"
    "  -h, --help            this text\n"
    "  -V, --version         the version\n"
    "\n"
    "Values:\n"
    "Probabilities P are numbers from 0 to 1; times are whole milliseconds. Options go\n"
    "before the command; -- ends them.\n";

MutexLock g_printLock;
bool g_quiet = false;     // --quiet: the simulator's line-by-line report left out
FILE* g_report = stdout;  // --report: where the report goes
const char* g_reportPath = NULL;

// Points the report at --report's file: false after saying why when it cannot be written.
bool OpenReport() {
    if (g_reportPath == NULL) {
        return true;
    }
    const int fd = open(g_reportPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    FILE* file = fd >= 0 ? fdopen(fd, "w") : NULL;
    if (file == NULL) {
        fprintf(stderr, "mcusim: cannot write %s: %s\n", g_reportPath, strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
        return false;
    }
    g_report = file;
    return true;
}

// Whether the report reached its file whole (standard output's own check is apart).
bool ReportWritten() {
    if (g_report == stdout) {
        return true;
    }
    const bool flushed = fflush(g_report) == 0 && ferror(g_report) == 0;
    const int error = errno;
    const bool closed = fclose(g_report) == 0;
    g_report = stdout;
    if (!flushed || !closed) {
        fprintf(stderr, "mcusim: cannot write %s: %s\n", g_reportPath,
                strerror(flushed ? errno : error));
    }
    return flushed && closed;
}

// Writes text to standard output, each of its lines after "mcusim: ".
// Each line of text after "mcusim: ", with its newline.
std::string ReportLines(const std::string& text) {
    std::string out;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\n', start);
        out += "mcusim: ";
        out.append(text, start, (end == std::string::npos ? text.size() : end) - start);
        out += '\n';
        if (end == std::string::npos) {
            return out;
        }
        start = end + 1;
    }
}

void WriteLines(const std::string& text) {
    const std::string lines = ReportLines(text);
    fwrite(lines.data(), 1, lines.size(), g_report);
}

// The simulator's log, shared by its thread and this one: each report goes out at once, so
// that it keeps its place among the command's own output.
void Print(const std::string& text) {
    MutexLockGuard guard(g_printLock);
    WriteLines(text);
    fflush(g_report);
}

int BadOption(const char* name, const char* value) {
    fprintf(stderr, "mcusim: bad value for --%s: %s (mcusim --help says what it takes)\n", name,
            value);
    return -1;
}

enum LongOnly {
    kDecode = 256,
    kShare,
    kLive,
    kServe,
    kVcd,
    kNoAnswer,
    kDelay,
    kResult,
    kNoise,
    kFalseHeads,
    kSplit,
    kCorrupt,
    kLate,
    kLateMs,
    kDrop,
    kDuplicate,
    kUnasked,
    kUnaskedMs,
    kUnaskedLen,
    kHangupAfter,
    kHangupMs,
    kSeed,
    kBaud,
    kUnpaced,
    kScenario,
    kRecord,
    kJunit,
    kQuiet,
    kReport
};

const struct option kOptions[] = {{"decode", required_argument, NULL, kDecode},
                                  {"share", no_argument, NULL, kShare},
                                  {"live", no_argument, NULL, kLive},
                                  {"serve", required_argument, NULL, kServe},
                                  {"vcd", required_argument, NULL, kVcd},
                                  {"no-answer", no_argument, NULL, kNoAnswer},
                                  {"delay", required_argument, NULL, kDelay},
                                  {"result", required_argument, NULL, kResult},
                                  {"noise", required_argument, NULL, kNoise},
                                  {"false-heads", no_argument, NULL, kFalseHeads},
                                  {"split", no_argument, NULL, kSplit},
                                  {"corrupt", required_argument, NULL, kCorrupt},
                                  {"late", required_argument, NULL, kLate},
                                  {"late-ms", required_argument, NULL, kLateMs},
                                  {"drop", required_argument, NULL, kDrop},
                                  {"duplicate", required_argument, NULL, kDuplicate},
                                  {"unasked", required_argument, NULL, kUnasked},
                                  {"unasked-ms", required_argument, NULL, kUnaskedMs},
                                  {"unasked-len", required_argument, NULL, kUnaskedLen},
                                  {"hangup-after", required_argument, NULL, kHangupAfter},
                                  {"hangup-ms", required_argument, NULL, kHangupMs},
                                  {"seed", required_argument, NULL, kSeed},
                                  {"baud", required_argument, NULL, kBaud},
                                  {"unpaced", no_argument, NULL, kUnpaced},
                                  {"scenario", required_argument, NULL, kScenario},
                                  {"record", required_argument, NULL, kRecord},
                                  {"junit", required_argument, NULL, kJunit},
                                  {"quiet", no_argument, NULL, kQuiet},
                                  {"report", required_argument, NULL, kReport},
                                  {"help", no_argument, NULL, 'h'},
                                  {"version", no_argument, NULL, 'V'},
                                  {NULL, 0, NULL, 0}};

struct IntegerOption {
    int option;
    long long low;
    long long high;
    int SimOptions::*field;
};

const IntegerOption kIntegerOptions[] = {
    {kDelay, 0, 600000, &SimOptions::delayMs},
    {kNoise, 0, 4096, &SimOptions::noiseMax},
    {kLate, 0, 1000000, &SimOptions::lateEvery},
    {kLateMs, 0, 600000, &SimOptions::lateMs},
    {kUnaskedMs, 1, 600000, &SimOptions::unaskedEveryMs},
    {kUnaskedLen, 0, mcucom::FRAME_MAX_PAYLOAD, &SimOptions::unaskedLen},
    {kHangupAfter, 1, 1000000, &SimOptions::hangupAfter},
    {kHangupMs, 0, 600000, &SimOptions::hangupMs},
};

// Applies one option with a value; false when the value is not one the option takes.
bool ApplyValue(int option, const char* value, SimOptions* options) {
    long long n = 0;
    unsigned long code = 0;
    switch (option) {
        case kResult:
            if (strcmp(value, "seq") == 0) {
                options->resultSeq = true;
                return true;
            }
            if (!ParseInteger(value, 0, 255, &n)) {
                return false;
            }
            options->result = static_cast<unsigned char>(n);
            return true;
        case kCorrupt:
            return ParseFraction(value, &options->corrupt);
        case kDrop:
            return ParseFraction(value, &options->drop);
        case kDuplicate:
            return ParseFraction(value, &options->duplicate);
        case kUnasked:
            if (!ParseCommandCode(value, &code) || code > 0xFFFF) {
                return false;
            }
            options->unaskedCode = static_cast<int>(code);
            return true;
        case kSeed:
            if (!ParseInteger(value, 1, 0xFFFFFFFFLL, &n)) {
                return false;
            }
            options->seed = static_cast<unsigned>(n);
            return true;
        case kBaud:
            if (!ParseInteger(value, 300, 4000000, &n)) {
                return false;
            }
            options->baud = static_cast<unsigned>(n);
            return true;
        default:
            break;
    }
    for (const IntegerOption& integer : kIntegerOptions) {
        if (integer.option == option) {
            if (!ParseInteger(value, integer.low, integer.high, &n)) {
                return false;
            }
            options->*integer.field = static_cast<int>(n);
            return true;
        }
    }
    return false;
}

const char* OptionName(int option) {
    for (const struct option& entry : kOptions) {
        if (entry.val == option && entry.name != NULL) {
            return entry.name;
        }
    }
    return "?";
}

// Parses the options before the command. Returns the index of the command, or -1 after
// reporting a bad option, or argc + 1 after --help.
int ParseOptions(int argc, char* argv[], SimOptions* options, DecodeOptions* decode,
                 const char** serve, const char** vcd, ScenarioFiles* files) {
    opterr = 0;
    int option;
    // "+": options end at the command, whose own options are its business.
    while ((option = getopt_long(argc, argv, "+:hV", kOptions, NULL)) != -1) {
        switch (option) {
            case 'h':
                fputs(kUsage, stdout);
                return argc + 1;
            case 'V':
                printf("mcusim %s\n", MCUCOM_VERSION);
                return argc + 1;
            case kDecode:
                decode->path = optarg;
                break;
            case kShare:
                decode->share = true;
                break;
            case kLive:
                decode->live = true;
                break;
            case kServe:
                if (strcmp(optarg, "unix:") == 0 || strcmp(optarg, "pty:") == 0) {  // a path
                    return BadOption("serve", optarg);
                }
                *serve = optarg;
                break;
            case kVcd:
                *vcd = optarg;
                break;
            case kNoAnswer:
                options->answer = false;
                break;
            case kFalseHeads:
                options->falseHeads = true;
                break;
            case kSplit:
                options->split = true;
                break;
            case kUnpaced:
                options->baud = 0;
                break;
            case kScenario:
                files->scenario = optarg;
                break;
            case kRecord:
                files->record = optarg;
                break;
            case kJunit:
                files->junit = optarg;
                break;
            case kQuiet:
                g_quiet = true;
                break;
            case kReport:
                g_reportPath = optarg;
                break;
            case ':':
                fprintf(stderr, "mcusim: %s needs a value\n", argv[optind - 1]);
                return -1;
            case '?':
                fprintf(stderr, "mcusim: unknown option %s\n", argv[optind - 1]);
                return -1;
            default:
                if (!ApplyValue(option, optarg, options)) {
                    return BadOption(OptionName(option), optarg);
                }
                break;
        }
    }
    return optind;
}

// The signals passed on to the command. They stay blocked, on every thread, until the command
// runs; then only this thread takes them.
volatile sig_atomic_t g_commandPid = 0;

void ForwardToCommand(int signal) {
    if (g_commandPid > 0) {
        kill(static_cast<pid_t>(g_commandPid), signal);
    }
}

void ForwardSignalsTo(pid_t command) {
    g_commandPid = command;
    HandleStopSignals(ForwardToCommand);
    BlockStopSignals(false);
}

// Runs the command against the simulated MCU; records the line into vcd when one is given.
// Returns the exit status and sets *ended to when the command ended.
int RunUnderSimulator(char* argv[], int argc, const SimOptions& options, VcdRecorder* vcd,
                      double* ended) {
    PtyPair pty;
    if (!OpenQuietLine(&pty)) {
        return kSetupStatus;
    }
    std::string error;
    struct termios found;
    const bool settingsRead = tcgetattr(pty.slave, &found) == 0;
    DeviceCommand command;
    command.argv.assign(argv, argv + argc);
    command.slavePath = pty.slavePath;
    command.devicePath = mcucom::MCU_LINE_DEVICE;

    BlockStopSignals(true);
    McuSimulator simulator(pty.master, g_quiet ? McuSimulator::LogSink() : Print, options);
    if (vcd != NULL) {
        simulator.SetLineObserver([vcd](LineDirection direction, const unsigned char* bytes,
                                        size_t count,
                                        double at) { vcd->Record(direction, bytes, count, at); });
    }
    simulator.Start();
    DeviceNamespaceChild child;
    if (!child.Start(command, &error)) {
        simulator.Stop();
        fprintf(stderr, "mcusim: %s\n", error.c_str());
        ClosePtyPair(&pty);
        return kSetupStatus;
    }
    ForwardSignalsTo(child.pid());
    const int status = child.Wait();
    *ended = mcucom::MonotonicSeconds();
    g_commandPid = 0;
    simulator.Stop();
    struct termios left;
    if (settingsRead && tcgetattr(pty.slave, &left) == 0) {
        Print(SayLineLeft(found, left));
    }
    ClosePtyPair(&pty);
    return ExitCodeOf(status);
}

// Runs run with a recorder of the line when vcdPath is given, and writes the dump when the run
// set *ended (it ran); a dump that could not be written fails a run that went well.
int WithLineDump(const char* vcdPath, unsigned baud,
                 const std::function<int(VcdRecorder*, double*)>& run) {
    OutputFile file;
    if (vcdPath != NULL && !file.Open(vcdPath)) {
        return kSetupStatus;
    }
    VcdRecorder vcd(mcucom::MonotonicSeconds(), baud);
    double ended = 0;
    const int status = run(file.open() ? &vcd : NULL, &ended);
    if (!file.open()) {
        return status;
    }
    if (ended == 0) {
        file.Abandon();
        return status;
    }
    const bool written = file.Write([&vcd, ended](FILE* out) { vcd.Write(out, ended); });
    return status == 0 && !written ? kSimWriteFailedStatus : status;
}

// Serves a line with the report written apart (ReportWriter), so that no reader of it can
// stop the line being served. The status: the line's, or 1 when the report was lost; a stop
// signal ends mcusim by that signal once all is put back.
int ServeWithReport(const char* line, const char* vcdPath, const SimOptions& options, bool share,
                    ScenarioRun* run) {
    ReportWriter report(fileno(g_report), kReportQueueBytes);
    ServeSetup setup;
    setup.options = options;
    setup.log = [&report](const std::string& text) { report.Add(ReportLines(text)); };
    setup.vcd = NULL;
    setup.share = share;
    setup.quiet = g_quiet;
    bool ran = false;
    const int served = WithLineDump(vcdPath, options.baud, [&](VcdRecorder* dump, double* ended) {
        setup.vcd = dump;
        const int status = ServeLine(line, setup, ended);
        ran = *ended != 0;
        return status;
    });
    const int written = report.Finish(kReportDrainSeconds);
    // With expectations, the verdict is the status, a stop signal being how serving ends.
    const bool judged = options.player != NULL && !options.player->scenario().expectations.empty();
    const int status = run->Finish(served, std::string("the line ") + line, ran);
    if (judged && (served == 0 || StopSignalCaught() != 0)) {
        return StopSignalCaught() != 0 && status == 0 ? 0 : status;
    }
    EndBySignalIfStopped();
    if (status == 0 && written != 0) {
        mcucom::SayOutputFailed("mcusim",
                                written == EAGAIN ? "it was not read in time" : strerror(written));
        return kOutputFailedStatus;
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    mcucom::EnsureStandardStreams();
    // A reader of mcusim's output that goes away must not end mcusim before its command.
    signal(SIGPIPE, SIG_IGN);
    SimOptions options;
    options.baud = mcucom::MCU_LINE_BAUD;  // a real line is paced
    DecodeOptions decode;
    const char* serve = NULL;
    const char* vcd = NULL;
    ScenarioFiles files;
    const int first = ParseOptions(argc, argv, &options, &decode, &serve, &vcd, &files);
    if (first < 0) {
        return kUsageStatus;
    }
    if (first > argc) {  // --help or --version, printed
        return mcucom::StandardOutputWritten("mcusim") ? 0 : kOutputFailedStatus;
    }
    ScenarioRun run;
    // A capture's times count from its first byte, a served line's from the program's first
    // byte (the server may have been waiting long before), a run's from its start.
    const double start = decode.path != NULL ? 0 : serve != NULL ? -1 : mcucom::MonotonicSeconds();
    const int prepared = run.Prepare(files, start, &options, &decode.recorder);
    if (prepared != 0) {
        return prepared;
    }
    if (options.hangupAfter > 0 && (serve == NULL || strncmp(serve, "pty", 3) != 0)) {
        fprintf(stderr,
                "mcusim: --hangup-after (or a scenario's line:) hangs up a served "
                "pseudo-terminal: give --serve pty or pty:PATH\n");
        run.Finish(kUsageStatus, "", false);
        return kUsageStatus;
    }
    if (!OpenReport()) {
        run.Finish(kSetupStatus, "", false);
        return kSetupStatus;
    }
    if (decode.path != NULL) {
        decode.player = options.player;
        const int decoded = run.Finish(DecodeCapture(decode, WriteLines), decode.path);
        // A failed decode has said why already.
        const bool reported = ReportWritten();
        return decoded != 0 || (mcucom::StandardOutputWritten("mcusim") && reported)
                   ? decoded
                   : kOutputFailedStatus;
    }
    if (serve != NULL) {
        if (first < argc) {
            fprintf(stderr, "mcusim: --serve runs no command (%s)\n", argv[first]);
            return kUsageStatus;
        }
        const int served = ServeWithReport(serve, vcd, options, decode.share, &run);
        return ReportWritten() || served != 0 ? served : kOutputFailedStatus;
    }
    if (first >= argc) {
        fputs(kUsage, stderr);
        return kUsageStatus;
    }
    bool ran = false;
    const int status = WithLineDump(vcd, options.baud, [&](VcdRecorder* dump, double* ended) {
        const int exited = RunUnderSimulator(argv + first, argc - first, options, dump, ended);
        ran = *ended != 0;
        return exited;
    });
    const int judged = run.Finish(status, std::string("a run of ") + argv[first], ran);
    // The command's own status comes first; a run that went well but whose report was lost
    // fails as mcusim's own fault.
    const bool reported = ReportWritten();
    return (mcucom::StandardOutputWritten("mcusim") && reported) || judged != 0 ? judged
                                                                                : kSetupStatus;
}
