// SPDX-License-Identifier: MIT
#include "link/SerialNumber.h"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace mcucom {

namespace {

const unsigned int kRandomNoWait = 1;  // getrandom's GRND_NONBLOCK

}  // namespace

unsigned char UnpredictableSerial() {
    unsigned int seed = 0;
#ifdef SYS_getrandom
    const long got = syscall(SYS_getrandom, &seed, sizeof seed, kRandomNoWait);
    if (got != static_cast<long>(sizeof seed))
#endif
    {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        seed = static_cast<unsigned int>(now.tv_nsec) ^ static_cast<unsigned int>(now.tv_sec) ^
               (static_cast<unsigned int>(getpid()) << 16);
    }
    return static_cast<unsigned char>(seed % 255 + 1);
}

}  // namespace mcucom
