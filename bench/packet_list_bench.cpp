// SPDX-License-Identifier: MIT
// The packet list: looking up an acknowledgement among stored frames.
#include <benchmark/benchmark.h>

#include <string>

#include "ack/DataPackList.h"
#include "bench/BenchFrames.h"

namespace {

// The wanted frame is the last of `stored`: the lookup passes over every other one.
void LookupAmongStoredFrames(benchmark::State& state) {
    const int stored = static_cast<int>(state.range(0));
    DataPackList list;
    for (int i = 1; i < stored; ++i) {
        std::string other = BenchFrame(13, 7, 'o', static_cast<unsigned char>(i));
        list.AddDatatoList(reinterpret_cast<__ComFrameData*>(&other[0]));
    }
    std::string wanted = BenchFrame(13, 6, '\xc8', 200);  // payload byte 0 is the key: 0xC8
    char buf[mcucom::FRAME_MAX_SIZE];
    for (auto _ : state) {
        list.AddDatatoList(reinterpret_cast<__ComFrameData*>(&wanted[0]));
        __ComFrameData* key = reinterpret_cast<__ComFrameData*>(buf);
        key->cmd = reinterpret_cast<__ComFrameData*>(&wanted[0])->cmd;
        buf[8] = '\xc8';
        benchmark::DoNotOptimize(list.GetDatafromList(key, 0, 0));
    }
    state.counters["frames"] = stored;
}
BENCHMARK(LookupAmongStoredFrames)->Arg(1)->Arg(100);

}  // namespace
