// Frame bytes for tests, completed by the module's own cmdData2Frame.
#ifndef TESTS_SUPPORT_FRAMES_H
#define TESTS_SUPPORT_FRAMES_H

#include <string>
#include <vector>

#include "common/ComFrame.h"
#include "sim/McuSimulator.h"
#include "tool/HddPower.h"

inline std::string MakeFrame(unsigned char serial, unsigned char flag, unsigned short cmd,
                             const std::string& payload = std::string()) {
    return BuildMcuFrame(serial, flag, cmd, payload);
}

// An acknowledgement from the MCU: payload byte 0 the acknowledged serial, byte 1 the result.
inline std::string MakeAck(unsigned short cmd, unsigned char ackedSerial,
                           unsigned char result = 0) {
    return MakeFrame(0, 0, cmd,
                     std::string{static_cast<char>(ackedSerial), static_cast<char>(result)});
}

// A frame buffer large enough for anything a packet list yields.
struct FrameBuffer {
    FrameBuffer() { Clear(); }
    explicit FrameBuffer(const std::string& bytes) {
        Clear();
        bytes.copy(data, bytes.size());
    }
    void Clear() {
        for (char& c : data) {
            c = 0;
        }
    }
    __ComFrameData* frame() { return reinterpret_cast<__ComFrameData*>(data); }
    std::string Bytes(int count) const { return std::string(data, static_cast<size_t>(count)); }
    char data[2048];
};

inline std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
        text += ' ';
    }
    return text;
}

#endif  // TESTS_SUPPORT_FRAMES_H
