// SPDX-License-Identifier: MIT
// Frames for the benchmarks.
#ifndef BENCH_BENCHFRAMES_H
#define BENCH_BENCHFRAMES_H

#include <string>

#include "common/ComFrame.h"

// A valid frame of `total` bytes (11 to 1035), payload `fill`, command `cmd`.
inline std::string BenchFrame(int total, unsigned short cmd = 6, char fill = 'p',
                              unsigned char serial = 1) {
    std::string frame(static_cast<size_t>(total), fill);
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&frame[0]);
    mcucom::LayOutFrame(bytes, serial, 0x41, cmd, bytes + mcucom::FRAME_HEADER_SIZE,
                        total - mcucom::FRAME_MIN_SIZE);
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
