// SPDX-License-Identifier: MIT
#include "common/LineLock.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace mcucom {

LineLockResult LockLine(int fd) {
    int locked;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    return locked != 0 && errno == EWOULDBLOCK ? LINE_HELD_ELSEWHERE : LINE_LOCKED;
}

void SetLineExclusive(int fd, bool exclusive) {
    if (isatty(fd)) {
        ioctl(fd, exclusive ? TIOCEXCL : TIOCNXCL);
    }
}

bool HeldInExclusiveMode(const char* path) {
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return OpenRefusedAsHeld(errno);
    }
    close(fd);
    return false;
}

}  // namespace mcucom
