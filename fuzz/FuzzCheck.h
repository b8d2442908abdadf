// SPDX-License-Identifier: MIT
// What the fuzzers check with: the tests' own frame oracle (written apart from the module on
// purpose, so that a fault there cannot hide itself), and a check that stops the run with the
// failed condition.
#ifndef FUZZ_FUZZCHECK_H
#define FUZZ_FUZZCHECK_H

#include <stdio.h>
#include <stdlib.h>

#include "tests/support/FrameOracle.h"

#define FUZZ_CHECK(condition)                                                               \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                        \
        }                                                                                   \
    } while (0)

#endif  // FUZZ_FUZZCHECK_H
