// SPDX-License-Identifier: MIT
#include "serial/ClaimedLine.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "common/LineLock.h"

namespace mcucom {

ClaimedLine::ClaimedLine() : m_fd(-1), m_shared(false), m_saved(false), m_exclusive(false) {
    memset(&m_settings, 0, sizeof m_settings);
}

ClaimedLine::~ClaimedLine() {
    Release();
}

int ClaimedLine::Take(const char* path, bool share, int accessMode) {
    Release();
    // Non-blocking while it opens: a line without CLOCAL would wait for carrier.
    m_fd = open(path, accessMode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_fd < 0) {
        return OpenRefusedAsHeld(errno) ? -EBUSY : -errno;
    }
    fcntl(m_fd, F_SETFL, fcntl(m_fd, F_GETFL) & ~O_NONBLOCK);
    m_shared = share;
    if (!isatty(m_fd)) {
        return 0;
    }
    if (!share && LockLine(m_fd) == LINE_HELD_ELSEWHERE) {
        close(m_fd);
        m_fd = -1;
        return -EBUSY;
    }
    m_saved = tcgetattr(m_fd, &m_settings) == 0;
    return 0;
}

void ClaimedLine::Exclude() {
    if (m_fd >= 0 && m_saved && !m_shared && !m_exclusive) {
        SetLineExclusive(m_fd, true);
        m_exclusive = true;
    }
}

void ClaimedLine::Release(bool restoreSettings) {
    if (m_fd < 0) {
        return;
    }
    if (m_exclusive) {
        SetLineExclusive(m_fd, false);
    }
    if (m_saved && restoreSettings) {
        tcsetattr(m_fd, TCSANOW, &m_settings);
    }
    close(m_fd);
    m_fd = -1;
    m_saved = false;
    m_exclusive = false;
}

}  // namespace mcucom
