// Captures what the code under test writes to standard output and standard error, through
// the real descriptors 1 and 2, so that printf, puts, perror and fprintf are all seen.
#ifndef TESTS_SUPPORT_CAPTUREOUTPUT_H
#define TESTS_SUPPORT_CAPTUREOUTPUT_H

#include <string>

class CaptureOutput {
  public:
    CaptureOutput();  // starts capturing
    ~CaptureOutput();

    // Stops capturing (once) and returns what each stream received.
    const std::string& Out();
    const std::string& Err();

  private:
    void Finish();

    int m_savedOut;
    int m_savedErr;
    int m_outFile;
    int m_errFile;
    bool m_done;
    std::string m_out;
    std::string m_err;
};

// A temporary file already unlinked: it goes when its descriptor is closed.
int AnonymousTempFile();

// The whole content of a descriptor's file, read from its start.
std::string ReadWholeFile(int fd);

#endif  // TESTS_SUPPORT_CAPTUREOUTPUT_H
