// SPDX-License-Identifier: MIT
// A temporary file, FIFO or folder under /tmp that goes however the test program ends: when
// the object does, and when SIGINT, SIGTERM or SIGHUP end the program (Ctrl-C during a run),
// by a handler that only removes what is registered and then ends the program by the signal.
// A folder must be empty by then.
#ifndef TESTS_SUPPORT_TEMPPATH_H
#define TESTS_SUPPORT_TEMPPATH_H

#include <string>

class TempPath {
  public:
    enum Kind { kFile, kFifo, kFolder };
    // /tmp/STEM.XXXXXX, made as the kind says.
    explicit TempPath(const std::string& stem, Kind kind = kFile);
    ~TempPath();

    TempPath(const TempPath&) = delete;
    TempPath& operator=(const TempPath&) = delete;

    const std::string& path() const { return m_path; }

  private:
    std::string m_path;
    int m_slot;
};

#endif  // TESTS_SUPPORT_TEMPPATH_H
