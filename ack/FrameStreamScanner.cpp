// SPDX-License-Identifier: MIT
#include "ack/FrameStreamScanner.h"

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
    while (m_length - at >= 2) {
        int frameLen = 0;
        const FrameVerdict verdict =
            JudgeFrameAt(FlatBytes(m_buf + at), static_cast<int>(m_length - at), &frameLen);
        if (verdict == kFrameValid) {
            ++m_stats.frames;
            sink->OnFrame(m_buf + at, frameLen);
            at += static_cast<size_t>(frameLen);
            continue;
        }
        if (verdict == kFrameIncomplete && !idle) {
            break;
        }
        const size_t dropped = static_cast<size_t>(
            NoiseAtFront(FlatBytes(m_buf + at), static_cast<int>(m_length - at), verdict));
        m_stats.drops.Add(verdict, dropped);
        sink->OnNoise(m_buf + at, dropped, verdict);
        at += dropped;
    }
    // A last single byte waits only if it could be the first byte of a head.
    if (m_length - at == 1 && (idle || m_buf[at] != FRAME_MARK_FIRST)) {
        m_stats.drops.Add(kFrameNoHead, 1);
        sink->OnNoise(m_buf + at, 1, kFrameNoHead);
        ++at;
    }
    memmove(m_buf, m_buf + at, m_length - at);
    m_length -= at;
}

}  // namespace mcucom
