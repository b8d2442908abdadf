// SPDX-License-Identifier: MIT
// A file a run writes at its end (a recording, a dump, a report): opened before the run, so
// that a path it cannot have fails before anything starts, but neither emptied nor left behind
// when the run never started, and its failure to be written (a full disk, a file size limit)
// said and reported to the caller, who fails the run with it.
#ifndef SIM_OUTPUTFILE_H
#define SIM_OUTPUTFILE_H

#include <stdio.h>

#include <functional>
#include <string>

class OutputFile {
  public:
    OutputFile() : m_fd(-1), m_existed(false) {}
    ~OutputFile();

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False, after saying why on standard error, when path cannot be opened for writing.
    bool Open(const char* path);
    bool open() const { return m_fd >= 0; }
    // The run never started: the file goes as it came (removed when the open made it).
    void Abandon();
    // Replaces what the file held with what write puts in it; false, after saying why, when
    // it could not all be written.
    bool Write(const std::function<void(FILE*)>& write);

  private:
    int m_fd;
    bool m_existed;
    std::string m_path;
};

#endif  // SIM_OUTPUTFILE_H
