// SPDX-License-Identifier: MIT
// What the simulator or the decoder works on for as long as it runs, named by its path: a
// serial device or a pseudo-terminal, taken as a ClaimedLine (an advisory lock and exclusive
// mode, unless shared), set to 115200 8N1 raw, and put back as it was when released; or a FIFO,
// opened as cat opens one. Anything else that is no terminal (a file) is only opened and
// closed. Why it could not be taken is said in the programs' one wording.
#ifndef SIM_LINEORFIFO_H
#define SIM_LINEORFIFO_H

#include "serial/ClaimedLine.h"

// Exit statuses of the programs that take a line.
const int kLineUnusable = 1;  // it could not be opened
const int kLineHeld = 3;      // another program holds it

class LineOrFifo {
  public:
    LineOrFifo();
    ~LineOrFifo();

    LineOrFifo(const LineOrFifo&) = delete;
    LineOrFifo& operator=(const LineOrFifo&) = delete;

    // Opens path with the access mode (O_RDONLY, O_RDWR) and takes it. -1 when it can be
    // used; otherwise an exit status, after saying why on standard error. The open never waits
    // for carrier and never makes the line the controlling terminal; a FIFO's waits for its
    // writer, as cat's does.
    int Take(const char* path, int accessMode, bool share);
    int fd() const { return m_fifo >= 0 ? m_fifo : m_line.fd(); }
    bool terminal() const { return m_line.terminal(); }
    // Puts the settings back, leaves exclusive mode and closes; also done on destruction.
    void Release();

  private:
    mcucom::ClaimedLine m_line;
    int m_fifo;
};

#endif  // SIM_LINEORFIFO_H
