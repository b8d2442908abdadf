// SPDX-License-Identifier: MIT
// Standard output and standard error pointed elsewhere for a while, through the real
// descriptors 1 and 2, so that printf, puts, perror and fprintf all follow. Used where the
// module's own log lines must be kept out of the way (QuietOutput) or read back (the tests).
#ifndef SIM_OUTPUTREDIRECT_H
#define SIM_OUTPUTREDIRECT_H

class OutputRedirect {
  public:
    // Flushes both streams and points them at outFd and errFd, which the caller keeps open.
    OutputRedirect(int outFd, int errFd);
    ~OutputRedirect();  // Restore()

    OutputRedirect(const OutputRedirect&) = delete;
    OutputRedirect& operator=(const OutputRedirect&) = delete;

    // Flushes both streams and points them back where they were; later calls do nothing.
    void Restore();

  private:
    int m_saved[2];
    bool m_restored;
};

// Standard output and error go to /dev/null while it lives.
class QuietOutput : public OutputRedirect {
  public:
    QuietOutput();

  private:
    explicit QuietOutput(int null);  // redirects to null, then closes it
};

#endif  // SIM_OUTPUTREDIRECT_H
