// SPDX-License-Identifier: MIT
#include "common/LineClaim.h"

#include <errno.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace mcucom {

LineClaimResult LockLine(int fd) {
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    return locked != 0 && errno == EWOULDBLOCK ? LINE_HELD_ELSEWHERE : LINE_CLAIMED;
}

void SetLineExclusive(int fd, bool exclusive) {
    if (isatty(fd)) {
        ioctl(fd, exclusive ? TIOCEXCL : TIOCNXCL);
    }
}

}  // namespace mcucom
