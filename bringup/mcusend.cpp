// SPDX-License-Identifier: MIT
// mcusend: sends a command of the table to the MCU, once or many times, and reports each
// acknowledgement.
#include <errno.h>
#include <getopt.h>
#include <stdio.h>

#include <string>

#include "bringup/RoundTripTimes.h"
#include "capi/mcucom.h"
#include "common/ComFrame.h"
#include "common/StdStreams.h"
#include "programs/LineRefusal.h"
#include "programs/ParseArgs.h"
#include "programs/StopSignals.h"

namespace {

const int kAcknowledged = 0;
const int kNoAcknowledgement = 1;
const int kUsageError = 2;
const int kSendError = 3;
const int kOutputError = 4;

const int kShareOption = 256;  // long only

const size_t kMaxPayload = MCUCOM_PAYLOAD_MAX;

const char kUsage[] =
    "Usage: mcusend [OPTIONS] CODE [HEXPAYLOAD]\n"
    "\n"
    "Sends the command CODE, with an optional payload, to the MCU on a serial device\n"
    "(115200 8N1 raw), runs the module's receiver while it waits, and prints the\n"
    "acknowledgement: its serial number and result byte.\n"
    "\n"
    "CODE is hexadecimal, as the module's logs print codes: four digits (0006, 0303) or 0x\n"
    "and up to eight digits (0x6, 0x303); a single digit 0 to 9 reads the same in any base.\n"
    "Any other form (16, 771, 010) could be meant as decimal, octal or hexadecimal and is\n"
    "refused. The code must be in the command table.\n"
    "HEXPAYLOAD is pairs of hex digits, with blanks or colons allowed between pairs\n"
    "(00ff00ff0000001f, \"00 ff\", 00:ff); at most 1024 bytes, the most a frame carries.\n"
    "\n"
    "Options:\n"
    "  -d, --device=PATH    the serial device (default /dev/ttyAMA2; at most 51 characters)\n"
    "  -t, --timeout=MS     how long to wait for each acknowledgement (default 1000)\n"
    "  -s, --serial=N       serial number of the first command, 1 to 255 (default: an\n"
    "                       unpredictable one); each further command takes the next, 0 skipped\n"
    "  -n, --count=N        send the command N times, one after another, and end with a\n"
    "                       summary line: sent, acknowledged, timed out, round-trip times\n"
    "                       (median and 99th percentile exact below 2048 us, at most 0.1 %\n"
    "                       low above; the maximum exact), in constant memory\n"
    "  -v, --verbose        print a line per command for scripts: N serial S result R rtt_us T\n"
    "                       (position from 1, serial number, result byte, round trip in\n"
    "                       microseconds; \"result timeout\" when no acknowledgement came)\n"
    "  -l, --list           print the command table (each code, its flag byte, and whether\n"
    "                       it expects an answer) and exit\n"
    "  -k, --keep-settings  leave the line as the module set it; by default the settings\n"
    "                       found on the device are put back at the end\n"
    "      --share          use the line even when another program holds it; by default\n"
    "                       mcusend takes the line for itself (an advisory lock, flock, and\n"
    "                       the terminal's exclusive mode) and refuses a line another\n"
    "                       program holds\n"
    "  -h, --help           this text\n"
    "  -V, --version        the version\n"
    "\n"
    "Serial numbers:\n"
    "A run starts from an unpredictable serial number (from the kernel's random pool, or,\n"
    "while the pool is not ready early after boot, from the clock and the process number:\n"
    "mcusend never waits for entropy), so that a late answer to an earlier\n"
    "run is not taken for this one: such an answer is taken only if it arrives while this run\n"
    "waits for a command with the same code and the same serial number, about one chance in\n"
    "255 for each late answer (every time when --serial repeats the earlier run's numbers).\n"
    "By design of the protocol, the answer to command 4 matches any waiting command 4,\n"
    "whatever its serial number: a late answer to an earlier command 4 can be taken.\n"
    "\n"
    "Exit status:\n"
    "0 every command acknowledged (or written, for a command that expects no\n"
    "acknowledgement), 1 a command not acknowledged, 2 bad usage, 3 the device could not be\n"
    "opened or written, or another program holds it, 4 every command acknowledged but\n"
    "mcusend's own output could not be written.\n";

struct Options {
    Options()
        : device(NULL),
          timeoutMs(1000),
          serial(0),
          count(1),
          countGiven(false),
          verbose(false),
          keepSettings(false),
          share(false),
          code(0) {}

