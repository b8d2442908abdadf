#include "sim/StreamDecoder.h"

#include "common/ComFrame.h"

namespace {

const size_t kAsciiLineSize = 16;

bool IsUpperHexDigit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool IsAsciiLine(const unsigned char* p) {
    if (p[0] != '#' || p[1] != 'x' || p[14] != '\r' || p[15] != '\n') {
        return false;
    }
    for (int i = 2; i < 14; ++i) {
        if (!IsUpperHexDigit(p[i])) {
            return false;
        }
    }
    return true;
}

bool HasTail(const unsigned char* frame, size_t total) {
    return frame[total - 2] == FRAME_MARK_FIRST && frame[total - 1] == FRAME_MARK_SECOND;
}

}  // namespace

void StreamDecoder::Feed(const unsigned char* data, size_t count, std::vector<DecodedItem>* out) {
    m_pending.insert(m_pending.end(), data, data + count);
    while (!m_pending.empty() && TakeFront(false, out) != kNeedMore) {
    }
}

void StreamDecoder::Finish(std::vector<DecodedItem>* out) {
    while (!m_pending.empty()) {
        TakeFront(true, out);
    }
}

void StreamDecoder::TakeNoise(size_t count, std::vector<DecodedItem>* out) {
    if (out->empty() || out->back().kind != DecodedItem::kNoise) {
        DecodedItem item;
        item.kind = DecodedItem::kNoise;
        out->push_back(item);
    }
    std::vector<unsigned char>& noise = out->back().bytes;
    noise.insert(noise.end(), m_pending.begin(), m_pending.begin() + static_cast<long>(count));
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(count));
}

// A candidate that could still become a line or a frame waits for more bytes, unless the
// stream has ended. A frame is taken when all its bytes are there and its tail is right, so
// that a damaged checksum can be named; a head whose tail is wrong is noise.
StreamDecoder::Step StreamDecoder::TakeFront(bool final, std::vector<DecodedItem>* out) {
    const unsigned char* p = m_pending.data();
    const size_t have = m_pending.size();
    size_t itemSize = 0;
    DecodedItem::Kind kind = DecodedItem::kNoise;
    if (p[0] == '#') {
        if (have < kAsciiLineSize) {
            if (!final && (have < 2 || p[1] == 'x')) {
                return kNeedMore;
            }
        } else if (IsAsciiLine(p)) {
            itemSize = kAsciiLineSize;
            kind = DecodedItem::kAsciiLine;
        }
    } else if (p[0] == FRAME_MARK_FIRST) {
        if (have < 4) {
            if (!final && (have < 2 || p[1] == FRAME_MARK_SECOND)) {
                return kNeedMore;
            }
        } else if (p[1] == FRAME_MARK_SECOND && FrameLenField(p) >= FRAME_MIN_LEN_FIELD &&
                   FrameLenField(p) <= FRAME_MAX_LEN_FIELD) {
            const size_t total = static_cast<size_t>(FrameLenField(p)) + FRAME_OVERHEAD;
            if (have >= total && HasTail(p, total)) {
                itemSize = total;
                kind = DecodedItem::kFrame;
            } else if (have < total && !final) {
                return kNeedMore;
            }
        }
    }
    if (itemSize == 0) {
        TakeNoise(1, out);
        return kTookNoise;
    }
    DecodedItem item;
    item.kind = kind;
    item.bytes.assign(m_pending.begin(), m_pending.begin() + static_cast<long>(itemSize));
    m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<long>(itemSize));
    out->push_back(item);
    return kTookItem;
}
