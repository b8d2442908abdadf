// SPDX-License-Identifier: MIT
#include "ack/FrameQueue.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ack/AckResults.h"
#include "common/FixedLog.h"
#include "common/FrameRules.h"

// Byte accessor over the stored bytes, counted from the front of the ring. Offsets are below
// the capacity, so one conditional subtraction wraps them (no division on the hot path).
class CFrameQueue::RingBytes {
  public:
    explicit RingBytes(const CFrameQueue& q) : m_q(q) {}
    unsigned char at(int k) const { return m_q.m_buf[IndexOf(k)]; }
    unsigned char xorOf(int first, int count) const {
        return static_cast<unsigned char>(
            const_cast<CFrameQueue&>(m_q).QueueXorCheckSum(m_q.m_readPos + first, count));
    }
    // Searched in the two spans the ring's wrap makes.
    int markOffset(int first, int count) const {
        const int start = IndexOf(first);
        const int firstSpan = count < m_q.m_size - start ? count : m_q.m_size - start;
        const int inFirst = mcucom::HeadMarkOffset(m_q.m_buf + start, firstSpan);
        if (inFirst < firstSpan) {
            return inFirst;
        }
        return firstSpan + mcucom::HeadMarkOffset(m_q.m_buf, count - firstSpan);
    }

  private:
    // The buffer index of the byte k places from the front.
    int IndexOf(int k) const {
        const int index = m_q.m_readPos + k;
        return index >= m_q.m_size ? index - m_q.m_size : index;
    }

    const CFrameQueue& m_q;
};

CFrameQueue::CFrameQueue() : m_buf(NULL) {
    ResetCounters();
    memset(&m_drops, 0, sizeof m_drops);
    sem_init(&m_sem, 0, 0);
    QueueInit(mcucom::FRAME_QUEUE_DEFAULT_SIZE);
}

CFrameQueue::~CFrameQueue() {
    if (m_buf != NULL) {
        ResetCounters();
        free(m_buf);
        m_buf = NULL;
        sem_destroy(&m_sem);
    }
}

void CFrameQueue::ResetCounters() {
    m_size = 0;
    m_freeLen = 0;
    m_readPos = 0;
    m_writePos = 0;
    m_frameCount = 0;
}

int CFrameQueue::QueueInit(int bufSize) {
    if (bufSize < mcucom::FRAME_QUEUE_MIN_SIZE) {
        bufSize = mcucom::FRAME_QUEUE_MIN_SIZE;
    }
    MutexLockGuard guard(m_mutex);
    free(m_buf);
    ResetCounters();
    m_buf = static_cast<unsigned char*>(malloc(static_cast<size_t>(bufSize)));
    if (m_buf == NULL) {
        return mcucom::QUEUE_TOO_FEW_BYTES;
    }
    memset(m_buf, 0, static_cast<size_t>(bufSize));
    m_size = bufSize;
    m_freeLen = bufSize;
    return 0;
}

int CFrameQueue::checkValidFrame(char* frame, int frameLen) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(frame);
    const mcucom::FlatBytes flat(bytes);
    const int len = mcucom::FrameLenField(bytes);
    const unsigned char x = mcucom::ChecksumFor(flat, len);
    if (x != bytes[len + 4]) {
        mcucom::PrintFixedLine(stderr, mcucom::LOG_CHECKSUM_INVALID, TEXT_CHECKSUM_INVALID, x,
                               frameLen);
        return mcucom::QUEUE_BAD_CHECKSUM;
    }
    if (!mcucom::TailIsMarked(flat, len)) {
        // The log shows the two bytes read big-endian and then swapped.
        const int tail = (bytes[len + 5] << 8) | bytes[len + 6];
        const int swapped = (bytes[len + 6] << 8) | bytes[len + 5];
        mcucom::PrintFixedLine(stderr, mcucom::LOG_TAIL_INVALID, TEXT_TAIL_INVALID, tail, swapped);
        return mcucom::QUEUE_BAD_TAIL;
    }
    return 0;
}

