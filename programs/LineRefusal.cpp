// SPDX-License-Identifier: MIT
#include "programs/LineRefusal.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "common/LineLock.h"

bool SayLineNotTaken(const char* program, const char* path, int error) {
    if (error != EBUSY) {
        fprintf(stderr, "%s: cannot open %s: %s\n", program, path, strerror(error));
        return false;
    }
    if (mcucom::HeldInExclusiveMode(path)) {
        fprintf(stderr,
                "%s: %s is held by another program in exclusive mode (only root may open it "
                "meanwhile)\n",
                program, path);
    } else {
        fprintf(stderr, "%s: %s is held by another program (--share uses it anyway)\n", program,
                path);
    }
    return true;
}
