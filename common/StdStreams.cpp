// SPDX-License-Identifier: MIT
#include "common/StdStreams.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace mcucom {

namespace {

// Read-only, so that a program which checks its writes still sees that the stream was closed;
// where there is no /dev/null, a directory, on which every write fails too.
int OpenPlaceholder() {
    const int fd = open("/dev/null", O_RDONLY);
    return fd >= 0 ? fd : open("/", O_RDONLY);
}

}  // namespace

void EnsureStandardStreams() {
    // open() returns the lowest free descriptor, so this fills the closed ones among 0 to 2.
    int fd;
    while ((fd = OpenPlaceholder()) >= 0 && fd <= 2) {
    }
    if (fd > 2) {
        close(fd);
    }
}

bool StandardOutputWritten(const char* program) {
    errno = 0;
    const bool flushed = fflush(stdout) == 0;
    if (flushed && !ferror(stdout)) {
        return true;
    }
    // The reason is known only when this flush failed; an earlier write's is gone.
    SayOutputFailed(program, !flushed && errno != 0 ? strerror(errno) : NULL);
    return false;
}

void SayOutputFailed(const char* program, const char* reason) {
    if (reason != NULL) {
        fprintf(stderr, "%s: cannot write standard output: %s\n", program, reason);
    } else {
        fprintf(stderr, "%s: cannot write standard output\n", program);
    }
}

}  // namespace mcucom
