#include "sim/CaptureDecode.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <deque>
#include <utility>
#include <vector>

#include "ack/FrameStreamScanner.h"
#include "sim/McuSimulator.h"
#include "sim/StreamDecoder.h"
#include "sim/TrafficReport.h"

namespace {

const int kDecodeFailed = 1;
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

int OpenCapture(const char* path) {
    const int fd = strcmp(path, "-") == 0 ? STDIN_FILENO : open(path, O_RDONLY | O_NOCTTY);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        fprintf(stderr, "mcusim: cannot decode %s: it is a folder\n", path);
        close(fd);
        return -1;
    }
    if (fd < 0) {
        fprintf(stderr, "mcusim: cannot open %s: %s\n", path, strerror(errno));
        return -1;
    }
    if (isatty(fd)) {
        ConfigureCaptureDevice(fd);
    }
    return fd;
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

void PrintItems(std::vector<DecodedItem>* items, ArrivalTimes* times,
                void (*print)(const std::string& text)) {
    for (size_t i = 0; i < items->size(); ++i) {
        const DecodedItem& item = (*items)[i];
        char when[32];
        snprintf(when, sizeof when, "%.3f ms: ", times->MillisAt(item.offset));
        print(when + DescribeItem(item));
    }
    items->clear();
    fflush(stdout);
}

}  // namespace

int DecodeCapture(const char* path, void (*print)(const std::string& text)) {
    const int fd = OpenCapture(path);
    if (fd < 0) {
        return kDecodeFailed;
    }
    StreamDecoder decoder;
    ArrivalTimes times;
    std::vector<DecodedItem> items;
    unsigned long long offset = 0;
    unsigned char chunk[4096];
    int status = 0;
    for (;;) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (decoder.pending() > 0 && poll(&pfd, 1, kQuietMs) == 0) {
            decoder.Flush(&items);
            PrintItems(&items, &times, print);
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
            fprintf(stderr, "mcusim: cannot read %s: %s\n", path, strerror(errno));
            status = kDecodeFailed;
            break;
        }
        times.Arrived(offset, MonotonicSeconds());
        offset += static_cast<unsigned long long>(got);
        decoder.Feed(chunk, static_cast<size_t>(got), &items);
        PrintItems(&items, &times, print);
    }
    decoder.Flush(&items);
    PrintItems(&items, &times, print);
    if (fd != STDIN_FILENO) {
        close(fd);
    }
    return status;
}
