// SPDX-License-Identifier: MIT
#include "programs/ParseArgs.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

namespace {

bool IsHexDigit(char c) {
    return isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool AllHexDigits(const char* text, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (!IsHexDigit(text[i])) {
            return false;
        }
    }
    return true;
}

int HexValue(char c) {
    return isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : (tolower(c) - 'a' + 10);
}

}  // namespace

bool ParseInteger(const char* text, long long low, long long high, long long* value) {
    const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* digits = hex ? text + 2 : text;
    // A leading zero would make strtoll's base 0 read octal: such numbers are refused.
    if (!(hex ? IsHexDigit(digits[0]) : isdigit(static_cast<unsigned char>(digits[0]))) ||
        (!hex && digits[0] == '0' && digits[1] != '\0')) {
        return false;
    }
    char* end = NULL;
    errno = 0;
    const long long v = strtoll(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) {
        return false;
    }
    *value = v;
    return true;
}

bool ParseFraction(const char* text, double* value) {
    char* end = NULL;
    const double v = strtod(text, &end);
    // Written so that NaN, which compares false with everything, fails too.
    if (end == text || *end != '\0' || !(v >= 0.0 && v <= 1.0)) {
        return false;
    }
    *value = v;
    return true;
}

bool ParseCommandCode(const char* text, unsigned long* code) {
    const size_t length = strlen(text);
    const char* digits = text;
    size_t count = length;
    if (length > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        digits = text + 2;
        count = length - 2;
        if (count > 8) {
            return false;
        }
    } else if (!(length == 4 || (length == 1 && isdigit(static_cast<unsigned char>(text[0]))))) {
        return false;
    }
    if (!AllHexDigits(digits, count)) {
        return false;
    }
    unsigned long v = 0;
    for (size_t i = 0; i < count; ++i) {
        v = v * 16 + static_cast<unsigned long>(HexValue(digits[i]));
    }
    *code = v;
    return true;
}

bool ParseHexBytes(const char* text, std::string* bytes) {
    std::string out;
    for (const char* p = text; *p != '\0';) {
        if (*p == ' ' || *p == ':') {
            ++p;
        } else if (IsHexDigit(p[0]) && IsHexDigit(p[1])) {
            out += static_cast<char>(HexValue(p[0]) * 16 + HexValue(p[1]));
            p += 2;
        } else {
            return false;
        }
    }
    bytes->swap(out);
    return true;
}
