// An independent statement of the validity rules, for checking what the module returns. It
// is written apart from the module's own rules on purpose: a fault there must not hide itself.
#ifndef FUZZ_FRAMECHECK_H
#define FUZZ_FRAMECHECK_H

#include <stdlib.h>

#include <string>

inline bool IsValidFrame(const unsigned char* p, int length) {
    if (length < 11 || p[0] != 0x75 || p[1] != 0xAA) {
        return false;
    }
    const int len = p[2] * 256 + p[3];
    if (len > 1028 || len + 7 != length) {
        return false;
    }
    unsigned char x = 0;
    for (int i = 2; i < len + 4; ++i) {
        x = static_cast<unsigned char>(x ^ p[i]);
    }
    return x == p[len + 4] && p[len + 5] == 0x75 && p[len + 6] == 0xAA;
}

// A valid frame around the given payload.
inline std::string ValidFrame(unsigned char serial, unsigned char flag, unsigned short cmd,
                              const std::string& payload) {
    const int len = static_cast<int>(payload.size()) + 4;
    std::string f;
    f += '\x75';
    f += '\xaa';
    f += static_cast<char>(len >> 8);
    f += static_cast<char>(len & 0xFF);
    f += static_cast<char>(serial);
    f += static_cast<char>(flag);
    f += static_cast<char>(cmd >> 8);
    f += static_cast<char>(cmd & 0xFF);
    f += payload;
    unsigned char x = 0;
    for (size_t i = 2; i < f.size(); ++i) {
        x = static_cast<unsigned char>(x ^ static_cast<unsigned char>(f[i]));
    }
    f += static_cast<char>(x);
    f += '\x75';
    f += '\xaa';
    return f;
}

#define FUZZ_CHECK(condition)                                                               \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                        \
        }                                                                                   \
    } while (0)

#endif  // FUZZ_FRAMECHECK_H
