// SPDX-License-Identifier: MIT
// ring_workload OPERATION COUNT: runs one ring operation COUNT times, for instruction counts
// (valgrind --tool=callgrind). The difference between two counts, divided by the bytes moved,
// is the cost per byte with the set-up taken out.
//   store-take-19      store and take a 19-byte frame
//   store-take-1035    store and take a 1035-byte frame
//   drop-noise         store 1035 bytes of noise and let the search drop them
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "ack/FrameQueue.h"
#include "bench/BenchFrames.h"

int main(int argc, char* argv[]) {
    if (argc != 3) {
        fprintf(stderr, "usage: ring_workload store-take-19|store-take-1035|drop-noise COUNT\n");
        return 2;
    }
    const std::string operation = argv[1];
    const long count = strtol(argv[2], NULL, 10);
    int size = 0;
    std::string frame;
    if (operation == "store-take-19") {
        frame = BenchFrame(19);
    } else if (operation == "store-take-1035") {
        frame = BenchFrame(1035);
    } else if (operation == "drop-noise") {
        frame = NoiseFrame(1035);
    } else {
        fprintf(stderr, "unknown operation %s\n", argv[1]);
        return 2;
    }
    size = static_cast<int>(frame.size());
    CFrameQueue queue;
    char out[mcucom::FRAME_MAX_SIZE];
    long moved = 0;
    for (long i = 0; i < count; ++i) {
        queue.AddFrame(&frame[0], size);
        if (queue.GetFrame(out) > 0 || operation == "drop-noise") {
            moved += size;
        }
    }
    printf("%ld bytes\n", moved);
    return moved == count * size ? 0 : 1;
}
