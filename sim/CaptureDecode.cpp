#include "sim/CaptureDecode.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <utility>
#include <vector>

#include "ack/FrameStreamScanner.h"
#include "common/LineClaim.h"
#include "sim/McuSimulator.h"
#include "sim/StreamDecoder.h"
#include "sim/TrafficReport.h"

namespace {

const int kDecodeFailed = 1;
const int kLineHeld = 3;
const int kQuietMs = FRAME_STREAM_QUIET_US / 1000;

// A serial adapter on the board's MCU line: 115200 baud, 8N1, raw, reading whatever comes.
void ConfigureCaptureDevice(int fd) {
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &tio);
}

volatile sig_atomic_t g_stopSignal = 0;

void OnStopSignal(int signal) {
    g_stopSignal = signal;
}

// Without SA_RESTART, so that a wait or read in progress returns and the loop sees the flag.
void CatchStopSignals() {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, NULL);
    }
}

void EndBySignalIfStopped() {
    if (g_stopSignal != 0) {
        signal(g_stopSignal, SIG_DFL);
        raise(g_stopSignal);
    }
}

// The input, and for a device the settings it had, put back when decoding ends.
class CaptureInput {
  public:
    CaptureInput() : m_fd(-1), m_device(false), m_exclusive(false), m_saved(false) {}
    ~CaptureInput() { Close(); }

    // The exit status when it cannot be decoded, after saying why; -1 when it can.
    int Open(const DecodeOptions& options);
    int fd() const { return m_fd; }
    bool live(const DecodeOptions& options) const { return isatty(m_fd) || options.live; }

  private:
    int TakeDevice(const DecodeOptions& options);
    void Close();

    int m_fd;
    bool m_device;  // a terminal named by its path: set up, and put back at the end
    bool m_exclusive;
    bool m_saved;
    struct termios m_settings;
};

int CaptureInput::Open(const DecodeOptions& options) {
    const char* path = options.path;
    const bool standardInput = strcmp(path, "-") == 0;
    // Non-blocking while it opens: a line without CLOCAL would wait for carrier.
    m_fd = standardInput ? STDIN_FILENO : open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK);
    if (m_fd < 0) {
        fprintf(stderr, "mcusim: cannot open %s: %s\n", path, strerror(errno));
        return kDecodeFailed;
    }
    struct stat st;
    if (fstat(m_fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        fprintf(stderr, "mcusim: cannot decode %s: it is a folder\n", path);
        return kDecodeFailed;
    }
    if (!standardInput) {
        fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
        m_device = isatty(m_fd) != 0;
    }
    return m_device ? TakeDevice(options) : -1;
}

int CaptureInput::TakeDevice(const DecodeOptions& options) {
    if (!options.share && LockLine(m_fd) == LINE_HELD_ELSEWHERE) {
        fprintf(stderr, "mcusim: %s is held by another program (--share uses it anyway)\n",
                options.path);
        return kLineHeld;
    }
    m_saved = tcgetattr(m_fd, &m_settings) == 0;
    ConfigureCaptureDevice(m_fd);
    if (!options.share) {
        SetLineExclusive(m_fd, true);
        m_exclusive = true;
    }
    return -1;
}

void CaptureInput::Close() {
    if (m_fd < 0 || m_fd == STDIN_FILENO) {
        return;
    }
    if (m_exclusive) {
        SetLineExclusive(m_fd, false);
    }
    if (m_saved) {
        tcsetattr(m_fd, TCSANOW, &m_settings);
    }
    close(m_fd);
    m_fd = -1;
}

// When each read's bytes arrived, by their position in the stream, to time the items.
class ArrivalTimes {
  public:
    ArrivalTimes() : m_first(-1) {}
    void Arrived(unsigned long long offset, double at) {
        if (m_first < 0) {
            m_first = at;
        }
        m_marks.push_back(std::make_pair(offset, at));
    }
    // Milliseconds from the first byte to the arrival of the byte at offset.
    double MillisAt(unsigned long long offset) {
        while (m_marks.size() > 1 && m_marks[1].first <= offset) {
            m_marks.pop_front();
        }
        return m_marks.empty() ? 0 : (m_marks.front().second - m_first) * 1000.0;
    }

  private:
    double m_first;
    std::deque<std::pair<unsigned long long, double> > m_marks;
};

// Prints and flushes the items; false, after saying why, when standard output refused them.
bool PrintItems(std::vector<DecodedItem>* items, ArrivalTimes* times,
                void (*print)(const std::string& text)) {
    for (size_t i = 0; i < items->size(); ++i) {
        const DecodedItem& item = (*items)[i];
        char when[32];
        snprintf(when, sizeof when, "%.3f ms: ", times->MillisAt(item.offset));
        print(when + DescribeItem(item));
    }
    items->clear();
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout)) {
        return true;
    }
    fprintf(stderr, "mcusim: cannot write standard output: %s\n",
            strerror(errno != 0 ? errno : EIO));
    return false;
}

// Reads and decodes until the input ends, a stop signal comes or output fails: the status.
int DecodeStream(const CaptureInput& input, const DecodeOptions& options,
                 void (*print)(const std::string& text)) {
    const int fd = input.fd();
    const bool live = input.live(options);
    StreamDecoder decoder;
    ArrivalTimes times;
    std::vector<DecodedItem> items;
    unsigned long long offset = 0;
    unsigned char chunk[4096];
    while (g_stopSignal == 0) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (live && decoder.pending() > 0 && poll(&pfd, 1, kQuietMs) == 0) {
            decoder.Flush(&items);
            if (!PrintItems(&items, &times, print)) {
                return kDecodeFailed;
            }
            continue;
        }
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // A device that hangs up (EIO) has ended its stream like a file that ends.
        if (got == 0 || (got < 0 && errno == EIO)) {
            break;
        }
        if (got < 0) {
            fprintf(stderr, "mcusim: cannot read %s: %s\n", options.path, strerror(errno));
            return kDecodeFailed;
        }
        times.Arrived(offset, MonotonicSeconds());
        offset += static_cast<unsigned long long>(got);
        decoder.Feed(chunk, static_cast<size_t>(got), &items);
        if (!PrintItems(&items, &times, print)) {
            return kDecodeFailed;
        }
    }
    decoder.Flush(&items);
    return PrintItems(&items, &times, print) ? 0 : kDecodeFailed;
}

}  // namespace

int DecodeCapture(const DecodeOptions& options, void (*print)(const std::string& text)) {
    CatchStopSignals();
    int status;
    {
        CaptureInput input;
        status = input.Open(options);
        if (status < 0) {
            status = DecodeStream(input, options, print);
        }
    }  // the device is put back before a stop signal ends the program
    EndBySignalIfStopped();
    return status;
}
