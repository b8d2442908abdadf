// SPDX-License-Identifier: MIT
#include "sim/LocalLink.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
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
    struct pollfd pfd = {m_pty.master, POLLIN, 0};
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

PtyMcuPort::PtyMcuPort() : m_opened(false) {
    if (m_line.ok()) {
        TerminalInfo info = mcucom::McuPortSettings(m_line.slavePath().c_str());
        QuietOutput quiet;  // the port's own "Open COM" line
        m_opened = g_McuCom.OpenCom(&info) == 0;
    }
}

PtyMcuPort::~PtyMcuPort() {
    if (m_opened) {
        g_McuCom.CloseCom();
    }
}

SimulatedMcu::SimulatedMcu(const SimOptions& options)
    : m_simulator(m_port.line().master(), McuSimulator::LogSink(), options) {
    m_simulator.Start();
    m_receiver.Start();
}

SimulatedMcu::~SimulatedMcu() {
    m_receiver.Stop();
    m_simulator.Stop();
}
