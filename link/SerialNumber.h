// SPDX-License-Identifier: MIT
// Frame serial numbers.
#ifndef LINK_SERIALNUMBER_H
#define LINK_SERIALNUMBER_H

#include <atomic>

namespace mcucom {

// The serial number that follows `serial`: 1 to 255, then 1 again; 0 is skipped, since a
// request's serial number 0 means "none given yet".
inline unsigned char SerialAfter(unsigned char serial) {
    return static_cast<unsigned char>(serial == 255 ? 1 : serial + 1);
}

}  // namespace mcucom

// The next frame serial number, SerialAfter the last one handed out. One counter for the whole
// process; the step is atomic so that concurrent senders never draw the same number in one
// round.
inline unsigned char GetSerialNum() {
    static std::atomic<unsigned char> m_serialNum(0);
    unsigned char current = m_serialNum.load();
    unsigned char next;
    do {
        next = mcucom::SerialAfter(current);
    } while (!m_serialNum.compare_exchange_weak(current, next));
    return next;
}

namespace mcucom {

// 1 to 255 from the kernel's random pool when it is ready, else from the clock and the
// process: early after boot the pool may take seconds to fill, and starting must not wait for
// it. Not for secrecy, only so that two programs (or two runs) seldom start alike, and answers
// to one's commands are not taken for the other's.
unsigned char UnpredictableSerial();

}  // namespace mcucom

#endif  // LINK_SERIALNUMBER_H
