// SPDX-License-Identifier: MIT
#include "common/FixedLog.h"

#include <stdarg.h>

namespace mcucom {

void PrintFixedLine(FILE* stream, const LogSite& site, const char* format, ...) {
    // One write, so that a line on the unbuffered standard error is never cut by another
    // thread's output.
    char line[512];
    int used = snprintf(line, sizeof line, site.prefix, site.function, site.line);
    if (used < 0) {
        used = 0;
    }
    if (static_cast<size_t>(used) < sizeof line) {
        va_list args;
        va_start(args, format);
        vsnprintf(line + used, sizeof line - static_cast<size_t>(used), format, args);
        va_end(args);
    }
    fputs(line, stream);
}

}  // namespace mcucom
