// SPDX-License-Identifier: MIT
#include "tests/support/CaptureOutput.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

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
    for (ssize_t got; (got = read(fd, buf, sizeof buf)) > 0;) {
        text.append(buf, static_cast<size_t>(got));
    }
    return text;
}

CaptureOutput::CaptureOutput()
    : m_files{AnonymousTempFile(), AnonymousTempFile()},
      m_redirect(m_files[0], m_files[1]),
      m_done(false) {}

CaptureOutput::~CaptureOutput() {
    Finish();
    if (::testing::Test::HasFailure()) {
        printf("--- captured standard output ---\n%s--- captured standard error ---\n%s---\n",
               m_text[0].c_str(), m_text[1].c_str());
    }
    close(m_files[0]);
    close(m_files[1]);
}

void CaptureOutput::Finish() {
    if (m_done) {
        return;
    }
    m_done = true;
    m_redirect.Restore();
    for (int i = 0; i < 2; ++i) {
        m_text[i] = ReadWholeFile(m_files[i]);
    }
}
