// SPDX-License-Identifier: MIT
// The validity rules of a received frame, in one place for every reader of the byte stream:
// the ring queue's search, the receiver's stream scanner, the simulated MCU and the decoder.
//
// JudgeFrameAt() looks at the bytes from the front of a stream and says whether a whole valid
// frame starts there, and if not, why. Readers differ only in how they react: the ring queue
// drops the bytes it is told to, a stream reader waits for more bytes on kFrameIncomplete.
// The rules, in their order: head 0x75 0xAA, len at most 1028 and at least 4 (the smallest
// frame, 11 bytes), all len + 7 bytes present, checksum, tail. The bytes are reached through
// an accessor so that a ring and a flat buffer share the code: it provides at(k),
// xorOf(first, count) and markOffset(first, count), the offset of the first 0x75 among count
// bytes from first (count when there is none). Bytes that start no frame are dropped up to
// the next possible head (NoiseAtFront), and what was dropped is counted by reason
// (FrameDropStats).
#ifndef COMMON_FRAMERULES_H
#define COMMON_FRAMERULES_H

#include <stddef.h>
#include <string.h>

#include "common/ComFrame.h"

namespace mcucom {

enum FrameVerdict {
    kFrameValid,        // a whole valid frame starts at the front
    kFrameNoHead,       // the front bytes are not 0x75 0xAA: noise up to the next 0x75
    kFrameOversize,     // len above 1028: the two head bytes are noise
    kFrameIncomplete,   // a head, but not all len + 7 bytes are present yet
    kFrameBadChecksum,  // all bytes present, checksum wrong: one byte of noise
    kFrameBadTail,      // all bytes present, tail wrong: one byte of noise
    kFrameUndersize     // len below 4, shorter than the smallest frame: one byte of noise
};

// The checksum a frame with this len field must carry: the XOR of len, serialNum, flag, cmd
// and payload.
template <typename Bytes>
unsigned char ChecksumFor(const Bytes& bytes, int len) {
    return bytes.xorOf(2, len + 2);
}

// Whether the two bytes after the checksum are the tail, 0x75 0xAA.
template <typename Bytes>
bool TailIsMarked(const Bytes& bytes, int len) {
    return bytes.at(len + 5) == FRAME_MARK_FIRST && bytes.at(len + 6) == FRAME_MARK_SECOND;
}

// Judges the stored bytes at the front. `stored` is how many bytes are there (2 or more).
// On kFrameValid, *frameLen is the frame's total length (len + 7).
template <typename Bytes>
FrameVerdict JudgeFrameAt(const Bytes& bytes, int stored, int* frameLen) {
    if (bytes.at(0) != FRAME_MARK_FIRST || bytes.at(1) != FRAME_MARK_SECOND) {
        return kFrameNoHead;
    }
    // The length field itself must be present before it is believed; bytes past the stored
    // ones are stale and say nothing about this stream.
    if (stored < 4) {
        return kFrameIncomplete;
    }
    const int len = (bytes.at(2) << 8) | bytes.at(3);
    if (len > FRAME_MAX_LEN_FIELD) {
        return kFrameOversize;
    }
    // Without this a head, a len of 0 to 3 and a matching checksum and tail would pass as a
    // "frame" of 7 to 10 bytes, whose cmd and serial fields lie past its end.
    if (len < FRAME_MIN_LEN_FIELD) {
        return kFrameUndersize;
    }
    if (len + FRAME_OVERHEAD > stored) {
        return kFrameIncomplete;
    }
    if (ChecksumFor(bytes, len) != bytes.at(len + 4)) {
        return kFrameBadChecksum;
    }
    if (!TailIsMarked(bytes, len)) {
        return kFrameBadTail;
    }
    *frameLen = len + FRAME_OVERHEAD;
    return kFrameValid;
}

// How many of the `stored` front bytes are noise, for a verdict other than kFrameValid (a
// frame that never came whole included). A front without a head runs up to the next 0x75,
// where a head may start, but a 0x75 not followed by 0xAA is one byte alone; an oversize
// frame drops its two head bytes; any other refused head drops one byte.
template <typename Bytes>
int NoiseAtFront(const Bytes& bytes, int stored, FrameVerdict verdict) {
    if (verdict != kFrameNoHead) {
        return verdict == kFrameOversize ? 2 : 1;
    }
    return bytes.at(0) == FRAME_MARK_FIRST ? 1 : 1 + bytes.markOffset(1, stored - 1);
}

// One step of the scan every reader of a byte stream makes (the ring's search, the stream
// scanner, mcucom_frame_find): what the front of the `stored` bytes is. A valid frame of
// `length` bytes; bytes that start no frame, `length` of them to drop, with the verdict that
// refused them; or, with length 0, nothing to decide until more bytes come. With `final` set
// no more will come, so a frame head that has not come whole is noise, and so is a last lone
// byte; otherwise a lone 0x75 at the end waits, as it may start a head.
struct ScanStep {
    FrameVerdict verdict;
    int length;
};

template <typename Bytes>
ScanStep NextScanStep(const Bytes& bytes, int stored, bool final) {
    ScanStep step = {kFrameIncomplete, 0};
    if (stored >= 2) {
        step.verdict = JudgeFrameAt(bytes, stored, &step.length);
        if (step.verdict != kFrameValid && (step.verdict != kFrameIncomplete || final)) {
            step.length = NoiseAtFront(bytes, stored, step.verdict);
        }
    } else if (stored == 1 && (final || bytes.at(0) != FRAME_MARK_FIRST)) {
        step.verdict = kFrameNoHead;
        step.length = 1;
    }
    return step;
}

// The offset of the first 0x75 among count bytes, or count.
inline int HeadMarkOffset(const unsigned char* bytes, int count) {
    const void* mark = memchr(bytes, FRAME_MARK_FIRST, static_cast<size_t>(count));
    return mark != NULL ? static_cast<int>(static_cast<const unsigned char*>(mark) - bytes) : count;
}

// Accessor over a flat buffer.
class FlatBytes {
  public:
    explicit FlatBytes(const unsigned char* data) : m_data(data) {}
    unsigned char at(int k) const { return m_data[k]; }
    unsigned char xorOf(int first, int count) const { return FrameXor(m_data + first, count); }
    int markOffset(int first, int count) const { return HeadMarkOffset(m_data + first, count); }

