#include "tests/support/CaptureOutput.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int AnonymousTempFile() {
    char path[] = "/tmp/capture.XXXXXX";
    const int fd = mkstemp(path);
    unlink(path);
    return fd;
}

std::string ReadWholeFile(int fd) {
    std::string text;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t got;
    while ((got = read(fd, buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(got));
    }
    return text;
}

CaptureOutput::CaptureOutput() : m_done(false) {
    fflush(stdout);
    fflush(stderr);
    m_savedOut = dup(STDOUT_FILENO);
    m_savedErr = dup(STDERR_FILENO);
    m_outFile = AnonymousTempFile();
    m_errFile = AnonymousTempFile();
    dup2(m_outFile, STDOUT_FILENO);
    dup2(m_errFile, STDERR_FILENO);
}

CaptureOutput::~CaptureOutput() {
    Finish();
    close(m_outFile);
    close(m_errFile);
}

void CaptureOutput::Finish() {
    if (m_done) {
        return;
    }
    m_done = true;
    fflush(stdout);
    fflush(stderr);
    dup2(m_savedOut, STDOUT_FILENO);
    dup2(m_savedErr, STDERR_FILENO);
    close(m_savedOut);
    close(m_savedErr);
    m_out = ReadWholeFile(m_outFile);
    m_err = ReadWholeFile(m_errFile);
}

const std::string& CaptureOutput::Out() {
    Finish();
    return m_out;
}

const std::string& CaptureOutput::Err() {
    Finish();
    return m_err;
}
