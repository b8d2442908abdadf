// Parsing of numeric command-line arguments for the programs built on the module.
#ifndef COMMON_PARSENUMBER_H
#define COMMON_PARSENUMBER_H

#include <stdlib.h>

// A whole argument as an integer (decimal, 0x-hex or 0-octal) within [low, high]. long long,
// so that 32-bit codes parse the same on a 32-bit board.
inline bool ParseInteger(const char* text, long long low, long long high, long long* value) {
    char* end = NULL;
    const long long v = strtoll(text, &end, 0);
    if (end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    *value = v;
    return true;
}

#endif  // COMMON_PARSENUMBER_H