  private:
    const unsigned char* m_data;
};

// Why a refused head's bytes were dropped, in the words reports use ("a frame head whose
// checksum is wrong"); NULL for bytes that hold no head and for a valid frame.
inline const char* RefusedHeadReason(FrameVerdict verdict) {
    switch (verdict) {
        case kFrameOversize:
            return "whose len is above 1028";
        case kFrameUndersize:
            return "whose len is below 4";
        case kFrameIncomplete:
            return "whose frame never came whole";
        case kFrameBadChecksum:
            return "whose checksum is wrong";
        case kFrameBadTail:
            return "whose tail is wrong";
        default:
            return NULL;
    }
}

// Bytes a reader dropped, by the verdict that dropped them.
struct FrameDropStats {
    unsigned long noHead;       // bytes that did not start with 0x75 0xAA
    unsigned long oversize;     // head bytes followed by a len above 1028
    unsigned long incomplete;   // head bytes of a frame that never came whole
    unsigned long badChecksum;  // head bytes of a frame whose checksum was wrong
    unsigned long badTail;      // head bytes of a frame whose tail was wrong
    unsigned long undersize;    // head bytes followed by a len below 4

    void Add(FrameVerdict verdict, unsigned long bytes) {
        switch (verdict) {
            case kFrameNoHead:
                noHead += bytes;
                break;
            case kFrameOversize:
                oversize += bytes;
                break;
            case kFrameIncomplete:
                incomplete += bytes;
                break;
            case kFrameBadChecksum:
                badChecksum += bytes;
                break;
            case kFrameBadTail:
                badTail += bytes;
                break;
            case kFrameUndersize:
                undersize += bytes;
                break;
            case kFrameValid:
                break;
        }
    }
    unsigned long Total() const {
        return noHead + oversize + incomplete + badChecksum + badTail + undersize;
    }
    // Frame heads refused for their length, checksum or tail.
    unsigned long RefusedHeads() const { return oversize / 2 + badChecksum + badTail + undersize; }
};

}  // namespace mcucom

#endif  // COMMON_FRAMERULES_H
