// SPDX-License-Identifier: MIT
// The binary MCU frame, as it travels on the serial line in both directions.
//
//   offset 0      head       0x75 0xAA
//   offset 2      len        big-endian, 4 + payload length
//   offset 4      serialNum
//   offset 5      flag       bit 6 (0x40) asks for an acknowledgement
//   offset 6      cmd        big-endian command code
//   offset 8      payload    len - 4 bytes
//   len + 4       checksum   XOR of the len + 2 bytes from offset 2
//   len + 5       tail       0x75 0xAA
//
// __ComFrameData covers the fixed 8 bytes; checksum and tail sit at offsets that depend on
// len and are reached through FrameBytes(). len and cmd stay in network byte order in memory.
// The record is packed (alignment 1), so a pointer to it may point anywhere in a byte buffer.
#ifndef COMMON_COMFRAME_H
#define COMMON_COMFRAME_H

#include <stddef.h>
#include <string.h>

struct __attribute__((packed)) __ComFrameData {
    unsigned char head[2];
    unsigned short len;
    unsigned char serialNum;
    unsigned char flag;
    unsigned short cmd;
};

static_assert(sizeof(__ComFrameData) == 8, "the fixed part of a frame is 8 bytes");
static_assert(offsetof(__ComFrameData, len) == 2, "len at offset 2");
static_assert(offsetof(__ComFrameData, serialNum) == 4, "serialNum at offset 4");
static_assert(offsetof(__ComFrameData, flag) == 5, "flag at offset 5");
static_assert(offsetof(__ComFrameData, cmd) == 6, "cmd at offset 6");

namespace mcucom {

const unsigned char FRAME_MARK_FIRST = 0x75;   // first byte of head and of tail
const unsigned char FRAME_MARK_SECOND = 0xAA;  // second byte of head and of tail
const int FRAME_HEADER_SIZE = 8;               // head, len, serialNum, flag, cmd
const int FRAME_OVERHEAD = 7;                  // total length is len + 7
const int FRAME_MIN_LEN_FIELD = 4;             // empty payload
const int FRAME_MAX_LEN_FIELD = 1028;          // the receiving search treats more as noise
const int FRAME_MIN_SIZE = FRAME_MIN_LEN_FIELD + FRAME_OVERHEAD;  // 11
const int FRAME_MAX_SIZE = FRAME_MAX_LEN_FIELD + FRAME_OVERHEAD;  // 1035
// The longest payload a frame any reader takes can carry.
const int FRAME_MAX_PAYLOAD = FRAME_MAX_LEN_FIELD - FRAME_MIN_LEN_FIELD;  // 1024
const unsigned char FRAME_ACK_BIT = 0x40;  // flag bit: the sender waits for an acknowledgement

// The ackBit of a flag, 1 or 0, as the logs print it.
inline int FrameAckBit(unsigned char flag) {
    return (flag & FRAME_ACK_BIT) != 0 ? 1 : 0;
}

inline unsigned char* FrameBytes(__ComFrameData* frame) {
    return reinterpret_cast<unsigned char*>(frame);
}
inline const unsigned char* FrameBytes(const __ComFrameData* frame) {
    return reinterpret_cast<const unsigned char*>(frame);
}
inline unsigned char* FramePayload(__ComFrameData* frame) {
    return FrameBytes(frame) + FRAME_HEADER_SIZE;
}
inline const unsigned char* FramePayload(const __ComFrameData* frame) {
    return FrameBytes(frame) + FRAME_HEADER_SIZE;
}

// The len field of a frame in host order, read byte by byte.
inline int FrameLenField(const unsigned char* frame) {
    return (frame[2] << 8) | frame[3];
}

// The command code a frame carries (its low 16 bits), in host order.
inline unsigned short FrameCmdCode(const unsigned char* frame) {
    return static_cast<unsigned short>((frame[6] << 8) | frame[7]);
}

// An acknowledgement's payload: the serial number of the frame it answers, then the MCU's
// result byte, then what the command returns.
const int ANSWER_SERIAL_AT = 0;
const int ANSWER_RESULT_AT = 1;

// The result byte of an acknowledgement frame; 0 when its payload is too short to hold one.
inline unsigned char FrameAnswerResult(const unsigned char* frame) {
    return FrameLenField(frame) - FRAME_MIN_LEN_FIELD > ANSWER_RESULT_AT
               ? frame[FRAME_HEADER_SIZE + ANSWER_RESULT_AT]
               : 0;
}

}  // namespace mcucom

// Frame building, for the sender and for anything that stands in for the MCU.
//
// XorCheckSum: the XOR of nbytes bytes (0 for none), as an int.
// cmdData2Frame: completes a frame whose len, serialNum, flag, cmd and payload are in place,
// writing head, checksum and tail; returns its total length, len + 7. The buffer must hold
// that many bytes.
// LayOutFrame: lays out a whole frame with the given fields (cmd in host order) and payload,
// which may already sit at offset 8; returns its total length, payloadLen + 11.
int XorCheckSum(unsigned char* buf, int nbytes);
unsigned short cmdData2Frame(char* frame);

namespace mcucom {

int LayOutFrame(unsigned char* frame, unsigned char serialNum, unsigned char flag,
                unsigned short cmd, const unsigned char* payload, int payloadLen);

// XOR of n bytes; 0 for n <= 0. Works a machine word at a time where it can, since it runs
// over every byte the line delivers; the result is the same as a byte loop.
inline unsigned char FrameXor(const unsigned char* buf, int n) {
    unsigned long acc = 0;
    int i = 0;
    for (; i + static_cast<int>(sizeof acc) <= n; i += static_cast<int>(sizeof acc)) {
        unsigned long word;
        memcpy(&word, buf + i, sizeof word);
        acc ^= word;
    }
    // Fold the word's bytes onto its lowest one.
    for (unsigned shift = sizeof acc * 4; shift >= 8; shift /= 2) {
        acc ^= acc >> shift;
    }
    unsigned char x = static_cast<unsigned char>(acc);
    for (; i < n; ++i) {
        x ^= buf[i];
    }
    return x;
}

}  // namespace mcucom

#endif  // COMMON_COMFRAME_H
