// SPDX-License-Identifier: MIT
// The packet list against a model of it: adds, lookups with their keys and modes, and pops,
// in any order, on a small ring that has to drop its oldest frames. Results, the frames
// returned and the order of what stays must all agree with the model.
#include <arpa/inet.h>
#include <stdio.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <deque>
#include <string>

#include "ack/DataPackList.h"
#include "fuzz/FuzzCheck.h"

namespace {

const int kRingSize = 600;

// What the list must hold: its frames oldest first, their bytes, and its pending posts.
struct Model {
    std::deque<std::string> frames;
    int bytes = 0;
    int posts = 0;

    void Add(const std::string& frame) {
        while (kRingSize - bytes < static_cast<int>(frame.size())) {
            bytes -= static_cast<int>(frames.front().size());
            frames.pop_front();
        }
        frames.push_back(frame);
        bytes += static_cast<int>(frame.size());
        ++posts;
    }
};

bool Matches(const std::string& frame, unsigned short keyCmd, unsigned char keySerial, int mode) {
    const unsigned short cmd = static_cast<unsigned short>(
        (static_cast<unsigned char>(frame[6]) << 8) | static_cast<unsigned char>(frame[7]));
    return mode == -2 ||
           (cmd == keyCmd && (keyCmd == 4 || static_cast<unsigned char>(frame[8]) == keySerial));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    DataPackList list;
    list.DataQueueInit(kRingSize);
    Model model;
    char buf[2048];
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0: {
                const unsigned short cmd = in.ConsumeIntegralInRange<unsigned short>(2, 7);
                std::string payload =
                    in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 80));
                payload[0] = static_cast<char>(in.ConsumeIntegralInRange<int>(0, 3));
                std::string frame =
                    ValidFrame(in.ConsumeIntegral<unsigned char>(), 0x41, cmd, payload);
                const bool damaged = in.ConsumeIntegralInRange<int>(0, 9) == 0;
                if (damaged) {
                    frame[frame.size() - 3] ^= 1;
                }
                const int result = list.AddDatatoList(reinterpret_cast<__ComFrameData*>(&frame[0]));
                if (damaged) {
                    FUZZ_CHECK(result == -6);
                } else {
                    model.Add(frame);
                    FUZZ_CHECK(result == static_cast<int>(model.frames.size()));
                }
                break;
            }
            case 1:
            case 2: {
                const unsigned short keyCmd = in.ConsumeIntegralInRange<unsigned short>(2, 7);
                const unsigned char keySerial =
                    static_cast<unsigned char>(in.ConsumeIntegralInRange<int>(0, 3));
                const int mode = in.ConsumeBool() ? 0 : -2;
                __ComFrameData* key = reinterpret_cast<__ComFrameData*>(buf);
                key->cmd = htons(keyCmd);
                buf[8] = static_cast<char>(keySerial);
                const int result = list.GetDatafromList(key, mode, 0);
                FUZZ_CHECK(key == reinterpret_cast<__ComFrameData*>(buf));
                if (model.posts == 0) {
                    FUZZ_CHECK(result == -1);
                    break;
                }
                --model.posts;
                // The passes: each frame once, non-matching ones put back at the end.
                int expected = 0;
                std::string found;
                const size_t passes = model.frames.size();
                for (size_t i = 0; i < passes; ++i) {
                    std::string front = model.frames.front();
                    model.frames.pop_front();
                    if (Matches(front, keyCmd, keySerial, mode)) {
                        model.bytes -= static_cast<int>(front.size());
                        expected = static_cast<int>(front.size());
                        found = front;
                        break;
                    }
                    model.frames.push_back(front);
                }
                FUZZ_CHECK(result == expected);
                if (result > 0) {
                    FUZZ_CHECK(std::string(buf, static_cast<size_t>(result)) == found);
                }
                break;
            }
            default: {
                const int result = list.PopData();
                if (model.frames.empty()) {
                    FUZZ_CHECK(result == -1);
                } else {
                    FUZZ_CHECK(result == static_cast<int>(model.frames.front().size()));
                    model.bytes -= result;
                    model.frames.pop_front();
                }
                break;
            }
        }
        FUZZ_CHECK(list.GetDataListSize() == static_cast<int>(model.frames.size()));
    }
    // What stays is what the model holds, in its order.
    while (!model.frames.empty()) {
        __ComFrameData* any = reinterpret_cast<__ComFrameData*>(buf);
        if (model.posts == 0) {
            FUZZ_CHECK(list.PopData() == static_cast<int>(model.frames.front().size()));
        } else {
            --model.posts;
            const int result = list.GetDatafromList(any, -2, 0);
            FUZZ_CHECK(result > 0 &&
                       std::string(buf, static_cast<size_t>(result)) == model.frames.front());
        }
        model.frames.pop_front();
    }
    return 0;
}
