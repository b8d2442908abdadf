// SPDX-License-Identifier: MIT
// A frame buffer for tests, large enough for anything a packet list yields, zero-filled.
#ifndef TESTS_SUPPORT_FRAMEBUFFER_H
#define TESTS_SUPPORT_FRAMEBUFFER_H

#include <string>

#include "common/ComFrame.h"

struct FrameBuffer {
    FrameBuffer() : data() {}
    explicit FrameBuffer(const std::string& bytes) : data() { bytes.copy(data, sizeof data); }
    __ComFrameData* frame() { return reinterpret_cast<__ComFrameData*>(data); }
    std::string Bytes(int count) const { return std::string(data, static_cast<size_t>(count)); }
    char data[2048];
};

#endif  // TESTS_SUPPORT_FRAMEBUFFER_H