int CFrameQueue::AddFrame(char* frame, int frameLen) {
    if (frame == NULL || frameLen < mcucom::FRAME_MIN_SIZE) {
        return mcucom::QUEUE_BAD_ARGUMENT;
    }
    if (frameLen > m_size) {
        return mcucom::QUEUE_TOO_LARGE;
    }
    // The check reads len + 7 bytes; a caller that passes fewer is refused before that read.
    if (frameLen <
        mcucom::FrameLenField(reinterpret_cast<unsigned char*>(frame)) + mcucom::FRAME_OVERHEAD) {
        return mcucom::QUEUE_BAD_ARGUMENT;
    }
    const int check = checkValidFrame(frame, frameLen);
    if (check < 0) {
        return check;
    }
    while (m_freeLen < frameLen) {
        if (doGetFrame(NULL, false) < 0) {
            return mcucom::QUEUE_NO_ROOM;
        }
    }
    CopyIn(frame, frameLen);
    m_freeLen -= frameLen;
    ++m_frameCount;
    return m_freeLen;
}

// Copies count bytes to the write position in at most two blocks, wrapping at the end.
void CFrameQueue::CopyIn(const char* src, int count) {
    const int first = count < m_size - m_writePos ? count : m_size - m_writePos;
    memcpy(m_buf + m_writePos, src, static_cast<size_t>(first));
    if (first < count) {
        memcpy(m_buf, src + first, static_cast<size_t>(count - first));
    }
    m_writePos += count;
    if (m_writePos >= m_size) {
        m_writePos -= m_size;
    }
}

int CFrameQueue::GetFrame(char* out) {
    return doGetFrame(out, true);
}

int CFrameQueue::doGetFrame(char* out, bool copy) {
    if (out == NULL && copy) {
        return mcucom::QUEUE_BAD_ARGUMENT;
    }
    const int frameLen = FrameFilter();
    if (frameLen <= 0) {
        return frameLen;
    }
    Queuecpy(out, static_cast<unsigned short>(frameLen), copy);
    --m_frameCount;
    return frameLen;
}

int CFrameQueue::Queuecpy(char* out, unsigned short nbytes, bool copy) {
    const int count = nbytes;
    if (GetDataLen() < count) {
        return mcucom::QUEUE_BAD_ARGUMENT;
    }
    if (copy) {
        const int first = count < m_size - m_readPos ? count : m_size - m_readPos;
        memcpy(out, m_buf + m_readPos, static_cast<size_t>(first));
        if (first < count) {
            memcpy(out + first, m_buf, static_cast<size_t>(count - first));
        }
    }
    DropFront(count);
    return count;
}

// count never exceeds the stored bytes, so one subtraction wraps the position.
void CFrameQueue::DropFront(int count) {
    m_readPos += count;
    if (m_readPos >= m_size) {
        m_readPos -= m_size;
    }
    m_freeLen += count;
}

int CFrameQueue::FrameFilter() {
    if (GetDataLen() < mcucom::FRAME_MIN_SIZE) {
        return mcucom::QUEUE_TOO_FEW_BYTES;
    }
    for (;;) {
        const int stored = GetDataLen();
        const mcucom::ScanStep step = mcucom::NextScanStep(RingBytes(*this), stored, true);
        if (step.verdict == mcucom::kFrameValid) {
            return step.length;
        }
        // The search never drops the last stored byte: it stops with one byte left, as a
        // byte-wise walk would, and that byte is judged when more have come.
        const int dropped = step.length < stored - 1 ? step.length : stored - 1;
        m_drops.Add(step.verdict, static_cast<unsigned long>(dropped));
        DropFront(dropped);
        if (GetDataLen() <= 1) {
            return 0;
        }
    }
}

int CFrameQueue::QueueXorCheckSum(int start, int nbytes) {
    if (nbytes <= 0 || m_size == 0) {
        return 0;
    }
    start %= m_size;
    if (start < 0) {
        start += m_size;
    }
    int x = 0;
    while (nbytes > 0) {
        const int span = nbytes < m_size - start ? nbytes : m_size - start;
        x ^= mcucom::FrameXor(m_buf + start, span);
        nbytes -= span;
        start = 0;
    }
    return x;
}

int CFrameQueue::GetFrameByCmd(__ComFrameData* /*frame*/, int /*mode*/) {
    return 0;
}
