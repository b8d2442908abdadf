// SPDX-License-Identifier: MIT
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

#include "common/Clock.h"
#include "common/ComFrame.h"
#include "common/StdStreams.h"
#include "programs/StopSignals.h"
#include "receiver/FrameStreamScanner.h"
#include "sim/LineOrFifo.h"
#include "sim/McuSimulator.h"
#include "sim/StreamDecoder.h"
#include "sim/TrafficReport.h"

namespace {

const int kDecodeFailed = 1;
const int kQuietMs = mcucom::FRAME_STREAM_QUIET_US / 1000;

// The input: standard input as it is, or a path taken for this program (a device is set up,
// and put back when decoding ends). The exit status when it cannot be decoded, after saying
// why; -1 when it can.
int OpenInput(const DecodeOptions& options, LineOrFifo* taken, int* fd) {
    if (strcmp(options.path, "-") == 0) {
        *fd = STDIN_FILENO;
    } else {
        const int refused = taken->Take(options.path, O_RDONLY, options.share);
        if (refused >= 0) {
            return refused;
        }
        *fd = taken->fd();
    }
    struct stat st;
    if (fstat(*fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        fprintf(stderr, "mcusim: cannot decode %s: it is a folder\n", options.path);
        return kDecodeFailed;
    }
    return -1;
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
                void (*print)(const std::string& text), const DecodeOptions& options) {
    errno = 0;  // a write that fails while printing says why as well as the flush
    for (size_t i = 0; i < items->size(); ++i) {
        const DecodedItem& item = (*items)[i];
        // The times are asked in offset order: the marks behind an offset are let go.
        const double firstAt = times->MillisAt(item.offset) / 1000.0;
        if (item.kind == DecodedItem::kFrame) {
            // A request counts from its last byte: when the frame was whole.
            const double lastAt = times->MillisAt(item.offset + item.bytes.size() - 1) / 1000.0;
            if (options.recorder != NULL) {
                options.recorder->Frame(item.bytes.data(), item.bytes.size(), firstAt, lastAt);
            }
            if (options.player != NULL && mcucom::FrameAckBit(item.bytes[5]) != 0) {
                options.player->Request(item.bytes.data(), item.bytes.size(), lastAt);
            }
        }
        char when[32];
        snprintf(when, sizeof when, "%.3f ms: ", firstAt * 1000.0);
        print(when + DescribeItem(item));
    }
    items->clear();
    if (fflush(stdout) == 0 && !ferror(stdout)) {
        return true;
    }
    mcucom::SayOutputFailed("mcusim", strerror(errno != 0 ? errno : EIO));
    return false;
}

// Reads and decodes until the input ends, a stop signal comes or output fails: the status.
int DecodeStream(int fd, const DecodeOptions& options, void (*print)(const std::string& text)) {
    const bool live = isatty(fd) || options.live;
    if (!live && options.recorder != NULL) {
        options.recorder->TimesUnknown();
    }
    StreamDecoder decoder;
    ArrivalTimes times;
    std::vector<DecodedItem> items;
    unsigned long long offset = 0;
    unsigned char chunk[4096];
    while (StopSignalCaught() == 0) {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (live && decoder.pending() > 0 && poll(&pfd, 1, kQuietMs) == 0) {
            decoder.Flush(&items);
            if (!PrintItems(&items, &times, print, options)) {
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
        times.Arrived(offset, mcucom::MonotonicSeconds());
        offset += static_cast<unsigned long long>(got);
        decoder.Feed(chunk, static_cast<size_t>(got), &items);
        if (!PrintItems(&items, &times, print, options)) {
            return kDecodeFailed;
        }
    }
    decoder.Flush(&items);
    return PrintItems(&items, &times, print, options) ? 0 : kDecodeFailed;
}

}  // namespace

int DecodeCapture(const DecodeOptions& options, void (*print)(const std::string& text)) {
    CatchStopSignals();
    int status;
    {
        LineOrFifo taken;
        int fd = -1;
        status = OpenInput(options, &taken, &fd);
        if (status < 0) {
            status = DecodeStream(fd, options, print);
        }
    }  // a device is put back before a stop signal ends the program
    EndBySignalIfStopped();
    return status;
}
