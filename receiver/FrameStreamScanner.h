// SPDX-License-Identifier: MIT
// Finds valid frames in a byte stream that arrives in pieces of any size.
//
// The same validity rules and resynchronisation as the frame ring's search (FrameRules.h),
// with one difference a stream needs: a frame whose bytes have not all arrived is waited for,
// not dropped, until the caller says the line went idle (Flush). The scanner owns a fixed
// buffer and never allocates. Not thread-safe: one reader feeds it.
#ifndef RECEIVER_FRAMESTREAMSCANNER_H
#define RECEIVER_FRAMESTREAMSCANNER_H

#include <stddef.h>

#include "common/FrameRules.h"

namespace mcucom {

// How long a line must stay quiet before a frame that has not come whole is given up. A real
// frame's bytes follow each other far closer than that, even at 115200 baud on a loaded board.
const long FRAME_STREAM_QUIET_US = 50000;

struct ScanStats {
    unsigned long frames;  // valid frames found
    FrameDropStats drops;  // bytes dropped while resynchronising, by reason
};

class FrameStreamScanner {
  public:
    // Told, in stream order, of every valid frame and of every run of bytes dropped while
    // resynchronising; the bytes are valid until the call returns.
    class Sink {
      public:
        virtual ~Sink() {}
        virtual void OnFrame(const unsigned char* frame, int length) = 0;
        // verdict says why the run's first byte could not start a frame.
        virtual void OnNoise(const unsigned char* /*bytes*/, size_t /*count*/,
                             FrameVerdict /*verdict*/) {}
    };

    FrameStreamScanner();

    void Feed(const unsigned char* data, size_t count, Sink* sink);
    // The line went quiet: a frame still incomplete will not be completed by bytes that
    // belong to it, so its head is dropped and the rest scanned again.
    void Flush(Sink* sink);

    const ScanStats& stats() const { return m_stats; }
    size_t pending() const { return m_length; }

  private:
    void Scan(bool idle, Sink* sink);

    // Twice the largest frame and more: a frame that waits at the front always fits.
    static const size_t kCapacity = 4096;
    unsigned char m_buf[kCapacity];
    size_t m_length;
    ScanStats m_stats;
};

}  // namespace mcucom

#endif  // RECEIVER_FRAMESTREAMSCANNER_H
