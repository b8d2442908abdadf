// SPDX-License-Identifier: MIT
#include "common/WakePipe.h"

#include <fcntl.h>
#include <unistd.h>

namespace mcucom {

WakePipe::WakePipe() {
    if (pipe(m_ends) != 0) {
        m_ends[0] = m_ends[1] = -1;
        return;
    }
    for (int end : m_ends) {
        fcntl(end, F_SETFL, fcntl(end, F_GETFL) | O_NONBLOCK);
        fcntl(end, F_SETFD, FD_CLOEXEC);
    }
}

WakePipe::~WakePipe() {
    for (int end : m_ends) {
        if (end >= 0) {
            close(end);
        }
    }
}

void WakePipe::Ring() {
    const char byte = 0;
    if (m_ends[1] >= 0) {
        ssize_t ignored = write(m_ends[1], &byte, 1);
        (void)ignored;
    }
}

void WakePipe::Drain() {
    char bytes[16];
    while (m_ends[0] >= 0 && read(m_ends[0], bytes, sizeof bytes) > 0) {
    }
}

}  // namespace mcucom
