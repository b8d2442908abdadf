#include "ack/FrameStreamScanner.h"

#include <string.h>

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

// Bytes from `at` that cannot start a frame: up to the next 0x75, or all of them.
size_t FrameStreamScanner::NoiseRun(size_t at) const {
    if (m_buf[at] == FRAME_MARK_FIRST) {
        return 1;
    }
    const void* next = memchr(m_buf + at + 1, FRAME_MARK_FIRST, m_length - at - 1);
    return next != NULL ? static_cast<size_t>(static_cast<const unsigned char*>(next) - m_buf) - at
                        : m_length - at;
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
        size_t dropped = static_cast<size_t>(NoiseBytesFor(verdict));
        if (verdict == kFrameNoHead) {
            dropped = NoiseRun(at);
        } else if (verdict != kFrameIncomplete) {
            ++m_stats.refused;
        }
        m_stats.noiseBytes += dropped;
        sink->OnNoise(m_buf + at, dropped, verdict);
        at += dropped;
    }
    // A last single byte waits only if it could be the first byte of a head.
    if (m_length - at == 1 && (idle || m_buf[at] != FRAME_MARK_FIRST)) {
        ++m_stats.noiseBytes;
        sink->OnNoise(m_buf + at, 1, kFrameNoHead);
        ++at;
    }
    memmove(m_buf, m_buf + at, m_length - at);
    m_length -= at;
}
