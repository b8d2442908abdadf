// SPDX-License-Identifier: MIT
// The frame ring driven by an arbitrary sequence of stores, takes and initialisations, with
// its invariants checked after every step.
#include <stdio.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <string>

#include "ack/FrameQueue.h"
#include "fuzz/FuzzCheck.h"

namespace {

// Stores return the free space left, and the queue's own counters agree with each other.
void CheckInvariants(const CFrameQueue& q) {
    const int size = q.GetQueueSize();
    FUZZ_CHECK(size >= 50);
    FUZZ_CHECK(q.GetFreeLen() >= 0 && q.GetFreeLen() <= size);
    FUZZ_CHECK(q.GetReadPos() >= 0 && q.GetReadPos() < size);
    FUZZ_CHECK(q.GetWritePos() >= 0 && q.GetWritePos() < size);
    FUZZ_CHECK(q.GetWritePos() == (q.GetReadPos() + q.GetDataLen()) % size);
}

std::string FrameFrom(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {  // a valid frame of any size the search accepts, or a little more
            const size_t payload = in.ConsumeIntegralInRange<size_t>(0, 1030);
            return ValidFrame(in.ConsumeIntegral<unsigned char>(), 0x41,
                              in.ConsumeIntegral<unsigned short>(),
                              in.ConsumeBytesAsString(payload));
        }
        case 1: {  // a valid frame whose head is then damaged
            std::string f = ValidFrame(
                1, 0x41, 6, in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 64)));
            f[in.ConsumeBool() ? 0 : 1] = static_cast<char>(in.ConsumeIntegral<unsigned char>());
            return f;
        }
        default:  // raw bytes
            return in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 1100));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    CFrameQueue queue;
    queue.QueueInit(in.ConsumeIntegralInRange<int>(0, 4096));
    char out[mcucom::FRAME_MAX_SIZE];
    while (in.remaining_bytes() > 0) {
        const int frameCountBefore = queue.GetFrameNum();
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
            case 0:
            case 1: {
                std::string frame = FrameFrom(in);
                int length = static_cast<int>(frame.size());
                if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
                    length = in.ConsumeIntegralInRange<int>(-5, length);  // a lying length
                }
                frame.resize(frame.size() + 1100, '\0');  // what a caller's buffer may hold
                const int freeBefore = queue.GetFreeLen();
                const int result = queue.AddFrame(length > 0 ? &frame[0] : nullptr, length);
                // A store counts one frame; room-making uncounts each frame it drops whole.
                if (result >= 0) {
                    FUZZ_CHECK(result == queue.GetFreeLen());
                    FUZZ_CHECK(queue.GetFrameNum() <= frameCountBefore + 1);
                } else if (result == -4) {
                    FUZZ_CHECK(queue.GetFrameNum() <= frameCountBefore);
                } else {
                    FUZZ_CHECK(result == -3 || result == -5 || result == -6 || result == -7);
                    FUZZ_CHECK(queue.GetFreeLen() == freeBefore);
                    FUZZ_CHECK(queue.GetFrameNum() == frameCountBefore);
                }
                break;
            }
            case 2:
            case 3: {
                const int result = queue.GetFrame(out);
                FUZZ_CHECK(result >= -1);
                if (result > 0) {
                    FUZZ_CHECK(IsValidFrame(reinterpret_cast<unsigned char*>(out), result));
                    FUZZ_CHECK(queue.GetFrameNum() == frameCountBefore - 1);
                } else {
                    FUZZ_CHECK(queue.GetFrameNum() == frameCountBefore);
                    FUZZ_CHECK(result == -1 || queue.GetDataLen() <= 1);
                }
                break;
            }
            default:
                FUZZ_CHECK(queue.QueueInit(in.ConsumeIntegralInRange<int>(-10, 4096)) == 0);
                FUZZ_CHECK(queue.GetDataLen() == 0 && queue.GetFrameNum() == 0);
                break;
        }
        CheckInvariants(queue);
    }
    return 0;
}
