// SPDX-License-Identifier: MIT
#include "receiver/FrameStreamScanner.h"

#include <string.h>

namespace mcucom {

const size_t FrameStreamScanner::kCapacity;

FrameStreamScanner::FrameStreamScanner() : m_buf(), m_length(0) {
    memset(&m_stats, 0, sizeof m_stats);
}

void FrameStreamScanner::Feed(const unsigned char* data, size_t count, Sink* sink) {
    while (count > 0) {
        const size_t room = kCapacity - m_length;
        const size_t take = count < room ? count : room;
        memcpy(m_buf + m_length, data, take);
        m_length += take;
        data += take;
        count -= take;
        Scan(false, sink);
    }
}

void FrameStreamScanner::Flush(Sink* sink) {
    Scan(true, sink);
}

void FrameStreamScanner::Scan(bool idle, Sink* sink) {
    size_t at = 0;
    for (;;) {
        const ScanStep step =
            NextScanStep(FlatBytes(m_buf + at), static_cast<int>(m_length - at), idle);
        if (step.length == 0) {
            break;
        }
        if (step.verdict == kFrameValid) {
            ++m_stats.frames;
            sink->OnFrame(m_buf + at, step.length);
        } else {
            m_stats.drops.Add(step.verdict, static_cast<unsigned long>(step.length));
            sink->OnNoise(m_buf + at, static_cast<size_t>(step.length), step.verdict);
        }
        at += static_cast<size_t>(step.length);
    }
    memmove(m_buf, m_buf + at, m_length - at);
    m_length -= at;
}

}  // namespace mcucom
