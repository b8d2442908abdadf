// SPDX-License-Identifier: MIT
// The frame ring: storing and taking frames, and dropping noise in the search.
#include <benchmark/benchmark.h>

#include <string>

#include "ack/FrameQueue.h"
#include "bench/BenchFrames.h"

namespace {

void StoreAndTake(benchmark::State& state) {
    std::string frame = BenchFrame(static_cast<int>(state.range(0)));
    const int size = static_cast<int>(frame.size());
    CFrameQueue queue;
    char out[mcucom::FRAME_MAX_SIZE];
    for (auto _ : state) {
        queue.AddFrame(&frame[0], size);
        benchmark::DoNotOptimize(queue.GetFrame(out));
    }
    state.SetBytesProcessed(state.iterations() * size);
}
BENCHMARK(StoreAndTake)->Arg(19)->Arg(1035);

void SearchThroughNoise(benchmark::State& state) {
    std::string noise = NoiseFrame(1035);
    CFrameQueue queue;
    char out[mcucom::FRAME_MAX_SIZE];
    for (auto _ : state) {
        queue.AddFrame(&noise[0], 1035);
        benchmark::DoNotOptimize(queue.GetFrame(out));
    }
    state.SetBytesProcessed(state.iterations() * 1035);
}
BENCHMARK(SearchThroughNoise);

}  // namespace
