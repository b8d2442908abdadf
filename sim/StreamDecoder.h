// SPDX-License-Identifier: MIT
// Splits the bytes that cross the MCU line into what they are: ASCII power lines, binary
// frames and noise between them.
//
// Frames are found by the module's own stream scanner, with the receiver's validity rules and
// resynchronisation, so a stray byte costs no later frame and a damaged frame never swallows
// good traffic. The bytes it drops are searched for ASCII power lines; the rest is noise.
// Fed in pieces of any size; what could still become a frame or a line waits for more bytes
// until the caller says the line went quiet (Flush). Memory is bounded: a long noise run is
// handed out in items of at most kNoiseItemMax bytes.
#ifndef SIM_STREAMDECODER_H
#define SIM_STREAMDECODER_H

#include <stddef.h>

#include <deque>
#include <utility>
#include <vector>

#include "receiver/FrameStreamScanner.h"

struct DecodedItem {
    enum Kind {
        kAsciiLine,  // "#x" + 12 upper-case hex digits + CR LF
        kFrame,      // a valid binary frame
        kNoise       // bytes that are neither
    };
    Kind kind;
    std::vector<unsigned char> bytes;
    unsigned long long offset;  // position of the first byte in the stream
    // Noise only: kFrameNoHead, or why a frame head among the bytes did not start a frame.
    mcucom::FrameVerdict head;
};

class StreamDecoder : private mcucom::FrameStreamScanner::Sink {
  public:
    static const size_t kNoiseItemMax = 4096;

    StreamDecoder();

    // Appends the items completed by these bytes.
    void Feed(const unsigned char* data, size_t count, std::vector<DecodedItem>* out);
    // The line went quiet, or the stream ended: whatever waits is decided now.
    void Flush(std::vector<DecodedItem>* out);
    // Bytes held back, waiting for more.
    size_t pending() const;

  private:
    void OnFrame(const unsigned char* frame, int length) override;
    void OnNoise(const unsigned char* bytes, size_t count, mcucom::FrameVerdict verdict) override;
    void SplitText(bool final);
    void AddNoise(const unsigned char* bytes, size_t count, unsigned long long offset);
    void EmitNoise();
    void Emit(DecodedItem::Kind kind, const unsigned char* bytes, size_t count,
              unsigned long long offset);

    mcucom::FrameStreamScanner m_scanner;
    std::vector<DecodedItem>* m_out;    // where items go during Feed and Flush
    unsigned long long m_consumed;      // stream offset of the next byte the scanner reports
    std::vector<unsigned char> m_text;  // dropped bytes not yet told apart into lines and noise
    unsigned long long m_textOffset;    // stream offset of m_text[0]
    DecodedItem m_noise;                // the noise item being gathered
    bool m_haveNoise;
    // Where the scanner refused a frame head: offset and reason, oldest first.
    std::deque<std::pair<unsigned long long, mcucom::FrameVerdict> > m_refusedHeads;
};

#endif  // SIM_STREAMDECODER_H
