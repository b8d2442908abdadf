// Splits the bytes sent to the MCU into what they are: ASCII power lines, binary frames and
// noise between them. Fed in pieces of any size; a frame or line cut across pieces is held
// until it is whole.
#ifndef SIM_STREAMDECODER_H
#define SIM_STREAMDECODER_H

#include <stddef.h>

#include <vector>

struct DecodedItem {
    enum Kind {
        kAsciiLine,  // "#x" + 12 hex digits + CR LF
        kFrame,      // a binary frame: head, a len up to 1028, all bytes present
        kNoise       // bytes that are neither
    };
    Kind kind;
    std::vector<unsigned char> bytes;
};

class StreamDecoder {
  public:
    // Appends the items completed by these bytes.
    void Feed(const unsigned char* data, size_t count, std::vector<DecodedItem>* out);
    // The stream has ended: whatever is held is noise.
    void Finish(std::vector<DecodedItem>* out);

  private:
    enum Step { kNeedMore, kTookItem, kTookNoise };
    Step TakeFront(bool final, std::vector<DecodedItem>* out);
    void TakeNoise(size_t count, std::vector<DecodedItem>* out);

    std::vector<unsigned char> m_pending;
};

#endif  // SIM_STREAMDECODER_H
