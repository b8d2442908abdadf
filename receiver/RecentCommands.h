// SPDX-License-Identifier: MIT
// What the frames no waiting command claimed are: the commands a link finished lately, so that
// a receiver can tell an answer that came after its command gave up, and a copy of an answer
// already taken, from a frame the MCU sent of its own accord.
//
// Each finished command is kept (its code, serial number, and whether it had its answer) until
// 64 newer ones push it out or 30 s pass; after that a frame that would answer it counts as the
// MCU's own. A frame matches a command by the acknowledgement rule (command 4 on its code
// alone). A late answer turns its command into an answered one, so that copies of it count as
// copies.
#ifndef RECEIVER_RECENTCOMMANDS_H
#define RECEIVER_RECENTCOMMANDS_H

#include "common/ComFrame.h"
#include "common/MutexLock.h"

namespace mcucom {

// The kinds of frames nobody waited for; the numbers are the C interface's event kinds.
enum FrameKind { kFrameUnasked = 1, kFrameLateAnswer = 2, kFrameCopy = 3 };

class RecentCommands {
  public:
    static const int kKept = 64;
    static const long long kKeptUs = 30000000;

    RecentCommands();

    RecentCommands(const RecentCommands&) = delete;
    RecentCommands& operator=(const RecentCommands&) = delete;

    // A command (its cmd as the frame carries it) finished, answered or not.
    void Finished(unsigned short cmd, unsigned char serial, bool answered, long long atUs);
    // The kind of a frame that no waiting command claimed.
    FrameKind Classify(const unsigned char* frame, long long nowUs);

  private:
    struct Entry {
        unsigned short cmd;
        unsigned char serial;
        bool answered;
        long long atUs;
    };

    MutexLock m_lock;
    Entry m_entries[kKept];
    int m_next;   // where the next finished command goes
    int m_count;  // entries in use
};

}  // namespace mcucom

#endif  // RECEIVER_RECENTCOMMANDS_H
