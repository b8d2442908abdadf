// SPDX-License-Identifier: MIT
#include "sim/OutputRedirect.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

OutputRedirect::OutputRedirect(int outFd, int errFd) : m_restored(false) {
    fflush(stdout);
    fflush(stderr);
    const int targets[2] = {outFd, errFd};
    for (int i = 0; i < 2; ++i) {
        m_saved[i] = dup(1 + i);
        dup2(targets[i], 1 + i);
    }
}

OutputRedirect::~OutputRedirect() {
    Restore();
}

void OutputRedirect::Restore() {
    if (m_restored) {
        return;
    }
    m_restored = true;
    fflush(stdout);
    fflush(stderr);
    for (int i = 0; i < 2; ++i) {
        dup2(m_saved[i], 1 + i);
        close(m_saved[i]);
    }
}

QuietOutput::QuietOutput() : QuietOutput(open("/dev/null", O_WRONLY | O_CLOEXEC)) {}

QuietOutput::QuietOutput(int null) : OutputRedirect(null, null) {
    close(null);
}
