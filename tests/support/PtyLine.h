// A real pseudo-terminal for tests: the slave is the "serial device" the code under test
// opens by path; the test plays the far end on the master.
#ifndef TESTS_SUPPORT_PTYLINE_H
#define TESTS_SUPPORT_PTYLINE_H

#include <string>

#include "sim/DeviceNamespace.h"

class PtyLine {
  public:
    PtyLine();  // opens the pair; ASSERT on ok() in the test
    ~PtyLine();

    bool ok() const { return m_pty.master >= 0; }
    int master() const { return m_pty.master; }
    int slave() const { return m_pty.slave; }
    const std::string& slavePath() const { return m_pty.slavePath; }

    // Bytes that reached the master, gathered until the line stays quiet for quietMs.
    std::string Drain(int quietMs = 50);
    // Writes bytes to the master, i.e. into the device's input.
    void Send(const std::string& bytes);
    // Closes the master: the slave side then sees a hang-up.
    void HangUp();

  private:
    PtyPair m_pty;
};

#endif  // TESTS_SUPPORT_PTYLINE_H