    const char* device;
    long long timeoutMs;
    long long serial;
    long long count;
    bool countGiven;
    bool verbose;
    bool keepSettings;
    bool share;
    unsigned long code;
    std::string payload;
};

// The command table, a line a code: "0006  0x41  answer" (or "none" for a code whose commands
// expect no answer).
void PrintCommandTable() {
    printf("CODE  FLAG  ANSWER\n");
    uint32_t code = 0;
    uint8_t flag = 0;
    for (size_t i = 0; mcucom_command_entry(i, &code, &flag) == 1; ++i) {
        printf("%04x  0x%02x  %s\n", static_cast<unsigned>(code), flag,
               mcucom::FrameAckBit(flag) != 0 ? "answer" : "none");
    }
}

// Reports a usage error and gives its status.
int BadUsage(const char* format, const char* what) {
    fprintf(stderr, "mcusend: ");
    fprintf(stderr, format, what);
    fprintf(stderr, "\n(mcusend --help says how to call it)\n");
    return kUsageError;
}

// Parses the command line into *options: -1 when the run goes on, otherwise the exit status.
int ParseArguments(int argc, char* argv[], Options* options) {
    static const struct option kLong[] = {
        {"device", required_argument, NULL, 'd'},
        {"timeout", required_argument, NULL, 't'},
        {"serial", required_argument, NULL, 's'},
        {"count", required_argument, NULL, 'n'},
        {"verbose", no_argument, NULL, 'v'},
        {"keep-settings", no_argument, NULL, 'k'},
        {"share", no_argument, NULL, kShareOption},
        {"help", no_argument, NULL, 'h'},
        {"version", no_argument, NULL, 'V'},
        {"list", no_argument, NULL, 'l'},
        {NULL, 0, NULL, 0},
    };
    opterr = 0;
    int option;
    while ((option = getopt_long(argc, argv, ":d:t:s:n:vklhV", kLong, NULL)) != -1) {
        switch (option) {
            case 'd':
                options->device = optarg;
                break;
            case 't':
                if (!ParseInteger(optarg, 1, 600000, &options->timeoutMs)) {
                    return BadUsage("--timeout takes 1 to 600000 milliseconds, not %s", optarg);
                }
                break;
            case 's':
                if (!ParseInteger(optarg, 1, 255, &options->serial)) {
                    return BadUsage("--serial takes 1 to 255, not %s", optarg);
                }
                break;
            case 'n':
                if (!ParseInteger(optarg, 1, 100000000, &options->count)) {
                    return BadUsage("--count takes 1 to 100000000, not %s", optarg);
                }
                options->countGiven = true;
                break;
            case 'v':
                options->verbose = true;
                break;
            case 'k':
                options->keepSettings = true;
                break;
            case kShareOption:
                options->share = true;
                break;
            case 'h':
                fputs(kUsage, stdout);
                return 0;
            case 'V':
                printf("mcusend %s\n", MCUCOM_VERSION);
                return 0;
            case 'l':
                PrintCommandTable();
                return 0;
            case ':':
                return BadUsage("%s needs a value", argv[optind - 1]);
            default:
                return BadUsage("unknown option %s", argv[optind - 1]);
        }
    }
    const int operands = argc - optind;
    if (operands < 1) {
        return BadUsage("a command code is needed%s", "");
    }
    if (operands > 2) {
        return BadUsage(
            "one command code and one payload at most: %s is one more (quote a payload with "
            "blanks)",
            argv[optind + 2]);
    }
    if (!ParseCommandCode(argv[optind], &options->code)) {
        return BadUsage("command code %s: write it in hex as the logs print it (0006, 0x6)",
                        argv[optind]);
    }
    if (operands == 2 && !ParseHexBytes(argv[optind + 1], &options->payload)) {
        return BadUsage("payload %s is not pairs of hex digits", argv[optind + 1]);
    }
    if (options->payload.size() > kMaxPayload) {
        const std::string size = std::to_string(options->payload.size());
        return BadUsage("a payload of %s bytes is more than a frame carries (1024)", size.c_str());
    }
    return -1;
}

struct Outcome {
    int result;  // mcucom_command's
    unsigned char serial;
    unsigned char answer;  // result byte of the acknowledgement
    long rttUs;
};

Outcome SendOnce(mcucom_link* link, const Options& options) {
    mcucom_answer answer;
    Outcome outcome;
    outcome.result =
        mcucom_command(link, static_cast<uint32_t>(options.code), options.payload.data(),
                       options.payload.size(), static_cast<unsigned>(options.timeoutMs), &answer);
    outcome.serial = answer.serial;
    outcome.answer = answer.result;
    outcome.rttUs = static_cast<long>(answer.round_trip_us);
    return outcome;
}

// A command that was not answered in time, rather than one the line failed.
bool TimedOut(int result) {
    return result == -ETIMEDOUT || result == -EPROTO;
}

// What one run did, for the summary line.
struct Tally {
    Tally() : sent(0), acknowledged(0), timedOut(0) {}
    long sent;
    long acknowledged;
    long timedOut;
    RoundTripTimes rttUs;  // of the acknowledged commands
};

void PrintSummary(const Tally& tally) {
    printf(
        "mcusend: sent %ld, acknowledged %ld, timed out %ld; round trip median %ld us, 99th "
        "percentile %ld us, max %ld us\n",
        tally.sent, tally.acknowledged, tally.timedOut, tally.rttUs.Percentile(50),
        tally.rttUs.Percentile(99), tally.rttUs.Max());
}

// Whether the table has the command wait for an acknowledgement.
bool ExpectsAck(const Options& options) {
    const int flag = mcucom_command_flag(static_cast<uint32_t>(options.code));
    return mcucom::FrameAckBit(static_cast<unsigned char>(flag)) != 0;
}

void PrintSingle(const Options& options, const Outcome& outcome) {
    const bool expectsAck = ExpectsAck(options);
    if (outcome.result < 0 && !TimedOut(outcome.result)) {
        printf("mcusend: command %04lx failed: %s\n", options.code,
               mcucom_strerror(outcome.result));
    } else if (!expectsAck) {
        printf("mcusend: command %04lx sent with serial %u; it expects no acknowledgement\n",
               options.code, outcome.serial);
    } else if (outcome.result == 0) {
        printf("mcusend: acknowledged: command %04lx, serial %u, result 0x%02x\n", options.code,
               outcome.serial, outcome.answer);
    } else {
        printf("mcusend: no acknowledgement of command %04lx, serial %u, within %lld ms (%s)\n",
               options.code, outcome.serial, options.timeoutMs, mcucom_strerror(outcome.result));
    }
}

// Sends the command count times; returns the exit status.
int SendAll(mcucom_link* link, const Options& options) {
    const bool expectsAck = ExpectsAck(options);
    Tally tally;
    int status = kAcknowledged;
    for (long n = 1; n <= options.count && StopSignalCaught() == 0; ++n) {
        const Outcome outcome = SendOnce(link, options);
        ++tally.sent;
        const bool failed = outcome.result < 0 && !TimedOut(outcome.result);
        if (outcome.result == 0) {
            ++tally.acknowledged;
            tally.rttUs.Add(outcome.rttUs);
        } else if (!failed) {
            ++tally.timedOut;
            status = kNoAcknowledgement;
        }
        if (options.verbose) {
            if (outcome.result == 0 && expectsAck) {
                printf("%ld serial %u result %u rtt_us %ld\n", n, outcome.serial, outcome.answer,
                       outcome.rttUs);
            } else {
                printf("%ld serial %u result %s rtt_us %ld\n", n, outcome.serial,
                       outcome.result == 0 ? "none" : "timeout", outcome.rttUs);
            }
        }
        if (failed || (!options.countGiven && !options.verbose)) {
            PrintSingle(options, outcome);
        }
        if (failed) {
            status = kSendError;
            break;
        }
    }
    if (options.countGiven || options.verbose) {
        PrintSummary(tally);
    }
    return status;
}

// Opens the link as the options say, its lines printed as the fixed interface prints them;
// NULL, after saying why, when the line could not be taken (*status then holds the exit status).
mcucom_link* OpenLink(const Options& options, int* status) {
    mcucom_options linkOptions;
    mcucom_options_init(&linkOptions);
    linkOptions.device = options.device != NULL ? options.device : linkOptions.device;
    linkOptions.share = options.share ? 1 : 0;
    linkOptions.first_serial = static_cast<unsigned char>(options.serial);
    linkOptions.log = mcucom_log_stdio;
    mcucom_link* link = NULL;
    const int opened = mcucom_open(&linkOptions, &link);
    if (opened == -ENAMETOOLONG) {
        *status = BadUsage("device path %s is longer than 51 characters", linkOptions.device);
    } else if (opened < 0) {
        SayLineNotTaken("mcusend", linkOptions.device, -opened);
        *status = kSendError;
    }
    return opened == 0 ? link : NULL;
}

}  // namespace

int main(int argc, char* argv[]) {
    mcucom::EnsureStandardStreams();
    Options options;
    // --help and --version print through the full buffer, so that a failed write is seen,
    // with its reason, by the flush at the end.
    const int parsed = ParseArguments(argc, argv, &options);
    if (parsed >= 0) {
        return mcucom::StandardOutputWritten("mcusend") || parsed != 0 ? parsed : kOutputError;
    }
    // Whole lines, each in one write: scripts read them, often from a pipe that mcusim's own
    // report shares. Nothing has been printed to it yet.
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (mcucom_command_flag(static_cast<uint32_t>(options.code)) == 0) {
        fprintf(stderr, "mcusend: command %04lx is not in the command table\n", options.code);
        return kUsageError;
    }
    int refused = kSendError;
    mcucom_link* link = OpenLink(options, &refused);
    if (link == NULL) {
        return refused;
    }
    CatchStopSignals();
    const int status = SendAll(link, options);
    if (options.keepSettings) {
        mcucom_close_keeping_settings(link);
    } else {
        mcucom_close(link);
    }
    const bool written = mcucom::StandardOutputWritten("mcusend");
    EndBySignalIfStopped();
    return written || status != kAcknowledged ? status : kOutputError;
}
