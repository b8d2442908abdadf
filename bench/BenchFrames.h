// Frames for the benchmarks.
#ifndef BENCH_BENCHFRAMES_H
#define BENCH_BENCHFRAMES_H

#include <string>

#include "tool/HddPower.h"

// A valid frame of `total` bytes (11 to 1035), payload `fill`, command `cmd`.
inline std::string BenchFrame(int total, unsigned short cmd = 6, char fill = 'p',
                              unsigned char serial = 1) {
    std::string frame(static_cast<size_t>(total), fill);
    const int len = total - FRAME_OVERHEAD;
    frame[2] = static_cast<char>(len >> 8);
    frame[3] = static_cast<char>(len & 0xFF);
    frame[4] = static_cast<char>(serial);
    frame[5] = 0x41;
    frame[6] = static_cast<char>(cmd >> 8);
    frame[7] = static_cast<char>(cmd & 0xFF);
    cmdData2Frame(&frame[0]);
    return frame;
}

// Bytes the search can only drop: a frame whose checksum and tail pass the store's check but
// whose head is wrong, filled with bytes that are never a head.
inline std::string NoiseFrame(int total) {
    std::string frame = BenchFrame(total, 6, '\x33');
    frame[0] = 0x00;
    frame[1] = 0x00;
    return frame;
}

#endif  // BENCH_BENCHFRAMES_H
