// SPDX-License-Identifier: MIT
#include "sim/StreamDecoder.h"

#include <string.h>

#include "tool/PowerLineLayout.h"

namespace {

namespace layout = mcucom::power_line;

const size_t kAsciiLineSize = layout::kSize;
const size_t kAsciiDigitsEnd = layout::kCrAt;

bool IsUpperHexDigit(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// Whether the n bytes at p could be the start (or, for 16 bytes, the whole) of a power line.
bool CouldBeAsciiLine(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n && i < kAsciiLineSize; ++i) {
        const unsigned char c = p[i];
        const bool ok = i == 0                 ? c == layout::kLead
                        : i == 1               ? c == layout::kLeadSecond
                        : i < kAsciiDigitsEnd  ? IsUpperHexDigit(c)
                        : i == kAsciiDigitsEnd ? c == '\r'
                                               : c == '\n';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace

const size_t StreamDecoder::kNoiseItemMax;

StreamDecoder::StreamDecoder()
    : m_out(NULL), m_consumed(0), m_textOffset(0), m_noise(), m_haveNoise(false) {}

void StreamDecoder::Feed(const unsigned char* data, size_t count, std::vector<DecodedItem>* out) {
    m_out = out;
    m_scanner.Feed(data, count, this);
    SplitText(false);
    m_out = NULL;
}

void StreamDecoder::Flush(std::vector<DecodedItem>* out) {
    m_out = out;
    m_scanner.Flush(this);
    SplitText(true);
    EmitNoise();
    m_out = NULL;
}

size_t StreamDecoder::pending() const {
    return m_scanner.pending() + m_text.size() + (m_haveNoise ? m_noise.bytes.size() : 0);
}

void StreamDecoder::OnFrame(const unsigned char* frame, int length) {
    // Bytes before a frame cannot continue as a line: the frame came between.
    SplitText(true);
    EmitNoise();
    Emit(DecodedItem::kFrame, frame, static_cast<size_t>(length), m_consumed);
    m_consumed += static_cast<unsigned long long>(length);
}

void StreamDecoder::OnNoise(const unsigned char* bytes, size_t count,
                            mcucom::FrameVerdict verdict) {
    if (m_text.empty()) {
        m_textOffset = m_consumed;
    }
    if (verdict != mcucom::kFrameNoHead) {
        m_refusedHeads.push_back(std::make_pair(m_consumed, verdict));
    }
    m_text.insert(m_text.end(), bytes, bytes + count);
    m_consumed += count;
}

// Takes power lines out of the dropped bytes; the rest is noise. A possible line at the end
// waits for more bytes unless final.
void StreamDecoder::SplitText(bool final) {
    const unsigned char* p = m_text.data();
    const size_t size = m_text.size();
    size_t at = 0;
    while (at < size) {
        const size_t left = size - at;
        if (p[at] == layout::kLead) {
            if (left >= kAsciiLineSize && CouldBeAsciiLine(p + at, kAsciiLineSize)) {
                EmitNoise();
                Emit(DecodedItem::kAsciiLine, p + at, kAsciiLineSize, m_textOffset + at);
                at += kAsciiLineSize;
                continue;
            }
            if (left < kAsciiLineSize && !final && CouldBeAsciiLine(p + at, left)) {
                break;
            }
        }
        const void* hash = memchr(p + at + 1, layout::kLead, left - 1);
        const size_t run =
            hash != NULL ? static_cast<size_t>(static_cast<const unsigned char*>(hash) - p) - at
                         : left;
        AddNoise(p + at, run, m_textOffset + at);
        at += run;
    }
    m_text.erase(m_text.begin(), m_text.begin() + static_cast<long>(at));
    m_textOffset += at;
}

void StreamDecoder::AddNoise(const unsigned char* bytes, size_t count, unsigned long long offset) {
    while (count > 0) {
        if (!m_haveNoise) {
            m_noise.kind = DecodedItem::kNoise;
            m_noise.bytes.clear();
            m_noise.offset = offset;
            m_noise.head = mcucom::kFrameNoHead;
            m_haveNoise = true;
        }
        const size_t take = count < kNoiseItemMax - m_noise.bytes.size()
                                ? count
                                : kNoiseItemMax - m_noise.bytes.size();
        while (!m_refusedHeads.empty() && m_refusedHeads.front().first < offset + take) {
            if (m_noise.head == mcucom::kFrameNoHead) {
                m_noise.head = m_refusedHeads.front().second;
            }
            m_refusedHeads.pop_front();
        }
        m_noise.bytes.insert(m_noise.bytes.end(), bytes, bytes + take);
        bytes += take;
        offset += take;
        count -= take;
        if (m_noise.bytes.size() == kNoiseItemMax) {
            EmitNoise();
        }
    }
}

void StreamDecoder::EmitNoise() {
    if (m_haveNoise) {
        m_out->push_back(m_noise);
        m_haveNoise = false;
    }
}

void StreamDecoder::Emit(DecodedItem::Kind kind, const unsigned char* bytes, size_t count,
                         unsigned long long offset) {
    DecodedItem item;
    item.kind = kind;
    item.bytes.assign(bytes, bytes + count);
    item.offset = offset;
    item.head = mcucom::kFrameNoHead;
    m_out->push_back(item);
}
