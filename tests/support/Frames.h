// Frame bytes for tests, completed by the module's own cmdData2Frame.
#ifndef TESTS_SUPPORT_FRAMES_H
#define TESTS_SUPPORT_FRAMES_H

#include <string>
#include <vector>

#include "common/ComFrame.h"
#include "tool/HddPower.h"

inline std::string MakeFrame(unsigned char serial, unsigned char flag, unsigned short cmd,
                             const std::string& payload = std::string()) {
    std::vector<char> buf(payload.size() + FRAME_MIN_SIZE, 0);
    const int len = static_cast<int>(payload.size()) + FRAME_MIN_LEN_FIELD;
    buf[2] = static_cast<char>(len >> 8);
    buf[3] = static_cast<char>(len & 0xFF);
    buf[4] = static_cast<char>(serial);
    buf[5] = static_cast<char>(flag);
    buf[6] = static_cast<char>(cmd >> 8);
    buf[7] = static_cast<char>(cmd & 0xFF);
    payload.copy(buf.data() + FRAME_HEADER_SIZE, payload.size());
    const unsigned short size = cmdData2Frame(buf.data());
    return std::string(buf.data(), size);
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
