// SPDX-License-Identifier: MIT
#include "sim/TakenLine.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/LineClaim.h"
#include "common/StopSignals.h"

namespace {

// The board's MCU line: 115200 baud, 8N1, raw, reading whatever comes.
void SetMcuLine(int fd) {
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

}  // namespace

TakenLine::TakenLine() : m_fd(-1), m_saved(false), m_exclusive(false) {
    memset(&m_settings, 0, sizeof m_settings);
}

TakenLine::~TakenLine() {
    Release();
}

int TakenLine::Take(const char* path, int accessMode, bool share) {
    // Non-blocking while it opens: a line without CLOCAL would wait for carrier. A FIFO is
    // opened as cat opens one, waiting for its writer: opened without waiting, its first
    // read would see an end that is only the writer not being there yet.
    struct stat st;
    const bool fifo = stat(path, &st) == 0 && S_ISFIFO(st.st_mode);
    m_fd = open(path, accessMode | O_NOCTTY | (fifo ? 0 : O_NONBLOCK) | O_CLOEXEC);
    if (m_fd < 0 && errno == EINTR && StopSignalCaught() != 0) {
        return kLineUnusable;  // stopped while waiting for the writer: nothing to say
    }
    if (m_fd < 0 && OpenRefusedAsHeld(errno)) {
        fprintf(stderr, "mcusim: %s is held by another program in exclusive mode (%s)\n", path,
                kExclusiveNote);
        return kLineHeld;
    }
    if (m_fd < 0) {
        fprintf(stderr, "mcusim: cannot open %s: %s\n", path, strerror(errno));
        return kLineUnusable;
    }
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    if (!isatty(m_fd)) {
        return -1;
    }
    if (!share && LockLine(m_fd) == LINE_HELD_ELSEWHERE) {
        fprintf(stderr, "mcusim: %s is held by another program (--share uses it anyway)\n", path);
        return kLineHeld;
    }
    m_saved = tcgetattr(m_fd, &m_settings) == 0;
    SetMcuLine(m_fd);
    if (!share) {
        SetLineExclusive(m_fd, true);
        m_exclusive = true;
    }
    return -1;
}

void TakenLine::Release() {
    if (m_fd < 0) {
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
    m_saved = false;
    m_exclusive = false;
}
