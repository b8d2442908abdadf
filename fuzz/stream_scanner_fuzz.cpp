// SPDX-License-Identifier: MIT
// The stream scanner fed noise with valid frames spliced in, read in pieces cut anywhere.
// Every frame it yields must be valid, every byte must come out once, in a frame or as noise,
// and its counts must say so; and where the noise holds no 0x75 byte (so no false head can
// swallow a real frame), every spliced frame must come out, in order.
#include <stdio.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "receiver/FrameStreamScanner.h"

namespace {

struct Collect : mcucom::FrameStreamScanner::Sink {
    void OnFrame(const unsigned char* frame, int length) override {
        FUZZ_CHECK(IsValidFrame(frame, length));
        frames.push_back(
            std::string(reinterpret_cast<const char*>(frame), static_cast<size_t>(length)));
        framed += static_cast<size_t>(length);
    }
    void OnNoise(const unsigned char*, size_t count, mcucom::FrameVerdict) override {
        noise += count;
    }
    std::vector<std::string> frames;
    size_t framed = 0;
    size_t noise = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool headsInNoise = in.ConsumeBool();
    std::string stream;
    std::vector<std::string> spliced;
    while (in.remaining_bytes() > 0 && stream.size() < 16384) {
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
            case 0: {  // noise
                std::string noise =
                    in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64));
                if (!headsInNoise) {
                    std::replace(noise.begin(), noise.end(), '\x75', '\x76');
                }
                stream += noise;
                break;
            }
            case 1:
            case 2: {  // a valid frame; its payload may hold heads of its own
                const size_t payload =
                    in.ConsumeIntegralInRange<size_t>(0, in.ConsumeBool() ? 40 : 1024);
                const std::string frame = ValidFrame(
                    in.ConsumeIntegral<unsigned char>(), in.ConsumeIntegral<unsigned char>(),
                    in.ConsumeIntegral<unsigned short>(), in.ConsumeBytesAsString(payload));
                spliced.push_back(frame);
                stream += frame;
                break;
            }
            case 3:  // a false head with a length, plausible or oversize
                if (headsInNoise) {
                    stream += "\x75\xaa";
                    stream += static_cast<char>(in.ConsumeIntegral<unsigned char>());
                    stream += static_cast<char>(in.ConsumeIntegral<unsigned char>());
                }
                break;
            default: {  // a frame damaged in its checksum or tail
                if (headsInNoise) {
                    std::string frame = ValidFrame(3, 0x41, 6, in.ConsumeBytesAsString(8));
                    frame[frame.size() - in.ConsumeIntegralInRange<size_t>(1, 3)] ^= 0x10;
                    stream += frame;
                }
                break;
            }
        }
    }
    // Feed it in pieces cut where the input says, then let the line go quiet.
    mcucom::FrameStreamScanner scanner;
    Collect sink;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(stream.data());
    unsigned cut = 7;
    for (size_t at = 0, n; at < stream.size(); at += n) {
        cut = cut * 1103515245u + 12345u;
        n = std::min<size_t>(1 + (cut >> 16) % 97, stream.size() - at);
        scanner.Feed(p + at, n, &sink);
    }
    scanner.Flush(&sink);
    FUZZ_CHECK(scanner.pending() == 0 && sink.framed + sink.noise == stream.size());
    FUZZ_CHECK(scanner.stats().frames == sink.frames.size());
    FUZZ_CHECK(scanner.stats().drops.Total() == sink.noise);
    if (!headsInNoise) {
        FUZZ_CHECK(sink.frames == spliced);
    }
    return 0;
}
