// SPDX-License-Identifier: MIT
// The two means by which a program keeps a serial line to itself, as serial tools do: an
// advisory lock on the device (flock, which other serial tools take and respect) and the
// terminal's exclusive mode (further opens refused, except to privileged processes). The line
// taken with them is serial/ClaimedLine; the tool hddpower takes no lock.
#ifndef COMMON_LINELOCK_H
#define COMMON_LINELOCK_H

#include <errno.h>

namespace mcucom {

enum LineLockResult {
    LINE_LOCKED = 0,
    LINE_HELD_ELSEWHERE = 1,  // another program holds the lock
};

// Takes the lock on the device open at fd, without waiting. A device or file system that
// cannot be locked is taken as free: the lock only keeps cooperating programs apart.
LineLockResult LockLine(int fd);

// Sets or clears the terminal's exclusive mode; a descriptor that is no terminal is left alone.
void SetLineExclusive(int fd, bool exclusive);

// Whether an open that failed with this errno met a line held in exclusive mode: the kernel
// then refuses every open but root's, with EBUSY, so --share cannot help anyone else.
inline bool OpenRefusedAsHeld(int openErrno) {
    return openErrno == EBUSY;
}

// Whether the line at path refuses this process's opens now, being held in exclusive mode:
// for saying why a line could not be taken. The probe is an open that neither waits for
// carrier nor takes the line as controlling terminal, and is closed at once.
bool HeldInExclusiveMode(const char* path);

}  // namespace mcucom

#endif  // COMMON_LINELOCK_H
