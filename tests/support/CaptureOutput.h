// SPDX-License-Identifier: MIT
// Captures what the code under test writes to standard output and standard error (through
// an OutputRedirect to two temporary files). GoogleTest
// prints a failed assertion to standard output at once, so a failure inside a capture lands in
// it: whenever the test has failed, the capture shows what it took when it ends.
#ifndef TESTS_SUPPORT_CAPTUREOUTPUT_H
#define TESTS_SUPPORT_CAPTUREOUTPUT_H

#include <string>

#include "sim/OutputRedirect.h"

class CaptureOutput {
  public:
    CaptureOutput();  // starts capturing
    ~CaptureOutput();

    // Stops capturing (once) and returns what each stream received.
    const std::string& Out() { return Finish(), m_text[0]; }
    const std::string& Err() { return Finish(), m_text[1]; }

  private:
    void Finish();

    int m_files[2];
    OutputRedirect m_redirect;
    bool m_done;
    std::string m_text[2];
};

// A temporary file already unlinked: it goes when its descriptor is closed.
int AnonymousTempFile();

// The whole content of a descriptor's file, read from its start.
std::string ReadWholeFile(int fd);

#endif  // TESTS_SUPPORT_CAPTUREOUTPUT_H
