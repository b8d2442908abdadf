#include "tests/support/PtyLine.h"

#include <poll.h>
#include <unistd.h>

PtyLine::PtyLine() {
    std::string error;
    if (!OpenPtyPair(&m_pty, &error)) {
        m_pty.master = -1;
    }
}

PtyLine::~PtyLine() {
    ClosePtyPair(&m_pty);
}

std::string PtyLine::Drain(int quietMs) {
    std::string bytes;
    struct pollfd pfd;
    pfd.fd = m_pty.master;
    pfd.events = POLLIN;
    while (poll(&pfd, 1, quietMs) > 0 && (pfd.revents & POLLIN) != 0) {
        char buf[4096];
        const ssize_t got = read(m_pty.master, buf, sizeof buf);
        if (got <= 0) {
            break;
        }
        bytes.append(buf, static_cast<size_t>(got));
    }
    return bytes;
}

void PtyLine::Send(const std::string& bytes) {
    ssize_t ignored = write(m_pty.master, bytes.data(), bytes.size());
    (void)ignored;
}

void PtyLine::HangUp() {
    if (m_pty.master >= 0) {
        close(m_pty.master);
        m_pty.master = -1;
    }
}
