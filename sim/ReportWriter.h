// SPDX-License-Identifier: MIT
// A report on standard output that never holds up the program writing it.
//
// mcusim serving a line must answer the board whatever becomes of its report: a pipe nobody
// reads, a terminal stopped with Ctrl-S, a full disk. Lines are queued, up to a bound, and
// written by a thread of their own straight to the descriptor (never through stdio, whose lock
// a blocked write would hold); beyond the bound they are dropped and counted. At the end the
// program waits a little for the queue to drain, and goes whether or not it did: a writer
// still blocked then ends with the process.
#ifndef SIM_REPORTWRITER_H
#define SIM_REPORTWRITER_H

#include <stddef.h>

#include <string>

class ReportWriter {
  public:
    // Writes to fd, holding at most maxQueued bytes that wait for it.
    ReportWriter(int fd, size_t maxQueued);
    ~ReportWriter();

    ReportWriter(const ReportWriter&) = delete;
    ReportWriter& operator=(const ReportWriter&) = delete;

    // Queues text; dropped, and counted, when the queue is full or writing has failed.
    void Add(const std::string& text);

    // Says how many lines were dropped, if any, then waits up to `seconds` for everything
    // queued to be written. 0 when all of it was; otherwise the errno of the write that
    // failed, or EAGAIN when the reader did not take it in time (or lines were dropped).
    int Finish(double seconds);

  private:
    struct Shared;
    static void* Run(void* arg);
    static void LetGo(Shared* shared, bool Shared::*mine, bool Shared::*other);

    Shared* m_shared;  // given to the writer thread, which may outlive this object
};

#endif  // SIM_REPORTWRITER_H
