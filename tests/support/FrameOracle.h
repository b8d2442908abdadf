// SPDX-License-Identifier: MIT
// Frames as the tests and fuzzers expect them, built and checked here with no code of the
// module: a fault in the module's checksum, length or tail cannot cancel out in a comparison.
#ifndef TESTS_SUPPORT_FRAMEORACLE_H
#define TESTS_SUPPORT_FRAMEORACLE_H

#include <string>

// A valid frame: head, len (payload + 4), serial, flag, cmd, payload, XOR checksum, tail.
inline std::string ValidFrame(unsigned char serial, unsigned char flag, unsigned short cmd,
                              const std::string& payload = std::string()) {
    const size_t len = payload.size() + 4;
    std::string f = {'\x75',       '\xaa',     char(len >> 8), char(len & 0xFF),
                     char(serial), char(flag), char(cmd >> 8), char(cmd & 0xFF)};
    f += payload;
    unsigned char x = 0;
    for (size_t i = 2; i < f.size(); ++i) {
        x = static_cast<unsigned char>(x ^ static_cast<unsigned char>(f[i]));
    }
    f += static_cast<char>(x);
    f += "\x75\xaa";
    return f;
}

// An acknowledgement from the MCU: payload byte 0 the acknowledged serial, byte 1 the result.
inline std::string Ack(unsigned short cmd, unsigned char ackedSerial, unsigned char result = 0,
                       unsigned char serial = 0) {
    return ValidFrame(serial, 0x01, cmd,
                      std::string{static_cast<char>(ackedSerial), static_cast<char>(result)});
}

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

// The ASCII power requests, on and off, as the MCU expects them.
const std::string kOnLine("#x0000001CDEB8\r\n");
const std::string kOffLine("#x0000005CDEBC\r\n");

// Bytes as lower-case hex pairs, for readable comparisons.
inline std::string Hex(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        text += "0123456789abcdef"[c >> 4] + std::string(1, "0123456789abcdef"[c & 15]) + " ";
    }
    return text;
}

#endif  // TESTS_SUPPORT_FRAMEORACLE_H
