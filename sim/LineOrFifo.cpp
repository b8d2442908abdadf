// SPDX-License-Identifier: MIT
#include "sim/LineOrFifo.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "link/McuPort.h"
#include "programs/LineRefusal.h"
#include "programs/StopSignals.h"

LineOrFifo::LineOrFifo() : m_fifo(-1) {}

LineOrFifo::~LineOrFifo() {
    Release();
}

int LineOrFifo::Take(const char* path, int accessMode, bool share) {
    // A FIFO is opened as cat opens one, waiting for its writer: opened without waiting, its
    // first read would see an end that is only the writer not being there yet.
    struct stat st;
    if (stat(path, &st) == 0 && S_ISFIFO(st.st_mode)) {
        m_fifo = open(path, accessMode | O_NOCTTY | O_CLOEXEC);
        if (m_fifo < 0 && errno == EINTR && StopSignalCaught() != 0) {
            return kLineUnusable;  // stopped while waiting for the writer: nothing to say
        }
        if (m_fifo < 0) {
            SayLineNotTaken("mcusim", path, errno);
            return kLineUnusable;
        }
        return -1;
    }
    const int taken = m_line.Take(path, share, accessMode);
    if (taken < 0) {
        return SayLineNotTaken("mcusim", path, -taken) ? kLineHeld : kLineUnusable;
    }
    if (m_line.terminal()) {
        mcucom::SetMcuLineToWatch(m_line.fd());
        m_line.Exclude();
    }
    return -1;
}

void LineOrFifo::Release() {
    m_line.Release();
    if (m_fifo >= 0) {
        close(m_fifo);
        m_fifo = -1;
    }
}
